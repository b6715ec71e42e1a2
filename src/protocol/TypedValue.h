// Values wider or narrower than one register: integers of 16, 32 and 64 bits, IEEE floats,
// strings, and single bits and bytes inside a register, in any of the four word and byte orders
// devices use. Pure values in and out: the registers as read (or to be written) and the value as
// the text hosts see.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qmb {

// In the order of the address grammar's type words: the first seven are the design's, the last
// four came with typed values.
enum class ValueType : int32_t {
  Word = 0,    // 16 bits, unsigned
  Byte = 1,    // 8 bits of a register: First 0 is the low byte, 8 the high byte
  DWord = 2,   // 32 bits, unsigned
  Int = 3,     // 16 bits, signed
  Bool = 4,    // bit First (0-15) of a register
  Float = 5,   // IEEE 754, 32 bits
  String = 6,  // 8 to 2000 bits in steps of 8, one character a byte, ending at the first NUL
  DInt = 7,    // 32 bits, signed
  LWord = 8,   // 64 bits, unsigned
  LInt = 9,    // 64 bits, signed
  Double = 10  // IEEE 754, 64 bits
};
inline constexpr int32_t kValueTypeCount = 11;

// The device's order of the value's bytes, A the most significant: ABCD high word first and high
// byte first (the Modbus default), CDAB low word first, BADC bytes swapped in each word, DCBA
// both. A 64-bit value's "low word first" reverses all four words; a string knows bytes only
// (CDAB reads as ABCD, DCBA as BADC); a bit or a byte inside a register has no order.
enum class WordOrder : int32_t { ABCD = 0, CDAB = 1, BADC = 2, DCBA = 3 };

// The address grammar's word for a type: "WORD" ... "DOUBLE".
std::string_view TypeWordOf(ValueType type);
std::string_view OrderWord(WordOrder order);
std::optional<WordOrder> ParseOrderWord(std::string_view word);  // any letter case

struct TypedLayout {
  ValueType type = ValueType::Word;
  int32_t first = 0;  // the bit a value starts at inside its first register
  int32_t bits = 16;  // the address's Count
  WordOrder order = WordOrder::ABCD;
};

// Why a layout names no value ("" when it does): a Count that is not the type's width, a First
// that the type cannot start at.
std::string TypedLayoutError(const TypedLayout& layout);
// The registers the value spans (1 for a bit or a byte). The layout must be valid.
int32_t RegisterCount(const TypedLayout& layout);

// The value of `RegisterCount` registers as text: integers in decimal, floats in the shortest
// text that reads back to the same value ("NaN", "Infinity", "-Infinity" for the special
// values), a bit as TRUE or FALSE, a string as its characters up to the first NUL.
std::string DecodeTypedValue(const TypedLayout& layout, std::span<const uint16_t> registers);

struct EncodedValue {
  std::vector<uint16_t> registers;  // RegisterCount of them, as they go on the wire
  std::string error;                // why the text cannot be written; registers empty then
};
// The registers that carry a value given as text. A float takes "." or the workstation's decimal
// separator; an integer out of its type's range, a string longer than its Count, or a text that
// reads as no value of the type is refused. A bit or a byte inside a register is refused too:
// writing it would take a read-modify-write of a register another writer may change meanwhile.
EncodedValue EncodeTypedValue(const TypedLayout& layout, std::string_view text,
                              char decimalSeparator);

}  // namespace qmb
