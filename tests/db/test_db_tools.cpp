#include "db/db_tools.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
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

  struct Case {
    std::string column;
    bool isText;
    std::string text;
    int64_t number;
  };
  const std::vector<Case> cases = {
      {"tx", true, "", 0},     {"memo", true, "", 0},         {"fl", false, "", 0},
      {"bt", false, "", 0},    {"sm", false, "", 0},          {"dd", true, "1900-01-01", 0},
      {"dt", false, "", 0},    {"n", false, "", 0},           {"r", false, "", 0},
      {"mx", false, "", 0},    {"no_such_column", false, "", 0},
  };
  for (const auto& c : cases) {
    Value v = GetFieldValue(*rs, c.column);
    EXPECT_FALSE(v.IsNull()) << c.column;
    EXPECT_EQ(v.IsText(), c.isText) << c.column;
    if (c.isText) {
      EXPECT_EQ(v.AsString(), c.text) << c.column;
    } else {
      EXPECT_EQ(v.AsInt64(), c.number) << c.column;
    }
  }
  EXPECT_EQ(GetFieldValue(*rs, "DD").AsDateTime(), (DateTime{Date{1900, 1, 1}, 0, 0, 0, 0}));
  EXPECT_FALSE(GetFieldValue(*rs, "fl").AsBool());
}

TEST(GetFieldValue, TextsAreTrimmedOtherValuesComeAsStored) {
  TestDb db;
  db.Exec("INSERT INTO kassi (kanr, name, schluesselnr) VALUES (7, '  Anna Müller  ', ' 0815')");
  db.Exec("UPDATE system SET mwst1 = 7.5, booltest = -1, moddate = '2026-03-05 10:11:12'");
  DbError err;
  auto rs = db.conn().Query("SELECT * FROM kassi", err);
  ASSERT_TRUE(rs) << err.text;
  EXPECT_EQ(GetFieldValue(*rs, "name").AsString(), "Anna Müller");
  EXPECT_EQ(GetFieldValue(*rs, "schluesselnr").AsString(), "0815");
  EXPECT_EQ(GetFieldValue(*rs, "KANR").AsInt(), 7);

  rs = db.conn().Query("SELECT mwst1, booltest, moddate FROM system", err);
  ASSERT_TRUE(rs) << err.text;
  EXPECT_DOUBLE_EQ(GetFieldValue(*rs, "mwst1").AsDouble(), 7.5);
  EXPECT_EQ(GetFieldValue(*rs, "booltest").AsInt(), -1);
  EXPECT_TRUE(GetFieldValue(*rs, "booltest").AsBool());
  EXPECT_EQ(GetFieldValue(*rs, "moddate").AsDateTime(), (DateTime{Date{2026, 3, 5}, 10, 11, 12, 0}));
}

TEST(SqlLiterals, DatesFollowTheProbedFormat) {
  TestDb db;
  const Date d{2026, 3, 5};
  db.state().datumFormat = "D";
  EXPECT_EQ(db.tools().SqlDate(d), "'05.03.2026'");
  EXPECT_EQ(db.tools().SqlDateTime(d, "07:08:09"), "'05.03.2026 07:08:09'");
  db.state().datumFormat = "E";
  EXPECT_EQ(db.tools().SqlDate(d), "'2026-03-05'");
  EXPECT_EQ(db.tools().SqlDateTime(d, "07:08:09"), "'2026-03-05 07:08:09'");
  db.env().SetNow(DateTime{Date{2027, 1, 2}, 3, 4, 5, 600});
  EXPECT_EQ(db.tools().SqlNow(), "'2027-01-02 03:04:05'");
}

TEST(SqlLiterals, BooleansFollowTheProbedTrueValue) {
  TestDb db;
  db.state().boolTrueWert = -1;
  EXPECT_EQ(db.tools().SqlBool(true), " -1 ");
  EXPECT_EQ(db.tools().SqlBool(false), " 0 ");
  db.state().boolTrueWert = 1;
  EXPECT_EQ(db.tools().SqlBool(true), " 1 ");
  EXPECT_EQ(db.tools().SqlBool(false), " 0 ");
}

