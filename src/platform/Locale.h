// The user's regional settings that the driver honours: only the decimal separator.
#pragma once

namespace qmb {

// The decimal separator of the user's locale ("." where the settings give none).
char DecimalSeparator();
// Read once at start-up by the application, and by tests that need another separator.
void SetDecimalSeparator(char separator);
// Takes the separator from the C library's current locale (after setlocale(LC_ALL, "")).
void LoadDecimalSeparatorFromEnvironment();

}  // namespace qmb
