// The installation as start-up and `--check` see it: the folders the gateway
// writes to and the printer channels of the configuration tables.
#pragma once

#include <string>
#include <vector>

#include "db/connection.h"
#include "db/startup_state.h"
#include "platform/env.h"

namespace tolven {

struct Folder {
  std::string what;  // "Log-Ordner", "Orderterminal 2" ...
  std::string path;  // without trailing separator
};

// Log (of the current year), TSE log, archive folders: under the installation
// folder, made at start-up when missing.
std::vector<Folder> InstallationFolders(const StartupState& state);
// The exchange folders of the terminals in use (pfadppcsync1..5 not empty).
std::vector<Folder> ExchangeFolders(db::Connection& connection);

struct PrinterChannel {
  // What prints on it: the receipt printer, kitchen printer `number` (1 to
  // 4), the kitchen printer of the room whose tables start at `number`, or
  // the receipt printer of order terminal `number`.
  enum class Role { Receipt, Kitchen, Room, Terminal };
  std::string what;     // "system.kuebonport2", "systemhw.bondruckport" ...
  std::string channel;  // as configured ("COM1", "FILE:/var/...", "NETZ")
  std::string printer;  // the spooler printer named beside it (kuebonprt, pdaprt), if any
  Role role = Role::Receipt;
  int32_t number = 0;
};

// Every printer channel of the configuration tables that is not empty:
// receipt and kitchen printers of `system`, of this station's `systemhw` row
// and of `rauminfo`, and the terminals' spooler printers.
std::vector<PrinterChannel> PrinterChannels(db::Connection& connection, const StartupState& state);
// The folder of a "FILE:" channel; "" for every other channel.
std::string FileChannelFolder(const std::string& channel);

// Removes the temporary files that an interrupted atomic write of this
// station left in the folders (never another station's). Returns the removed
// paths.
std::vector<std::string> RemoveLeftoverTempFiles(platform::Env& env, const std::vector<std::string>& folders,
                                                 const std::string& mark);

// The mark of a station's temporary files.
std::string TempMarkOf(int32_t station);

}  // namespace tolven
