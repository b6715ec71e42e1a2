// Parameter lists: every argument and result between host and driver is a list of KEY=VALUE
// texts. Keys are exact and case-sensitive, the first match wins, the value is everything after
// the first "=".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Variant.h"

namespace qmb {

// key + "=" + value; nothing is validated or escaped.
std::string MakeParam(const std::string& key, const std::string& value);

// True when found; value "" otherwise. Raises VariantError when the scan meets an element that
// has no text form (null, nested array, unsupported) before a match: callers catch it.
bool GetParamStr(const Variant& list, const std::string& key, std::string& value);
// The index of the element GetParamStr takes the key's value from (0 for a list that is a single
// text); -1 when there is none. Raises where GetParamStr does.
int32_t ParamIndex(const Variant& list, const std::string& key);

// The values of PREFIX0, PREFIX1, PREFIX2 ... exactly as GetParamStr finds them one key after the
// other, up to the first key that is missing or has an empty value, but in one pass over the list:
// a host may send a hundred thousand numbered keys, and a scan per key would hold the server for
// a minute. Raises where those lookups would (an element without a text form ahead of the first
// match of a key, or anywhere when a key is missing); values holds the ones found before it.
// At most `most` values are collected (a caller with a limit asks for one more than it allows,
// and need not hold a list past it in memory to refuse it).
void GetNumberedParams(const Variant& list, const std::string& prefix,
                       std::vector<std::string>& values, size_t most = SIZE_MAX);

// The typed accessors never raise: any error reads as "not found" with the zero value.
bool GetParamInt(const Variant& list, const std::string& key, int32_t& value);
bool GetParamBool(const Variant& list, const std::string& key, bool& value);
bool GetParamFloat(const Variant& list, const std::string& key, double& value);

// The integer rule: optional leading blanks; a signed decimal number in the 32-bit range, or a
// "$", "x", "X", "0x", "0X" prefix with one to eight hex digits (eight-digit values from
// 80000000 read as negative). Nothing may follow.
bool ParseIntegerText(const std::string& text, int32_t& value);
// The number rule: optional blanks around an optional sign, digits with at most one decimal
// separator (the locale's), an optional exponent.
bool ParseNumberText(const std::string& text, double& value);

}  // namespace qmb
