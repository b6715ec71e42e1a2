#include "platform/ParamList.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "platform/NumberText.h"

namespace qmb {

namespace {

// The element's key is the text before its first "=", so a key that itself holds "=" can never
// match; without that guard "A=B" would find "A=B=C" and answer "B=C", the value of key "A".
bool MatchElement(const std::string& text, const std::string& key, std::string& value) {
  if (text.size() <= key.size() || text[key.size()] != '=') return false;
  if (text.compare(0, key.size(), key) != 0) return false;
  if (key.find('=') != std::string::npos) return false;
  value.assign(text, key.size() + 1, std::string::npos);
  return true;
}

bool MatchVariant(const Variant& element, const std::string& key, std::string& value) {
  // Text elements are by far the common case; compare them in place rather than copying each.
  if (element.Type() == VarType::Text) return MatchElement(element.AsText(), key, value);
  return MatchElement(element.ToText(), key, value);
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

uint32_t HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint32_t>(c - 'A' + 10);
  return static_cast<uint32_t>(c - 'a' + 10);
}

// The index of the first element that holds the key, with its value; -1 when none does.
int32_t FindParam(const Variant& list, const std::string& key, std::string& value) {
  if (!list.IsArray()) return MatchVariant(list, key, value) ? 0 : -1;

  const SafeArray& array = list.AsArray();
  for (int64_t index = array.LowerBound(); index <= array.UpperBound(); ++index) {
    // Only a one-dimensional array reads as a list; others fail on their first element, as
    // reading one with a single index does.
    if (array.Dimensions() != 1)
      throw VariantError("Parameter list has " + std::to_string(array.Dimensions()) +
                         " dimensions; only one can be read");
    if (MatchVariant(array.Get(static_cast<int32_t>(index)), key, value))
      return static_cast<int32_t>(index);
  }
  return -1;
}

}  // namespace

std::string MakeParam(const std::string& key, const std::string& value) {
  std::string param;
  param.reserve(key.size() + 1 + value.size());
  param.append(key).append(1, '=').append(value);
  return param;
}

bool GetParamStr(const Variant& list, const std::string& key, std::string& value) {
  value.clear();
  return FindParam(list, key, value) >= 0;
}

int32_t ParamIndex(const Variant& list, const std::string& key) {
  std::string value;
  return FindParam(list, key, value);
}

void GetNumberedParams(const Variant& list, const std::string& prefix,
                       std::vector<std::string>& values, size_t most) {
  values.clear();
  const SafeArray* array = list.IsArray() ? &list.AsArray() : nullptr;
  const size_t elements = array ? static_cast<size_t>(array->Count()) : 1;
  const size_t count = std::min(elements, most);
  // A run of keys from 0 needs an element each, so numbers from count on are never reached
  // (unless the run was cut at `most`).
  std::vector<std::string> byNumber(count);
  std::vector<bool> found(count, false);
  // The first element without a text form: the lookup of every key not found before it raises.
  std::exception_ptr unreadable;
  const bool keysCanMatch = prefix.find('=') == std::string::npos;

  auto consider = [&](const std::string& text) {
    // Only an element whose key (the text before its first "=") is the prefix and a number in
    // the form std::to_string gives can match one of the keys; a prefix with "=" matches nothing.
    const size_t digitsAt = prefix.size();
    if (!keysCanMatch || text.size() <= digitsAt || text.compare(0, digitsAt, prefix) != 0) return;
    const size_t equals = text.find('=', digitsAt);
    if (equals == std::string::npos || equals == digitsAt || equals - digitsAt > 10) return;
    if (equals - digitsAt > 1 && text[digitsAt] == '0') return;
    uint64_t number = 0;
    for (size_t i = digitsAt; i < equals; ++i) {
      if (text[i] < '0' || text[i] > '9') return;
      number = number * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (number >= count || found[number]) return;  // the first match wins
    found[number] = true;
    byNumber[number].assign(text, equals + 1, std::string::npos);
  };
  auto read = [&](const Variant& element) {
    try {
      if (element.Type() == VarType::Text)
        consider(element.AsText());
      else
        consider(element.ToText());
      return true;
    } catch (...) {
      unreadable = std::current_exception();
      return false;
    }
  };

  if (!array) {
    read(list);
  } else if (array->Count() > 0 && array->Dimensions() != 1) {
    // Every lookup fails on the first element; see GetParamStr.
    throw VariantError("Parameter list has " + std::to_string(array->Dimensions()) +
                       " dimensions; only one can be read");
  } else {
    for (int32_t index = array->LowerBound(); index <= array->UpperBound(); ++index)
      if (!read(array->Get(index))) break;
  }

  for (size_t number = 0; number < count && found[number] && !byNumber[number].empty(); ++number)
    values.push_back(std::move(byNumber[number]));
  const size_t next = values.size();
  // A run cut at `most` ends in no missing key: nothing there raises.
  if (unreadable && (next == count ? count == elements : !found[next]))
    std::rethrow_exception(unreadable);
}

bool GetParamInt(const Variant& list, const std::string& key, int32_t& value) {
  value = 0;
  try {
    std::string text;
    int32_t number = 0;
    if (GetParamStr(list, key, text) && ParseIntegerText(text, number)) {
      value = number;
      return true;
    }
  } catch (...) {
    // A list that cannot be read is, to the typed accessors, a list without the key.
  }
  return false;
}

bool GetParamBool(const Variant& list, const std::string& key, bool& value) {
  value = false;
  try {
    std::string text;
    if (GetParamStr(list, key, text)) {
      value = text == "TRUE";
      return true;
    }
  } catch (...) {
    // See GetParamInt.
  }
  return false;
}

bool GetParamFloat(const Variant& list, const std::string& key, double& value) {
  value = 0.0;
  try {
    std::string text;
    double number = 0.0;
    if (GetParamStr(list, key, text) && ParseNumberText(text, number)) {
      value = number;
      return true;
    }
  } catch (...) {
    // See GetParamInt.
  }
  return false;
}

bool ParseIntegerText(const std::string& text, int32_t& value) {
  size_t i = 0;
  const size_t end = text.size();
  while (i < end && text[i] == ' ') ++i;
  if (i == end) return false;

  size_t hexStart = std::string::npos;
  if (text[i] == '$' || text[i] == 'x' || text[i] == 'X') {
    hexStart = i + 1;
  } else if (text[i] == '0' && i + 1 < end && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hexStart = i + 2;
  }
  if (hexStart != std::string::npos) {
    const size_t digits = end - hexStart;
    if (digits < 1 || digits > 8) return false;
    uint32_t number = 0;
    for (size_t k = hexStart; k < end; ++k) {
      if (!IsHexDigit(text[k])) return false;
      number = number << 4 | HexDigitValue(text[k]);
    }
    // Eight hex digits are a full 32-bit pattern: from 80000000 on it is a negative number.
    value = static_cast<int32_t>(number);
    return true;
  }

  bool negative = false;
  if (text[i] == '+' || text[i] == '-') {
    negative = text[i] == '-';
    ++i;
  }
  if (i == end) return false;
  // Accumulate the magnitude in 64 bits and stop as soon as it leaves the 32-bit range, so that
  // any number of digits is safe.
  const int64_t limit = negative ? int64_t{std::numeric_limits<int32_t>::max()} + 1
                                 : int64_t{std::numeric_limits<int32_t>::max()};
  int64_t magnitude = 0;
  for (; i < end; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) return false;
  }
  value = static_cast<int32_t>(negative ? -magnitude : magnitude);
  return true;
}

bool ParseNumberText(const std::string& text, double& value) {
  return ParseDecimalText(text, value);
}

}  // namespace qmb
