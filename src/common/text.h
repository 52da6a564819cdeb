// Text tools the exchange files, SQL texts and printouts rest on. Every text is
// Windows-1252, one byte per character, so widths and hex codes count characters.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace tolven {

// The bytes of a printer or display command, given as numbers 0..255.
std::string Bytes(std::initializer_list<int> codes);

// Field `index` (from 1) of a separated line, trailing blanks removed, leading
// blanks kept; "" when the line has fewer fields or index is 0. An empty
// separator counts as ";". At most 200 fields are split off: field 200 ends at
// the 200th separator and nothing behind it is ever returned.
std::string GetToken(std::string_view line, int index, std::string_view separator = ";");

// Right-aligned in n characters; a longer text keeps its last n characters.
std::string PadLeft(std::string_view text, int n);
// Left-aligned in n characters; a longer text keeps its first n characters.
std::string PadRight(std::string_view text, int n);

// The single-precision number in its general form, zero-padded on the left to n
// characters and cut to its last n; a negative number gets "-" and n - 1
// characters. Whole numbers beyond seven digits do not survive single
// precision; record numbers use FormatZeroPaddedLong.
std::string FormatZeroPadded(float value, int n);
std::string FormatZeroPaddedLong(int64_t value, int n);
// General form of a single-precision value: up to seven significant digits,
// exponent form from 1E+07 on, as the POS programs print such values.
std::string SingleToText(float value);

// Two upper-case hex digits per character; HexDecode reads pairs from the left.
std::string HexEncode(std::string_view text);
std::string HexDecode(std::string_view hex);

// A whole number as written into SQL text: one leading blank when not negative.
std::string NumStr(int64_t value);

std::string TrimBlanks(std::string_view text);
std::string TrimLeftBlanks(std::string_view text);
std::string TrimRightBlanks(std::string_view text);
std::string ToUpper(std::string_view text);
bool StartsWith(std::string_view text, std::string_view prefix);
bool EndsWith(std::string_view text, std::string_view suffix);
std::string ReplaceAll(std::string text, std::string_view from, std::string_view to);

// Leading-number rule of the exchange files: the number at the start of the
// field (blanks before it skipped, a sign, digits, one decimal point); none
// gives 0.
double LeadingNumber(std::string_view field);
// The leading number rounded to a whole number, halves to even; a value outside
// the 32-bit range gives 0, so it can never be taken for a real table or count.
int32_t LeadingWholeNumber(std::string_view field);
// Strict conversion: optional blanks, an optional sign, digits, optional blanks
// and nothing else, inside the 32-bit range. Anything else gives nullopt.
std::optional<int32_t> StrictWholeNumber(std::string_view field);

}  // namespace tolven
