// Date-time numbers (days since 1899-12-30, fraction = time of day) and their texts.
#pragma once

#include <cstdint>
#include <string>

namespace qmb {

struct CivilTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

double EncodeDateTime(const CivilTime& t);
CivilTime DecodeDateTime(double dateTime);
// The date-time number of a count of milliseconds since 1970-01-01 00:00 on the same clock (local
// milliseconds give local time): the same number EncodeDateTime gives for that moment's fields.
double DateTimeFromEpochMs(int64_t milliseconds);

// A date-time by a Qt-style pattern: d dd (day), M MM (month), yy yyyy (year), h hh (hour, 12-hour
// when the pattern has AP or ap, else 24-hour), H HH (24-hour), m mm, s ss, AP/ap (AM/PM, am/pm);
// text in single quotes is literal, other characters stand as they are.
std::string FormatDateTimePattern(double dateTime, const std::string& pattern);

// "hh:mm:ss am/pm": 12-hour clock, two-digit hour, minutes and seconds, a blank, "am" or "pm".
std::string FormatTime12WithSeconds(double dateTime);

}  // namespace qmb
