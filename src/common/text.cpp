#include "common/text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace tolven {

std::string Bytes(std::initializer_list<int> codes) {
  std::string out;
  out.reserve(codes.size());
  for (int c : codes) out.push_back(static_cast<char>(c));
  return out;
}

namespace {
constexpr int kMaxTokens = 200;

bool IsBlank(char c) { return c == ' '; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

std::string GetToken(std::string_view line, int index, std::string_view separator) {
  if (index <= 0 || index > kMaxTokens) return "";
  const char sep = separator.empty() ? ';' : separator.front();
  size_t start = 0;
  for (int field = 1; field < index; ++field) {
    size_t pos = line.find(sep, start);
    if (pos == std::string_view::npos) return "";
    start = pos + 1;
  }
  size_t end = line.find(sep, start);
  std::string_view token = line.substr(start, end == std::string_view::npos ? line.size() - start : end - start);
  return TrimRightBlanks(token);
}

std::string PadLeft(std::string_view text, int n) {
  if (n <= 0) return "";
  size_t width = static_cast<size_t>(n);
  if (text.size() >= width) return std::string(text.substr(text.size() - width));
  return std::string(width - text.size(), ' ') + std::string(text);
}

std::string PadRight(std::string_view text, int n) {
  if (n <= 0) return "";
  size_t width = static_cast<size_t>(n);
  if (text.size() >= width) return std::string(text.substr(0, width));
  return std::string(text) + std::string(width - text.size(), ' ');
}

std::string SingleToText(float value) {
  if (value == 0.0f || !std::isfinite(value)) return "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6E", static_cast<double>(value));
  // buf = "-d.ddddddE+xx": take the seven significant digits and the exponent.
  std::string s(buf);
  bool negative = s[0] == '-';
  if (negative) s.erase(0, 1);
  size_t epos = s.find('E');
  int exponent = std::atoi(s.c_str() + epos + 1);
  std::string digits = s.substr(0, 1) + s.substr(2, epos - 2);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string out;
  if (exponent >= 7 || exponent < -5) {
    out = digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    char ebuf[16];
    std::snprintf(ebuf, sizeof ebuf, "E%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    out += ebuf;
  } else if (exponent >= 0) {
    size_t intLen = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= intLen) {
      out = digits + std::string(intLen - digits.size(), '0');
    } else {
      out = digits.substr(0, intLen) + "." + digits.substr(intLen);
    }
  } else {
    out = "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
  }
  return negative ? "-" + out : out;
}

namespace {
std::string ZeroPad(std::string body, bool negative, int n) {
  if (n <= 0) return "";
  int width = negative ? n - 1 : n;
  if (width < 0) width = 0;
  size_t w = static_cast<size_t>(width);
  if (body.size() < w) body = std::string(w - body.size(), '0') + body;
  body = body.substr(body.size() - w);
  return negative ? "-" + body : body;
}
}  // namespace

std::string FormatZeroPadded(float value, int n) {
  bool negative = value < 0.0f;
  std::string body = SingleToText(negative ? -value : value);
  return ZeroPad(body, negative, n);
}

std::string FormatZeroPaddedLong(int64_t value, int n) {
  bool negative = value < 0;
  uint64_t magnitude =
      negative ? static_cast<uint64_t>(0) - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  return ZeroPad(std::to_string(magnitude), negative, n);
}

std::string HexEncode(std::string_view text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 2);
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

std::string HexDecode(std::string_view hex) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    // Like reading "&H" + pair: the hex digits at the start of the pair count.
    int value = 0;
    for (size_t k = i; k < i + 2 && k < hex.size(); ++k) {
      int d = digit(hex[k]);
      if (d < 0) break;
      value = value * 16 + d;
    }
    out += static_cast<char>(value);
  }
  return out;
}

std::string NumStr(int64_t value) { return value < 0 ? std::to_string(value) : " " + std::to_string(value); }

std::string TrimLeftBlanks(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  return std::string(text.substr(i));
}

std::string TrimRightBlanks(std::string_view text) {
  size_t n = text.size();
  while (n > 0 && IsBlank(text[n - 1])) --n;
  return std::string(text.substr(0, n));
}

std::string TrimBlanks(std::string_view text) { return TrimRightBlanks(TrimLeftBlanks(text)); }

std::string ToUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    auto b = static_cast<unsigned char>(c);
    if (b >= 'a' && b <= 'z') {
      c = static_cast<char>(b - 32);
    } else if ((b >= 0xE0 && b <= 0xFE && b != 0xF7)) {  // Windows-1252 lower-case letters
      c = static_cast<char>(b - 32);
    } else if (b == 0x9A || b == 0x9C || b == 0x9E) {  // š œ ž
      c = static_cast<char>(b - 16);
    } else if (b == 0xFF) {
      c = static_cast<char>(0x9F);
    }
  }
  return out;
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  if (from.empty()) return text;
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
  return text;
}

double LeadingNumber(std::string_view field) {
  size_t i = 0;
  while (i < field.size() && (field[i] == ' ' || field[i] == '\t')) ++i;
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) {
    negative = field[i] == '-';
    ++i;
  }
  double value = 0.0;
  bool any = false;
  while (i < field.size() && IsDigit(field[i])) {
    value = value * 10.0 + (field[i] - '0');
    any = true;
    ++i;
  }
  if (i < field.size() && field[i] == '.') {
    ++i;
    double scale = 0.1;
    while (i < field.size() && IsDigit(field[i])) {
      value += (field[i] - '0') * scale;
      scale /= 10.0;
      any = true;
      ++i;
    }
  }
  if (!any) return 0.0;
  return negative ? -value : value;
}

int32_t LeadingWholeNumber(std::string_view field) {
  double v = std::nearbyint(LeadingNumber(field));  // default rounding mode: halves to even
  if (v > std::numeric_limits<int32_t>::max() || v < std::numeric_limits<int32_t>::min()) return 0;
  return static_cast<int32_t>(v);
}

std::optional<int32_t> StrictWholeNumber(std::string_view field) {
  std::string t = TrimBlanks(field);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
    negative = t[i] == '-';
    ++i;
  }
  if (i >= t.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < t.size(); ++i) {
    if (!IsDigit(t[i])) return std::nullopt;
    value = value * 10 + (t[i] - '0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min()) return std::nullopt;
  return static_cast<int32_t>(value);
}

}  // namespace tolven
