// CheckTCPReply over arbitrary chunks from the TCP link.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/WindowBoxes.h"
#include "protocol/FrameCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  using namespace qmb;
  FrameCodec codec(data[0]);
  codec.BuildTCPReadFrame(std::string("\x03\x00\x00\x00\x01", 5));
  // Half the inputs answer the id just drawn, so the checks past the id are reached.
  std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 1) && reply.size() >= 2) {
    reply[0] = static_cast<char>(codec.TCPTransactionId >> 8);
    reply[1] = static_cast<char>(codec.TCPTransactionId & 0xFF);
  }
  const ReplyCheck check = codec.CheckTCPReply(reply);
  const bool accepted = check.Accepted;
  const ReplyBlock& block = check.Reply;
  if (check.Shown != accepted) std::abort();
  SiteWindowModel window;
  if (check.Shown) ShowReply(window, block);
  if (accepted) {
    if (block.ErrorCode != 0 || block.DataLength < 1) std::abort();
    if (static_cast<size_t>(block.DataLength) + 8 > reply.size()) std::abort();  // all received
  } else if (block.ErrorCode != 255 || block.DataLength != 0) {
    std::abort();
  }
  return 0;
}
