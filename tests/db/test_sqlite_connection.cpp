#include "db/sqlite_connection.h"

#include <gtest/gtest.h>

#include <string>

#include "db/db_tools.h"
#include "db/dialect.h"
#include "support/test_db.h"

namespace tolven::db {
namespace {

using tolven::testing::TempDir;
using tolven::testing::TestDb;

TEST(SqliteConnection, MissingFileIsNeverCreatedSilently) {
  TempDir dir;
  DbError err;
  EXPECT_EQ(OpenSqlite(dir / "tolven.db", false, err), nullptr);
  EXPECT_NE(err.number, 0);
  EXPECT_NE(err.text.find("tolven.db"), std::string::npos) << err.text;
  EXPECT_FALSE(tolven::testing::FakeEnv().FileExists(dir / "tolven.db"));
  auto created = OpenSqlite(dir / "tolven.db", true, err);
  ASSERT_TRUE(created) << err.text;
  EXPECT_EQ(created->dialect().Name(), std::string("SQLITE"));
}

TEST(SqliteConnection, ErrorsAreReportedNotThrown) {
  TestDb db;
  DbError err;
  EXPECT_FALSE(db.conn().Execute("UPDATE no_table SET x = 1", err));
  EXPECT_NE(err.number, 0);
  EXPECT_NE(err.text.find("no_table"), std::string::npos);
  EXPECT_EQ(err.source, db.IsSqlite() ? "SQLite" : "PostgreSQL");
  EXPECT_EQ(db.conn().Query("SELECT * FROM no_table", err), nullptr);
  EXPECT_FALSE(db.conn().Execute("   ", err));
  EXPECT_TRUE(db.conn().Execute("UPDATE system SET sprache = 'EN'", err));
  EXPECT_EQ(err.number, 0);
  EXPECT_EQ(err.text, "");

  db.conn().Close();
  EXPECT_FALSE(db.conn().IsOpen());
  EXPECT_FALSE(db.conn().Execute("UPDATE system SET sprache = 'DE'", err));
  EXPECT_EQ(db.conn().Query("SELECT 1", err), nullptr);
  EXPECT_FALSE(db.conn().InTransaction());
}

TEST(SqliteConnection, EveryStatementOfABatchRunsOrTheFailureIsReported) {
  TestDb db;
  DbError err;
  // Half a batch reported as success would lose the second booking silently.
  EXPECT_TRUE(db.conn().Execute("INSERT INTO kassea (bunr) VALUES (1); INSERT INTO kassea (bunr) VALUES (2);", err))
      << err.text;
  EXPECT_EQ(db.Count("kassea"), 2);
  EXPECT_FALSE(db.conn().Execute("INSERT INTO kassea (bunr) VALUES (3); INSERT INTO nothing VALUES (4)", err));
  EXPECT_NE(err.text.find("nothing"), std::string::npos);
  EXPECT_EQ(db.conn().Query("SELECT 1; DELETE FROM kassea", err), nullptr);
  EXPECT_EQ(db.Count("kassea", "bunr = 1 OR bunr = 2"), 2);
}

TEST(SqliteConnection, TransactionsCommitAndRollBack) {
  TestDb db;
  DbError err;
  ASSERT_TRUE(db.conn().BeginTrans(err));
  EXPECT_TRUE(db.conn().InTransaction());
  db.Exec("INSERT INTO kassea (bunr) VALUES (1)");
  ASSERT_TRUE(db.conn().RollbackTrans(err));
  EXPECT_FALSE(db.conn().InTransaction());
  EXPECT_EQ(db.Count("kassea"), 0);

  ASSERT_TRUE(db.conn().BeginTrans(err));
  db.Exec("INSERT INTO kassea (bunr) VALUES (2)");
  ASSERT_TRUE(db.conn().CommitTrans(err));
  EXPECT_FALSE(db.conn().InTransaction());
  auto second = db.OpenSecond();
  ASSERT_TRUE(second);
  auto rs = second->Query("SELECT bunr FROM kassea", err);
  ASSERT_TRUE(rs && rs->RecordCount() == 1);
  EXPECT_EQ(GetFieldValue(*rs, "bunr").AsInt(), 2);
}

TEST(SqliteConnection, WindowsTextIsStoredAsUtf8) {
  TestDb db;
  if (!db.IsSqlite()) GTEST_SKIP() << "the embedded engine's storage";
  db.Exec("INSERT INTO kassi (kanr, name) VALUES (1, 'Kühl € \x81')");
  EXPECT_EQ(db.Scalar("SELECT hex(name) FROM kassi"), "4BC3BC686C20E282AC20C281");
  EXPECT_EQ(db.Scalar("SELECT name FROM kassi WHERE name = 'kühl € \x81'"), "Kühl € \x81");
}

// A statement with marks stores exactly what the same statement written out
// would; a kept statement is used again and again, also after others pushed it
// out; marks and values that do not pair up are refused.
TEST(SqliteConnection, StatementsWithMarksStoreWhatTheTextWould) {
  TestDb db;
  DbError err;
  ASSERT_TRUE(db.conn().Execute("CREATE TABLE marks (n INT, t VARCHAR(40), d DECIMAL(9,4), z INT)", err)) << err.text;
  const std::string text = "O'Brien \xE4\xF6\xFC?";
  ASSERT_TRUE(db.conn().Execute("INSERT INTO marks VALUES ( -7 , 'O''Brien \xE4\xF6\xFC?' , 19.5000 , NULL )", err));
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(db.conn().ExecuteWith("INSERT INTO marks VALUES ( ? , ? , ? , ? )",
                                      {-7, text, SqlArg::Decimal("19.5000"), SqlArg()}, err))
        << err.text;
    // Twenty other texts push the first one out of the kept statements.
    for (int k = 0; k < 20; ++k) {
      ASSERT_TRUE(db.conn().ExecuteWith("UPDATE marks SET z = z WHERE n = ? AND " + std::to_string(k) + " = " +
                                            std::to_string(k),
                                        {int64_t{k}}, err))
          << err.text;
    }
  }
  auto rs = db.conn().Query("SELECT COUNT(*) AS c FROM marks GROUP BY n, t, d, z", err);
  ASSERT_TRUE(rs) << err.text;
  ASSERT_EQ(rs->RecordCount(), 1u) << "all four rows alike";
  EXPECT_EQ(GetFieldValue(*rs, "c").AsInt(), 4);

