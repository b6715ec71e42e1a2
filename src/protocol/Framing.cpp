#include "protocol/Framing.h"

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
  frame[6] = static_cast<char>(0xFF);  // unit id: always FF, whatever slave the address names
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
     ASCIICheck},
    {Framing::RTU, "RTU", false, true, RTUFrame, RTUFrame, RTUMissing, AsReceived, RTUCheck},
    {Framing::TCP, "TCP", false, false, TCPFrame, TCPFrame, TCPMissing, AsReceived, TCPCheck},
};

}  // namespace

ModbusRequest RequestFromHex(std::string_view hexText) {
  return ModbusRequest{HexToBytes(hexText), 0, std::string(hexText), {}};
}

const FramingEntry& FramingFor(Framing framing) {
  for (const FramingEntry& entry : kFramings)
    if (entry.Kind == framing) return entry;
  return kFramings[0];
}

}  // namespace qmb
