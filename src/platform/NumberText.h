// Decimal number texts as hosts, users and devices write them. Conversion never depends on the C
// library's locale: the only regional setting honoured is the decimal separator, passed in or
// taken from Locale.h.
#pragma once

#include <string_view>

namespace qmb {

// Optional blanks (spaces) around the text, an optional sign, at least one digit with at most
// one decimal separator, then an optional exponent ("E" or "e", optional sign, at least one
// digit). No thousands separators, no "INF" or "NAN". A value too large for a double is invalid;
// one too small reads as zero. On failure value is left unchanged.
bool ParseDecimalText(std::string_view text, char separator, double& value);
// The same with the user's decimal separator.
bool ParseDecimalText(std::string_view text, double& value);

}  // namespace qmb
