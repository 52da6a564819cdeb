// Transactions on the engine of the run: lock conflicts told apart from other
// failures, a statement that may run twice gets its second try against a real
// lock of a second connection, and the transaction guard's commit.
#include <gtest/gtest.h>

#include "db/db_tools.h"
#include "db/transaction.h"
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
      // time-out, the settlement lock; a statement that ran too long is none.
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
TEST(RepeatableStatement, RunsOnceMoreAfterALockConflictAndNoMore) {
  TestDb db;
  auto second = db.OpenSecond();
  WatchedConnection watched(db.conn());
  db::DbTools tools(watched, db.state(), db.env(), db.ui());
  db.Exec("INSERT INTO uniquenr (name, wert) VALUES ('A', 0)");
  db.conn().SetCommandTimeout(0);
  const std::string mark = "UPDATE uniquenr SET wert = 5 WHERE name = 'A'";
  HeldLock lock(*second, "UPDATE uniquenr SET wert = wert WHERE name = 'A'");
  Status st = tools.ExecSQLRepeatable(mark);
  EXPECT_TRUE(st.IsConflict()) << st.message();
  EXPECT_EQ(watched.executes, 2) << "one more try, not more";
  if (!db.IsSqlite()) {  // a conflict inside a transaction has ended it: no second try outside it
    watched.executes = 0;
    db::DbError err;
    ASSERT_TRUE(db.conn().BeginTrans(err)) << err.text;
    EXPECT_TRUE(tools.ExecSQLRepeatable(mark).IsConflict());
    EXPECT_EQ(watched.executes, 1);
    EXPECT_TRUE(db.conn().RollbackTrans(err)) << err.text;
  }
  // The other station gives way before the second try.
  watched.executes = 0;
  watched.executeAt = 2;
  watched.action = [&] { lock.Release(); };
  EXPECT_TRUE(tools.ExecSQLRepeatable(mark));
  EXPECT_EQ(db.Scalar("SELECT wert FROM uniquenr WHERE name = 'A'"), "5");
  watched.executes = 0;  // any other failure is final at once
  EXPECT_FALSE(tools.ExecSQLRepeatable("UPDATE gibtesnicht SET a = 1"));
  EXPECT_EQ(watched.executes, 1);
}

const char* const kRow = "INSERT INTO kassi (kanr, name) VALUES (1, 'Anna')";

// A failed statement not undone to a savepoint, whether the engine ended the
// transaction with it (SQLite on request, PostgreSQL always) or not: what ran
// before it is not stored, and the commit says so.
TEST(Transaction, ACommitAfterAFailedStatementIsAnError) {
  for (const bool endsTransaction : {false, true}) {
    TestDb db;
    db.FailInserts("tische", "Platte voll", endsTransaction);
    db::Transaction transaction(db.conn());
    ASSERT_TRUE(transaction.Begin());
    ASSERT_TRUE(db.tools().ExecSQL(kRow));
    EXPECT_FALSE(db.tools().ExecSQL("INSERT INTO tische (tisch) VALUES (5)"));
    EXPECT_FALSE(db.tools().ExecSQL("INSERT INTO kassea (bunr) VALUES (3)") && endsTransaction);
    const Status committed = transaction.Commit();
    EXPECT_NE(committed.message().find(endsTransaction && db.IsSqlite() ? "vorzeitig" : "Platte voll"),
              std::string::npos)
        << committed.message();
    EXPECT_EQ(db.Count("kassi") + db.Count("kassea"), 0);
  }
}

}  // namespace
}  // namespace tolven::testing
