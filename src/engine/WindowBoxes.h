// The site window's Command and Response boxes: the last request framed and the last reply
// checked, with the names of their codes.
#pragma once

#include "model/SiteWindowModel.h"
#include "protocol/FrameCodec.h"

namespace qmb {

// The Command box from the command buffer (the checksum, one byte in ASCII and two in RTU, is
// not shown); the Response box is reset for the reply to come.
void ShowCommand(SiteWindowModel& window, const CommandBuffer& command, SerialFraming framing);
// The Response box from the reply block; a non-zero error code turns the caption to a red
// "Error:".
void ShowReply(SiteWindowModel& window, const ReplyBlock& reply);

}  // namespace qmb
