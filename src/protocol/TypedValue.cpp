#include "protocol/TypedValue.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>

namespace qmb {
namespace {

enum class Form { Unsigned, Signed, Floating, Text, Bit, ByteOfRegister };

struct TypeInfo {
  const char* word;
  int32_t bits;  // 0: a string, 8 to 2000 in steps of 8
  Form form;
};

constexpr TypeInfo kTypes[kValueTypeCount] = {
    {"WORD", 16, Form::Unsigned},  {"BYTE", 8, Form::ByteOfRegister},
    {"DWORD", 32, Form::Unsigned}, {"INT", 16, Form::Signed},
    {"BOOL", 1, Form::Bit},        {"FLOAT", 32, Form::Floating},
    {"STRING", 0, Form::Text},     {"DINT", 32, Form::Signed},
    {"LWORD", 64, Form::Unsigned}, {"LINT", 64, Form::Signed},
    {"DOUBLE", 64, Form::Floating}};

constexpr std::string_view kOrderWords[] = {"ABCD", "CDAB", "BADC", "DCBA"};
constexpr int32_t kMostStringBits = 2000;

const TypeInfo& Info(ValueType type) {
  return kTypes[static_cast<size_t>(type)];
}

uint16_t Swapped(uint16_t word) {
  return static_cast<uint16_t>((word << 8) | (word >> 8));
}

// The words as the device keeps them <-> most significant first, each high byte first. Each
// step undoes itself, so the same function serves reading and writing.
std::vector<uint16_t> Reordered(std::span<const uint16_t> words, const TypedLayout& layout) {
  std::vector<uint16_t> ordered(words.begin(), words.end());
  const bool wordsSwapped = layout.order == WordOrder::CDAB || layout.order == WordOrder::DCBA;
  const bool bytesSwapped = layout.order == WordOrder::BADC || layout.order == WordOrder::DCBA;
  if (wordsSwapped && Info(layout.type).form != Form::Text)
    std::reverse(ordered.begin(), ordered.end());
  if (bytesSwapped)
    for (uint16_t& word : ordered) word = Swapped(word);
  return ordered;
}

// The number that registers in the layout's order hold, read in place: the scan decodes every
// typed point of every block, so a number costs no copy of its registers.
uint64_t Joined(std::span<const uint16_t> words, const TypedLayout& layout) {
  const bool wordsSwapped = layout.order == WordOrder::CDAB || layout.order == WordOrder::DCBA;
  const bool bytesSwapped = layout.order == WordOrder::BADC || layout.order == WordOrder::DCBA;
  uint64_t value = 0;
  for (size_t i = 0; i < words.size(); ++i) {
    const uint16_t word = words[wordsSwapped ? words.size() - 1 - i : i];
    value = (value << 16) | (bytesSwapped ? Swapped(word) : word);
  }
  return value;
}

std::vector<uint16_t> Split(uint64_t value, int32_t count) {
  std::vector<uint16_t> words(static_cast<size_t>(count));
  for (int32_t i = count - 1; i >= 0; --i, value >>= 16)
    words[static_cast<size_t>(i)] = static_cast<uint16_t>(value);
  return words;
}

template <typename F>
std::string FloatText(F value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  char text[64];
  // The shortest text that reads back to the same value, whatever the locale.
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// The range of an integer type, as [low, high] with low in signed and high in unsigned form.
std::pair<int64_t, uint64_t> Range(const TypedLayout& layout) {
  const int32_t bits = Info(layout.type).bits;
  if (Info(layout.type).form == Form::Unsigned)
    return {0, bits == 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << bits) - 1};
  const uint64_t high = (uint64_t{1} << (bits - 1)) - 1;
  return {-static_cast<int64_t>(high) - 1, high};
}

EncodedValue Refused(std::string why) {
  return {{}, std::move(why)};
}

}  // namespace

std::string_view TypeWordOf(ValueType type) {
  return Info(type).word;
}

std::string_view OrderWord(WordOrder order) {
  return kOrderWords[static_cast<size_t>(order)];
}

std::optional<WordOrder> ParseOrderWord(std::string_view word) {
  for (size_t i = 0; i < std::size(kOrderWords); ++i) {
    const std::string_view known = kOrderWords[i];
    if (word.size() == known.size() && std::equal(word.begin(), word.end(), known.begin(),
                                                  [](char a, char b) { return (a & ~0x20) == b; }))
      return static_cast<WordOrder>(i);
  }
  return std::nullopt;
}

std::string TypedLayoutError(const TypedLayout& layout) {
  const TypeInfo& info = Info(layout.type);
  const std::string word = info.word;
  if (info.bits == 0) {
    if (layout.bits < 8 || layout.bits > kMostStringBits || layout.bits % 8 != 0)
      return "a STRING's Count is 8 to 2000 bits in steps of 8, not " + std::to_string(layout.bits);
  } else if (layout.bits != info.bits) {
    return "a " + word + "'s Count is " + std::to_string(info.bits) + " bits, not " +
           std::to_string(layout.bits);
  }
  if (info.form == Form::ByteOfRegister && layout.first != 0 && layout.first != 8)
    return "a BYTE starts at bit 0 (the low byte) or 8 (the high byte), not " +
           std::to_string(layout.first);
  if (info.form != Form::Bit && info.form != Form::ByteOfRegister && layout.first != 0)
    return "a " + word + " starts at bit 0 of its register, not " + std::to_string(layout.first);
  return "";
}

int32_t RegisterCount(const TypedLayout& layout) {
  const int32_t bits = Info(layout.type).bits == 0 ? layout.bits : Info(layout.type).bits;
  return std::max(1, (bits + 15) / 16);
}

std::string DecodeTypedValue(const TypedLayout& layout, std::span<const uint16_t> registers) {
  const TypeInfo& info = Info(layout.type);
  switch (info.form) {
    case Form::Bit:
      return (registers[0] >> layout.first) & 1 ? "TRUE" : "FALSE";
    case Form::ByteOfRegister:
      return std::to_string((registers[0] >> layout.first) & 0xFF);
    default:
      break;
  }
  const auto count = static_cast<size_t>(RegisterCount(layout));
  const uint64_t raw = info.form == Form::Text ? 0 : Joined(registers.first(count), layout);
  switch (info.form) {
    case Form::Unsigned:
      return std::to_string(raw);
    case Form::Signed:
      // Sign-extended from the type's width.
      return std::to_string(static_cast<int64_t>(raw << (64 - info.bits)) >> (64 - info.bits));
    case Form::Floating:
      return info.bits == 32 ? FloatText(std::bit_cast<float>(static_cast<uint32_t>(raw)))
                             : FloatText(std::bit_cast<double>(raw));
    default:
      break;
  }
  std::string text;
  for (const uint16_t word : Reordered(registers.first(count), layout)) {
    for (const uint8_t byte : {static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)}) {
      if (byte == 0 || static_cast<int32_t>(text.size()) * 8 >= layout.bits) return text;
      text += static_cast<char>(byte);
    }
  }
  return text;
}

