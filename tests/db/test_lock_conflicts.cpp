// Transactions on the engine of the run: lock conflicts told apart from other
// failures, a statement that may run twice gets its second try against a real
// lock of a second connection, and the transaction guard's commit.
#include <gtest/gtest.h>

#include "db/driver_error.h"
#include "db/station_context.h"
#include "db/transaction.h"
#include "support/lock_conflict.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

TEST(LockConflicts, AreToldApartFromOtherFailures) {
  const std::string ss = "FreeTDS SQL Server", appLock = "Sperre tolvenpda nicht erhalten ";
  // number, text, source, state, the numbers of every record -> a lock conflict?
  const std::vector<std::pair<db::DriverError, bool>> cases = {
      // SQL Server: a deadlock victim (reported after a first record), a lock
      // time-out, the settlement lock; a statement that ran too long is none.
      {{3621, "", ss, "40001", {3621, 1205}}, true},
      {{1222, "", ss, "HY000", {1222}}, true},
      {{50000, appLock + "(-1)", ss, "42000", {50000}}, true},
      {{50000, appLock + "(-999)", ss, "42000", {50000}}, false},
      {{0, "Timeout expired", ss, "HYT00", {0}}, false},
      {{7, "", "PostgreSQL", "40P01", {7}}, true},
      {{7, "", "PostgreSQL", "55P03", {7}}, true},
      {{5, "", "PostgreSQL", "57014", {5}}, false},
      // SQLite (a plain busy database: the lock tests below), extended codes
      // included; SQLite's busy code from another engine means nothing.
      {{517, "", "SQLite", "", {517}}, true},
      {{6, "", "SQLite", "", {6}}, true},
      {{19, "", "SQLite", "", {19}}, false},
  };
  for (const auto& [e, conflict] : cases)
    EXPECT_EQ(db::IsLockConflict(e), conflict) << e.source << " " << e.nativeNumbers.back() << " " << e.sqlState;
}

// The second station holds the row; the first may not wait for it.
TEST(RepeatableStatement, RunsOnceMoreAfterALockConflictAndNoMore) {
  TestDb db;
  auto second = db.OpenSecond();
  CuedConnection watched(db.conn());
  db::StationContext tools(watched, db.state(), db.env(), db.ui());
  db.Exec("INSERT INTO uniquenr (name, wert) VALUES ('A', 0)");
  db.conn().SetCommandTimeout(0);
  const std::string mark = "UPDATE uniquenr SET wert = 5 WHERE name = 'A'";
  HeldLock lock(*second, "UPDATE uniquenr SET wert = wert WHERE name = 'A'");
  EXPECT_TRUE(tools.ExecSQLRepeatable(mark).IsConflict());
  EXPECT_EQ(watched.executes, 2) << "one more try, not more";
  if (!db.IsSqlite()) {  // a conflict inside a transaction has ended it: no second try outside it
    watched.executes = 0;
    db::Transaction transaction(db.conn());
    ASSERT_TRUE(transaction.Begin());
    EXPECT_TRUE(tools.ExecSQLRepeatable(mark).IsConflict());
    EXPECT_EQ(watched.executes, 1);
  }
  // The other station gives way before the second try.
  watched.executes = 0;
  watched.executeAt = 2;
  watched.action = [&] { lock.Release(); };
  EXPECT_TRUE(tools.ExecSQLRepeatable(mark));
  EXPECT_EQ(db.Scalar("SELECT wert FROM uniquenr WHERE name = 'A'"), "5");
}

// A failed statement not undone to a savepoint, whether the engine ended the
// transaction with it (SQLite on request, PostgreSQL always) or not: what ran
// before it is not stored, and the commit says so.
TEST(Transaction, ACommitAfterAFailedStatementIsAnError) {
  for (const bool endsTransaction : {false, true}) {
    TestDb db;
    db.FailInserts("tische", "Platte voll", endsTransaction);
    db::Transaction transaction(db.conn());
    ASSERT_TRUE(transaction.Begin());
    ASSERT_TRUE(db.tools().ExecSQL("INSERT INTO kassi (kanr, name) VALUES (1, 'Anna')"));
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
