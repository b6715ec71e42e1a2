#include "platform/Locale.h"

#include <locale.h>

#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <iterator>

#include "platform/DateTime.h"

namespace qmb {

namespace {

char g_separator = '.';
// The LC_TIME locale of the date and time texts; none for the fixed forms.
locale_t g_timeLocale = static_cast<locale_t>(nullptr);

bool IsCLocale(const std::string& name) {
  return name.empty() || name == "C" || name == "POSIX" || name.rfind("C.", 0) == 0;
}

std::tm CalendarTime(const CivilTime& t) {
  using namespace std::chrono;
  const sys_days day{year{t.year} / month{static_cast<unsigned>(t.month)} /
                     std::chrono::day{static_cast<unsigned>(t.day)}};
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_wday = static_cast<int>(weekday{day}.c_encoding());
  tm.tm_yday = static_cast<int>((day - sys_days{year{t.year} / January / 1}).count());
  tm.tm_isdst = -1;
  return tm;
}

// The locale's text through the wide form, whatever the locale's character set: the driver's
// texts hold one character per byte, so each character up to U+00FF is its byte and any other a
// "?", as on the bus. Empty when the locale gives nothing.
std::string LocaleText(const wchar_t* format, double dateTime) {
  const std::tm tm = CalendarTime(DecodeDateTime(dateTime));
  wchar_t wide[256];
  const size_t length = wcsftime_l(wide, std::size(wide), format, &tm, g_timeLocale);
  std::string text;
  text.reserve(length);
  for (size_t i = 0; i < length; ++i)
    text.push_back(static_cast<uint32_t>(wide[i]) <= 0xFF ? static_cast<char>(wide[i]) : '?');
  return text;
}

}  // namespace

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

std::string TimeLocaleNameFromEnvironment() {
  for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"})
    if (const char* value = std::getenv(variable); value && *value) return value;
  return "C";
}

bool SetTimeLocale(const std::string& name) {
  const locale_t loaded =
      IsCLocale(name) ? static_cast<locale_t>(nullptr)
                      : newlocale(LC_TIME_MASK, name.c_str(), static_cast<locale_t>(nullptr));
  if (g_timeLocale) freelocale(g_timeLocale);
  g_timeLocale = loaded;
  return IsCLocale(name) || loaded;
}

std::string ShortDateText(double dateTime) {
  std::string text = g_timeLocale ? LocaleText(L"%x", dateTime) : std::string();
  return text.empty() ? FormatDateTimePattern(dateTime, "yyyy-MM-dd") : text;
}

std::string LongTimeText(double dateTime) {
  std::string text = g_timeLocale ? LocaleText(L"%X", dateTime) : std::string();
  return text.empty() ? FormatDateTimePattern(dateTime, "HH:mm:ss") : text;
}

}  // namespace qmb