  EXPECT_FALSE(db.conn().ExecuteWith("INSERT INTO marks VALUES ( ? , ? , ? , ? )", {1, "x"}, err));
  EXPECT_NE(err.text, "");
  std::string written;
  EXPECT_TRUE(WriteArgsIntoText("SELECT '?' , ? , ? , ?", {SqlArg::Decimal("1; DROP TABLE marks"), "a'b", SqlArg()},
                                written));
  EXPECT_EQ(written, "SELECT '?' , '1; DROP TABLE marks' , 'a''b' , NULL");
  EXPECT_FALSE(WriteArgsIntoText("SELECT ?", {}, written));
}

TEST(Dialects, WhatDiffersBetweenEngines) {
  EXPECT_EQ(SqlServerDialect().SelectTop(1, "saldo FROM kdkto ORDER BY datumzeit DESC"),
            "SELECT TOP 1 saldo FROM kdkto ORDER BY datumzeit DESC");
  EXPECT_EQ(SqliteDialect().SelectTop(1, "saldo FROM kdkto ORDER BY datumzeit DESC"),
            "SELECT saldo FROM kdkto ORDER BY datumzeit DESC LIMIT 1");
  EXPECT_EQ(PostgresDialect().SelectTop(3, "x FROM t"), "SELECT x FROM t LIMIT 3");
  EXPECT_EQ(SqlServerDialect().Column("limit"), "[limit]");
  EXPECT_EQ(SqliteDialect().Column("limit"), "\"limit\"");
  EXPECT_EQ(SqliteDialect().Column("kdnr"), "kdnr");
  EXPECT_EQ(SqlServerDialect().Len("txt"), "LEN(txt)");
  EXPECT_EQ(SqliteDialect().Len("txt"), "LENGTH(txt)");

  TestDb db;  // the quoted keyword column works on the real engine
  db.Exec("INSERT INTO kunden (kdnr, " + db.conn().dialect().Column("limit") + ") VALUES (1, 5000)");
  EXPECT_EQ(db.Scalar(db.conn().dialect().SelectTop(1, db.conn().dialect().Column("limit") + " FROM kunden")), "5000");
}

}  // namespace
}  // namespace tolven::db
