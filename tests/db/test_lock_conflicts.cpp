// Deadlocks and lock waits that run out: told apart from other failures on
// every engine, and a statement that may run twice gets its second try, with
// a real lock of a second connection on the engine of the run.
#include <gtest/gtest.h>

#include "db/db_tools.h"
#include "db/odbc_connection.h"
#include "db/tds_standin.h"
#include "support/lock_conflict.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

db::DbError Error(const std::string& source, int32_t number, const std::string& state = "",
                  const std::string& text = "") {
  db::DbError e;
  e.source = source;
  e.number = number;
  e.sqlState = state;
  e.text = text;
  e.nativeNumbers = {number};
  return e;
}

TEST(LockConflicts, AreToldApartFromOtherFailures) {
  // SQL Server: a deadlock victim (reported after a first record), a lock time-out, the settlement lock.
  db::DbError victim = Error("FreeTDS SQL Server", 3621, "40001");
  victim.nativeNumbers = {3621, 1205};
  EXPECT_TRUE(db::IsLockConflict(victim));
  EXPECT_TRUE(db::IsLockConflict(Error("FreeTDS SQL Server", 1222, "HY000")));
  const std::string appLock = "Sperre tolvenpda nicht erhalten ";
  EXPECT_TRUE(db::IsLockConflict(Error("FreeTDS SQL Server", 50000, "42000", appLock + "(-1)")));
  EXPECT_FALSE(db::IsLockConflict(Error("FreeTDS SQL Server", 50000, "42000", appLock + "(-999)")));
  // A statement that ran too long is no lock conflict: it might run too long again.
  EXPECT_FALSE(db::IsLockConflict(Error("FreeTDS SQL Server", 0, "HYT00", "Timeout expired")));
  EXPECT_FALSE(db::IsLockConflict(Error("FreeTDS SQL Server", 2627, "23000")));
  // PostgreSQL.
  EXPECT_TRUE(db::IsLockConflict(Error("PostgreSQL", 7, "40P01")));
  EXPECT_TRUE(db::IsLockConflict(Error("PostgreSQL", 7, "55P03")));
  EXPECT_FALSE(db::IsLockConflict(Error("PostgreSQL", 7, "57014")));
  // SQLite, extended codes included; the same numbers from elsewhere mean nothing.
  EXPECT_TRUE(db::IsLockConflict(Error("SQLite", 5)));
  EXPECT_TRUE(db::IsLockConflict(Error("SQLite", 517)));  // busy, snapshot
  EXPECT_TRUE(db::IsLockConflict(Error("SQLite", 6)));
  EXPECT_FALSE(db::IsLockConflict(Error("SQLite", 19)));
  EXPECT_FALSE(db::IsLockConflict(Error("FaultyConnection", 5)));
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

// SQL Server ends a deadlock victim's whole transaction; its driver would send
// the next statement outside any transaction, committed on its own. Through
// the real driver to the stand-in server: after the deadlock nothing more of
// the transaction reaches the server, and the commit becomes a rollback.
TEST(FailedTransaction, SendsNothingAfterADeadlockOnSqlServer) {
  if (TestEngine() == "POSTGRESQL") GTEST_SKIP() << "runs in the default registration";
  TdsStandin server("normal", {"UPDATE kass\terror 1205 13 Transaction was deadlocked"});
  ASSERT_TRUE(server.started());
  db::DbError err, first;
  auto c = db::OpenOdbc(server.Target(), 5, err);
  ASSERT_NE(c, nullptr) << err.text;
  ASSERT_TRUE(c->BeginTrans(err)) << err.text;
  ASSERT_TRUE(c->Execute("INSERT INTO kassea (bunr) VALUES (1)", err)) << err.text;
  EXPECT_FALSE(c->Execute("UPDATE kass SET tisch = 1", err));
  EXPECT_TRUE(db::IsLockConflict(err)) << err.text;
  EXPECT_FALSE(c->Execute("INSERT INTO kassea (bunr) VALUES (2)", err));
  EXPECT_EQ(err.number, 1205) << err.text;
  EXPECT_FALSE(c->Query("SELECT bunr FROM kassea", err));
  EXPECT_TRUE(c->TransactionFailure(first));
  EXPECT_TRUE(db::IsLockConflict(first)) << first.text;
  EXPECT_FALSE(c->CommitTrans(err));
  for (const auto& b : server.Events("batch")) {
    EXPECT_EQ(b.at("sql").find("VALUES (2)"), std::string::npos) << "sent after the deadlock";
    EXPECT_EQ(b.at("sql").find("SELECT bunr"), std::string::npos) << "sent after the deadlock";
  }
  const auto ends = server.Events("transaction");
  ASSERT_FALSE(ends.empty());
  EXPECT_EQ(ends.back().at("request"), "rollback");
  // The session goes on with the next transaction.
  ASSERT_TRUE(c->BeginTrans(err)) << err.text;
  EXPECT_TRUE(c->Execute("INSERT INTO kassea (bunr) VALUES (3)", err)) << err.text;
  EXPECT_TRUE(c->CommitTrans(err)) << err.text;
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

  // A caller that asks learns that it is over and goes on outside it.
  ASSERT_TRUE(conn.BeginTrans(err)) << err.text;
  EXPECT_FALSE(conn.Execute("INSERT INTO kassea (bunr) VALUES (2)", err));
  EXPECT_FALSE(conn.InTransaction());
  db.Exec("INSERT INTO kassea (bunr) VALUES (5)");
  EXPECT_EQ(db.Count("kassea"), 1);
}

}  // namespace
}  // namespace tolven::testing
