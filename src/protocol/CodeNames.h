// Names of Modbus function and exception codes, and the site window's Command and Response boxes
// that show them. The names only describe; requests and replies are judged by the codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/FrameCodec.h"

namespace qmb {

struct SiteWindowModel;

// "Read Coil Status" ... "Read FIFO Queue" for codes 1 to 24; empty for any other code.
std::string_view FunctionName(int32_t code);
// "Illegal Function" ... "Memory Parity Error" for codes 1 to 8; empty for any other code.
std::string_view ExceptionName(int32_t code);

// "[01] [03] " ...: each byte as two upper-case hex digits in brackets, followed by a blank.
std::string ByteListText(const uint8_t* bytes, size_t count);

// The Command box from the command buffer (the checksum, one byte in ASCII and two in RTU, is
// not shown); the Response box is reset for the reply to come.
void ShowCommand(SiteWindowModel& window, const CommandBuffer& command, SerialFraming framing);
// The Response box from the reply block; a non-zero error code turns the caption to a red
// "Error:".
void ShowReply(SiteWindowModel& window, const ReplyBlock& reply);

}  // namespace qmb
