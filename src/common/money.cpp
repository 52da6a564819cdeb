#include "common/money.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "common/text.h"

namespace tolven {

int64_t DivRoundHalfEven(int64_t numerator, int64_t denominator) {
  if (denominator < 0) {
    numerator = -numerator;
    denominator = -denominator;
  }
  int64_t q = numerator / denominator;
  int64_t r = numerator % denominator;
  if (r == 0) return q;
  // Compare the remainder's double with the divisor: above, below, or exactly half.
  int64_t twice = 2 * (r < 0 ? -r : r);
  bool away = twice > denominator || (twice == denominator && (q % 2 != 0));
  if (away) q += r < 0 ? -1 : 1;
  return q;
}

std::optional<Cents> CheckedCents(int64_t value) {
  if (value > std::numeric_limits<Cents>::max() || value < std::numeric_limits<Cents>::min()) return std::nullopt;
  return static_cast<Cents>(value);
}

std::optional<Cents> AddCents(Cents a, Cents b) { return CheckedCents(int64_t{a} + int64_t{b}); }

std::optional<Cents> MulCents(Cents amount, int64_t factor) {
  if (factor > (int64_t{1} << 31) || factor < -(int64_t{1} << 31)) {
    if (amount == 0) return 0;
    return std::nullopt;
  }
  return CheckedCents(int64_t{amount} * factor);
}

Cents NetOfGross(Cents gross, Rate rate) {
  constexpr int64_t kHundred = 100 * Rate::kScale;
  return static_cast<Cents>(DivRoundHalfEven(int64_t{gross} * kHundred, kHundred + rate.units));
}

Cents VatOfGross(Cents gross, Rate rate) { return gross - NetOfGross(gross, rate); }

std::optional<Cents> CentsFromDouble(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  double r = std::nearbyint(value);
  if (r > std::numeric_limits<Cents>::max() || r < std::numeric_limits<Cents>::min()) return std::nullopt;
  return static_cast<Cents>(r);
}

Rate RateFromDouble(double percent) {
  return Rate{static_cast<int64_t>(std::nearbyint(percent * static_cast<double>(Rate::kScale)))};
}

std::optional<Rate> ParseRate(std::string_view text) {
  std::string t = TrimBlanks(text);
  if (t.empty()) return Rate{0};
  bool negative = false;
  size_t i = 0;
  if (t[0] == '-' || t[0] == '+') {
    negative = t[0] == '-';
    i = 1;
  }
  int64_t whole = 0;
  int64_t frac = 0;
  int fracDigits = 0;
  bool any = false;
  for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
    whole = whole * 10 + (t[i] - '0');
    any = true;
    if (whole > 1000000000) return std::nullopt;
  }
  if (i < t.size() && (t[i] == '.' || t[i] == ',')) {
    ++i;
    for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
      any = true;
      if (fracDigits < 4) {
        frac = frac * 10 + (t[i] - '0');
        ++fracDigits;
      } else if (fracDigits == 4 && t[i] != '0') {
        return std::nullopt;  // more than four decimals cannot be a stored rate
      }
    }
  }
  if (!any || i != t.size()) return std::nullopt;
  while (fracDigits < 4) {
    frac *= 10;
    ++fracDigits;
  }
  int64_t units = whole * Rate::kScale + frac;
  return Rate{negative ? -units : units};
}

std::optional<Decimal> ParseDecimal(std::string_view text) {
  constexpr int kMaxScale = 9;
  const std::string t = TrimBlanks(text);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
  Decimal d;
  bool any = false;
  for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
    if (d.mantissa > 100000000) return std::nullopt;  // far beyond any rate or amount
    d.mantissa = d.mantissa * 10 + (t[i] - '0');
    any = true;
  }
  int next = -1;      // the first digit past the ninth decimal
  bool rest = false;  // any non-zero digit after that one
  if (i < t.size() && (t[i] == '.' || t[i] == ',')) {
    for (++i; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
      any = true;
      if (d.scale < kMaxScale) {
        d.mantissa = d.mantissa * 10 + (t[i] - '0');
        ++d.scale;
      } else if (next < 0) {
        next = t[i] - '0';
      } else if (t[i] != '0') {
        rest = true;
      }
    }
  }
  if (!any || i != t.size()) return std::nullopt;
  if (next > 5 || (next == 5 && (rest || d.mantissa % 2 != 0))) ++d.mantissa;
  // Trailing zeros of the fraction say nothing.
  while (d.scale > 0 && d.mantissa % 10 == 0) {
    d.mantissa /= 10;
    --d.scale;
  }
  if (negative) d.mantissa = -d.mantissa;
  return d;
}

std::optional<Cents> DivideCents(int64_t cents, const Decimal& divisor) {
  if (divisor.mantissa == 0 || cents > INT32_MAX || cents < INT32_MIN) return std::nullopt;
  int64_t scaled = cents;
  for (int k = 0; k < divisor.scale; ++k) scaled *= 10;  // at most 2^31 * 10^9: within 64 bits
  return CheckedCents(DivRoundHalfEven(scaled, divisor.mantissa));
}

std::string FormatCents(int64_t cents) {
  uint64_t magnitude =
      cents < 0 ? static_cast<uint64_t>(0) - static_cast<uint64_t>(cents) : static_cast<uint64_t>(cents);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s%llu.%02llu", cents < 0 ? "-" : "",
                static_cast<unsigned long long>(magnitude / 100), static_cast<unsigned long long>(magnitude % 100));
  return buf;
}

std::string FormatRate(Rate rate) {
  int64_t u = rate.units < 0 ? -rate.units : rate.units;
  std::string s = std::to_string(u / Rate::kScale);
  int64_t frac = u % Rate::kScale;
  if (frac != 0) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04lld", static_cast<long long>(frac));
    std::string f(buf);
    while (!f.empty() && f.back() == '0') f.pop_back();
    s += "." + f;
  }
  return rate.units < 0 ? "-" + s : s;
}

std::string FormatRate2(Rate rate) {
  int64_t hundredths = DivRoundHalfEven(rate.units, 100);
  return FormatCents(hundredths);
}

}  // namespace tolven
