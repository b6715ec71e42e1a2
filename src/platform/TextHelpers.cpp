#include "platform/TextHelpers.h"

#include <cmath>
#include <limits>

#include "platform/NumberText.h"

namespace qmb {

namespace {

// Position of the first occurrence as a 0-based index; an empty part occurs nowhere.
size_t Find(const std::string& s, const std::string& part) {
  return part.empty() ? std::string::npos : s.find(part);
}

}  // namespace

std::string TailText(const std::string& s, int n) {
  if (n <= 0) return {};
  const auto count = static_cast<size_t>(n);
  return count >= s.size() ? s : s.substr(s.size() - count);
}

std::string SubText(const std::string& s, int start, int count) {
  if (start < 1) start = 1;
  const auto from = static_cast<size_t>(start) - 1;
  if (from >= s.size() || count <= 0) return {};
  return s.substr(from, static_cast<size_t>(count));
}

std::string TextBetween(const std::string& s, char open, char close, int start) {
  if (start >= 0 && s.size() <= static_cast<size_t>(start)) return {};
  const size_t from = start < 1 ? 0 : static_cast<size_t>(start) - 1;
  const size_t p = s.find(open, from);
  if (p == std::string::npos) return {};
  const size_t q = s.find(close, p + 1);
  if (q == std::string::npos) return {};
  return s.substr(p + 1, q - p - 1);
}

std::string PadLeftWith(const std::string& s, const std::string& pad, int width) {
  if (width <= 0 || s.size() >= static_cast<size_t>(width) || pad.empty()) return s;
  const size_t copies = static_cast<size_t>(width) - s.size();
  std::string padded;
  padded.reserve(copies * pad.size() + s.size());
  for (size_t k = 0; k < copies; ++k) padded += pad;
  return padded + s;
}

std::string StripLeadingSpaces(const std::string& s) {
  const size_t first = s.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : s.substr(first);
}

std::string StripTrailingSpaces(const std::string& s) {
  const size_t last = s.find_last_not_of(' ');
  return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

std::string StripSpaces(const std::string& s) {
  return StripLeadingSpaces(StripTrailingSpaces(s));
}

std::string RemoveFirst(const std::string& s, const std::string& part) {
  const size_t p = Find(s, part);
  if (p == std::string::npos) return s;
  std::string result = s;
  result.erase(p, part.size());
  return result;
}

std::string RemoveEvery(const std::string& s, const std::string& part) {
  std::string result = s;
  size_t p = Find(result, part);
  while (p != std::string::npos) {
    result.erase(p, part.size());
    // Nothing before p held an occurrence, so one formed by the removal starts at the earliest
    // part.size() - 1 characters back.
    const size_t back = part.size() - 1;
    p = result.find(part, p > back ? p - back : 0);
  }
  return result;
}

std::string TextBefore(const std::string& s, const std::string& part) {
  const size_t p = Find(s, part);
  return p == std::string::npos ? s : s.substr(0, p);
}

std::string TextFrom(const std::string& s, const std::string& part) {
  const size_t p = Find(s, part);
  return p == std::string::npos ? s : s.substr(p);
}

std::string TextAfter(const std::string& s, const std::string& part) {
  // Drops as many characters as the 1-based position of part: exactly the text after a
  // one-character part; of a longer part, everything but its first character stays.
  const size_t p = Find(s, part);
  return p == std::string::npos ? s : s.substr(p + 1);
}

std::string TextThroughLast(const std::string& s, const std::string& part) {
  if (part.empty()) return s;
  const size_t p = s.rfind(part);
  return p == std::string::npos ? s : s.substr(0, p + 1);
}

int TextPos(const std::string& s, const std::string& part) {
  const size_t p = Find(s, part);
  if (p == std::string::npos || p >= static_cast<size_t>(std::numeric_limits<int>::max())) return 0;
  return static_cast<int>(p) + 1;
}

float TextToNumber(const std::string& s) {
  const std::string text = TextBefore(TextBefore(StripLeadingSpaces(s), " "), "%");
  double number = 0.0;
  if (ParseDecimalText(text, number)) {
    // Converting a double beyond the float range is undefined; such a reading is "too large to
    // show", which infinity says plainly.
    if (std::fabs(number) > std::numeric_limits<float>::max())
      return number > 0 ? std::numeric_limits<float>::infinity()
                        : -std::numeric_limits<float>::infinity();
    return static_cast<float>(number);
  }
  const std::string word = UpperCase(text);
  if (word == "TRUE" || word == "ON") return 1.0f;
  if (word == "-ON") return -1.0f;
  return 0.0f;
}

int32_t HexTextToInt(const std::string& s) {
  if (s.empty() || s.size() > 4) return 0;
  // Device texts arrive unchecked and callers do not look at them first. A character outside
  // "0123456789ABCDEF" (lower case included) counts as the digit -1 in its place, so "ff" reads
  // as -17 and "1G" as 15: any text gives a defined value and a valid one its usual value.
  static constexpr char kDigits[] = "0123456789ABCDEF";
  int32_t value = 0;
  for (const char c : s) {
    int32_t digit = -1;
    for (int32_t k = 0; k < 16; ++k)
      if (kDigits[k] == c) digit = k;
    value = value * 16 + digit;
  }
  return value;
}

std::string BytesToSpacedHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(bytes.size() * 3);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (!result.empty()) result += ' ';
    result += kDigits[byte >> 4];
    result += kDigits[byte & 0x0F];
  }
  return result;
}

std::string BytesToBracketHex(const std::string& s) {
  std::string result;
  AppendBracketHex(result, s);
  return result;
}

void AppendBracketHex(std::string& out, std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  size_t at = out.size();
  out.resize(at + bytes.size() * 4);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out[at++] = '[';
    out[at++] = kDigits[byte >> 4];
    out[at++] = kDigits[byte & 0x0F];
    out[at++] = ']';
  }
}

std::string UpperCase(std::string s) {
  for (char& c : s) c = AsciiUpper(c);
  return s;
}

std::string LowerCase(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k)
    if (AsciiUpper(a[k]) != AsciiUpper(b[k])) return false;
  return true;
}

std::string Utf8ToLatin1(std::string_view utf8, bool* lossy) {
  // Written in place rather than appended: point lists bring millions of characters at a time.
  std::string bytes(utf8.size(), '\0');
  size_t length = 0;
  bool lost = false;
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      bytes[length++] = static_cast<char>(lead);
      ++i;
      continue;
    }
    const size_t units = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if ((lead == 0xC2 || lead == 0xC3) && i + 1 < utf8.size()) {
      bytes[length++] = static_cast<char>((lead & 0x03) << 6 | (utf8[i + 1] & 0x3F));
    } else {
      bytes[length++] = '?';  // one character above U+00FF, one "?"
      lost = true;
    }
    i += units;
  }
  bytes.resize(length);
  if (lossy) *lossy = lost;
  return bytes;
}

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string utf8;
  utf8.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      utf8 += c;
    } else {
      utf8 += static_cast<char>(0xC0 | byte >> 6);
      utf8 += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return utf8;
}

}  // namespace qmb
