// The embedded database as the gateway opens it (db::OpenSqlite: write-ahead
// log, full sync at every commit), in a temporary folder on the benchmark's
// disk, with the whole schema and the modules' shared tools, for the
// benchmarks that call product modules in this process.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "db/startup_state.h"
#include "db/station_context.h"
#include "platform/env.h"
#include "platform/ui.h"

namespace tolven::bench {

// Nobody watches a benchmark's windows; failures are counted and shown.
class QuietUi final : public platform::Ui {
 public:
  void Status(const std::string&) override {}
  void LogLine(const std::string&) override {}
  void MessageBox(const std::string& text, platform::MsgKind kind, const std::string& title) override;
  std::string InputBox(const std::string&, const std::string&) override { return ""; }
  int messages = 0;
};

class LocalDb {
 public:
  LocalDb(const std::string& parentDir, platform::Env& env, bool keep = false);
  ~LocalDb();
  LocalDb(const LocalDb&) = delete;
  LocalDb& operator=(const LocalDb&) = delete;

  // Folder, database file and schema; false with a reason.
  bool Create(std::string& error);

  db::Connection& conn() { return *conn_; }
  db::StationContext& tools() { return *tools_; }
  StartupState& state() { return state_; }
  QuietUi& ui() { return ui_; }
  const std::string& folder() const { return folder_; }
  std::string dbPath() const { return folder_ + "/tolven.db"; }

  // Runs each statement; false with the failing statement and its error.
  bool Exec(const std::vector<std::string>& statements, std::string& error);
  std::string Scalar(const std::string& sql);

 private:
  std::string parentDir_;
  platform::Env& env_;
  bool keep_;
  std::string folder_;
  QuietUi ui_;
  StartupState state_;
  std::unique_ptr<db::Connection> conn_;
  std::unique_ptr<db::StationContext> tools_;
};

}  // namespace tolven::bench
