// The user's regional settings that the driver honours: the decimal separator and the short date
// and long time formats (Qt-style patterns: d dd M MM yy yyyy h hh H HH m mm s ss AP ap).
#pragma once

#include <string>

namespace qmb {

// The decimal separator of the user's locale ("." where the settings give none).
char DecimalSeparator();
// Read once at start-up by the application, and by tests that need another separator.
void SetDecimalSeparator(char separator);
// Takes the separator from the C library's current locale (after setlocale(LC_ALL, "")).
void LoadDecimalSeparatorFromEnvironment();

// Defaults, where the application loads nothing: "yyyy-MM-dd" and "HH:mm:ss".
const std::string& ShortDateFormat();
const std::string& LongTimeFormat();
void SetDateTimeFormats(const std::string& shortDate, const std::string& longTime);

}  // namespace qmb
