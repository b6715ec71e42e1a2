// The typed value codec beyond what the pymodbus vectors cover: layouts that name no value, bits
// and bytes inside a register, the texts of special floats, and the writes that are refused.
#include <gtest/gtest.h>

#include "protocol/TypedValue.h"

namespace qmb {
namespace {

TEST(TypedValueTest, LayoutsThatNameNoValueSayWhy) {
  struct Row {
    TypedLayout layout;
    std::string error;
  };
  const Row rows[] = {
      {{ValueType::Word, 0, 16}, ""},
      {{ValueType::Float, 0, 32, WordOrder::CDAB}, ""},
      {{ValueType::String, 0, 2000}, ""},
      {{ValueType::Bool, 15, 1}, ""},
      {{ValueType::Byte, 8, 8}, ""},
      {{ValueType::Float, 0, 16}, "a FLOAT's Count is 32 bits, not 16"},
      {{ValueType::LInt, 0, 32}, "a LINT's Count is 64 bits, not 32"},
      {{ValueType::String, 0, 12}, "a STRING's Count is 8 to 2000 bits in steps of 8, not 12"},
      {{ValueType::String, 0, 2008}, "a STRING's Count is 8 to 2000 bits in steps of 8, not 2008"},
      {{ValueType::Byte, 4, 8},
       "a BYTE starts at bit 0 (the low byte) or 8 (the high byte), not 4"},
      {{ValueType::DWord, 3, 32}, "a DWORD starts at bit 0 of its register, not 3"},
  };
  for (const Row& row : rows) EXPECT_EQ(TypedLayoutError(row.layout), row.error) << row.error;
  EXPECT_EQ(RegisterCount({ValueType::String, 0, 24}), 2);
  EXPECT_EQ(RegisterCount({ValueType::Double, 0, 64}), 4);
  EXPECT_EQ(ParseOrderWord("cdab"), WordOrder::CDAB);
  EXPECT_EQ(ParseOrderWord("ABDC"), std::nullopt);
}

TEST(TypedValueTest, ReadsBitsBytesAndSpecialValues) {
  struct Row {
    TypedLayout layout;
    std::vector<uint16_t> registers;
    std::string text;
  };
  const Row rows[] = {
      {{ValueType::Bool, 0, 1}, {0x8001}, "TRUE"},
      {{ValueType::Bool, 14, 1}, {0x8001}, "FALSE"},
      {{ValueType::Bool, 15, 1, WordOrder::DCBA}, {0x8001}, "TRUE"},  // no order inside a word
      {{ValueType::Byte, 0, 8}, {0x12F4}, "244"},
      {{ValueType::Byte, 8, 8}, {0x12F4}, "18"},
      {{ValueType::Float, 0, 32}, {0x7FC0, 0x0001}, "NaN"},
      {{ValueType::Float, 0, 32}, {0xFF80, 0x0000}, "-Infinity"},
      {{ValueType::Double, 0, 64}, {0x3FB9, 0x9999, 0x9999, 0x999A}, "0.1"},
      {{ValueType::Float, 0, 32}, {0x3DCC, 0xCCCD}, "0.1"},  // the float's own shortest text
      {{ValueType::Int, 0, 16, WordOrder::BADC}, {0xFFFE}, "-257"},
      // Characters are bytes (Latin-1 on the bus); a string stops at its first NUL or its Count.
      {{ValueType::String, 0, 24}, {0x4142, 0x4344}, "ABC"},
      {{ValueType::String, 0, 32, WordOrder::BADC}, {0x4241, 0x0043}, "ABC"},
  };
  for (const Row& row : rows) EXPECT_EQ(DecodeTypedValue(row.layout, row.registers), row.text);
}

TEST(TypedValueTest, WritesTakeTheTypesTextAndRefuseTheRest) {
  struct Row {
    TypedLayout layout;
    std::string text;
    char separator;
    std::vector<uint16_t> registers;  // empty: refused with `error`
    std::string error;
  };
  const Row rows[] = {
      {{ValueType::Float, 0, 32}, "1,5", ',', {0x3FC0, 0x0000}, ""},
      {{ValueType::Float, 0, 32}, " -2.5 ", ',', {0xC020, 0x0000}, ""},
      {{ValueType::Float, 0, 32}, "Infinity", '.', {0x7F80, 0x0000}, ""},
      {{ValueType::Word, 0, 16}, "+7", '.', {0x0007}, ""},
      {{ValueType::Word, 0, 16},
       "70000",
       '.',
       {},
       "\"70000\" is out of range for WORD (0 to 65535)"},
      {{ValueType::Word, 0, 16}, "-1", '.', {}, "\"-1\" is out of range for WORD (0 to 65535)"},
      {{ValueType::LInt, 0, 64},
       "-9223372036854775809",
       '.',
       {},
       "\"-9223372036854775809\" is out of range for LINT (-9223372036854775808 to "
       "9223372036854775807)"},
      {{ValueType::DInt, 0, 32},
       "1.5",
       '.',
       {},
       "\"1.5\" is not a whole number for DINT (-2147483648 to 2147483647)"},
      {{ValueType::Int, 0, 16},
       "",
       '.',
       {},
       "\"\" is not a whole number for INT (-32768 to 32767)"},
      {{ValueType::Float, 0, 32}, "1e39", '.', {}, "\"1e39\" is out of range for FLOAT"},
      {{ValueType::Double, 0, 64}, "pump", '.', {}, "\"pump\" is not a number (DOUBLE)"},
      {{ValueType::String, 0, 32}, "AB", '.', {0x4142, 0x0000}, ""},
      {{ValueType::String, 0, 16}, "ABC", '.', {}, "\"ABC\" has 3 characters; this STRING holds 2"},
      {{ValueType::Bool, 3, 1},
       "TRUE",
       '.',
       {},
       "a BOOL inside a register cannot be written on its own (it would take a read-modify-write "
       "of a register others may change meanwhile)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const EncodedValue encoded = EncodeTypedValue(row.layout, row.text, row.separator);
    EXPECT_EQ(encoded.registers, row.registers);
    EXPECT_EQ(encoded.error, row.error);
  }
}

}  // namespace
}  // namespace qmb
