#include "common/datetime.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace tolven {
namespace {

TEST(Calendar, LeapYearsMonthEndsAndDayArithmetic) {
  struct Case {
    Date date;
    int dayOfYear, lastDay;
  };
  const Case cases[] = {
      {{2024, 2, 29}, 60, 29}, {{2026, 3, 1}, 60, 31}, {{2024, 12, 31}, 366, 31}, {{2026, 4, 30}, 120, 30},
      {{2100, 2, 1}, 32, 28},  // a century is no leap year ...
      {{2000, 2, 1}, 32, 29},  // ... unless it divides by 400
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DayOfYear(c.date), c.dayOfYear) << FormatDMY(c.date);
    EXPECT_EQ(LastDayOfMonth(c.date), (Date{c.date.year, c.date.month, c.lastDay})) << FormatDMY(c.date);
  }
  EXPECT_EQ(AddDays(Date{2026, 12, 31}, 1), (Date{2027, 1, 1}));
  EXPECT_EQ(AddDays(Date{2024, 3, 1}, -1), (Date{2024, 2, 29}));
  EXPECT_EQ(FromUnixTime(-1), (DateTime{Date{1969, 12, 31}, 23, 59, 59, 0}));
  const DateTime t{Date{2026, 3, 5}, 7, 8, 9, 0};
  EXPECT_EQ(FormatDMY(t.date) + " " + FormatYYMMDD(t.date) + " " + FormatHMS(t), "05.03.2026 260305 07:08:09");
}

TEST(Calendar, ParseAcceptsTheEngineFormsAndRejectsGarbage) {
  const Date d{2026, 3, 5};
  const std::pair<std::string, std::optional<DateTime>> cases[] = {
      {"2026-03-05", DateTime{d, 0, 0, 0, 0}},
      {"2026-03-05T13:14:15", DateTime{d, 13, 14, 15, 0}},
      {"2026-03-05 13:14:15.5", DateTime{d, 13, 14, 15, 500}},
      {"05.03.2026 13:14", DateTime{d, 13, 14, 0, 0}},
      {"2026-02-29", std::nullopt}, {"2026-13-01", std::nullopt}, {"2026-03-05 24:00:00", std::nullopt},
      {"2026-03-05X13:14:15", std::nullopt}, {"12/31/2000", std::nullopt}, {"2026-3-5", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseDateTime(text), expected) << "'" << text << "'";
}

}  // namespace
}  // namespace tolven
