#include "platform/DateTime.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace qmb {

namespace {
constexpr std::chrono::sys_days kEpoch{std::chrono::year{1899} / 12 / 30};
constexpr double kMsPerDay = 86400000.0;
}  // namespace

double EncodeDateTime(const CivilTime& t) {
  using namespace std::chrono;
  const sys_days day{year{t.year} / month{static_cast<unsigned>(t.month)} /
                     std::chrono::day{static_cast<unsigned>(t.day)}};
  const double days = static_cast<double>((day - kEpoch).count());
  const double ms = ((t.hour * 60.0 + t.minute) * 60.0 + t.second) * 1000.0 + t.millisecond;
  return days + ms / kMsPerDay;
}

double DateTimeFromEpochMs(int64_t milliseconds) {
  constexpr int64_t kMsPerDayInt = 86400000;
  constexpr int64_t kUnixEpochDay = 25569;  // 1970-01-01 counted from 1899-12-30
  int64_t day = milliseconds / kMsPerDayInt;
  int64_t msOfDay = milliseconds % kMsPerDayInt;
  if (msOfDay < 0) {
    msOfDay += kMsPerDayInt;
    --day;
  }
  // Whole days plus the time of day over the day's length, as EncodeDateTime adds them.
  return static_cast<double>(day + kUnixEpochDay) + static_cast<double>(msOfDay) / kMsPerDay;
}

CivilTime DecodeDateTime(double dateTime) {
  using namespace std::chrono;
  // Round to whole milliseconds first so 12:00:00 never shows as 11:59:59.
  const auto totalMs = static_cast<long long>(std::llround(dateTime * kMsPerDay));
  long long dayCount = totalMs / 86400000LL;
  long long msOfDay = totalMs % 86400000LL;
  if (msOfDay < 0) {
    msOfDay += 86400000LL;
    --dayCount;
  }
  const year_month_day ymd{kEpoch + days{dayCount}};
  CivilTime t;
  t.year = static_cast<int>(ymd.year());
  t.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  t.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  t.hour = static_cast<int>(msOfDay / 3600000);
  t.minute = static_cast<int>(msOfDay / 60000 % 60);
  t.second = static_cast<int>(msOfDay / 1000 % 60);
  t.millisecond = static_cast<int>(msOfDay % 1000);
  return t;
}

std::string FormatDateTimePattern(double dateTime, const std::string& pattern) {
  const CivilTime t = DecodeDateTime(dateTime);
  const bool twelveHour =
      pattern.find("AP") != std::string::npos || pattern.find("ap") != std::string::npos;
  int hour12 = t.hour % 12;
  if (hour12 == 0) hour12 = 12;
  std::string out;
  size_t i = 0;
  auto run = [&](char c) {
    size_t n = 0;
    while (i + n < pattern.size() && pattern[i + n] == c) ++n;
    return n;
  };
  auto number = [&](int value, size_t width) {
    char text[16];
    std::snprintf(text, sizeof text, width >= 2 ? "%02d" : "%d", value);
    out += text;
  };
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '\'') {
      const size_t close = pattern.find('\'', i + 1);
      out += pattern.substr(i + 1, (close == std::string::npos ? pattern.size() : close) - i - 1);
      i = close == std::string::npos ? pattern.size() : close + 1;
      continue;
    }
    if ((c == 'A' || c == 'a') && i + 1 < pattern.size() &&
        (pattern[i + 1] == 'P' || pattern[i + 1] == 'p')) {
      out += t.hour < 12 ? (c == 'A' ? "AM" : "am") : (c == 'A' ? "PM" : "pm");
      i += 2;
      continue;
    }
    const size_t n = run(c);
    switch (c) {
      case 'd':
        number(t.day, n);
        break;
      case 'M':
        number(t.month, n);
        break;
      case 'y':
        n >= 4 ? number(t.year, 4) : number(t.year % 100, 2);
        break;
      case 'h':
        number(twelveHour ? hour12 : t.hour, n);
        break;
      case 'H':
        number(t.hour, n);
        break;
      case 'm':
        number(t.minute, n);
        break;
      case 's':
        number(t.second, n);
        break;
      default:
        out.append(n ? n : 1, c);
        break;
    }
    i += n ? n : 1;
  }
  return out;
}

std::string FormatTime12WithSeconds(double dateTime) {
  const CivilTime t = DecodeDateTime(dateTime);
  int hour12 = t.hour % 12;
  if (hour12 == 0) hour12 = 12;
  // Every site's status bar shows it once a second: digits written in place, no format parsing.
  std::string text = "00:00:00 am";
  const auto twoDigits = [&](size_t at, int value) {
    text[at] = static_cast<char>('0' + value / 10);
    text[at + 1] = static_cast<char>('0' + value % 10);
  };
  twoDigits(0, hour12);
  twoDigits(3, t.minute);
  twoDigits(6, t.second);
  if (t.hour >= 12) text[9] = 'p';
  return text;
}

}  // namespace qmb
