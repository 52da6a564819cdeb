// A real SQLite database file with the whole schema, in a temporary folder, plus
// the tools object the modules need.
#pragma once

#include <memory>
#include <string>

#include "db/db_tools.h"
#include "db/sqlite_connection.h"
#include "support/fake_env.h"

namespace tolven::testing {

class TestDb {
 public:
  // Creates tolven.db with the schema (and the one `system` row) in a new
  // temporary folder; state: SQLite, ISO dates, TRUE = -1, rates 19 / 7, Kasse 1,
  // ExePfad = the temporary folder + "/", LogPfad = ExePfad + "LOG/2026/".
  TestDb();

  db::Connection& conn() { return *conn_; }
  db::DbTools& tools() { return *tools_; }
  StartupState& state() { return state_; }
  FakeEnv& env() { return env_; }
  FakeUi& ui() { return ui_; }
  const std::string& folder() const { return dir_.path(); }
  std::string dbPath() const { return dir_ / "tolven.db"; }

  // Runs a statement and fails the test when it does not work.
  void Exec(const std::string& sql);
  // The first column of the first row as text ("" when there is no row).
  std::string Scalar(const std::string& sql);
  int64_t Count(const std::string& table, const std::string& where = "");
  // A second, independent connection to the same file.
  std::unique_ptr<db::Connection> OpenSecond();

 private:
  TempDir dir_;
  FakeEnv env_;
  FakeUi ui_;
  StartupState state_;
  std::unique_ptr<db::Connection> conn_;
  std::unique_ptr<db::DbTools> tools_;
};

}  // namespace tolven::testing
