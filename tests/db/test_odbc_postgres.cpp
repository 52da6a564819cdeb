// The ODBC engine on a real PostgreSQL server: every byte of text, a
// transaction the server rolled back on its own, and a session the server
// ends. Runs in the "pg." registration of the database tests.
#include <gtest/gtest.h>

#include "db/db_tools.h"
#include "db/odbc_connection.h"
#include "db/station_lock.h"
#include "support/pg_server.h"
#include "support/test_db.h"

namespace tolven::db {
namespace {

using tolven::testing::TestDb;

class PgEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (tolven::testing::TestEngine() != "POSTGRESQL") GTEST_SKIP() << "PostgreSQL only";
    db = std::make_unique<TestDb>();
  }
  std::unique_ptr<TestDb> db;
  DbError err;
};

// SQL Server under XACT_ABORT rolls the whole transaction back with a failed
// statement, and its driver would send the next one outside any transaction,
// committed on its own. Made to happen here: nothing sent after the failure
// is stored, not even a sequence moves, and the commit reports the failure.
TEST_F(PgEngine, EveryWindowsByteSurvivesAndNothingRunsAfterTheServerRolledBack) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  db->Exec("INSERT INTO syslog (typ, memotext) VALUES ('I', " + SqlText(all) + ")");
  EXPECT_EQ(db->Scalar("SELECT memotext FROM syslog"), all);
  db->Exec("CREATE SEQUENCE drawn");
  ASSERT_TRUE(db->conn().BeginTrans(err)) << err.text;
  db->Exec("INSERT INTO kassea (bunr) VALUES (1)");
  EXPECT_FALSE(db->conn().Execute("ROLLBACK; SELECT 1/0", err));
  EXPECT_FALSE(db->conn().Execute("INSERT INTO kassea (bunr) VALUES (2)", err));
  EXPECT_EQ(err.sqlState, "22012") << "refused with the first failure, not sent: " << err.text;
  EXPECT_FALSE(db->conn().Query("SELECT nextval('drawn')", err));
  EXPECT_FALSE(db->conn().CommitTrans(err));
  EXPECT_NE(err.text.find("zurückgesetzt"), std::string::npos) << err.text;
  EXPECT_FALSE(db->conn().InTransaction());
  EXPECT_EQ(db->Count("kassea"), 0);
  EXPECT_EQ(db->Scalar("SELECT nextval('drawn')"), "1");
}

// The next statement outside a transaction opens the session again, with the
// station lock; the statement that met the break fails and is never repeated.
TEST_F(PgEngine, ALostSessionIsOpenedAgainByTheNextStatement) {
  auto admin = db->OpenSecond();
  testing::FakeEnv clock;  // the pause between two attempts to open the session again
  auto conn = OpenOdbc(testing::PgTarget(db->databaseName()), 30, err, clock);
  ASSERT_TRUE(conn && admin) << err.text;
  StationLock held, second;
  ASSERT_TRUE(held.Acquire(*conn, "", 7).ok());
  ASSERT_TRUE(
      admin->Execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = "
                     "current_database() AND pid <> pg_backend_pid()",
                     err))
      << err.text;
  EXPECT_FALSE(conn->Execute("INSERT INTO kassea (bunr) VALUES (1)", err)) << "the statement that met the break";
  clock.SleepMs(5200);
  EXPECT_TRUE(conn->Execute("INSERT INTO kassea (bunr) VALUES (2)", err)) << err.text;
  auto other = db->OpenSecond();
  EXPECT_TRUE(!second.Acquire(*other, "", 7).ok() && second.busy()) << "taken again in the new session";
  auto rows = admin->Query("SELECT string_agg(bunr::text, ',') FROM kassea", err);  // this session was not ended
  ASSERT_TRUE(rows && !rows->Eof()) << err.text;
  EXPECT_EQ(rows->Raw(0).AsString(), "2");
}

}  // namespace
}  // namespace tolven::db
