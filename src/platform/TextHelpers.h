// Text helpers shared by the protocol engine, the commands and the links. Texts are byte
// strings; positions are 1-based as in the device protocols' documentation; "blank" is the
// space character only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qmb {

std::string TailText(const std::string& s, int n);
std::string SubText(const std::string& s, int start, int count);
std::string TextBetween(const std::string& s, char open, char close, int start);
std::string PadLeftWith(const std::string& s, const std::string& pad, int width);
std::string StripLeadingSpaces(const std::string& s);
std::string StripTrailingSpaces(const std::string& s);
std::string StripSpaces(const std::string& s);
std::string RemoveFirst(const std::string& s, const std::string& part);
std::string RemoveEvery(const std::string& s, const std::string& part);
std::string TextBefore(const std::string& s, const std::string& part);
std::string TextFrom(const std::string& s, const std::string& part);
std::string TextAfter(const std::string& s, const std::string& part);
std::string TextThroughLast(const std::string& s, const std::string& part);
int TextPos(const std::string& s, const std::string& part);
float TextToNumber(const std::string& s);
int32_t HexTextToInt(const std::string& s);
std::string BytesToBracketHex(const std::string& s);
// The same text ("[01][03]") added to the end of out.
void AppendBracketHex(std::string& out, std::string_view bytes);
// "01 03 00 63": each byte as two upper-case hex digits, separated by blanks (the frame trace).
std::string BytesToSpacedHex(std::string_view bytes);

// ASCII upper case (device texts and keys are ASCII).
inline char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
std::string UpperCase(std::string s);
std::string LowerCase(std::string s);
// Whether text, in either case, equals / starts with an upper-case word; nothing is copied.
inline bool EqualsIgnoringCase(std::string_view text, std::string_view upperWord) {
  if (text.size() != upperWord.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (AsciiUpper(text[i]) != upperWord[i]) return false;
  return true;
}
inline bool StartsWithIgnoringCase(std::string_view text, std::string_view upperWord) {
  return text.size() >= upperWord.size() &&
         EqualsIgnoringCase(text.substr(0, upperWord.size()), upperWord);
}
// Case-insensitive equality as the site registry compares descriptions.
bool SameTextIgnoringCase(const std::string& a, const std::string& b);

// Text bytes are Latin-1 characters (one byte, one character); the bus, JSON and MQTT carry
// UTF-8. A character above U+00FF has no byte: it becomes "?" and *lossy says so.
std::string Latin1ToUtf8(std::string_view bytes);
std::string Utf8ToLatin1(std::string_view utf8, bool* lossy = nullptr);

}  // namespace qmb
