#include "common/cp1252.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolven {
namespace {

TEST(Cp1252, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  std::string utf8 = Cp1252ToUtf8(all);
  EXPECT_EQ(Utf8ToCp1252(utf8), all);
  // The five codes Windows-1252 leaves open travel as the C1 controls of the same number.
  for (unsigned char b : std::string("\x81\x8D\x8F\x90\x9D")) {
    std::string one(1, static_cast<char>(b));
    EXPECT_EQ(Cp1252ToUtf8(one), std::string({'\xC2', static_cast<char>(b)})) << int(b);
    EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(one)), one);
  }
}

TEST(Cp1252, KnownCharacters) {
  EXPECT_EQ(Cp1252ToUtf8("\x80"), "\xE2\x82\xAC");  // euro sign
  EXPECT_EQ(Cp1252ToUtf8("\xFC"), "\xC3\xBC");      // u umlaut
  EXPECT_EQ(Cp1252ToUtf8("\xB4"), "\xC2\xB4");      // acute accent, the syslog's apostrophe
  EXPECT_EQ(Utf8ToCp1252("\xE2\x80\x9E"), "\x84");  // low double quote
  EXPECT_EQ(Utf8ToCp1252("K\xC3\xBC" "che"), "K\xFC" "che");
}

TEST(Cp1252, ForeignOrBrokenUtf8LosesNothingAndNeverForgesCharacters) {
  struct Case {
    std::string utf8;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"\xE4\xB8\xAD", "?"},                    // a character Windows-1252 lacks
      {"\xF0\x9F\x98\x80", "?"},                // outside the basic plane
      {"\xFF", "\xFF"},                         // not UTF-8: the byte stays
      {"ab\xC3", "ab\xC3"},                     // cut-off sequence at the end
      {"\xC3(", "\xC3("},                       // lead byte without continuation
      {"\xC2\x80", "?"},                        // U+0080 has no Windows-1252 code
      // Over-long forms must not turn into "/" or a NUL: they stay raw bytes.
      {"\xC0\xAF", "\xC0\xAF"},
      {"\xE0\x80\xAF", "\xE0\x80\xAF"},
      {"\xC0\x80", "\xC0\x80"},
      {"\xED\xA0\x80", "\xED\xA0\x80"},         // a surrogate is no character
      {"\xF4\x90\x80\x80", "\xF4\x90\x80\x80"}, // beyond U+10FFFF
  };
  for (const auto& c : cases) {
    std::string hex;
    for (unsigned char b : c.utf8) hex += std::to_string(b) + " ";
    EXPECT_EQ(Utf8ToCp1252(c.utf8), c.expected) << hex;
  }
}

}  // namespace
}  // namespace tolven
