// The transaction guard on every engine the tests run on: nothing stored
// unless committed, and no commit reported for a transaction already ended.
#include <gtest/gtest.h>

#include "db/transaction.h"
#include "support/faulty_connection.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

const char* const kRow = "INSERT INTO kassi (kanr, name) VALUES (1, 'Anna')";

TEST(Transaction, LeftWithoutCommitOrWithAFailedCommitStoresNothing) {
  TestDb db;
  FaultyConnection faulty(db.conn());
  for (const bool failCommit : {false, true}) {
    faulty.FailCall(failCommit ? 3 : 0);  // BEGIN, INSERT, COMMIT
    {
      db::Transaction transaction(faulty);
      ASSERT_TRUE(transaction.Begin());
      ASSERT_TRUE(db::DbTools::ExecSQLOn(faulty, kRow));
      if (failCommit) {
        EXPECT_FALSE(transaction.Commit());
      }
    }
    EXPECT_FALSE(db.conn().InTransaction());
    EXPECT_EQ(db.Count("kassi"), 0);
  }
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
    ASSERT_TRUE(db.tools().ExecSQL(kRow));
    EXPECT_FALSE(db.tools().ExecSQL("INSERT INTO tische (tisch) VALUES (5)"));
    const Status committed = transaction.Commit();
    EXPECT_NE(committed.message().find(endsTransaction && db.IsSqlite() ? "vorzeitig" : "Platte voll"),
              std::string::npos)
        << committed.message();
    EXPECT_EQ(db.Count("kassi"), 0);
  }
}

}  // namespace
}  // namespace tolven::testing
