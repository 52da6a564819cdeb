#include "common/money.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace tolven {
namespace {

constexpr Cents kMax = std::numeric_limits<Cents>::max();
constexpr Cents kMin = std::numeric_limits<Cents>::min();

TEST(DivRoundHalfEven, HalvesGoToTheEvenNeighbourOnBothSides) {
  struct Case {
    int64_t n, d, q;
  };
  const std::vector<Case> cases = {
      {5, 2, 2},   {7, 2, 4},   {-5, 2, -2}, {-7, 2, -4}, {5, -2, -2}, {-5, -2, 2},
      {1, 3, 0},   {2, 3, 1},   {-2, 3, -1}, {-1, 3, 0},  {6, 3, 2},   {0, 7, 0},
      {15, 10, 2}, {25, 10, 2}, {26, 10, 3}, {-25, 10, -2},
  };
  for (const auto& c : cases) EXPECT_EQ(DivRoundHalfEven(c.n, c.d), c.q) << c.n << " / " << c.d;
}

TEST(Vat, NetAndVatOfGross) {
  struct Case {
    Cents gross;
    Rate rate;
    Cents net;
  };
  const std::vector<Case> cases = {
      {119, Rate::FromPercent(19), 100},
      {100, Rate::FromPercent(19), 84},   // 84.03
      {107, Rate::FromPercent(7), 100},
      {-119, Rate::FromPercent(19), -100},
      {250, Rate{0}, 250},
      {1, Rate::FromPercent(19), 1},      // 0.84
      {4, Rate::FromPercent(60), 2},      // 2.5 -> 2
      {12, Rate::FromPercent(60), 8},     // 7.5 -> 8
      {-4, Rate::FromPercent(60), -2},
      {kMax, Rate::FromPercent(19), 1804608107},
      {1000, Rate{75000}, 930},           // 7.5 %: 930.23
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NetOfGross(c.gross, c.rate), c.net) << c.gross << " at " << FormatRate(c.rate);
    EXPECT_EQ(VatOfGross(c.gross, c.rate), c.gross - c.net) << c.gross << " at " << FormatRate(c.rate);
  }
}

TEST(Cents, OverflowIsRefusedNeverWrapped) {
  EXPECT_EQ(AddCents(kMax, 1), std::nullopt);
  EXPECT_EQ(AddCents(kMin, -1), std::nullopt);
  EXPECT_EQ(AddCents(kMax, kMin), std::optional<Cents>(-1));
  EXPECT_EQ(AddCents(100, -250), std::optional<Cents>(-150));
  EXPECT_EQ(MulCents(kMax / 2 + 1, 2), std::nullopt);
  EXPECT_EQ(MulCents(-1, int64_t{1} << 31), std::optional<Cents>(kMin));
  EXPECT_EQ(MulCents(1, int64_t{1} << 40), std::nullopt);
  EXPECT_EQ(MulCents(0, int64_t{1} << 40), std::optional<Cents>(0));
  EXPECT_EQ(MulCents(250, -3), std::optional<Cents>(-750));
  EXPECT_EQ(CheckedCents(int64_t{kMax} + 1), std::nullopt);
  EXPECT_EQ(CheckedCents(kMin), std::optional<Cents>(kMin));
}

TEST(Cents, FromFractionalValues) {
  EXPECT_EQ(CentsFromDouble(2.5), std::optional<Cents>(2));
  EXPECT_EQ(CentsFromDouble(3.5), std::optional<Cents>(4));
  EXPECT_EQ(CentsFromDouble(-2.5), std::optional<Cents>(-2));
  EXPECT_EQ(CentsFromDouble(1234.4999), std::optional<Cents>(1234));
  EXPECT_EQ(CentsFromDouble(1e10), std::nullopt);
  EXPECT_EQ(CentsFromDouble(std::numeric_limits<double>::quiet_NaN()), std::nullopt);
  EXPECT_EQ(CentsFromDouble(std::numeric_limits<double>::infinity()), std::nullopt);
}

TEST(Rates, ParseAcceptedAndRejected) {
  struct Case {
    std::string text;
    std::optional<int64_t> units;
  };
  const std::vector<Case> cases = {
      {"19", 190000},
      {"19.0000", 190000},
      {"7,5", 75000},
      {" 7.5 ", 75000},
      {"0.0001", 1},
      {"1.00000", 10000},  // a fifth decimal zero is still a stored rate
      {"-5", -50000},
      {"19.", 190000},
      {"", 0},
      {"abc", std::nullopt},
      {"19%", std::nullopt},
      {"1.23456", std::nullopt},
      {"1e2", std::nullopt},
      {"-", std::nullopt},
      {".", std::nullopt},
      {"99999999999", std::nullopt},
  };
  for (const auto& c : cases) {
    auto r = ParseRate(c.text);
    if (c.units) {
      ASSERT_TRUE(r.has_value()) << "'" << c.text << "'";
      EXPECT_EQ(r->units, *c.units) << "'" << c.text << "'";
    } else {
      EXPECT_FALSE(r.has_value()) << "'" << c.text << "'";
    }
  }
  EXPECT_EQ(RateFromDouble(19.0).units, 190000);
  EXPECT_EQ(RateFromDouble(7.1).units, 71000);
}

TEST(Rates, Formats) {
  EXPECT_EQ(FormatRate(Rate{190000}), "19");
  EXPECT_EQ(FormatRate(Rate{75000}), "7.5");
  EXPECT_EQ(FormatRate(Rate{1}), "0.0001");
  EXPECT_EQ(FormatRate(Rate{-5000}), "-0.5");
  EXPECT_EQ(FormatRate(Rate{0}), "0");
  EXPECT_EQ(FormatRate2(Rate{190000}), "19.00");
  EXPECT_EQ(FormatRate2(Rate{75000}), "7.50");
  EXPECT_EQ(FormatRate2(Rate{71250}), "7.12");  // 7.125 -> 7.12 (half to even)
}

TEST(FormatCents, TwoDecimalsWithPoint) {
  EXPECT_EQ(FormatCents(0), "0.00");
  EXPECT_EQ(FormatCents(5), "0.05");
  EXPECT_EQ(FormatCents(-5), "-0.05");
  EXPECT_EQ(FormatCents(1230), "12.30");
  EXPECT_EQ(FormatCents(-123456), "-1234.56");
  EXPECT_EQ(FormatCents(kMin), "-21474836.48");
  EXPECT_EQ(FormatCents(std::numeric_limits<int64_t>::min()), "-92233720368547758.08");
}

}  // namespace
}  // namespace tolven
