// Money, calendar and text tools as tables of cases.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

#include "common/cp1252.h"
#include "common/datetime.h"
#include "common/money.h"
#include "common/text.h"

namespace tolven {
namespace {

TEST(MoneyAndCalendar, RoundingOverflowTextLeapYearsAndParsing) {
  const std::tuple<int64_t, int64_t, int64_t> cases[] = {
      {5, 2, 2}, {7, 2, 4}, {-5, 2, -2}, {-7, 2, -4}, {5, -2, -2}, {2, 3, 1}, {-2, 3, -1}, {26, 10, 3},
  };
  for (const auto& [n, d, q] : cases) EXPECT_EQ(DivRoundHalfEven(n, d), q) << n << " / " << d;
  EXPECT_EQ(NetOfGross(INT32_MAX, Rate::FromPercent(19)), 1804608107);  // no overflow on the way
  EXPECT_EQ(AddCents(INT32_MAX, 1), std::nullopt);
  EXPECT_EQ(MulCents(1, int64_t{1} << 40), std::nullopt);  // a factor that would wrap the product
  EXPECT_EQ(MulCents(0, int64_t{1} << 40), std::optional<Cents>(0));
  EXPECT_EQ(CentsFromDouble(-3.5), std::optional<Cents>(-4));
  EXPECT_EQ(CentsFromDouble(1e10), std::nullopt);
  const std::pair<const char*, int64_t> rates[] = {
      {"19", 190000}, {" 7,5 ", 75000}, {"0.0001", 1}, {"1.00000", 10000}, {"", 0},
  };
  for (const auto& [text, units] : rates) EXPECT_EQ(ParseRate(text), Rate{units}) << "'" << text << "'";
  for (const char* text : {"abc", "19%", "1.23456", ".", "99999999999"})
    EXPECT_EQ(ParseRate(text), std::nullopt) << text;
  EXPECT_EQ(FormatRate(Rate{190000}) + " " + FormatRate(Rate{-5000}) + " " + FormatRate2(Rate{71250}) + " " +
                FormatCents(-5) + " " + FormatCents(-123456),
            "19 -0.5 7.12 -0.05 -1234.56");

  // Calendar: leap years, day arithmetic, parsing.
  EXPECT_EQ(LastDayOfMonth(Date{2100, 2, 1}), (Date{2100, 2, 28}));  // a century is no leap year ...
  EXPECT_EQ(LastDayOfMonth(Date{2000, 2, 1}), (Date{2000, 2, 29}));  // ... unless it divides by 400
  EXPECT_EQ(AddDays(Date{2024, 3, 1}, -1), (Date{2024, 2, 29}));
  EXPECT_EQ(FromUnixTime(-1), (DateTime{Date{1969, 12, 31}, 23, 59, 59, 0}));
  EXPECT_EQ(ParseDateTime("2026-03-05 13:14:15.5"), (DateTime{Date{2026, 3, 5}, 13, 14, 15, 500}));
  for (const char* text : {"2026-02-29", "2026-03-05 24:00:00", "2026-3-5"})
    EXPECT_EQ(ParseDateTime(text), std::nullopt);
}

TEST(TextAndCp1252, FieldsPaddingNumbersAndEveryByte) {
  const std::tuple<std::string, int, std::string> tokens[] = {
      {"A;12;3", 3, "3"}, {"A;12;3", 4, ""}, {"A;12;3", 0, ""}, {"x ; y", 1, "x"}, {"x; y", 2, " y"}, {"A;;3", 3, "3"},
  };
  for (const auto& [line, index, expected] : tokens) EXPECT_EQ(GetToken(line, index), expected) << line << index;
  std::string line;  // a line splits into at most 200 fields
  for (int i = 1; i <= 250; ++i) line += (i > 1 ? ";" : "") + std::to_string(i);
  EXPECT_EQ(GetToken(line, 200) + "|" + GetToken(line, 201), "200|");
  EXPECT_EQ(PadRight("Cola", 6) + "|" + PadRight("Cola", 2) + "|" + PadLeft("Cola", 6) + "|" + PadLeft("Cola", 2),
            "Cola  |Co|  Cola|la");
  EXPECT_EQ(FormatZeroPadded(2.5f, 8) + FormatZeroPadded(-3.0f, 4) + FormatZeroPadded(12345678.0f, 12),
            "000002.5-0031.234568E+07");
  EXPECT_EQ(ToUpper("käse straße éšœ") + ReplaceAll("a'b", "'", "''"), "KÄSE STRAßE ÉŠŒa''b");
  // Outside 32 bits a leading number is never a table number.
  const std::tuple<std::string, double, int32_t> leading[] = {
      {" 12abc", 12, 12}, {"-3.5x", -3.5, -4}, {"2.5", 2.5, 2},
      {"1.2.3", 1.2, 1},  {"abc", 0, 0},       {"99999999999", 99999999999.0, 0},
  };
  for (const auto& [field, number, whole] : leading)
    EXPECT_TRUE(LeadingNumber(field) == number && LeadingWholeNumber(field) == whole) << field;
  EXPECT_EQ(StrictWholeNumber("-2147483648"), INT32_MIN);
  for (const char* field : {"", "12a", "1 2", "+", "2147483648"})
    EXPECT_EQ(StrictWholeNumber(field), std::nullopt) << field;

  // Windows-1252: every byte round-trips, broken UTF-8 never forges characters.
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
  EXPECT_EQ(Cp1252ToUtf8("\x80\xFC\x81"), "\xE2\x82\xAC\xC3\xBC\xC2\x81");  // euro, u umlaut, an open code
  // Not UTF-8, over-long, a surrogate, past U+10FFFF: the bytes stay.
  const std::pair<std::string, std::string> cases[] = {
      {"\xE2\x80\x9E", "\x84"}, {"\xF0\x9F\x98\x80", "?"},        {"ab\xC3", "ab\xC3"},
      {"\xC0\xAF", "\xC0\xAF"}, {"\xED\xA0\x80", "\xED\xA0\x80"}, {"\xF4\x90\x80\x80", "\xF4\x90\x80\x80"},
  };
  for (const auto& [utf8, expected] : cases) EXPECT_EQ(Utf8ToCp1252(utf8), expected) << HexEncode(utf8);
}

}  // namespace
}  // namespace tolven
