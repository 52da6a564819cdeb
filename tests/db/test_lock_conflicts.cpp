// Deadlocks and lock waits that run out: told apart from other failures on
// every engine, and a statement that may run twice gets its second try, with
// a real lock of a second connection on the engine of the run. (SQL Server's
// deadlock victim: the stand-in server tests.)
#include <gtest/gtest.h>

#include "db/db_tools.h"
#include "support/lock_conflict.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

TEST(LockConflicts, AreToldApartFromOtherFailures) {
  const std::string appLock = "Sperre tolvenpda nicht erhalten ";
  const struct {
    const char* source;
    std::vector<int32_t> numbers;  // the first one is the error's number
    const char* state;
    std::string text;
    bool conflict;
  } cases[] = {
      // SQL Server: a deadlock victim (reported after a first record), a lock
      // time-out, the settlement lock; a statement that ran too long is none (it
      // might run too long again).
      {"FreeTDS SQL Server", {3621, 1205}, "40001", "", true},
      {"FreeTDS SQL Server", {1222}, "HY000", "", true},
      {"FreeTDS SQL Server", {50000}, "42000", appLock + "(-1)", true},
      {"FreeTDS SQL Server", {50000}, "42000", appLock + "(-999)", false},
      {"FreeTDS SQL Server", {0}, "HYT00", "Timeout expired", false},
      {"FreeTDS SQL Server", {2627}, "23000", "", false},
      {"PostgreSQL", {7}, "40P01", "", true},
      {"PostgreSQL", {7}, "55P03", "", true},
      {"PostgreSQL", {7}, "57014", "", false},
      // SQLite, extended codes included; the same numbers from elsewhere mean nothing.
      {"SQLite", {5}, "", "", true},
      {"SQLite", {517}, "", "", true},
      {"SQLite", {6}, "", "", true},
      {"SQLite", {19}, "", "", false},
      {"FaultyConnection", {5}, "", "", false},
  };
  for (const auto& c : cases) {
    db::DbError e;
    e.source = c.source;
    e.number = c.numbers[0];
    e.sqlState = c.state;
    e.text = c.text;
    e.nativeNumbers = c.numbers;
    EXPECT_EQ(db::IsLockConflict(e), c.conflict) << c.source << " " << c.numbers.back() << " " << c.state;
  }
}

// The second station holds the row; the first may not wait for it.
class RepeatableStatement : public ::testing::Test {
 protected:
  RepeatableStatement() : second(db.OpenSecond()), watched(db.conn()), tools(watched, db.state(), db.env(), db.ui()) {
    db.Exec("INSERT INTO uniquenr (name, wert) VALUES ('A', 0)");
    db.conn().SetCommandTimeout(0);
  }
  TestDb db;
  std::unique_ptr<db::Connection> second;
  WatchedConnection watched;
  db::DbTools tools;
  const std::string mark = "UPDATE uniquenr SET wert = 5 WHERE name = 'A'";
};

TEST_F(RepeatableStatement, RunsOnceMoreAfterALockConflictAndNoMore) {
  HeldLock lock(*second, "UPDATE uniquenr SET wert = wert WHERE name = 'A'");
  Status st = tools.ExecSQLRepeatable(mark);
  EXPECT_TRUE(st.IsConflict()) << st.message();
  EXPECT_EQ(watched.executes, 2) << "one more try, not more";

  // The other station gives way before the second try.
  watched.executes = 0;
  watched.executeAt = 2;
  watched.action = [&] { lock.Release(); };
  EXPECT_TRUE(tools.ExecSQLRepeatable(mark));
  EXPECT_EQ(watched.executes, 2);
  EXPECT_EQ(db.Scalar("SELECT wert FROM uniquenr WHERE name = 'A'"), "5");

  // Any other failure is final at once.
  watched.executes = 0;
  EXPECT_FALSE(tools.ExecSQLRepeatable("UPDATE gibtesnicht SET a = 1"));
  EXPECT_EQ(watched.executes, 1);
}

TEST_F(RepeatableStatement, IsNotRepeatedInsideATransaction) {
  if (db.IsSqlite()) GTEST_SKIP() << "the embedded engine locks at the transaction's begin";
  HeldLock lock(*second, "UPDATE uniquenr SET wert = wert WHERE name = 'A'");
  db::DbError err;
  ASSERT_TRUE(db.conn().BeginTrans(err)) << err.text;
  Status st = tools.ExecSQLRepeatable(mark);
  EXPECT_TRUE(st.IsConflict()) << st.message();
  EXPECT_EQ(watched.executes, 1) << "the conflict has ended the transaction: a second try would run outside it";
  EXPECT_TRUE(db.conn().RollbackTrans(err)) << err.text;
}

// The engine may roll a transaction back on its own (a full disk); what the
// caller sends after that must not be stored on its own.
TEST(EngineEndedTransaction, NothingRunsOutsideItUntilTheRollback) {
  TestDb db;
  if (!db.IsSqlite()) GTEST_SKIP() << "the server engines: see the failed-transaction tests of the ODBC engine";
  db.Exec("CREATE TRIGGER disk_full BEFORE INSERT ON kassea WHEN NEW.bunr = 2 "
          "BEGIN SELECT RAISE(ROLLBACK, 'database or disk is full'); END");
  db::Connection& conn = db.conn();
  db::DbError err, first;
  ASSERT_TRUE(conn.BeginTrans(err)) << err.text;
  ASSERT_TRUE(conn.Execute("INSERT INTO kassea (bunr) VALUES (1)", err)) << err.text;
  EXPECT_FALSE(conn.Execute("INSERT INTO kassea (bunr) VALUES (2)", err));
  EXPECT_FALSE(conn.Execute("INSERT INTO kassea (bunr) VALUES (3)", err));
  EXPECT_NE(err.text.find("disk is full"), std::string::npos) << err.text;
  EXPECT_FALSE(conn.ExecuteWith("INSERT INTO kassea (bunr) VALUES (?)", {4}, err));
  EXPECT_FALSE(conn.Query("SELECT COUNT(*) FROM kassea", err));
  EXPECT_TRUE(conn.TransactionFailure(first));
  EXPECT_NE(first.text.find("disk is full"), std::string::npos) << first.text;
  EXPECT_TRUE(conn.RollbackTrans(err)) << err.text;
  EXPECT_EQ(db.Count("kassea"), 0);

  // Its commit says that nothing was stored.
  ASSERT_TRUE(conn.BeginTrans(err)) << err.text;
  EXPECT_FALSE(conn.Execute("INSERT INTO kassea (bunr) VALUES (2)", err));
  EXPECT_FALSE(conn.CommitTrans(err));
  EXPECT_NE(err.text.find("disk is full"), std::string::npos) << err.text;
  EXPECT_FALSE(conn.InTransaction());
}

}  // namespace
}  // namespace tolven::testing
