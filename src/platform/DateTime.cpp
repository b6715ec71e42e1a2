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

std::string FormatTime12WithSeconds(double dateTime) {
  const CivilTime t = DecodeDateTime(dateTime);
  int hour12 = t.hour % 12;
  if (hour12 == 0) hour12 = 12;
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d %s", hour12, t.minute, t.second,
                t.hour < 12 ? "am" : "pm");
  return text;
}

}  // namespace qmb
