// The user's regional settings that the driver honours: the decimal separator, and the short date
// and long time forms of the C library's LC_TIME locale.
#pragma once

#include <string>

namespace qmb {

// The decimal separator of the user's locale ("." where the settings give none).
char DecimalSeparator();
// Read once at start-up by the application, and by tests that need another separator.
void SetDecimalSeparator(char separator);
// Takes the separator from the C library's current locale (after setlocale(LC_ALL, "")).
void LoadDecimalSeparatorFromEnvironment();

// The LC_TIME locale the environment names, as the C library picks it: LC_ALL, else LC_TIME,
// else LANG (the first that is set and not empty), else "C".
std::string TimeLocaleNameFromEnvironment();
// Takes the date and time forms of the named locale. The C and POSIX locales (C.UTF-8 too) keep
// the driver's fixed forms, "yyyy-MM-dd" and "HH:mm:ss"; so does a locale the machine does not
// have, for which the answer is false.
bool SetTimeLocale(const std::string& name);

// The locale's short date (strftime's %x) and long time (%X) of a date-time number, as driver
// texts: one byte per character, characters above U+00FF as "?".
std::string ShortDateText(double dateTime);
std::string LongTimeText(double dateTime);

}  // namespace qmb
