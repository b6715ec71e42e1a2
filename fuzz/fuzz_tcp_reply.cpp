// The TCP stream's reply path over arbitrary bytes from the peer, in both framings that travel on
// it: the stream cut into frames (Modbus/TCP by their header, RTU frames by the request in
// flight), each frame checked against a read or a write request.
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
  const bool rtu = data[0] & 4;
  const ModbusRequest asked =
      write
          ? ModbusRequest{std::string("\xFF\x06\x00\x07\x12\x34", 6),
                          kTCPWriteTransactionId,
                          {},
                          {}}
          : ModbusRequest{
                std::string("\xFF\x03\x00\x00\x00\x01", 6), TransactionIds(data[0]).Next(), {}, {}};
  const FramingEntry& entry = FramingFor(rtu ? Framing::RTUOverTCP : Framing::TCP);
  const std::string request = entry.Frame(asked);
  std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);
  // Half the inputs start as an answer would (the request's header, or its slave and function),
  // so the checks past it are reached.
  if ((data[0] & 1) && rtu && stream.size() >= 2) {
    stream[0] = request[0];
    stream[1] = request[1];
  } else if ((data[0] & 1) && stream.size() >= 7) {
    const size_t length = stream.size() - 6;
    stream.replace(0, 4, request, 0, 4);
    stream[4] = static_cast<char>(length >> 8);
    stream[5] = static_cast<char>(length & 0xFF);
    stream[6] = request[6];
  }

  std::string_view rest(stream);
  for (;;) {
    const int32_t frameSize = entry.StreamFrameSize(request, rest);
    if ((frameSize > 0) != (entry.Missing(asked, rest) == 0)) std::abort();
    if (frameSize <= 0) break;
    const size_t shortest = rtu ? 4 : 8;  // address, function and CRC; a header and a function
    if (static_cast<size_t>(frameSize) < shortest || static_cast<size_t>(frameSize) > rest.size())
      std::abort();
    const std::string_view frame = rest.substr(0, static_cast<size_t>(frameSize));
    rest.remove_prefix(static_cast<size_t>(frameSize));

    const ReplyCheck check = entry.Check(asked, frame);
    const ReplyBlock& block = check.Reply;
    if (!rtu && check.Shown != check.Accepted) std::abort();
    SiteWindowModel window;
    if (check.Shown) ShowReply(window, block);
    if (!check.Accepted) {
      if (!rtu && (block.ErrorCode != 255 || block.DataLength != 0)) std::abort();
      continue;
    }
    if (!entry.Answers(request, frame)) std::abort();
    if (rtu && (check.Start != 0 || block.Address != asked.Unit())) std::abort();
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
