#include "common/text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tolven {
namespace {

struct TokenCase {
  std::string line;
  int index;
  std::string separator;
  std::string expected;
};

TEST(GetToken, FieldsOfSeparatedLines) {
  const std::vector<TokenCase> cases = {
      {"A;12;3", 2, ";", "12"},
      {"A;12;3", 3, ";", "3"},
      {"A;12;3", 4, ";", ""},
      {"A;12;3", 0, ";", ""},
      {"A;12;3", -1, ";", ""},
      {"x ; y", 1, ";", "x"},       // trailing blank goes
      {"x; y", 2, ";", " y"},       // leading blank stays
      {"x;  ", 2, ";", ""},         // a field of blanks is empty
      {"1x5+2x7", 2, "+", "2x7"},
      {"1x5+2x7", 1, "+", "1x5"},
      {"A;12;3", 2, "", "12"},      // empty separator means ";"
      {"A;;3", 2, ";", ""},
      {"A;;3", 3, ";", "3"},
      {"", 1, ";", ""},
      {";", 2, ";", ""},
      {"K;Müller  ", 2, ";", "Müller"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetToken(c.line, c.index, c.separator), c.expected)
        << "line '" << c.line << "' index " << c.index << " sep '" << c.separator << "'";
  }
}

TEST(GetToken, SplitsAtMostTwoHundredFields) {
  std::string line;
  for (int i = 1; i <= 250; ++i) line += (i > 1 ? ";" : "") + std::to_string(i);
  EXPECT_EQ(GetToken(line, 1), "1");
  EXPECT_EQ(GetToken(line, 199), "199");
  EXPECT_EQ(GetToken(line, 200), "200");  // ends at the 200th separator
  EXPECT_EQ(GetToken(line, 201), "");
  EXPECT_EQ(GetToken(line, 250), "");
}

TEST(Pad, CutsAndFills) {
  EXPECT_EQ(PadRight("Cola", 6), "Cola  ");
  EXPECT_EQ(PadRight("Cola", 2), "Co");
  EXPECT_EQ(PadRight("Cola", 4), "Cola");
  EXPECT_EQ(PadLeft("Cola", 6), "  Cola");
  EXPECT_EQ(PadLeft("Cola", 2), "la");
  EXPECT_EQ(PadLeft("", 3), "   ");
  EXPECT_EQ(PadLeft("Cola", 0), "");
  EXPECT_EQ(PadRight("Cola", -2), "");
  EXPECT_EQ(PadRight("Küche", 6), "Küche ");  // one byte per character
}

TEST(FormatZeroPadded, SinglePrecisionForms) {
  struct Case {
    float value;
    int n;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {7.0f, 3, "007"},
      {2.5f, 8, "000002.5"},
      {-3.0f, 4, "-003"},
      {12345.0f, 3, "345"},
      {0.0f, 4, "0000"},
      {0.1f, 4, "00.1"},
      {-2.5f, 6, "-002.5"},
      {1234567.0f, 8, "01234567"},
      // Seven significant digits: the whole number no longer survives.
      {12345678.0f, 12, "1.234568E+07"},
      {7.0f, 0, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatZeroPadded(c.value, c.n), c.expected) << c.value << " in " << c.n;
}

TEST(FormatZeroPadded, WholeNumbersKeepEveryDigit) {
  EXPECT_EQ(FormatZeroPaddedLong(7, 3), "007");
  EXPECT_EQ(FormatZeroPaddedLong(-3, 4), "-003");
  EXPECT_EQ(FormatZeroPaddedLong(12345, 3), "345");
  EXPECT_EQ(FormatZeroPaddedLong(123456789, 10), "0123456789");
  EXPECT_EQ(FormatZeroPaddedLong(-2147483648LL, 11), "-2147483648");
  EXPECT_EQ(FormatZeroPaddedLong(0, 2), "00");
}

TEST(SingleToText, GeneralForm) {
  EXPECT_EQ(SingleToText(2.5f), "2.5");
  EXPECT_EQ(SingleToText(100.0f), "100");
  EXPECT_EQ(SingleToText(-0.25f), "-0.25");
  EXPECT_EQ(SingleToText(0.3f), "0.3");
  EXPECT_EQ(SingleToText(9999999.0f), "9999999");
}

TEST(Hex, EncodeDecode) {
  EXPECT_EQ(HexEncode("A"), "41");
  EXPECT_EQ(HexEncode("\n"), "0A");
  EXPECT_EQ(HexEncode(std::string("\0\xFF", 2)), "00FF");
  EXPECT_EQ(HexEncode(""), "");
  EXPECT_EQ(HexDecode("41420a"), "AB\n");
  EXPECT_EQ(HexDecode(""), "");

  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  std::string hex = HexEncode(all);
  ASSERT_EQ(hex.size(), 512u);
  EXPECT_EQ(hex.substr(0x80 * 2, 4), "8081");
  EXPECT_EQ(HexDecode(hex), all);
}

TEST(NumStr, BlankBeforeNonNegative) {
  EXPECT_EQ(NumStr(0), " 0");
  EXPECT_EQ(NumStr(4711), " 4711");
  EXPECT_EQ(NumStr(-5), "-5");
  EXPECT_EQ(NumStr(9999999999LL), " 9999999999");
}

TEST(TextHelpers, TrimUpperReplace) {
  EXPECT_EQ(TrimBlanks("  a b  "), "a b");
  EXPECT_EQ(TrimLeftBlanks("  a "), "a ");
  EXPECT_EQ(TrimRightBlanks("  a "), "  a");
  EXPECT_EQ(ToUpper("käse straße"), "KÄSE STRAßE");  // ß has no single upper-case letter
  EXPECT_EQ(ToUpper("éàüöšœžÿ"), "ÉÀÜÖŠŒŽŸ");
  EXPECT_EQ(ReplaceAll("a'b''c", "'", "''"), "a''b''''c");
  EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
}

TEST(LeadingNumber, NumberAtTheStartOfTheField) {
  struct Case {
    std::string field;
    double number;
    int32_t whole;
  };
  const std::vector<Case> cases = {
      {"12", 12, 12},
      {" 12abc", 12, 12},
      {"-3.5x", -3.5, -4},  // halves to even
      {"2.5", 2.5, 2},
      {"3.5", 3.5, 4},
      {"-2.5", -2.5, -2},
      {".5", 0.5, 0},
      {"+7", 7, 7},
      {"1.2.3", 1.2, 1},
      {"1e3", 1, 1},
      {"abc", 0, 0},
      {"", 0, 0},
      {"-", 0, 0},
      {"99999999999", 99999999999.0, 0},  // outside 32 bits: never a table number
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(LeadingNumber(c.field), c.number) << "'" << c.field << "'";
    EXPECT_EQ(LeadingWholeNumber(c.field), c.whole) << "'" << c.field << "'";
  }
}

TEST(StrictWholeNumber, AcceptedAndRejectedSideBySide) {
  struct Case {
    std::string field;
    std::optional<int32_t> expected;
  };
  const std::vector<Case> cases = {
      {"12", 12},
      {" 12 ", 12},
      {"+5", 5},
      {"-7", -7},
      {"007", 7},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"12a", std::nullopt},
      {"1.0", std::nullopt},
      {"1 2", std::nullopt},
      {"+", std::nullopt},
      {"--1", std::nullopt},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(StrictWholeNumber(c.field), c.expected) << "'" << c.field << "'";
}

}  // namespace
}  // namespace tolven
