// Date-time numbers from a millisecond clock: the same number the civil fields encode to, on
// either side of 1970 and of midnight.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/DateTime.h"

namespace qmb {
namespace {

TEST(DateTime, EpochMillisecondsEncodeAsTheirCivilFields) {
  using namespace std::chrono;
  const CivilTime cases[] = {
      {1899, 12, 30, 0, 0, 0, 0}, {1969, 12, 31, 23, 59, 59, 999}, {1970, 1, 1, 0, 0, 0, 0},
      {1970, 1, 1, 0, 0, 0, 1},   {2026, 12, 7, 9, 30, 0, 123},    {2026, 12, 7, 23, 59, 59, 999},
      {2038, 1, 19, 3, 14, 8, 0}, {2100, 3, 1, 12, 0, 0, 500},
  };
  for (const CivilTime& t : cases) {
    const sys_days day{year{t.year} / month{static_cast<unsigned>(t.month)} /
                       std::chrono::day{static_cast<unsigned>(t.day)}};
    const auto ms = duration_cast<milliseconds>(day.time_since_epoch()) + hours{t.hour} +
                    minutes{t.minute} + seconds{t.second} + milliseconds{t.millisecond};
    EXPECT_EQ(DateTimeFromEpochMs(ms.count()), EncodeDateTime(t))
        << t.year << "-" << t.month << "-" << t.day << " " << t.hour << ":" << t.minute << ":"
        << t.second << "." << t.millisecond;
  }
}

}  // namespace
}  // namespace qmb
