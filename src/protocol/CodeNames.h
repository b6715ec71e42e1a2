// Names of Modbus function and exception codes, and the byte lists the site window shows. The
// names only describe; requests and replies are judged by the codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qmb {

// "Read Coil Status" ... "Read FIFO Queue" for codes 1 to 24; empty for any other code.
std::string_view FunctionName(int32_t code);
// "Illegal Function" ... "Memory Parity Error" for codes 1 to 8; empty for any other code.
std::string_view ExceptionName(int32_t code);

// "[01] [03] " ...: each byte as two upper-case hex digits in brackets, followed by a blank.
std::string ByteListText(const uint8_t* bytes, size_t count);

}  // namespace qmb