EncodedValue EncodeTypedValue(const TypedLayout& layout, std::string_view text,
                              char decimalSeparator) {
  const TypeInfo& info = Info(layout.type);
  const std::string word = info.word;
  const std::string quoted = "\"" + std::string(text) + "\"";
  const int32_t count = RegisterCount(layout);
  uint64_t raw = 0;
  switch (info.form) {
    case Form::Bit:
    case Form::ByteOfRegister:
      return Refused("a " + word +
                     " inside a register cannot be written on its own (it would "
                     "take a read-modify-write of a register others may change meanwhile)");
    case Form::Text: {
      const size_t room = static_cast<size_t>(layout.bits / 8);
      if (text.size() > room)
        return Refused(quoted + " has " + std::to_string(text.size()) +
                       " characters; this STRING holds " + std::to_string(room));
      std::vector<uint16_t> words(static_cast<size_t>(count));
      for (size_t i = 0; i < text.size(); ++i)
        words[i / 2] |= static_cast<uint16_t>(static_cast<uint8_t>(text[i]) << (i % 2 ? 0 : 8));
      return {Reordered(words, layout), ""};
    }
    case Form::Floating: {
      std::string number(Trimmed(text));
      std::replace(number.begin(), number.end(), decimalSeparator, '.');
      const char* begin = number.data() + (number.starts_with('+') ? 1 : 0);
      const char* last = number.data() + number.size();
      // Read at the type's own width, so that a float's shortest text (3.4028235e+38, a hair
      // above the largest float as a double) rounds to it instead of overflowing.
      float single = 0;
      double value = 0;
      const std::from_chars_result read = info.bits == 32 ? std::from_chars(begin, last, single)
                                                          : std::from_chars(begin, last, value);
      if (read.ec == std::errc::result_out_of_range)
        return Refused(quoted + " is out of range for " + word);
      if (number.empty() || read.ec != std::errc() || read.ptr != last)
        return Refused(quoted + " is not a number (" + word + ")");
      raw = info.bits == 32 ? std::bit_cast<uint32_t>(single) : std::bit_cast<uint64_t>(value);
      break;
    }
    default: {
      const std::string_view number = Trimmed(text);
      const auto [low, high] = Range(layout);
      const std::string range = " (" + std::to_string(low) + " to " + std::to_string(high) + ")";
      const bool negative = number.starts_with('-');
      const char* begin = number.data() + (number.starts_with('+') ? 1 : 0);
      const char* last = number.data() + number.size();
      std::from_chars_result read{};
      if (negative) {
        int64_t value = 0;
        read = std::from_chars(begin, last, value);
        if (read.ec == std::errc() && read.ptr == last && value < low)
          return Refused(quoted + " is out of range for " + word + range);
        raw = static_cast<uint64_t>(value);
      } else {
        uint64_t value = 0;
        read = std::from_chars(begin, last, value);
        if (read.ec == std::errc() && read.ptr == last && value > high)
          return Refused(quoted + " is out of range for " + word + range);
        raw = value;
      }
      if (read.ec == std::errc::result_out_of_range)
        return Refused(quoted + " is out of range for " + word + range);
      if (number.empty() || read.ec != std::errc() || read.ptr != last)
        return Refused(quoted + " is not a whole number for " + word + range);
      break;
    }
  }
  return {Reordered(Split(raw, count), layout), ""};
}

}  // namespace qmb
