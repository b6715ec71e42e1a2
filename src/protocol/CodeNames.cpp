#include "protocol/CodeNames.h"

#include <array>

#include "protocol/FrameCodec.h"

namespace qmb {

namespace {

constexpr std::array<std::string_view, 24> kFunctionNames = {
    "Read Coil Status",
    "Read Input Status",
    "Read Holding Registers",
    "Read input Registers",
    "Force Single Coil",
    "Preset Single Register",
    "Read Exception Status",
    "Diagnostics",
    "Program 484",
    "Poll 484",
    "Fetch Comm Event Counter",
    "Fetch Comm Event Log",
    "Program Controller",
    "Poll Controller",
    "Force Multiple Coils",
    "Preset Multiple Registers",
    "Report Slave ID",
    "Program 884/M84",
    "Reset Comm Link",
    "Read General Reference",
    "Write General Reference",
    "Mask Write 4X Register",
    "Read/Write 4X Register",
    "Read FIFO Queue",
};

constexpr std::array<std::string_view, 8> kExceptionNames = {
    "Illegal Function", "Illegal Data Address", "Illegal Data Value",   "Slave Device Failure",
    "Acknowledge",      "Slave Device Busy",    "Negative Acknowledge", "Memory Parity Error",
};

}  // namespace

std::string_view FunctionName(int32_t code) {
  if (code < 1 || code > static_cast<int32_t>(kFunctionNames.size())) return {};
  return kFunctionNames[static_cast<size_t>(code - 1)];
}

std::string_view ExceptionName(int32_t code) {
  if (code < 1 || code > static_cast<int32_t>(kExceptionNames.size())) return {};
  return kExceptionNames[static_cast<size_t>(code - 1)];
}

std::string ByteListText(const uint8_t* bytes, size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(count * 5, ' ');
  for (size_t i = 0; i < count; ++i) {
    text[i * 5] = '[';
    text[i * 5 + 1] = kDigits[bytes[i] >> 4];
    text[i * 5 + 2] = kDigits[bytes[i] & 0x0F];
    text[i * 5 + 3] = ']';
  }
  return text;
}

}  // namespace qmb
