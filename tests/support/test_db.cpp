#include "support/test_db.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "common/text.h"
#include "db/schema_scripts.h"
#include "support/pg_server.h"

namespace tolven::testing {

std::string TestEngine() {
  const char* e = std::getenv("TOLVEN_TEST_ENGINE");
  std::string engine = e ? ToUpper(TrimBlanks(e)) : "";
  return engine.empty() ? "SQLITE" : engine;
}

TestDb::TestDb() {
  state_.engine = TestEngine();
  if (state_.engine == "POSTGRESQL") {
    pgName_ = UniquePgDatabaseName("tdb");
    std::string error;
    if (!CreatePgDatabase(pgName_, true, error)) {
      ADD_FAILURE() << "PostgreSQL test database: " << error;
      pgName_.clear();
    } else {
      conn_ = OpenPg(pgName_, error);
      if (!conn_) ADD_FAILURE() << "open " << pgName_ << ": " << error;
    }
  } else if (state_.engine == "SQLITE") {
    auto opened = db::OpenSqlite(dbPath(), true);
    if (!opened) {
      ADD_FAILURE() << "open: " << opened.status().message();
    } else {
      conn_ = std::move(*opened);
      Status schema = db::ExecuteSqliteScript(*conn_, "BEGIN;\n" + db::SchemaScript("sqlite") + "\nCOMMIT;\n");
      if (!schema) ADD_FAILURE() << "schema: " << schema.message();
    }
  } else {
    ADD_FAILURE() << "TOLVEN_TEST_ENGINE=" << state_.engine << " is no test engine (SQLITE, POSTGRESQL)";
  }
  // The modules never see a missing connection: an empty database without
  // tables makes every statement fail instead of crashing the test program.
  if (!conn_) conn_ = db::OpenSqlite(dir_ / "empty.db", true).value_or(nullptr);
  if (!conn_) std::abort();
  state_.datumFormat = "E";
  state_.boolTrueWert = -1;
  state_.kasse = 1;
  state_.filiale = 1;
  state_.configFolder = dir_.path();
  state_.programFolder = dir_.path();
  state_.exePfad = dir_.path() + "/";
  state_.logPfad = state_.exePfad + "LOG/2026/";
  state_.archivPfad = state_.exePfad + "ARCHIV/";
  state_.archivDtaPfad = state_.archivPfad + "DTA/";
  state_.archivBonPfad = state_.archivPfad + "BON/";
  state_.mwst = {Rate{0}, Rate::FromPercent(19), Rate::FromPercent(7), Rate{0}};
  state_.tseInUse = state_.tseViaServer = state_.dbIsClientServer = true;
  env_.programFolder = dir_.path();
  (void)env_.CreateFolder(state_.logPfad + "TSE");
  tools_ = std::make_unique<db::StationContext>(*conn_, state_, env_, ui_);
}

TestDb::~TestDb() {
  tools_.reset();
  if (conn_) conn_->Close();
  conn_.reset();
  if (!pgName_.empty()) DropPgDatabase(pgName_);
}

void TestDb::Exec(const std::string& sql) {
  if (Status done = conn_->Execute(sql); !done) ADD_FAILURE() << sql << "\n -> " << done.message();
}

std::string TestDb::Scalar(const std::string& sql) {
  auto rs = conn_->Query(sql);
  if (!rs) {
    ADD_FAILURE() << sql << "\n -> " << rs.status().message();
    return "";
  }
  if (rs->Eof() || rs->ColumnCount() == 0) return "";
  return rs->Raw(0).AsString();
}

int64_t TestDb::Count(const std::string& table, const std::string& where) {
  return std::stoll("0" + Scalar("SELECT COUNT(*) FROM " + table + (where.empty() ? "" : " WHERE " + where)));
}

std::unique_ptr<db::Connection> TestDb::OpenSecond() {
  if (!pgName_.empty()) {
    std::string error;
    auto c = OpenPg(pgName_, error);
    if (!c) ADD_FAILURE() << "second open: " << error;
    return c;
  }
  auto c = db::OpenSqlite(dbPath(), false);
  if (!c) ADD_FAILURE() << "second open: " << c.status().message();
  return c ? std::move(*c) : nullptr;
}

void TestDb::RestartIds(const std::string& table) {
  if (IsSqlite()) {
    Exec("DELETE FROM sqlite_sequence WHERE name = '" + table + "'");
  } else {
    Exec("SELECT setval(pg_get_serial_sequence('" + table + "', 'id'), COALESCE(MAX(id), 0) + 1, false) FROM " + table);
  }
}

void TestDb::FailInserts(const std::string& table, const std::string& message, bool endsTransaction) {
  const std::string name = "fail_" + table;
  if (IsSqlite()) {
    Exec("CREATE TRIGGER " + name + " BEFORE INSERT ON " + table + " BEGIN SELECT RAISE(" +
         (endsTransaction ? "ROLLBACK" : "ABORT") + ", " + db::SqlText(message) + "); END");
    return;
  }
  Exec("CREATE OR REPLACE FUNCTION " + name + "() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN RAISE EXCEPTION " +
       db::SqlText(message) + "; END $$");
  Exec("CREATE TRIGGER " + name + " BEFORE INSERT ON " + table + " FOR EACH ROW EXECUTE FUNCTION " + name + "()");
}

}  // namespace tolven::testing
