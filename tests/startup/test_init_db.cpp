#include "startup/init_db.h"

#include <gtest/gtest.h>

#include <string>

#include "db/db_tools.h"
#include "db/sqlite_connection.h"
#include "startup_fixture.h"

namespace tolven {
namespace {

using testing::StartupTest;
using testing::TempDir;
using testing::WriteAll;

class InitDbTest : public StartupTest {
 protected:
  int Init() {
    ModuleStart start(env_, ui_, config_.path());
    return InitDatabase(start, ui_);
  }
  TempDir dbFolder_;
};

TEST_F(InitDbTest, CreatesTheSchemaAndTheGatewayStartsOnIt) {
  PutIni(SqliteIni("2", dbFolder_.path()));
  ASSERT_EQ(Init(), kExitOk);
  for (const auto& m : ui_.messages) ADD_FAILURE() << m.text;

  db::DbError err;
  auto conn = db::OpenSqlite(dbFolder_ / "tolven.db", false, err);
  ASSERT_TRUE(conn) << err.text;
  for (const char* table : {"system", "uniquenr", "bestellung", "kass", "kasspro", "syslog", "tse_server_req"}) {
    auto rs = conn->Query(std::string("SELECT COUNT(*) AS n FROM ") + table, err);
    EXPECT_TRUE(rs) << table << ": " << err.text;
  }
  auto rs = conn->Query("SELECT COUNT(*) AS n FROM system", err);
  ASSERT_TRUE(rs);
  EXPECT_EQ(db::GetFieldValue(*rs, "n").AsInt(), 1);
  conn.reset();

  ui_ = testing::FakeUi();
  ASSERT_EQ(RunMain(), kExitOk);
  EXPECT_EQ(state_.kasse, 2);
  EXPECT_EQ(state_.datumFormat, "E");
  EXPECT_EQ(state_.boolTrueWert, -1);
  EXPECT_EQ(state_.mwst[1], Rate::FromPercent(19));
}

TEST_F(InitDbTest, RefusesADatabaseWithTablesAndChangesNothing) {
  PutIni(SqliteIni("1", db_.folder()));
  db_.Exec("INSERT INTO kassi (kanr, name) VALUES (1, 'Anna')");
  db_.Exec("DROP TABLE tische");  // even an incomplete schema is left alone
  const int64_t tables = std::stoll(db_.Scalar("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table'"));

  EXPECT_NE(Init(), kExitOk);
  ASSERT_EQ(ui_.messages.size(), 1u);
  EXPECT_NE(ui_.messages[0].text.find("bereits Tabellen"), std::string::npos);
  EXPECT_EQ(std::stoll(db_.Scalar("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table'")), tables);
  EXPECT_EQ(db_.Count("kassi"), 1);
}

TEST_F(InitDbTest, NeverOverwritesAFileThatIsNoDatabase) {
  const std::string notes = "Notizen, keine Datenbank\r\n" + std::string(5000, 'x');
  WriteAll(dbFolder_ / "tolven.db", notes);
  PutIni(SqliteIni("1", dbFolder_.path()));
  EXPECT_EQ(Init(), kExitNoDatabase);
  ASSERT_EQ(ui_.messages.size(), 1u);
  EXPECT_EQ(ui_.messages[0].text.find("bereits Tabellen"), std::string::npos) << ui_.messages[0].text;
  EXPECT_EQ(testing::ReadAll(dbFolder_ / "tolven.db"), notes);
}

TEST_F(InitDbTest, OtherEnginesAndMissingFoldersAreRefusedClearly) {
  PutIni("[DATABASE]\r\nENGINE=MSSQL\r\nPWD=x\r\n");
  EXPECT_EQ(Init(), kExitNoDatabase);
  ASSERT_EQ(ui_.messages.size(), 1u);
  EXPECT_NE(ui_.messages[0].text.find("MSSQL"), std::string::npos);

  ui_ = testing::FakeUi();
  PutIni(SqliteIni("1", dbFolder_ / "missing"));
  EXPECT_EQ(Init(), kExitNoDatabase);
  ASSERT_EQ(ui_.messages.size(), 1u);
  EXPECT_NE(ui_.messages[0].text.find("missing"), std::string::npos) << ui_.messages[0].text;
}

}  // namespace
}  // namespace tolven
