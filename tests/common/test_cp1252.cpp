#include "common/cp1252.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "common/text.h"

namespace tolven {
namespace {

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
