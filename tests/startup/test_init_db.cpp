#include "startup/init_db.h"

#include <gtest/gtest.h>

#include <string>

#include "db/db_tools.h"
#include "startup_fixture.h"

namespace tolven {
namespace {

class InitDbTest : public testing::StartupTest {
 protected:
  int Init() {
    ModuleStart start(env_, ui_, config_.path());
    return InitDatabase(start, ui_);
  }
  testing::TempDir dbFolder_;
};

TEST_F(InitDbTest, CreatesTheSchemaOnceAndNeverTouchesAnExistingDatabase) {
  PutIni(SqliteIni("2", dbFolder_.path()));
  ASSERT_EQ(Init(), kExitOk);
  ASSERT_EQ(RunMain(), kExitOk);  // the gateway starts on it
  for (const auto& m : ui_.messages) ADD_FAILURE() << m.text;
  EXPECT_EQ(state_.kasse, 2);
  EXPECT_EQ(state_.mwst[1], Rate::FromPercent(19));

  db::DbError err;
  ASSERT_TRUE(connection_->Execute("INSERT INTO kassi (kanr, name) VALUES (1, 'Anna')", err)) << err.text;
  ASSERT_TRUE(connection_->Execute("DROP TABLE tische", err)) << err.text;  // even an incomplete schema stays
  EXPECT_EQ(Init(), kExitNoDatabase);
  ASSERT_EQ(ui_.messages.size(), 1u);
  EXPECT_NE(ui_.messages[0].text.find("bereits Tabellen"), std::string::npos);
  auto rs = connection_->Query("SELECT COUNT(*) AS n FROM kassi", err);
  ASSERT_TRUE(rs) << err.text;
  EXPECT_EQ(db::GetFieldValue(*rs, "n").AsInt(), 1);
  EXPECT_FALSE(connection_->Query("SELECT COUNT(*) FROM tische", err));
}

TEST_F(InitDbTest, NeverOverwritesAFileThatIsNoDatabase) {
  const std::string notes = "Notizen, keine Datenbank\r\n" + std::string(5000, 'x');
  testing::WriteAll(dbFolder_ / "tolven.db", notes);
  PutIni(SqliteIni("1", dbFolder_.path()));
  EXPECT_EQ(Init(), kExitNoDatabase);
  EXPECT_EQ(testing::ReadAll(dbFolder_ / "tolven.db"), notes);
}

}  // namespace
}  // namespace tolven
