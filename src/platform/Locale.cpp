#include "platform/Locale.h"

#include <clocale>

namespace qmb {

namespace {
char g_separator = '.';
}

char DecimalSeparator() {
  return g_separator;
}

void SetDecimalSeparator(char separator) {
  g_separator = separator ? separator : '.';
}

void LoadDecimalSeparatorFromEnvironment() {
  const std::lconv* conv = std::localeconv();
  const char* point = conv ? conv->decimal_point : nullptr;
  SetDecimalSeparator(point && point[0] && !point[1] ? point[0] : '.');
}

}  // namespace qmb
