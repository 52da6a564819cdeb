#include "common/cp1252.h"

#include <cstdint>

namespace tolven {

namespace {
// Code points of 0x80..0x9F.
constexpr uint16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                                0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                                0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

uint32_t CodePointOf(unsigned char b) {
  if (b >= 0x80 && b <= 0x9F) return kHigh[b - 0x80];
  return b;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

char ByteOf(uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (int i = 0; i < 32; ++i) {
    if (kHigh[i] == cp) return static_cast<char>(0x80 + i);
  }
  return '?';
}
}  // namespace

std::string Cp1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) AppendUtf8(out, CodePointOf(static_cast<unsigned char>(c)));
  return out;
}

namespace {
// The length of the UTF-8 sequence at text[i] with its code point, or 0 when
// it is not one. Over-long forms, surrogates and codes beyond U+10FFFF are not
// UTF-8: read as characters they could forge a "/" or a NUL in a file name or
// SQL text.
size_t DecodeUtf8(std::string_view text, size_t i, uint32_t& cp) {
  auto b = static_cast<unsigned char>(text[i]);
  int extra = (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
  if (extra < 0 || i + static_cast<size_t>(extra) >= text.size()) return 0;
  cp = b & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    auto cont = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
    if ((cont & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cont & 0x3F);
  }
  static constexpr uint32_t kSmallest[4] = {0, 0x80, 0x800, 0x10000};
  if (cp < kSmallest[extra] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
  return static_cast<size_t>(extra) + 1;
}
}  // namespace

std::string Utf8ToCp1252(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    auto b = static_cast<unsigned char>(text[i]);
    uint32_t cp = 0;
    const size_t n = b < 0x80 ? 0 : DecodeUtf8(text, i, cp);
    if (n == 0) {
      out += static_cast<char>(b);  // ASCII, or not UTF-8: the byte as it is
      ++i;
      continue;
    }
    out += ByteOf(cp);
    i += n;
  }
  return out;
}

bool IsWellFormedUtf8(std::string_view text) {
  uint32_t cp = 0;
  for (size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
    } else if (size_t n = DecodeUtf8(text, i, cp); n > 0) {
      i += n;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace tolven
