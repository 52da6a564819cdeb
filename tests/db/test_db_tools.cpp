// The database tools and the connection of the engine under test.
#include "db/db_tools.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/text.h"
#include "db/sqlite_connection.h"
#include "support/test_db.h"

namespace tolven::db {
namespace {

using tolven::testing::ReadAll;
using tolven::testing::TestDb;

TEST(GetFieldValue, NullBecomesTheDefaultOfTheColumnKind) {
  TestDb db;
  // PostgreSQL names SQL Server's BIT and DATETIME differently.
  const bool sqlite = db.IsSqlite();
  db.Exec(std::string("CREATE TABLE kinds (tx VARCHAR(10), memo TEXT, fl BOOLEAN, bt ") + (sqlite ? "BIT" : "BOOLEAN") +
          ", sm SMALLINT, dd DATE, dt " + (sqlite ? "DATETIME" : "TIMESTAMP") + ", n INTEGER, r NUMERIC(9,4))");
  db.Exec("INSERT INTO kinds DEFAULT VALUES");
  DbError err;
  auto rs = db.conn().Query("SELECT kinds.*, (SELECT MAX(n) FROM kinds) AS mx FROM kinds", err);
  ASSERT_TRUE(rs) << err.text;

  // Text kinds read as "", dates as 1900-01-01, everything else as 0; an unknown column too.
  const std::map<std::string, std::string> texts = {{"tx", ""}, {"memo", ""}, {"dd", "1900-01-01"}};
  for (const char* column : {"tx", "memo", "fl", "bt", "sm", "dd", "dt", "n", "r", "mx", "no_such_column"}) {
    const Value v = GetFieldValue(*rs, column);
    const auto text = texts.find(column);
    EXPECT_FALSE(v.IsNull()) << column;
    EXPECT_EQ(v.IsText(), text != texts.end()) << column;
    EXPECT_EQ(text != texts.end() ? v.AsString() : std::to_string(v.AsInt64()),
              text != texts.end() ? text->second : "0")
        << column;
  }
  EXPECT_EQ(GetFieldValue(*rs, "DD").AsDateTime(), (DateTime{Date{1900, 1, 1}, 0, 0, 0, 0}));
  EXPECT_FALSE(GetFieldValue(*rs, "fl").AsBool());
}

TEST(SqlLiterals, DatesAndBooleansFollowTheProbes) {
  TestDb db;
  const Date d{2026, 3, 5};
  db.state().datumFormat = "D";
  EXPECT_EQ(db.tools().SqlDate(d) + db.tools().SqlDateTime(d, "07:08:09"), "'05.03.2026''05.03.2026 07:08:09'");
  db.state().datumFormat = "E";
  EXPECT_EQ(db.tools().SqlDate(d) + db.tools().SqlDateTime(d, "07:08:09"), "'2026-03-05''2026-03-05 07:08:09'");
  db.env().SetNow(DateTime{Date{2027, 1, 2}, 3, 4, 5, 600});
  EXPECT_EQ(db.tools().SqlNow(), "'2027-01-02 03:04:05'");
  for (const int16_t trueValue : {int16_t{-1}, int16_t{1}}) {
    db.state().boolTrueWert = trueValue;
    EXPECT_EQ(db.tools().SqlBool(true) + db.tools().SqlBool(false), " " + std::to_string(trueValue) + "  0 ");
  }
}

TEST(SqlLiterals, TextWithApostrophesIsStoredAsItIs) {
  EXPECT_EQ(SqlText("O'Brien") + SqlText("") + SqlText("''"), "'O''Brien'''''''''");
  TestDb db;
  int kanr = 0;
  for (const std::string t : {"O'Brien", "x'); DELETE FROM kassi; --", "'", "Müller €´\x81", "a;b\"c"}) {
    db.Exec("INSERT INTO kassi (kanr, name) VALUES (" + NumStr(++kanr) + " , " + SqlText(t) + " )");
    EXPECT_EQ(db.Scalar("SELECT name FROM kassi WHERE kanr = " + NumStr(kanr)), t);
    EXPECT_EQ(db.Count("kassi", "name = " + SqlText(t)), 1) << t;
  }
  EXPECT_EQ(db.Count("kassi"), 5);
  if (db.IsSqlite()) {  // the embedded engine stores Windows-1252 text as UTF-8
    EXPECT_EQ(db.Scalar("SELECT hex(name) FROM kassi WHERE kanr = 4"), "4DC3BC6C6C657220E282ACC2B4C281");
    EXPECT_EQ(db.Scalar("SELECT kanr FROM kassi WHERE name = 'müller €´\x81'"), "4");
  }
}

TEST(SysLog, ApostropheBecomesAcuteLongTextGoesToMemoAndSqlErrorsToTheirFile) {
  TestDb db;
  db.state().kasse = 3;
  db.state().kaNr = 12;
  db.state().kaName = std::string(40, 'K');
  db.state().staId = std::string(35, 'S');
  std::string text = "Kunde's Bon " + std::string(138, 'x');
  db.tools().WriteSysLog("P", text);
  EXPECT_EQ(text, "Kunde\xB4s Bon " + std::string(138, 'x'));  // the caller's text changes too
  EXPECT_EQ(db.Scalar("SELECT memotext FROM syslog"), text);
  EXPECT_EQ(db.Scalar("SELECT txt FROM syslog"), text.substr(0, 100));
  EXPECT_EQ(db.Scalar("SELECT typ || '|' || kasse || '|' || filnr || '|' || kanr || '|' || kaname || '|' || staid || "
                      "'|' || datumzeit FROM syslog"),
            "P|3|1|12|" + std::string(30, 'K') + "|" + std::string(30, 'S') + "|2026-12-05 12:00:00");

  db.tools().WriteSysLog("I", std::string(100, 'y'));  // exactly 100: no memo
  EXPECT_EQ(db.Scalar("SELECT memotext || '|' || txt FROM syslog WHERE typ = 'I'"), "|" + std::string(100, 'y'));
  // A memo given by the caller: its apostrophes are turned, the text keeps them.
  const std::string answer = "TSE's Antwort " + std::string(100, 'z');
  db.tools().WriteSysLogMemo("T", answer, "Daten: 'abc'");
  EXPECT_EQ(db.Scalar("SELECT memotext || '|' || txt FROM syslog WHERE typ = 'T'"),
            "Daten: \xB4" "abc\xB4|" + answer.substr(0, 100));
  EXPECT_TRUE(db.ui().messages.empty());

  // An SQL error: a syslog row, a message box and a line in the year's file.
  db.state().kasse = 4;
  db.env().SetNow(DateTime{Date{2026, 12, 5}, 9, 8, 7, 0});
  db.tools().LogSqlError("UPDATE kass fehlgeschlagen: it's locked");
  EXPECT_EQ(db.Scalar("SELECT typ || txt FROM syslog WHERE typ = 'F'"), "FUPDATE kass fehlgeschlagen: it\xB4s locked");
  ASSERT_EQ(db.ui().messages.size(), 1u);
  EXPECT_EQ(db.ui().messages[0].title + " " + db.ui().messages[0].text,
            "ACHTUNG UPDATE kass fehlgeschlagen: it\xB4s locked");
  EXPECT_EQ(db.ui().messages[0].kind, platform::MsgKind::Critical);

  const std::string file = db.state().logPfad + "SQLERR26.LOG";
  EXPECT_EQ(db.tools().SqlErrorLogPath(), file);
  EXPECT_EQ(ReadAll(file), "05.12.2026 09:08:07 4 UPDATE kass fehlgeschlagen: it\xB4s locked\r\n");

  db.tools().LogSqlError("zweiter", true);  // quiet: no message box, the file grows
  EXPECT_EQ(db.ui().messages.size(), 1u);
  EXPECT_EQ(ReadAll(file), "05.12.2026 09:08:07 4 UPDATE kass fehlgeschlagen: it\xB4s locked\r\n"
                           "05.12.2026 09:08:07 4 zweiter\r\n");
  EXPECT_EQ(db.Count("syslog", "typ = 'F'"), 2);
}

// These run on the server engine too (TestDb follows TOLVEN_TEST_ENGINE).
TEST(SqliteConnection, ErrorsAreReportedForEveryStatementOfABatch) {
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
  EXPECT_FALSE(db.conn().Execute("UPDATE no_table SET x = 1", err));
  EXPECT_NE(err.number, 0);
  EXPECT_NE(err.text.find("no_table"), std::string::npos);
  EXPECT_EQ(err.source, db.IsSqlite() ? "SQLite" : "PostgreSQL");
  EXPECT_FALSE(db.conn().Execute("   ", err));
  EXPECT_TRUE(db.conn().Execute("UPDATE system SET sprache = 'EN'", err));
  EXPECT_EQ(std::to_string(err.number) + err.text, "0");

  db.conn().Close();
  EXPECT_FALSE(db.conn().IsOpen());
  EXPECT_EQ(db.conn().Query("SELECT 1", err), nullptr);
  EXPECT_FALSE(db.conn().BeginTrans(err));
  EXPECT_FALSE(db.conn().InTransaction());
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

}  // namespace
}  // namespace tolven::db
