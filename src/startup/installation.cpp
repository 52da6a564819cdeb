#include "startup/installation.h"

#include <set>

#include "common/text.h"
#include "db/station_context.h"

namespace tolven {

using platform::kPathSep;
using platform::kPathSepText;

namespace {

std::string WithoutSeparator(std::string path) {
  while (path.size() > 1 && platform::EndsWithPathSep(path)) path.pop_back();
  return path;
}

}  // namespace

std::vector<Folder> InstallationFolders(const StartupState& state) {
  return {{"Log-Ordner", WithoutSeparator(state.logPfad)},
          {"TSE-Log-Ordner", WithoutSeparator(state.logPfad + "TSE")},
          {"Archiv-Ordner", WithoutSeparator(state.archivPfad)},
          {"Archiv-Ordner DTA", WithoutSeparator(state.archivDtaPfad)},
          {"Beleg-Archiv", WithoutSeparator(state.archivBonPfad)}};
}

std::vector<Folder> ExchangeFolders(db::Connection& connection) {
  std::vector<Folder> folders;
  auto rs = db::StationContext::OpenOn(
      connection, "SELECT pfadppcsync1, pfadppcsync2, pfadppcsync3, pfadppcsync4, pfadppcsync5 FROM system");
  if (!rs || rs->Eof()) return folders;
  for (int i = 1; i <= 5; ++i) {
    std::string path = db::GetFieldValue(*rs, "pfadppcsync" + std::to_string(i)).AsString();
    if (path.empty()) continue;  // slot not in use
    folders.push_back({"Orderterminal " + std::to_string(i), WithoutSeparator(path)});
  }
  return folders;
}

std::vector<PrinterChannel> PrinterChannels(db::Connection& connection, const StartupState& state) {
  std::vector<PrinterChannel> channels;
  using Role = PrinterChannel::Role;
  auto add = [&](const std::string& what, const std::string& channel, const std::string& printer, Role role,
                 int32_t number) {
    if (!TrimBlanks(channel).empty() || !TrimBlanks(printer).empty()) {
      channels.push_back({what, channel, printer, role, number});
    }
  };
  auto kitchen = [&](db::ResultSet& rs, const std::string& table) {
    add(table + ".bondruckport", db::GetFieldValue(rs, "bondruckport").AsString(), "", Role::Receipt, 0);
    for (int n = 1; n <= 4; ++n) {
      const std::string i = std::to_string(n);
      add(table + ".kuebonport" + i, db::GetFieldValue(rs, "kuebonport" + i).AsString(),
          db::GetFieldValue(rs, "kuebonprt" + i).AsString(), Role::Kitchen, n);
    }
  };
  if (auto rs = db::StationContext::OpenOn(connection, "SELECT * FROM system"); rs && !rs->Eof()) {
    kitchen(*rs, "system");
    for (int n = 1; n <= 5; ++n) {
      std::string printer = db::GetFieldValue(*rs, "pdaprt" + std::to_string(n)).AsString();
      // "KEIN..." marks a terminal without a printer of its own.
      if (ToUpper(printer.substr(0, 4)) != "KEIN") {
        add("system.pdaprt" + std::to_string(n), "", printer, Role::Terminal, n);
      }
    }
  }
  if (auto rs = db::StationContext::OpenOn(connection,
                                           "SELECT * FROM systemhw WHERE filnr = " + std::to_string(state.filiale) +
                                               " AND kasse = " + std::to_string(state.kasse));
      rs && !rs->Eof()) {
    kitchen(*rs, "systemhw");
  }
  if (auto rs = db::StationContext::OpenOn(connection, "SELECT starttisch, kuebonport, kuebonprt FROM rauminfo")) {
    for (; !rs->Eof(); rs->MoveNext()) {
      const int32_t firstTable = db::GetFieldValue(*rs, "starttisch").AsInt();
      add("rauminfo(" + std::to_string(firstTable) + ").kuebonport", db::GetFieldValue(*rs, "kuebonport").AsString(),
          db::GetFieldValue(*rs, "kuebonprt").AsString(), Role::Room, firstTable);
    }
  }
  return channels;
}

std::string FileChannelFolder(const std::string& channel) {
  if (ToUpper(channel.substr(0, 5)) != "FILE:") return "";
  const std::string path = channel.substr(5);
  size_t sep = path.find_last_of(platform::kPathSeps);
  if (sep == std::string::npos) return "";
  return sep == 0 ? kPathSepText : path.substr(0, sep);
}

std::string TempMarkOf(int32_t station) { return "K" + std::to_string(station); }

std::vector<std::string> RemoveLeftoverTempFiles(platform::Env& env, const std::vector<std::string>& folders,
                                                 const std::string& mark) {
  std::vector<std::string> removed;
  std::set<std::string> seen;
  for (const std::string& f : folders) {
    const std::string folder = WithoutSeparator(f);
    if (folder.empty() || !seen.insert(folder).second) continue;
    for (const std::string& name : env.ListFiles(folder)) {
      if (!platform::IsTempNameOf(name, mark)) continue;
      const std::string path = folder + kPathSepText + name;
      if (env.DeleteFile(path)) removed.push_back(path);
    }
  }
  return removed;
}

}  // namespace tolven
