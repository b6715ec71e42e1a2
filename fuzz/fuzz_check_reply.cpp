// The serial reply check over arbitrary received bytes and counts, in both serial framings, after
// a request framed from arbitrary hex text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "engine/WindowBoxes.h"
#include "protocol/FrameCodec.h"
#include "protocol/Framing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  using namespace qmb;
  const SerialFraming framing = (data[0] & 1) ? SerialFraming::RTU : SerialFraming::ASCII;
  const bool rawCount = data[0] & 2;
  // Counts outside the buffer, negative ones included, must be survived too.
  int16_t count;
  std::memcpy(&count, data + 1, sizeof count);
  const uint8_t requestLength = data[3];
  data += 4;
  size -= 4;

  const size_t textLength = requestLength < size ? requestLength : size;
  const FramingEntry& entry = FramingFor(framing);
  const ModbusRequest request =
      RequestFromHex(std::string_view(reinterpret_cast<const char*>(data), textLength));
  const std::string sent = entry.CheckedBytes(request);
  if (sent.size() > kCommandBufferSize) std::abort();
  data += textLength;
  size -= textLength;

  ReceiveBuffer receive;
  const size_t stored = size < kReceiveBufferSize ? size : kReceiveBufferSize;
  std::memcpy(receive.Bytes.data(), data, stored);
  receive.Count = rawCount ? count : static_cast<int32_t>(stored);
  const std::string received = receive.Text();

  const ReplyCheck check = entry.Check(request, received);
  const bool accepted = check.Accepted;
  const ReplyBlock& reply = check.Reply;
  if (reply.DataLength < 0 || reply.DataLength > static_cast<int32_t>(kReceiveBufferSize))
    std::abort();
  if (reply.ErrorCode < 0 || reply.ErrorCode > 255) std::abort();
  if (accepted && reply.ErrorCode == 0 && reply.Address != request.Unit()) std::abort();
  // A reply behind an echo starts inside what was received.
  if (check.Start < 0 || (check.Start > 0 && check.Start >= static_cast<int32_t>(received.size())))
    std::abort();
  if (accepted && check.Start > 0) {
    receive.DropFront(check.Start);
    if (receive.Count <= 0) std::abort();
  }
  if (entry.Missing(request, received) < 0) std::abort();
  // What the window would show of it, as the engine renders it.
  SiteWindowModel window;
  ShowCommand(window, request);
  if (check.Shown) ShowReply(window, reply);
  return 0;
}
