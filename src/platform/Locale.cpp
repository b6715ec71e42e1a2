#include "platform/Locale.h"

#include <clocale>

namespace qmb {

namespace {
char g_separator = '.';
std::string g_shortDate = "yyyy-MM-dd";
std::string g_longTime = "HH:mm:ss";
}  // namespace

const std::string& ShortDateFormat() {
  return g_shortDate;
}
const std::string& LongTimeFormat() {
  return g_longTime;
}

void SetDateTimeFormats(const std::string& shortDate, const std::string& longTime) {
  if (!shortDate.empty()) g_shortDate = shortDate;
  if (!longTime.empty()) g_longTime = longTime;
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
