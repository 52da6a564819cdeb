#include "common/text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "common/cp1252.h"

namespace tolven {
namespace {

TEST(Text, GetTokenFieldsOfSeparatedLines) {
  struct Case {
    std::string line;
    int index;
    std::string separator, expected;
  };
  const Case cases[] = {
      {"A;12;3", 2, ";", "12"}, {"A;12;3", 3, ";", "3"}, {"A;12;3", 4, ";", ""}, {"A;12;3", 0, ";", ""},
      {"x ; y", 1, ";", "x"}, {"x; y", 2, ";", " y"},  // trailing blanks go, leading ones stay
      {"1x5+2x7", 2, "+", "2x7"}, {"A;12;3", 2, "", "12"}, {"A;;3", 3, ";", "3"}, {"", 1, ";", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetToken(c.line, c.index, c.separator), c.expected)
        << "'" << c.line << "' index " << c.index << " sep '" << c.separator << "'";
  }
  std::string line;  // a line splits into at most 200 fields
  for (int i = 1; i <= 250; ++i) line += (i > 1 ? ";" : "") + std::to_string(i);
  EXPECT_EQ(GetToken(line, 200), "200");
  EXPECT_EQ(GetToken(line, 201), "");
}

TEST(Text, PaddedAndZeroPaddedFields) {
  EXPECT_EQ(PadRight("Cola", 6) + "|" + PadRight("Cola", 2) + "|" + PadRight("Küche", 6) + "|", "Cola  |Co|Küche |");
  EXPECT_EQ(PadLeft("Cola", 6) + "|" + PadLeft("Cola", 2) + "|" + PadLeft("Cola", 0) + "|", "  Cola|la||");
  const std::pair<float, int> values[] = {{7.0f, 3}, {2.5f, 8}, {-3.0f, 4}, {12345.0f, 3}, {0.1f, 4}, {7.0f, 0},
                                          // seven significant digits, then exponential
                                          {1234567.0f, 8}, {12345678.0f, 12}};
  std::string all;
  for (auto [value, n] : values) all += FormatZeroPadded(value, n) + "|";
  EXPECT_EQ(all, "007|000002.5|-003|345|00.1||01234567|1.234568E+07|");
  EXPECT_EQ(FormatZeroPaddedLong(-2147483648LL, 11), "-2147483648");
  EXPECT_EQ(NumStr(4711) + NumStr(-5), " 4711-5");
}

TEST(Text, HexUpperAndReplace) {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  const std::string hex = HexEncode(bytes);
  EXPECT_EQ(hex.substr(0x80 * 2, 4), "8081");
  EXPECT_EQ(HexDecode(hex), bytes);
  EXPECT_EQ(HexDecode("41420a"), "AB\n");
  EXPECT_EQ(ToUpper("käse straße éšœžÿ"), "KÄSE STRAßE ÉŠŒŽŸ");  // ß has no single upper-case letter
  EXPECT_EQ(ReplaceAll("a'b''c", "'", "''"), "a''b''''c");  // the replacement is not searched again
}

TEST(Text, LeadingAndStrictNumbers) {
  struct Case {
    std::string field;
    double number;
    int32_t whole;
  };
  const Case leading[] = {
      {" 12abc", 12, 12}, {"-3.5x", -3.5, -4}, {"2.5", 2.5, 2},  // halves to even
      {".5", 0.5, 0}, {"1.2.3", 1.2, 1}, {"1e3", 1, 1}, {"abc", 0, 0}, {"-", 0, 0},
      {"99999999999", 99999999999.0, 0},  // outside 32 bits: never a table number
  };
  for (const auto& c : leading) {
    EXPECT_DOUBLE_EQ(LeadingNumber(c.field), c.number) << "'" << c.field << "'";
    EXPECT_EQ(LeadingWholeNumber(c.field), c.whole) << "'" << c.field << "'";
  }
  const std::pair<std::string, std::optional<int32_t>> strict[] = {
      {" 12 ", 12}, {"+5", 5}, {"007", 7}, {"-2147483648", INT32_MIN}, {"", std::nullopt}, {"12a", std::nullopt},
      {"1.0", std::nullopt}, {"1 2", std::nullopt}, {"+", std::nullopt}, {"--1", std::nullopt},
      {"2147483648", std::nullopt}, {"99999999999999999999", std::nullopt},
  };
  for (const auto& [field, expected] : strict) EXPECT_EQ(StrictWholeNumber(field), expected) << "'" << field << "'";
}

TEST(Cp1252, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
  EXPECT_EQ(Cp1252ToUtf8("\x80\xFC"), "\xE2\x82\xAC\xC3\xBC");  // euro sign, u umlaut
  EXPECT_EQ(Cp1252ToUtf8("\x81"), "\xC2\x81");  // a code 1252 leaves open travels as the C1 control
}

TEST(Cp1252, ForeignOrBrokenUtf8NeverForgesCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xE2\x80\x9E", "\x84"},                                 // low double quote
      {"\xE4\xB8\xAD", "?"}, {"\xF0\x9F\x98\x80", "?"},         // characters 1252 lacks
      {"ab\xC3", "ab\xC3"}, {"\xC3(", "\xC3("}, {"\xFF", "\xFF"},  // not UTF-8: the bytes stay
      // Over-long forms must not become "/" or NUL; surrogates and codes past
      // U+10FFFF are no characters either.
      {"\xC0\xAF", "\xC0\xAF"}, {"\xE0\x80\xAF", "\xE0\x80\xAF"},
      {"\xED\xA0\x80", "\xED\xA0\x80"}, {"\xF4\x90\x80\x80", "\xF4\x90\x80\x80"},
  };
  for (const auto& [utf8, expected] : cases) EXPECT_EQ(Utf8ToCp1252(utf8), expected) << HexEncode(utf8);
}

}  // namespace
}  // namespace tolven
