#include "common/datetime.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tolven {
namespace {

TEST(Calendar, DayOfYearAndLastDayOfMonth) {
  struct Case {
    Date date;
    int dayOfYear;
    int lastDay;
  };
  const std::vector<Case> cases = {
      {{2026, 1, 1}, 1, 31},
      {{2026, 2, 14}, 45, 28},
      {{2024, 2, 29}, 60, 29},   // leap year
      {{2024, 3, 1}, 61, 31},
      {{2026, 3, 1}, 60, 31},
      {{2100, 3, 1}, 60, 31},    // century: no leap year
      {{2100, 2, 1}, 32, 28},
      {{2000, 2, 1}, 32, 29},    // every 400 years: leap year
      {{2026, 4, 30}, 120, 30},
      {{2024, 12, 31}, 366, 31},
      {{2026, 12, 31}, 365, 31},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DayOfYear(c.date), c.dayOfYear) << FormatDMY(c.date);
    Date last = LastDayOfMonth(c.date);
    EXPECT_EQ(last, (Date{c.date.year, c.date.month, c.lastDay})) << FormatDMY(c.date);
  }
}

TEST(Calendar, DayArithmeticAcrossYears) {
  EXPECT_EQ(AddDays(Date{2026, 12, 31}, 1), (Date{2027, 1, 1}));
  EXPECT_EQ(AddDays(Date{2024, 3, 1}, -1), (Date{2024, 2, 29}));
  EXPECT_EQ(DaysFromCivil(Date{1970, 1, 1}), 0);
  for (int64_t d : {-1000, 0, 19000, 20454, 73000}) EXPECT_EQ(DaysFromCivil(CivilFromDays(d)), d);
}

TEST(Calendar, Formats) {
  DateTime t{Date{2026, 3, 5}, 7, 8, 9, 0};
  EXPECT_EQ(FormatDMY(t.date), "05.03.2026");
  EXPECT_EQ(FormatISODate(t.date), "2026-03-05");
  EXPECT_EQ(FormatYYMMDD(t.date), "260305");
  EXPECT_EQ(FormatYYYYMMDD(t.date), "20260305");
  EXPECT_EQ(FormatHMS(t), "07:08:09");
  EXPECT_EQ(FormatHM(t), "07:08");
  EXPECT_EQ(SecondsSinceMidnight(t), 7 * 3600 + 8 * 60 + 9);
  EXPECT_EQ(FromUnixTime(0), (DateTime{Date{1970, 1, 1}, 0, 0, 0, 0}));
  EXPECT_EQ(FromUnixTime(-1), (DateTime{Date{1969, 12, 31}, 23, 59, 59, 0}));
}

TEST(ParseDateTime, EngineFormsAcceptedGarbageRejected) {
  struct Case {
    std::string text;
    std::optional<DateTime> expected;
  };
  const std::vector<Case> cases = {
      {"2026-03-05", DateTime{Date{2026, 3, 5}, 0, 0, 0, 0}},
      {"2026-03-05 13:14:15", DateTime{Date{2026, 3, 5}, 13, 14, 15, 0}},
      {"2026-03-05T13:14:15", DateTime{Date{2026, 3, 5}, 13, 14, 15, 0}},
      {"2026-03-05 13:14:15.250", DateTime{Date{2026, 3, 5}, 13, 14, 15, 250}},
      {"2026-03-05 13:14:15.5", DateTime{Date{2026, 3, 5}, 13, 14, 15, 500}},
      {"2026-03-05 13:14", DateTime{Date{2026, 3, 5}, 13, 14, 0, 0}},
      {"05.03.2026 13:14:15", DateTime{Date{2026, 3, 5}, 13, 14, 15, 0}},
      {"2024-02-29", DateTime{Date{2024, 2, 29}, 0, 0, 0, 0}},
      {"2026-02-29", std::nullopt},
      {"2026-13-01", std::nullopt},
      {"2026-03-05 24:00:00", std::nullopt},
      {"2026-03-05X13:14:15", std::nullopt},
      {"12/31/2000", std::nullopt},
      {"", std::nullopt},
      {"2026-3-5", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDateTime(c.text), c.expected) << "'" << c.text << "'";
}

}  // namespace
}  // namespace tolven
