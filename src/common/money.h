// Money and VAT arithmetic: amounts are whole cents in 32 bits, VAT rates are
// fixed-point per cent with four decimals (190000 = 19 %). Every rounding to
// whole cents is exact integer arithmetic with halves to the even neighbour, and
// nothing wraps: a result outside 32 bits is refused.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolven {

using Cents = int32_t;

struct Rate {
  int64_t units = 0;  // 1/10000 per cent
  static constexpr int64_t kScale = 10000;
  static Rate FromPercent(int64_t percent) { return Rate{percent * kScale}; }
  bool IsZero() const { return units == 0; }
  friend auto operator<=>(const Rate&, const Rate&) = default;
};

// numerator / denominator rounded to the nearest whole number, halves to even.
// denominator must not be 0.
int64_t DivRoundHalfEven(int64_t numerator, int64_t denominator);

std::optional<Cents> CheckedCents(int64_t value);
std::optional<Cents> AddCents(Cents a, Cents b);
std::optional<Cents> MulCents(Cents amount, int64_t factor);

// Net part of a gross amount: round(gross * 100 / (100 + rate)).
Cents NetOfGross(Cents gross, Rate rate);
// VAT part of a gross amount: gross - net.
Cents VatOfGross(Cents gross, Rate rate);

// A fractional value (as a database or the terminal hands it over) in whole
// cents, halves to even; nullopt outside 32 bits or not finite.
std::optional<Cents> CentsFromDouble(double value);
// A rate from a decimal per-cent value, rounded to four decimals.
Rate RateFromDouble(double percent);
// A rate from its text as the database returns it ("19", "19.0000", "7,5").
std::optional<Rate> ParseRate(std::string_view text);

// A decimal number with all its decimals: mantissa / 10^scale.
struct Decimal {
  int64_t mantissa = 0;
  int scale = 0;  // 0..9
};
// From its text as a database returns it ("1.95583", "0,9", "2"); decimals
// beyond the ninth are rounded half to even. nullopt for anything else.
std::optional<Decimal> ParseDecimal(std::string_view text);
// cents / divisor rounded to whole cents, halves to even; nullopt for a
// divisor of 0 or a result outside 32 bits.
std::optional<Cents> DivideCents(int64_t cents, const Decimal& divisor);

// Cents / 100 as "0.00" with "." as decimal separator ("-0.05", "12.30").
std::string FormatCents(int64_t cents);
// A rate as a plain decimal with the trailing zeros of its fraction removed ("19", "7.5").
std::string FormatRate(Rate rate);
// A rate with exactly two decimals ("19.00").
std::string FormatRate2(Rate rate);

}  // namespace tolven
