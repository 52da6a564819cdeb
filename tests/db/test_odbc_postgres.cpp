// The ODBC engine on a real PostgreSQL server: text in and out, transactions
// that a failure aborts, and time-outs. Runs in the "pg." registration of the
// database tests (TOLVEN_TEST_ENGINE=POSTGRESQL); skipped on the embedded engine.
#include <gtest/gtest.h>

#include <chrono>

#include "db/db_tools.h"
#include "db/odbc_connection.h"
#include "support/test_db.h"

namespace tolven::db {
namespace {

using tolven::testing::TestDb;
using tolven::testing::TestEngine;
using Clock = std::chrono::steady_clock;

class PgEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (TestEngine() != "POSTGRESQL") GTEST_SKIP() << "PostgreSQL only (TOLVEN_TEST_ENGINE=POSTGRESQL)";
    db = std::make_unique<TestDb>();
  }
  std::unique_ptr<TestDb> db;
};

TEST_F(PgEngine, EveryWindowsByteSurvivesAndLookupsIgnoreCase) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  db->Exec("INSERT INTO syslog (typ, memotext) VALUES ('I', " + SqlText(all) + ")");
  EXPECT_EQ(db->Scalar("SELECT memotext FROM syslog"), all);
  EXPECT_EQ(db->Scalar("SELECT char_length(memotext) FROM syslog"), "255");
  // Stored as the server's own UTF-8, so other programs read the same text.
  db->Exec("INSERT INTO kassi (kanr, name) VALUES (1, 'Jürgen € \x81')");
  EXPECT_EQ(db->Scalar("SELECT encode(convert_to(name::text, 'UTF8'), 'hex') FROM kassi"),
            "4ac3bc7267656e20e282ac20c281");
  // As on SQL Server, names are found whatever their case, umlauts included.
  EXPECT_EQ(db->Scalar("SELECT kanr FROM kassi WHERE name = 'JÜRGEN € \x81'"), "1");
  EXPECT_EQ(db->tools().GetUniqueNr("bunr"), 1);
  EXPECT_EQ(db->tools().GetUniqueNr("BUNR"), 2);
  // Column names come back as the server spells them.
  DbError err;
  auto rs = db->conn().Query("SELECT kanr AS \"Kürzel\" FROM kassi", err);
  ASSERT_TRUE(rs) << err.text;
  EXPECT_EQ(rs->ColumnName(0), "Kürzel");
}

// A failed statement ends the transaction: nothing before or after it is
// committed, and the commit says so instead of reporting success.
TEST_F(PgEngine, AFailedStatementAbortsTheWholeTransaction) {
  DbError err;
  ASSERT_TRUE(db->conn().BeginTrans(err)) << err.text;
  db->Exec("INSERT INTO kassea (bunr) VALUES (1)");
  EXPECT_FALSE(db->conn().Execute("INSERT INTO kasx (bunr) VALUES (2)", err));
  // Refused with the first failure, not sent to be refused by the server.
  EXPECT_FALSE(db->conn().Execute("INSERT INTO kassea (bunr) VALUES (3)", err));
  EXPECT_EQ(err.sqlState, "42P01") << err.text;
  EXPECT_FALSE(db->conn().Query("SELECT COUNT(*) FROM kassea", err));
  EXPECT_EQ(err.sqlState, "42P01") << err.text;
  DbError first;
  EXPECT_TRUE(db->conn().TransactionFailure(first));
  EXPECT_EQ(first.sqlState, "42P01");
  EXPECT_TRUE(db->conn().InTransaction());
  EXPECT_FALSE(db->conn().CommitTrans(err));
  EXPECT_NE(err.text.find("zurückgesetzt"), std::string::npos) << err.text;
  EXPECT_NE(err.text.find("kasx"), std::string::npos) << "the first failure is named: " << err.text;
  EXPECT_FALSE(db->conn().InTransaction());
  EXPECT_EQ(db->Count("kassea"), 0);
  EXPECT_FALSE(db->conn().RollbackTrans(err));
}

// SQL Server under XACT_ABORT rolls the whole transaction back with the failed
// statement, and its driver would send the next one outside any transaction,
// committed on its own. Here the server is made to do the same: nothing sent
// after the failure may be stored, and the commit reports the failure.
TEST_F(PgEngine, AfterATransactionTheServerRolledBackNothingIsStoredOnItsOwn) {
  db->Exec("CREATE SEQUENCE drawn");
  DbError err;
  ASSERT_TRUE(db->conn().BeginTrans(err)) << err.text;
  db->Exec("INSERT INTO kassea (bunr) VALUES (1)");
  EXPECT_FALSE(db->conn().Execute("ROLLBACK; SELECT 1/0", err));
  EXPECT_EQ(err.sqlState, "22012") << err.text;
  EXPECT_FALSE(db->conn().Execute("INSERT INTO kassea (bunr) VALUES (2)", err));
  EXPECT_EQ(err.sqlState, "22012") << err.text;
  EXPECT_FALSE(db->conn().Query("SELECT nextval('drawn')", err)) << "not even a sequence moves";
  EXPECT_FALSE(db->conn().CommitTrans(err));
  EXPECT_FALSE(db->conn().InTransaction());
  EXPECT_EQ(db->Count("kassea"), 0);
  EXPECT_EQ(db->Scalar("SELECT nextval('drawn')"), "1");
}

TEST_F(PgEngine, CommandTimeOutEndsALongStatementAndTheConnectionGoesOn) {
  db->conn().SetCommandTimeout(1);
  DbError err;
  const auto started = Clock::now();
  EXPECT_FALSE(db->conn().Execute("SELECT pg_sleep(5)", err));
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(4));
  EXPECT_NE(err.text.find("timeout"), std::string::npos) << err.text;
  db->conn().SetCommandTimeout(30);
  EXPECT_EQ(db->Scalar("SELECT 7"), "7");
}

}  // namespace
}  // namespace tolven::db
