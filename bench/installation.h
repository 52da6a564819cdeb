// A complete temporary installation for the benchmarks that run the real
// binaries: configuration folder with TOLVEN.INI, the embedded database created
// by `tolvenpda --init-db`, a small menu, kitchen printers and customer
// receipt printers writing to files, and up to five terminal folders. The
// gateway and the TSE server stand-in run as child processes, exactly as in
// production; the benchmark plays the terminals.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "db/connection.h"
#include "support/process.h"

namespace tolven::bench {

struct InstallationOptions {
  std::string binDir;     // holds tolvenpda and tse-sim
  std::string parentDir;  // the temporary folder is made inside it
  int slots = 1;          // terminal folders in use (1..5)
  bool keep = false;      // leave the folder for inspection
};

class Installation {
 public:
  explicit Installation(InstallationOptions options);
  ~Installation();
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  // Before Create: a third kitchen printer ("COM3", a receipt per line) on
  // this serial device, for article group 3 (articles 30, 31 and 32).
  void AddSerialPrinter(const std::string& device) { AddThirdPrinter("COM3", device); }
  // The same printer on the parallel port "LPT1" mapped to this device file.
  void AddParallelPrinter(const std::string& device) { AddThirdPrinter("LPT1", device); }
  // Folders, INI, database, menu and printers; false with a reason.
  bool Create(std::string& error);
  // The TSE server stand-in with its default poll; one already running is
  // stopped first (each start has its own output file).
  bool StartTseServer(const std::vector<std::string>& args = {});
  // The gateway; waits until its poll loop has started unless told not to.
  bool StartGateway(std::string& error, bool waitForLoop = true);
  void StopGateway();
  void StopAll();

  const std::string& root() const { return root_; }
  // Exchange folder of slot 1..5, with a trailing "/".
  std::string Terminal(int slot) const;
  std::string dbPath() const { return root_ + "/data/tolven.db"; }
  std::string gatewayLogPath() const { return root_ + "/gateway.log"; }
  pid_t gatewayPid() const { return gateway_ ? gateway_->pid() : -1; }
  int slots() const { return options_.slots; }

  // A separate connection to the database, as another station would hold it.
  std::unique_ptr<db::Connection> Connect(std::string& error);
  // The first column of the first row as text ("" when none or on error).
  std::string Scalar(const std::string& sql);
  // Log lines of the gateway that begin with "FEHLER" (after the time stamp).
  std::vector<std::string> GatewayErrors() const;
  // How often `needle` stands in the TSE day logs of the installation.
  int CountInTseLog(const std::string& needle) const;
  // Waits until every started order has been signed (" - Signatur=" in the TSE
  // log `count` times) and the gateway has had time to store it; false on time-out.
  bool WaitForSignatures(int count, double timeoutMs) const;

 private:
  bool Sql(db::Connection& c, const std::string& sql, std::string& error);
  // The environment of the children: the configuration folder.
  std::map<std::string, std::string> Env() const { return {{"TOLVEN_WINDIR", root_ + "/etc"}}; }

  InstallationOptions options_;
  std::string root_;
  std::unique_ptr<testing::ChildProcess> tseServer_;
  int tseStarts_ = 0;
  void AddThirdPrinter(const std::string& port, const std::string& device) {
    thirdPort_ = port;
    thirdDevice_ = device;
  }

  std::string thirdPort_, thirdDevice_;
  std::unique_ptr<testing::ChildProcess> gateway_;
};

// The order of `lines` article lines for a table, as a terminal writes it
// (Windows-1252, CR LF). Every line carries `tag` as its kitchen note so that
// each booked row can be traced back to the order it came from. The first
// `serialLines` lines are articles of the serial kitchen printer.
std::string OrderFile(int table, int waiter, int lines, const std::string& tag, int serialLines = 0);

// Written under a temporary name and renamed into place, as the terminals do.
// Returns false when the file could not be placed.
bool DropFile(const std::string& folder, const std::string& name, const std::string& contents);

std::string ReadWholeFile(const std::string& path);

}  // namespace tolven::bench
