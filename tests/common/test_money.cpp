#include "common/money.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace tolven {
namespace {

constexpr Cents kMax = std::numeric_limits<Cents>::max();
constexpr Cents kMin = std::numeric_limits<Cents>::min();

TEST(Money, HalvesGoToTheEvenNeighbourOnBothSides) {
  struct Case {
    int64_t n, d, q;
  };
  const Case cases[] = {{5, 2, 2}, {7, 2, 4}, {-5, 2, -2}, {-7, 2, -4}, {5, -2, -2}, {-5, -2, 2},
                        {2, 3, 1}, {-2, 3, -1}, {25, 10, 2}, {26, 10, 3}};
  for (const auto& c : cases) EXPECT_EQ(DivRoundHalfEven(c.n, c.d), c.q) << c.n << " / " << c.d;
  EXPECT_EQ(CentsFromDouble(2.5), std::optional<Cents>(2));
  EXPECT_EQ(CentsFromDouble(-3.5), std::optional<Cents>(-4));
  EXPECT_EQ(FormatRate2(Rate{71250}), "7.12");  // 7.125
  // The net of a gross amount: 2.5 and 7.5 go to even; the largest amount does not overflow on the way.
  const std::pair<Cents, Cents> gross60[] = {{4, 2}, {12, 8}, {-4, -2}};
  for (auto [gross, net] : gross60) EXPECT_EQ(NetOfGross(gross, Rate::FromPercent(60)), net) << gross;
  EXPECT_EQ(NetOfGross(100, Rate::FromPercent(19)), 84);
  EXPECT_EQ(VatOfGross(100, Rate::FromPercent(19)), 16);
  EXPECT_EQ(NetOfGross(kMax, Rate::FromPercent(19)), 1804608107);
  EXPECT_EQ(NetOfGross(1000, Rate{75000}), 930);
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

}  // namespace
}  // namespace tolven
