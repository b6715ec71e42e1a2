// The site window's Command and Response boxes: the last request framed and the last reply
// checked, with the names of their codes.
#pragma once

#include "model/SiteWindowModel.h"
#include "protocol/FrameCodec.h"
#include "protocol/Framing.h"

namespace qmb {

// The Command box from the request framed (address, function and data; no checksum); the
// Response box is reset for the reply to come.
void ShowCommand(SiteWindowModel& window, const ModbusRequest& request);
// The Response box from the reply block; a non-zero error code turns the caption to a red
// "Error:".
void ShowReply(SiteWindowModel& window, const ReplyBlock& reply);

}  // namespace qmb