TEST(SqlLiterals, TextWithApostrophesIsStoredAsItIs) {
  EXPECT_EQ(SqlText("O'Brien"), "'O''Brien'");
  EXPECT_EQ(SqlText(""), "''");
  EXPECT_EQ(SqlText("''"), "''''''");

  TestDb db;
  const std::vector<std::string> texts = {"O'Brien", "x'); DELETE FROM kassi; --", "'", "Müller €´\x81",
                                          "a;b\"c"};
  int kanr = 1;
  for (const auto& t : texts) {
    db.Exec("INSERT INTO kassi (kanr, name) VALUES (" + NumStr(kanr) + " , " + SqlText(t) + " )");
    EXPECT_EQ(db.Scalar("SELECT name FROM kassi WHERE kanr = " + NumStr(kanr)), t);
    EXPECT_EQ(db.Count("kassi", "name = " + SqlText(t)), 1) << t;
    ++kanr;
  }
  EXPECT_EQ(db.Count("kassi"), static_cast<int64_t>(texts.size()));
}

TEST(Accounts, AccountForNameOrZero) {
  TestDb db;
  db.Exec("INSERT INTO kontenrahmen (bez, konto) VALUES ('Bar', 1000)");
  db.Exec("INSERT INTO kontenrahmen (bez, konto) VALUES ('Kunde''s Konto', 1400)");
  EXPECT_EQ(db.tools().GetAccountForName("Bar"), 1000);
  EXPECT_EQ(db.tools().GetAccountForName("BAR"), 1000);  // names compare as on the server
  EXPECT_EQ(db.tools().GetAccountForName("Kunde's Konto"), 1400);
  EXPECT_EQ(db.tools().GetAccountForName("Karte"), 0);
  EXPECT_EQ(DbTools::Translate("Summe"), "Summe");
}

TEST(SysLog, ApostropheBecomesAcuteAndLongTextGoesToMemo) {
  TestDb db;
  db.state().kasse = 3;
  db.state().kaNr = 12;
  db.state().kaName = std::string(40, 'K');
  db.state().staId = std::string(35, 'S');
  std::string text = "Kunde's Bon " + std::string(138, 'x');
  ASSERT_EQ(text.size(), 150u);
  db.tools().WriteSysLog("P", text);
  EXPECT_EQ(text, "Kunde\xB4s Bon " + std::string(138, 'x'));  // the caller's text changes too

  DbError err;
  auto rs = db.conn().Query("SELECT * FROM syslog", err);
  ASSERT_TRUE(rs && rs->RecordCount() == 1) << err.text;
  EXPECT_EQ(GetFieldValue(*rs, "memotext").AsString(), text);
  EXPECT_EQ(GetFieldValue(*rs, "txt").AsString(), text.substr(0, 100));
  EXPECT_EQ(GetFieldValue(*rs, "typ").AsString(), "P");
  EXPECT_EQ(GetFieldValue(*rs, "kasse").AsInt(), 3);
  EXPECT_EQ(GetFieldValue(*rs, "filnr").AsInt(), 1);
  EXPECT_EQ(GetFieldValue(*rs, "kanr").AsInt(), 12);
  EXPECT_EQ(GetFieldValue(*rs, "kaname").AsString(), std::string(30, 'K'));
  EXPECT_EQ(GetFieldValue(*rs, "staid").AsString(), std::string(30, 'S'));
  EXPECT_EQ(GetFieldValue(*rs, "datumzeit").AsString(), "2026-12-05 12:00:00");

  db.tools().WriteSysLog("I", std::string(100, 'y'));  // exactly 100: no memo
  EXPECT_EQ(db.Scalar("SELECT memotext FROM syslog WHERE typ = 'I'"), "");
  EXPECT_EQ(db.Scalar("SELECT txt FROM syslog WHERE typ = 'I'"), std::string(100, 'y'));
  EXPECT_TRUE(db.ui().messages.empty());
}

