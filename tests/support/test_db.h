// A real database with the whole schema, plus the tools object the modules
// need. The engine is SQLite unless $TOLVEN_TEST_ENGINE says POSTGRESQL: then
// every TestDb gets a fresh database of its own on the server of
// $TOLVEN_TEST_PG (see pg_server.h), dropped again at its end, so tests stay
// independent and may run in parallel.
#pragma once

#include <memory>
#include <string>

#include "db/sqlite_connection.h"
#include "db/station_context.h"
#include "support/fake_env.h"

namespace tolven::testing {

// "SQLITE" or "POSTGRESQL", from $TOLVEN_TEST_ENGINE.
std::string TestEngine();

class TestDb {
 public:
  // Creates the database with the schema (and the one `system` row): for
  // SQLite tolven.db in a new temporary folder. State: ISO dates, TRUE = -1,
  // rates 19 / 7, Kasse 1, ExePfad = the temporary folder + "/", LogPfad =
  // ExePfad + "LOG/2026/".
  TestDb();
  ~TestDb();
  TestDb(const TestDb&) = delete;
  TestDb& operator=(const TestDb&) = delete;

  db::Connection& conn() { return *conn_; }
  db::StationContext& tools() { return *tools_; }
  StartupState& state() { return state_; }
  FakeEnv& env() { return env_; }
  FakeUi& ui() { return ui_; }
  const std::string& folder() const { return dir_.path(); }
  // The SQLite file (meaningful on SQLite only).
  std::string dbPath() const { return dir_ / "tolven.db"; }
  bool IsSqlite() const { return state_.engine == "SQLITE"; }
  // The server database's name ("" on SQLite).
  const std::string& databaseName() const { return pgName_; }

  // Runs a statement and fails the test when it does not work.
  void Exec(const std::string& sql);
  // The first column of the first row as text ("" when there is no row).
  std::string Scalar(const std::string& sql);
  int64_t Count(const std::string& table, const std::string& where = "");
  // A second, independent connection to the same database.
  std::unique_ptr<db::Connection> OpenSecond();
  // Ids assigned by the database (bestellung.id) start again after the
  // largest one left in the table, as in a fresh database.
  void RestartIds(const std::string& table);
  // Every insert into the table fails with the message (a trigger of the
  // engine). With `endsTransaction` SQLite rolls the whole transaction back as
  // well, as PostgreSQL aborts it on any failure.
  void FailInserts(const std::string& table, const std::string& message, bool endsTransaction = false);

 private:
  TempDir dir_;
  FakeEnv env_;
  FakeUi ui_;
  StartupState state_;
  std::string pgName_;
  std::unique_ptr<db::Connection> conn_;
  std::unique_ptr<db::StationContext> tools_;
};

}  // namespace tolven::testing
