// ParsePointAddress and FormatPointAddress: a parsed address formats to a canonical text that
// parses back to the same record (less what the canonical form drops on purpose: the slave on a
// Modbus/TCP site, the host on a serial one) and formats to itself. The builders and the value
// texts run over the same input, and the input's bytes as a reply read by the point's type.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/FrameCodec.h"
#include "protocol/PointAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  using namespace qmb;
  const bool tcpMode = data[0] & 1;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  if (const auto point = ParsePointAddress(text, tcpMode)) {
    const std::string canonical = FormatPointAddress(*point, tcpMode);
    const auto again = ParsePointAddress(canonical, tcpMode);
    if (!again) std::abort();
    PointAddress expected = *point;
    if (tcpMode && point->Host.empty()) expected.Slave = 255;
    if (!tcpMode) expected.Host.clear();
    if (!(*again == expected)) std::abort();
    if (FormatPointAddress(*again, tcpMode) != canonical) std::abort();

    const int32_t value = ParseWriteValue(text).value_or(0);
    const std::string write = BuildSerialWriteText(*point, value);
    if (!write.empty() && write.size() != 12) std::abort();
    const auto writeRequest = WriteRequest(*point, value);
    if (writeRequest.has_value() == write.empty()) std::abort();
    if (writeRequest && FramingFor(Framing::TCP).Frame(*writeRequest).size() != 12) std::abort();
    // A read frames in every framing, or there is no read request at all.
    if (const auto read = ReadRequest(*point))
      for (const Framing framing : {Framing::ASCII, Framing::RTU, Framing::TCP})
        if (FramingFor(framing).Frame(*read).empty()) std::abort();
  }

  DecodePointValue(ReplyBlock{}, text, tcpMode);

  // The input's bytes as a device's reply, read at an offset by the point's type: never past the
  // bytes it has, and read untyped as ever.
  if (const auto point = ParsePointAddress(text.substr(0, text.find(' ')), tcpMode)) {
    ReplyBlock reply;
    reply.DataLength = static_cast<int32_t>(std::min(text.size(), reply.Data.size()));
    std::copy_n(text.begin(), reply.DataLength, reply.Data.begin());
    const auto offset = static_cast<uint16_t>(data[0] >> 1);
    const PointRead read = ReadOf(*point, true);
    const std::string typed = ReplyValueAt(reply, point->PointKind, read, offset);
    if (!typed.empty() && read.Quantity == 0) std::abort();
    if (PointValueOf(reply, *point, false) != DecodePointValue(reply, *point)) std::abort();
  }
  return 0;
}