TEST(SysLog, MemoGivenByTheCaller) {
  TestDb db;
  db.tools().WriteSysLogMemo("T", "TSE's Antwort " + std::string(100, 'z'), "Daten: 'abc'");
  EXPECT_EQ(db.Scalar("SELECT memotext FROM syslog"), "Daten: \xB4" "abc\xB4");
  EXPECT_EQ(db.Scalar("SELECT txt FROM syslog"), ("TSE's Antwort " + std::string(100, 'z')).substr(0, 100));
  EXPECT_EQ(db.Scalar("SELECT typ FROM syslog"), "T");
}

TEST(SysLog, FailedInsertIsReportedAndTheCallerGoesOn) {
  TestDb db;
  db.Exec("DROP TABLE syslog");
  db.tools().WriteSysLog("F", "Satz fehlt");
  ASSERT_EQ(db.ui().messages.size(), 1u);
  EXPECT_EQ(db.ui().messages[0].kind, platform::MsgKind::Critical);
  EXPECT_EQ(db.ui().messages[0].text.rfind("SysLog-Eintrag fehlgeschlagen.\r\nSatz fehlt\r\n", 0), 0u)
      << db.ui().messages[0].text;
  EXPECT_NE(db.ui().messages[0].text.find("syslog"), std::string::npos);
}

TEST(LogSqlError, SyslogRowMessageAndLogFileLine) {
  TestDb db;
  db.state().kasse = 4;
  db.env().SetNow(DateTime{Date{2026, 12, 5}, 9, 8, 7, 0});
  db.tools().LogSqlError("UPDATE kass fehlgeschlagen: it's locked");

  EXPECT_EQ(db.Scalar("SELECT typ FROM syslog"), "F");
  EXPECT_EQ(db.Scalar("SELECT txt FROM syslog"), "UPDATE kass fehlgeschlagen: it\xB4s locked");
  ASSERT_EQ(db.ui().messages.size(), 1u);
  EXPECT_EQ(db.ui().messages[0].title, "ACHTUNG");
  EXPECT_EQ(db.ui().messages[0].kind, platform::MsgKind::Critical);
  EXPECT_EQ(db.ui().messages[0].text, "UPDATE kass fehlgeschlagen: it\xB4s locked");

  const std::string file = db.state().logPfad + "SQLERR26.LOG";
  EXPECT_EQ(db.tools().SqlErrorLogPath(), file);
  EXPECT_EQ(ReadAll(file), "05.12.2026 09:08:07 4 UPDATE kass fehlgeschlagen: it\xB4s locked\r\n");

  db.tools().LogSqlError("zweiter", true);  // quiet: no message box, the file grows
  EXPECT_EQ(db.ui().messages.size(), 1u);
  EXPECT_EQ(ReadAll(file), "05.12.2026 09:08:07 4 UPDATE kass fehlgeschlagen: it\xB4s locked\r\n"
                           "05.12.2026 09:08:07 4 zweiter\r\n");
  EXPECT_EQ(db.Count("syslog", "typ = 'F'"), 2);
}

TEST(LogSqlError, NewYearWritesTheNewFileIntoTheOldYearsFolder) {
  TestDb db;  // started in 2026: LogPfad ends in LOG/2026/
  db.env().SetNow(DateTime{Date{2027, 1, 1}, 0, 0, 1, 0});
  db.tools().LogSqlError("Neujahr", true);
  EXPECT_EQ(ReadAll(db.state().logPfad + "SQLERR27.LOG"), "01.01.2027 00:00:01 1 Neujahr\r\n");
  EXPECT_EQ(db.state().logPfad, db.state().exePfad + "LOG/2026/");
}

TEST(LogSqlError, MissingLogFolderIsIgnored) {
  TestDb db;
  db.state().logPfad = db.folder() + "/nowhere/";
  db.tools().LogSqlError("ohne Ordner", true);
  EXPECT_EQ(db.Count("syslog"), 1);
  EXPECT_FALSE(db.env().FolderExists(db.state().logPfad));
  EXPECT_TRUE(db.ui().messages.empty());
}

}  // namespace
}  // namespace tolven::db
