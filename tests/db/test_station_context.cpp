// The database tools on the engine of the test run (TestDb follows TOLVEN_TEST_ENGINE).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/station_context.h"
#include "support/test_db.h"

namespace tolven::db {
namespace {

using tolven::testing::ReadAll;
using tolven::testing::TestDb;

// Literals follow the probes' date format and TRUE value; the log turns
// apostrophes into acute accents, keeps long texts in the memo and SQL
// errors also in the year's file.
TEST(StationContext, LiteralsAndTheLogs) {
  TestDb db;
  const Date d{2026, 3, 5};
  db.state().datumFormat = "D";
  db.state().boolTrueWert = 1;
  EXPECT_EQ(db.tools().SqlDate(d) + db.tools().SqlDateTime(d, "07:08:09") + db.tools().SqlNow() +
                db.tools().SqlBool(true) + db.tools().SqlBool(false) + SqlText("O'Brien"),
            "'05.03.2026''05.03.2026 07:08:09''05.12.2026 12:00:00' 1  0 'O''Brien'");
  db.state().datumFormat = "E";
  db.state().kasse = 3;
  db.state().kaNr = 12;
  db.state().kaName = std::string(40, 'K');
  db.state().staId = std::string(35, 'S');
  std::string text = "Kunde's Bon " + std::string(138, 'x');
  db.tools().WriteSysLog("P", text);
  EXPECT_EQ(text, "Kunde\xB4s Bon " + std::string(138, 'x'));  // the caller's text changes too
  EXPECT_EQ(db.Scalar("SELECT typ || '|' || kasse || '|' || filnr || '|' || kanr || '|' || kaname || '|' || staid || "
                      "'|' || datumzeit || '|' || txt || '|' || memotext FROM syslog"),
            "P|3|1|12|" + std::string(30, 'K') + "|" + std::string(30, 'S') + "|2026-12-05 12:00:00|" +
                text.substr(0, 100) + "|" + text);
  db.tools().WriteSysLog("I", std::string(100, 'y'));  // exactly 100: no memo
  EXPECT_EQ(db.Scalar("SELECT memotext || '|' || txt FROM syslog WHERE typ = 'I'"), "|" + std::string(100, 'y'));

  // An SQL error: a syslog row, a message box and a line in the year's file.
  db.env().SetNow(DateTime{Date{2026, 12, 5}, 9, 8, 7, 0});
  db.tools().LogSqlError("UPDATE kass fehlgeschlagen: it's locked");
  db.tools().LogSqlError("zweiter", true);  // quiet: no message box, the file grows
  EXPECT_EQ(db.Scalar("SELECT typ || txt FROM syslog WHERE typ = 'F' AND txt LIKE 'U%'"),
            "FUPDATE kass fehlgeschlagen: it\xB4s locked");
  ASSERT_EQ(db.ui().messages.size(), 1u);
  EXPECT_EQ(db.ui().messages[0].title + " " + db.ui().messages[0].text,
            "ACHTUNG UPDATE kass fehlgeschlagen: it\xB4s locked");
  EXPECT_EQ(db.ui().messages[0].kind, platform::MsgKind::Critical);
  EXPECT_EQ(ReadAll(db.state().logPfad + "SQLERR26.LOG"),
            "05.12.2026 09:08:07 3 UPDATE kass fehlgeschlagen: it\xB4s locked\r\n05.12.2026 09:08:07 3 zweiter\r\n");
}

TEST(GetUniqueNr, NewCountersWrappingAndTheReceiptCounterSeededFromTheOlderPeriod) {
  struct Case {
    std::string name, existing;  // row values "wert, startwert, maxwert", or "" for a new counter
    int32_t start, maximum, expected;
    std::string after;
  };
  const std::vector<Case> cases = {
      {"SEQNR", "", 100, 500, 100, "101|100|500"},
      {"ZERO", "", 0, 0, 1, "2|1|999999999"},  // 0 means "not given"
      {"WRAP", "1000, 5, 999", 1, 999999999, 5, "6|5|999"},
      {"EDGE", "999, 5, 999", 1, 999999999, 999, "1000|5|999"},
      // A row without a maximum must not hand out its start value at every draw.
      {"NOMAX", "42, 1, NULL", 1, 999999999, 42, "43|1|"},
  };
  const std::string row =
      "SELECT wert || '|' || startwert || '|' || COALESCE(maxwert || '', '') FROM uniquenr WHERE name = ";
  TestDb db;
  for (const auto& c : cases) {
    if (!c.existing.empty())
      db.Exec("INSERT INTO uniquenr (name, wert, startwert, maxwert) VALUES ('" + c.name + "', " + c.existing + ")");
    EXPECT_EQ(db.tools().GetUniqueNr(c.name, c.start, c.maximum).value_or(-1), c.expected) << c.name;
    EXPECT_EQ(db.Scalar(row + SqlText(c.name)), c.after) << c.name;
  }
  EXPECT_FALSE(db.conn().InTransaction());
  // A new receipt counter goes on from the older period; unreadable, it never restarts at 1.
  db.Exec("INSERT INTO kassea (bunr) VALUES (4711), (17)");
  EXPECT_EQ(db.tools().GetUniqueNr("KABUBUNR", 500).value_or(-1), 4712);
  db.Exec("DELETE FROM uniquenr");
  db.Exec("DROP TABLE kassea");
  EXPECT_FALSE(db.tools().GetNextBelegNr());
  EXPECT_EQ(db.Count("uniquenr"), 0);
}

}  // namespace
}  // namespace tolven::db
