#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/db_tools.h"
#include "support/test_db.h"

namespace tolven::db {
namespace {

using tolven::testing::TestDb;

struct CounterRow {
  int64_t wert, startwert, maxwert;
};

// NULL reads as 0.
CounterRow ReadCounter(TestDb& db, const std::string& name) {
  auto column = [&](const std::string& col) -> int64_t {
    std::string v = db.Scalar("SELECT " + col + " FROM uniquenr WHERE name = '" + name + "'");
    return v.empty() ? 0 : std::stoll(v);
  };
  return CounterRow{column("wert"), column("startwert"), column("maxwert")};
}

TEST(GetUniqueNr, NewReceiptCounterIsSeededFromTheOlderPeriod) {
  TestDb db;
  EXPECT_EQ(db.tools().GetNextBelegNr(), 1);  // empty older period: 1, not the start value given
  EXPECT_EQ(db.tools().GetUniqueNr("KABUBUNR", 500), 1);
  db.Exec("DELETE FROM uniquenr");
  db.Exec("INSERT INTO kassea (bunr) VALUES (4711), (17)");
  EXPECT_EQ(db.tools().GetUniqueNr("KABUBUNR"), 4712);
  EXPECT_EQ(db.tools().GetUniqueNr("KABUBUNR"), 4713);
  EXPECT_EQ(ReadCounter(db, "KABUBUNR").wert, 4714);

  // An unreadable older period never restarts the receipt numbers at 1.
  db.Exec("DELETE FROM uniquenr");
  db.Exec("DROP TABLE kassea");
  EXPECT_EQ(db.tools().GetNextBelegNr(), -1);
  EXPECT_EQ(db.tools().GetUniqueNr("KABUBUNR"), -1);
  EXPECT_EQ(db.Count("uniquenr"), 0);
  EXPECT_EQ(db.Count("syslog", "typ = 'F' AND txt LIKE '%KABUBUNR%'"), 1);
}

TEST(GetUniqueNr, NewCountersAndWrapping) {
  struct Case {
    std::string name;
    std::string existing;  // row values "wert, startwert, maxwert", or "" for a new counter
    int32_t start, maximum;
    int32_t expected;
    CounterRow after;
  };
  const std::vector<Case> cases = {
      {"BUNR", "", 1, 999999999, 1, {2, 1, 999999999}},
      {"SEQNR", "", 100, 500, 100, {101, 100, 500}},
      {"ZERO", "", 0, 0, 1, {2, 1, 999999999}},          // 0 means "not given"
      {"WRAP", "1000, 5, 999", 1, 999999999, 5, {6, 5, 999}},
      {"EDGE", "999, 5, 999", 1, 999999999, 999, {1000, 5, 999}},
      {"NEXT", "42, 1, 999999999", 1, 999999999, 42, {43, 1, 999999999}},
      // A row without a maximum must not hand out its start value at every draw.
      {"NOMAX", "42, 1, 0", 1, 999999999, 42, {43, 1, 0}},
      {"NULLMAX", "42, 1, NULL", 1, 999999999, 42, {43, 1, 0}},
      {"HUGEMAX", "2147483648, 7, 9999999999", 1, 999999999, 7, {8, 7, 9999999999}},
  };
  TestDb db;
  size_t rows = 0;
  for (const auto& c : cases) {
    // Only the embedded engine lets a number beyond 32 bits into an INT column.
    if (c.name == "HUGEMAX" && !db.IsSqlite()) continue;
    ++rows;
    if (!c.existing.empty())
      db.Exec("INSERT INTO uniquenr (name, wert, startwert, maxwert) VALUES ('" + c.name + "', " + c.existing + ")");
    EXPECT_EQ(db.tools().GetUniqueNr(c.name, c.start, c.maximum), c.expected) << c.name;
    const CounterRow row = ReadCounter(db, c.name);
    EXPECT_EQ(std::vector<int64_t>({row.wert, row.startwert, row.maxwert}),
              std::vector<int64_t>({c.after.wert, c.after.startwert, c.after.maxwert}))
        << c.name;
  }
  EXPECT_EQ(db.Count("uniquenr"), static_cast<int64_t>(rows));
  EXPECT_FALSE(db.conn().InTransaction());
}

TEST(GetUniqueNr, TwoStationsNeverGetTheSameNumber) {
  TestDb db;
  auto second = db.OpenSecond();
  tolven::testing::FakeEnv secondEnv;
  tolven::testing::FakeUi secondUi;
  StartupState secondState = db.state();
  secondState.kasse = 2;
  DbTools secondTools(*second, secondState, secondEnv, secondUi);

  EXPECT_EQ(db.tools().GetUniqueNr("BUNR"), 1);

  // Station 1 settles: its transaction holds the counter until it commits. With
  // no time to wait, station 2 gets no number at all (never a duplicate); its
  // error log cannot reach the locked database either, so it says so on screen.
  DbError err;
  second->SetCommandTimeout(0);
  ASSERT_TRUE(db.conn().BeginTrans(err)) << err.text;
  EXPECT_EQ(db.tools().GetUniqueNr("BUNR"), 2);
  EXPECT_EQ(secondTools.GetUniqueNr("BUNR"), -1);
  // A server engine locks rows, not the database: there the error log gets through.
  EXPECT_EQ(secondUi.HasMessage("SysLog-Eintrag fehlgeschlagen."), db.IsSqlite());
  EXPECT_EQ(db.Count("syslog", "kasse = 2 AND typ = 'F'"), db.IsSqlite() ? 0 : 1);
  ASSERT_TRUE(db.conn().CommitTrans(err)) << err.text;
  EXPECT_EQ(secondTools.GetUniqueNr("BUNR"), 3);
}

}  // namespace
}  // namespace tolven::db
