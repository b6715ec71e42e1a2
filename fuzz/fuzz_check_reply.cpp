// CheckReply over arbitrary receive buffers and counts, in both serial framings, after a request
// framed from arbitrary hex text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "engine/WindowBoxes.h"
#include "protocol/FrameCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  using namespace qmb;
  FrameCodec codec(1);

  const SerialFraming framing = (data[0] & 1) ? SerialFraming::RTU : SerialFraming::ASCII;
  const bool rawCount = data[0] & 2;
  // Counts outside the buffer, negative ones included, must be survived too.
  int16_t count;
  std::memcpy(&count, data + 1, sizeof count);
  const uint8_t requestLength = data[3];
  data += 4;
  size -= 4;

  const size_t textLength = requestLength < size ? requestLength : size;
  const std::string_view request(reinterpret_cast<const char*>(data), textLength);
  if (framing == SerialFraming::RTU) {
    codec.FrameRTURequest(request);
  } else {
    codec.FrameASCIIRequest(request);
  }
  if (codec.Command.Length < 0 || codec.Command.Length > static_cast<int32_t>(kCommandBufferSize))
    std::abort();
  data += textLength;
  size -= textLength;

  const size_t stored = size < kReceiveBufferSize ? size : kReceiveBufferSize;
  std::memcpy(codec.Receive.Bytes.data(), data, stored);
  codec.Receive.Count = rawCount ? count : static_cast<int32_t>(stored);

  const ReplyCheck check = codec.CheckReply(framing);
  const bool accepted = check.Accepted;
  const ReplyBlock& reply = check.Reply;
  if (reply.DataLength < 0 || reply.DataLength > static_cast<int32_t>(kReceiveBufferSize))
    std::abort();
  if (reply.ErrorCode < 0 || reply.ErrorCode > 255) std::abort();
  if (accepted && reply.ErrorCode == 0 && reply.Address != codec.Command.Bytes[0]) std::abort();
  // A reply behind an echo starts inside what was received.
  if (check.Start < 0 || (check.Start > 0 && check.Start >= codec.Receive.Count)) std::abort();
  if (accepted && check.Start > 0) {
    codec.Receive.DropFront(check.Start);
    if (codec.Receive.Count <= 0) std::abort();
  }
  // What the window would show of it, as the engine renders it.
  SiteWindowModel window;
  ShowCommand(window, codec.Command, framing);
  if (check.Shown) ShowReply(window, reply);
  return 0;
}
