#include "support/test_db.h"

#include <gtest/gtest.h>

#include "db/schema_scripts.h"

namespace tolven::testing {

TestDb::TestDb() {
  db::DbError err;
  conn_ = db::OpenSqlite(dbPath(), true, err);
  if (!conn_) {
    ADD_FAILURE() << "open: " << err.text;
    return;
  }
  if (!db::ExecuteSqliteScript(*conn_, "BEGIN;\n" + db::SchemaScript("sqlite") + "\nCOMMIT;\n", err)) ADD_FAILURE() << "schema: " << err.text;
  state_.engine = "SQLITE";
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
  tools_ = std::make_unique<db::DbTools>(*conn_, state_, env_, ui_);
}

void TestDb::Exec(const std::string& sql) {
  db::DbError err;
  if (!conn_->Execute(sql, err)) ADD_FAILURE() << sql << "\n -> " << err.text;
}

std::string TestDb::Scalar(const std::string& sql) {
  db::DbError err;
  auto rs = conn_->Query(sql, err);
  if (!rs) {
    ADD_FAILURE() << sql << "\n -> " << err.text;
    return "";
  }
  if (rs->Eof() || rs->ColumnCount() == 0) return "";
  return rs->Raw(0).AsString();
}

int64_t TestDb::Count(const std::string& table, const std::string& where) {
  return std::stoll("0" + Scalar("SELECT COUNT(*) FROM " + table + (where.empty() ? "" : " WHERE " + where)));
}

std::unique_ptr<db::Connection> TestDb::OpenSecond() {
  db::DbError err;
  auto c = db::OpenSqlite(dbPath(), false, err);
  if (!c) ADD_FAILURE() << "second open: " << err.text;
  return c;
}

}  // namespace tolven::testing
