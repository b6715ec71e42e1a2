// The Modbus/TCP reply path over arbitrary bytes from the peer: the stream cut into frames by
// their header, each frame checked against a read or a write request.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/WindowBoxes.h"
#include "protocol/FrameCodec.h"
#include "protocol/Framing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  using namespace qmb;
  const bool write = data[0] & 2;
  const ModbusRequest asked =
      write
          ? ModbusRequest{std::string("\xFF\x06\x00\x07\x12\x34", 6),
                          kTCPWriteTransactionId,
                          {},
                          {}}
          : ModbusRequest{
                std::string("\xFF\x03\x00\x00\x00\x01", 6), TransactionIds(data[0]).Next(), {}, {}};
  const FramingEntry& tcp = FramingFor(Framing::TCP);
  const std::string request = tcp.Frame(asked);
  std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);
  // Half the inputs start with the request's own header, so the checks past it are reached.
  if ((data[0] & 1) && stream.size() >= 7) {
    const size_t length = stream.size() - 6;
    stream.replace(0, 4, request, 0, 4);
    stream[4] = static_cast<char>(length >> 8);
    stream[5] = static_cast<char>(length & 0xFF);
    stream[6] = request[6];
  }

  std::string_view rest(stream);
  for (;;) {
    const int32_t frameSize = TCPFrameSize(rest);
    if ((frameSize > 0) != (tcp.Missing(asked, rest) == 0)) std::abort();
    if (frameSize <= 0) break;
    if (frameSize < 8 || static_cast<size_t>(frameSize) > rest.size()) std::abort();
    const std::string_view frame = rest.substr(0, static_cast<size_t>(frameSize));
    rest.remove_prefix(static_cast<size_t>(frameSize));

    const ReplyCheck check = tcp.Check(asked, frame);
    const ReplyBlock& block = check.Reply;
    if (check.Shown != check.Accepted) std::abort();
    SiteWindowModel window;
    if (check.Shown) ShowReply(window, block);
    if (!check.Accepted) {
      if (block.ErrorCode != 255 || block.DataLength != 0) std::abort();
      continue;
    }
    if (!AnswersTCPRequest(request, frame)) std::abort();
    if (block.ErrorCode == 0) {
      // A one-register read gives its byte count and two bytes; a write its address and value.
      if (block.DataLength != (write ? 4 : 3)) std::abort();
      if (!write && block.Data[0] != 2) std::abort();
      if (write && (block.Data[0] != 0x00 || block.Data[1] != 0x07)) std::abort();
    } else if (block.DataLength != 0) {
      std::abort();
    }
  }
  return 0;
}
