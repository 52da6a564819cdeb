// Savepoints, on every engine the tests run on.
#include <gtest/gtest.h>

#include "db/dialect.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

// After a failed statement the transaction goes back to the savepoint and on
// to its commit: what came before the savepoint is stored, the rest is not.
TEST(Savepoints, AFailedStatementIsUndoneAloneAndTheRestCommits) {
  TestDb db;
  db::Connection& conn = db.conn();
  ASSERT_TRUE(conn.SupportsSavepoints());
  db::DbError err;
  ASSERT_TRUE(conn.BeginTrans(err)) << err.text;
  ASSERT_TRUE(conn.Execute("INSERT INTO kassi (kanr, name) VALUES (1, 'Anna')", err)) << err.text;
  ASSERT_TRUE(conn.Savepoint("zeile", err)) << err.text;
  ASSERT_TRUE(conn.Execute("INSERT INTO kassi (kanr, name) VALUES (2, 'Bert')", err)) << err.text;
  EXPECT_FALSE(conn.Execute("INSERT INTO gibtesnicht (a) VALUES (1)", err));
  ASSERT_TRUE(conn.RollbackToSavepoint("zeile", err)) << err.text;
  ASSERT_TRUE(conn.ReleaseSavepoint("zeile", err)) << err.text;
  ASSERT_TRUE(conn.CommitTrans(err)) << err.text;
  EXPECT_EQ(db.Scalar("SELECT COUNT(*) FROM kassi"), "1");

  EXPECT_FALSE(conn.Savepoint("ohne", err)) << "no savepoint outside a transaction";
  EXPECT_TRUE(db::SqlServerDialect().Savepoint("x").empty()) << "XACT_ABORT ends the whole transaction there";
}

}  // namespace
}  // namespace tolven::testing
