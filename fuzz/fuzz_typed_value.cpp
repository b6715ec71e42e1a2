// The typed value codec on registers from a device and texts from a host: whatever a layout
// reads from registers writes back to the same registers (a string, to the same text; a NaN, to
// some NaN), and whatever a text writes reads back as a text that writes the same value again.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/TypedValue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  using namespace qmb;
  TypedLayout layout{static_cast<ValueType>(data[0] % kValueTypeCount), data[2] % 17,
                     data[3] * 8 + 1 - (data[1] >> 7), static_cast<WordOrder>(data[1] % 4)};
  if (!TypedLayoutError(layout).empty()) {
    // Near a valid layout more often than not: the type's own width, starting at bit 0.
    layout.first = layout.type == ValueType::Bool ? data[2] % 16 : 0;
    layout.bits = layout.type == ValueType::String ? 8 * (1 + data[3] % 250)
                  : layout.type == ValueType::Bool ? 1
                  : layout.type == ValueType::Byte ? 8
                  : layout.type == ValueType::Word || layout.type == ValueType::Int ? 16
                  : layout.type == ValueType::DWord || layout.type == ValueType::DInt ||
                          layout.type == ValueType::Float
                      ? 32
                      : 64;
    if (!TypedLayoutError(layout).empty()) std::abort();
  }
  const auto count = static_cast<size_t>(RegisterCount(layout));
  const std::string_view rest(reinterpret_cast<const char*>(data + 4), size - 4);
  const bool inside = layout.type == ValueType::Bool || layout.type == ValueType::Byte;

  std::vector<uint16_t> registers(count);
  for (size_t i = 0; i < count && 2 * i + 1 < rest.size(); ++i)
    registers[i] = static_cast<uint16_t>(static_cast<uint8_t>(rest[2 * i]) << 8 |
                                         static_cast<uint8_t>(rest[2 * i + 1]));
  const std::string text = DecodeTypedValue(layout, registers);
  const EncodedValue back = EncodeTypedValue(layout, text, ',');
  if (inside != !back.error.empty()) std::abort();
  if (!inside) {
    if (back.registers.size() != count) std::abort();
    if (layout.type == ValueType::String || text == "NaN") {
      if (DecodeTypedValue(layout, back.registers) != text) std::abort();
    } else if (back.registers != registers) {
      std::abort();
    }
  }

  const EncodedValue written = EncodeTypedValue(layout, rest, static_cast<char>(data[2]));
  if (written.error.empty()) {
    if (written.registers.size() != count) std::abort();
    // As text: a string loses what follows a NUL, a NaN its payload.
    const std::string read = DecodeTypedValue(layout, written.registers);
    if (DecodeTypedValue(layout, EncodeTypedValue(layout, read, '.').registers) != read)
      std::abort();
  } else if (!written.registers.empty()) {
    std::abort();
  }
  return 0;
}
