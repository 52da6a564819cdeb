#include "common/money.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "common/datetime.h"

namespace tolven {
namespace {

constexpr Cents kMax = std::numeric_limits<Cents>::max();
constexpr Cents kMin = std::numeric_limits<Cents>::min();

TEST(Money, HalvesGoToTheEvenNeighbourOnBothSides) {
  const std::tuple<int64_t, int64_t, int64_t> cases[] = {{5, 2, 2},   {7, 2, 4},   {-5, 2, -2}, {-7, 2, -4},
                                                         {5, -2, -2}, {-5, -2, 2}, {2, 3, 1},   {-2, 3, -1},
                                                         {25, 10, 2}, {26, 10, 3}};
  for (const auto& [n, d, q] : cases) EXPECT_EQ(DivRoundHalfEven(n, d), q) << n << " / " << d;
  EXPECT_EQ(CentsFromDouble(2.5), std::optional<Cents>(2));
  EXPECT_EQ(CentsFromDouble(-3.5), std::optional<Cents>(-4));
  EXPECT_EQ(FormatRate2(Rate{71250}), "7.12");  // 7.125
  // The net of a gross amount: 2.5 and 7.5 go to even; the largest amount does not overflow on the way.
  const std::pair<Cents, Cents> gross60[] = {{4, 2}, {12, 8}, {-4, -2}};
  for (auto [gross, net] : gross60) EXPECT_EQ(NetOfGross(gross, Rate::FromPercent(60)), net) << gross;
  EXPECT_EQ(std::to_string(NetOfGross(100, Rate::FromPercent(19))) + "+" +
                std::to_string(VatOfGross(100, Rate::FromPercent(19))),
            "84+16");
  EXPECT_EQ(NetOfGross(kMax, Rate::FromPercent(19)), 1804608107);
}

TEST(Money, OverflowIsRefusedNeverWrapped) {
  EXPECT_EQ(AddCents(kMax, 1), std::nullopt);
  EXPECT_EQ(AddCents(kMin, -1), std::nullopt);
  EXPECT_EQ(MulCents(kMax / 2 + 1, 2), std::nullopt);
  EXPECT_EQ(MulCents(-1, int64_t{1} << 31), std::optional<Cents>(kMin));
  EXPECT_EQ(MulCents(1, int64_t{1} << 40), std::nullopt);  // a factor that would wrap the product
  EXPECT_EQ(MulCents(0, int64_t{1} << 40), std::optional<Cents>(0));
  EXPECT_EQ(CentsFromDouble(1e10), std::nullopt);
  EXPECT_EQ(CentsFromDouble(std::numeric_limits<double>::quiet_NaN()), std::nullopt);
}

TEST(Money, RatesAndAmountsAsText) {
  const std::pair<std::string, std::optional<int64_t>> cases[] = {
      {"19", 190000}, {" 7,5 ", 75000}, {"0.0001", 1}, {"1.00000", 10000}, {"", 0}, {"abc", std::nullopt},
      {"19%", std::nullopt}, {"1.23456", std::nullopt}, {".", std::nullopt}, {"99999999999", std::nullopt},
  };
  for (const auto& [text, units] : cases) {
    auto r = ParseRate(text);
    EXPECT_EQ(r ? std::optional<int64_t>(r->units) : std::nullopt, units) << "'" << text << "'";
  }
  EXPECT_EQ(RateFromDouble(7.1).units, 71000);
  EXPECT_EQ(FormatRate(Rate{190000}) + " " + FormatRate(Rate{75000}) + " " + FormatRate(Rate{-5000}), "19 7.5 -0.5");
  EXPECT_EQ(FormatCents(-5) + " " + FormatCents(-123456), "-0.05 -1234.56");
  EXPECT_EQ(FormatCents(std::numeric_limits<int64_t>::min()), "-92233720368547758.08");
}

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
