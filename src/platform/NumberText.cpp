#include "platform/NumberText.h"

#include <charconv>
#include <string>

#include "platform/Locale.h"

namespace qmb {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Exponents beyond this cannot change the outcome (over- or underflow) and must not overflow
// the arithmetic that tells the two apart.
constexpr long kExponentLimit = 1'000'000;

}  // namespace

bool ParseDecimalText(std::string_view text, char separator, double& value) {
  size_t i = 0;
  size_t end = text.size();
  while (i < end && text[i] == ' ') ++i;
  while (end > i && text[end - 1] == ' ') --end;

  // The text is rebuilt with "." as separator so that std::from_chars, which ignores the C
  // locale, does the rounding.
  std::string normal;
  normal.reserve(end - i + 1);
  bool negative = false;
  if (i < end && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    if (negative) normal.push_back('-');
    ++i;
  }

  long integerDigits = 0;
  long fractionDigits = 0;
  bool separatorSeen = false;
  bool nonZeroSeen = false;
  long firstNonZeroInteger = -1;   // 0-based index among the integer digits
  long firstNonZeroFraction = -1;  // 1-based index among the fraction digits
  for (; i < end; ++i) {
    const char c = text[i];
    if (IsDigit(c)) {
      normal.push_back(c);
      if (separatorSeen) {
        ++fractionDigits;
        if (c != '0' && !nonZeroSeen) firstNonZeroFraction = fractionDigits;
      } else {
        if (c != '0' && !nonZeroSeen) firstNonZeroInteger = integerDigits;
        ++integerDigits;
      }
      if (c != '0') nonZeroSeen = true;
    } else if (c == separator && !separatorSeen) {
      separatorSeen = true;
      normal.push_back('.');
    } else {
      break;
    }
  }
  if (integerDigits + fractionDigits == 0) return false;

  long exponent = 0;
  if (i < end && (text[i] == 'E' || text[i] == 'e')) {
    normal.push_back('e');
    ++i;
    bool exponentNegative = false;
    if (i < end && (text[i] == '+' || text[i] == '-')) {
      exponentNegative = text[i] == '-';
      normal.push_back(text[i]);
      ++i;
    }
    const size_t digitsStart = i;
    for (; i < end && IsDigit(text[i]); ++i) {
      normal.push_back(text[i]);
      if (exponent < kExponentLimit) exponent = exponent * 10 + (text[i] - '0');
    }
    if (i == digitsStart) return false;
    if (exponentNegative) exponent = -exponent;
  }
  if (i != end) return false;

  double result = 0.0;
  const char* first = normal.data();
  const char* last = first + normal.size();
  const auto [ptr, ec] = std::from_chars(first, last, result);
  if (ptr != last) return false;
  if (ec == std::errc::result_out_of_range) {
    // from_chars reports underflow and overflow alike; the decimal exponent of the leading
    // significant digit tells them apart.
    if (!nonZeroSeen) return false;
    const long leading =
        firstNonZeroInteger >= 0 ? integerDigits - 1 - firstNonZeroInteger : -firstNonZeroFraction;
    if (leading + exponent >= 0) return false;
    result = negative ? -0.0 : 0.0;
  } else if (ec != std::errc()) {
    return false;
  }
  value = result;
  return true;
}

bool ParseDecimalText(std::string_view text, double& value) {
  return ParseDecimalText(text, DecimalSeparator(), value);
}

}  // namespace qmb
