#include "protocol/Framing.h"

#include <algorithm>
#include <iterator>

namespace qmb {

namespace {

// Address, function and data with the framing's checksum; empty when over the longest frame.
std::string SerialBytes(const ModbusRequest& request, Framing framing) {
  const size_t checksumSize = ChecksumSize(framing);
  if (request.Bytes.size() + checksumSize > kCommandBufferSize) return {};
  const auto* bytes = reinterpret_cast<const uint8_t*>(request.Bytes.data());
  std::string frame = request.Bytes;
  if (framing == Framing::RTU) {
    const uint16_t crc = CalcCRC(bytes, request.Bytes.size());
    frame += static_cast<char>(crc & 0xFF);
    frame += static_cast<char>(crc >> 8);
  } else {
    frame += static_cast<char>(CalcLRC(bytes, static_cast<int32_t>(request.Bytes.size())));
  }
  return frame;
}

std::string ASCIIFrame(const ModbusRequest& request) {
  const std::string bytes = SerialBytes(request, Framing::ASCII);
  if (bytes.empty()) return {};
  const std::string body = request.Text.empty() ? BytesToHex(request.Bytes) : request.Text;
  return ":" + body + ByteToHex(static_cast<uint8_t>(bytes.back())) + "\r\n";
}

std::string ASCIIBytes(const ModbusRequest& request) {
  return SerialBytes(request, Framing::ASCII);
}

std::string RTUFrame(const ModbusRequest& request) {
  return SerialBytes(request, Framing::RTU);
}

std::string TCPFrame(const ModbusRequest& request) {
  const std::string_view pdu = request.Pdu();
  if (pdu.empty() || pdu.size() > kMaxTCPPdu) return {};
  const size_t length = pdu.size() + 1;
  std::string frame(7 + pdu.size(), '\0');
  frame[0] = static_cast<char>(request.TransactionId >> 8);
  frame[1] = static_cast<char>(request.TransactionId & 0xFF);
  // Bytes 2 and 3: protocol 0.
  frame[4] = static_cast<char>((length >> 8) & 0xFF);
  frame[5] = static_cast<char>(length & 0xFF);
  frame[6] = static_cast<char>(request.Unit());  // the engine sets it (FF unless TCPUNIT=POINT)
  pdu.copy(frame.data() + 7, pdu.size());
  return frame;
}

int32_t ASCIIMissing(const ModbusRequest& request, std::string_view received) {
  // The echo of the request's line alone: the reply is still to come, a line at the least.
  const std::string line = ASCIIFrame(request);
  if (!line.empty() && received == line) return 3;
  if (received.ends_with("\r\n")) return 0;
  return received.ends_with('\r') ? 1 : 2;
}

int32_t RTUMissing(const ModbusRequest& request, std::string_view received) {
  const std::string_view reply = StripEcho(RTUFrame(request), received);
  // An exception reply is five bytes whatever the request asked for.
  constexpr size_t kExceptionBytes = 5;
  if (reply.size() >= kExceptionBytes && (static_cast<uint8_t>(reply[1]) & 0x80) != 0) return 0;
  // Address, reply PDU and CRC; a reply whose size the request does not fix ends by the line's
  // silence, and is whole here once it could be an exception's.
  const size_t pduSize = ReplyPduSize(request.Pdu());
  const size_t expected = pduSize == 0 ? kExceptionBytes : 1 + pduSize + 2;
  return reply.size() >= expected ? 0 : static_cast<int32_t>(expected - reply.size());
}

int32_t TCPMissing(const ModbusRequest&, std::string_view received) {
  const int32_t size = TCPFrameSize(received);
  if (size != 0) return size < 0 ? -1 : 0;
  // A header and a function code at the least, then what the header's length announces.
  constexpr size_t kShortest = 8;
  if (received.size() < 6) return static_cast<int32_t>(kShortest - received.size());
  const size_t length =
      static_cast<uint8_t>(received[4]) * 256u + static_cast<uint8_t>(received[5]);
  return static_cast<int32_t>(6 + length - received.size());
}

// The bytes and CRC of an RTU frame at the start of `frame` check: the CRC over a frame with its
// own CRC behind it leaves 0.
bool CRCHolds(std::string_view frame) {
  return frame.size() >= 4 &&
         CalcCRC(reinterpret_cast<const uint8_t*>(frame.data()), frame.size()) == 0;
}

// RTU frames on a stream carry no length: the request in flight tells where its reply ends.
int32_t RTUStreamFrameSize(std::string_view sent, std::string_view stream) {
  if (stream.empty()) return 0;
  // Nothing asked, nothing is a reply; and without a length in the frames, nothing tells where
  // a stray frame would end.
  if (sent.size() < 4) return -1;
  if (stream.size() < 2) return 0;
  const auto function = static_cast<uint8_t>(sent[1]);
  const auto answered = static_cast<uint8_t>(stream[1]);
  if (stream[0] != sent[0] || (answered != function && answered != (function | 0x80))) return -1;
  size_t size = 0;
  if (answered != function)
    size = 5;  // address, function, exception code, CRC
  else if (const size_t pdu = ReplyPduSize(sent.substr(1, sent.size() - 3)); pdu > 0)
    size = 1 + pdu + 2;
  if (size > 0) {
    if (stream.size() < size) return 0;
    return CRCHolds(stream.substr(0, size)) ? static_cast<int32_t>(size) : -1;
  }
  // A reply whose size its request does not fix (a raw request) ends where its CRC holds.
  const size_t most = std::min(stream.size(), kCommandBufferSize);
  for (size_t end = 4; end <= most; ++end)
    if (CRCHolds(stream.substr(0, end))) return static_cast<int32_t>(end);
  return stream.size() >= kCommandBufferSize ? -1 : 0;
}

bool RTUStreamAnswers(std::string_view sent, std::string_view frame) {
  return CheckSerialReply(Framing::RTU, sent, frame).Accepted;
}

int32_t RTUStreamMissing(const ModbusRequest& request, std::string_view received) {
  const int32_t size = RTUStreamFrameSize(RTUFrame(request), received);
  if (size != 0) return size < 0 ? -1 : 0;
  // Address, function and CRC at the least; then what the request asks for.
  const size_t pdu = ReplyPduSize(request.Pdu());
  const size_t expected = pdu > 0 ? 1 + pdu + 2 : 4;
  return received.size() < expected ? static_cast<int32_t>(expected - received.size()) : 1;
}

int32_t TCPStreamFrameSize(std::string_view, std::string_view stream) {
  return TCPFrameSize(stream);
}

std::string ASCIIDecode(const ModbusRequest& request, std::string_view received) {
  return DecodeASCIIReply(ASCIIFrame(request), received);
}

std::string AsReceived(const ModbusRequest&, std::string_view received) {
  return std::string(received);
}

ReplyCheck ASCIICheck(const ModbusRequest& request, std::string_view reply) {
  return CheckSerialReply(Framing::ASCII, ASCIIBytes(request), reply);
}

ReplyCheck RTUCheck(const ModbusRequest& request, std::string_view reply) {
  return CheckSerialReply(Framing::RTU, RTUFrame(request), reply);
}

ReplyCheck TCPCheck(const ModbusRequest& request, std::string_view reply) {
  return CheckTCPReply(TCPFrame(request), reply);
}

constexpr FramingEntry kFramings[] = {
    {Framing::ASCII, "ASCII", true, false, ASCIIFrame, ASCIIBytes, ASCIIMissing, ASCIIDecode,
     ASCIICheck, "slave ", -1, true, nullptr, nullptr, false, 7},
    {Framing::RTU, "RTU", false, true, RTUFrame, RTUFrame, RTUMissing, AsReceived, RTUCheck,
     "slave ", -1, true, nullptr, nullptr, false, 8},
    {Framing::TCP, "TCP", false, false, TCPFrame, TCPFrame, TCPMissing, AsReceived, TCPCheck,
     "unit ", 0xFF, false, TCPStreamFrameSize, AnswersTCPRequest, true, 8},
    // The device server puts the frames on its serial line and paces them there: no silence is
    // kept between them on the stream.
    {Framing::RTUOverTCP, "RTU over TCP", false, false, RTUFrame, RTUFrame, RTUStreamMissing,
     AsReceived, RTUCheck, "slave ", -1, true, RTUStreamFrameSize, RTUStreamAnswers, false, 8},
};

constexpr bool InEnumOrder() {
  for (size_t i = 0; i < std::size(kFramings); ++i)
    if (static_cast<size_t>(kFramings[i].Kind) != i) return false;
  return true;
}
static_assert(InEnumOrder(), "FramingFor indexes the table by the enum");

}  // namespace

ModbusRequest RequestFromHex(std::string_view hexText) {
  return ModbusRequest{HexToBytes(hexText), 0, std::string(hexText), {}};
}

const FramingEntry& FramingFor(Framing framing) {
  // Looked up on every step of every exchange: the table stands in the enum's order.
  const auto at = static_cast<size_t>(framing);
  return at < std::size(kFramings) ? kFramings[at] : kFramings[0];
}

}  // namespace qmb
