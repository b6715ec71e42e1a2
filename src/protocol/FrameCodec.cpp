#include "protocol/FrameCodec.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace qmb {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Upper-case digits only: a device that answers in lower case is answering wrongly.
int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr std::array<uint16_t, 256> MakeCRCTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    table[i] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCRCTable = MakeCRCTable();

// Largest PDU whose length (+ unit id) the Modbus/TCP header can announce for our peers.
constexpr size_t kMaxTCPPdu = 253;

std::string TCPFrame(uint8_t idHigh, uint8_t idLow, std::string_view pdu) {
  if (pdu.empty() || pdu.size() > kMaxTCPPdu) return {};
  const size_t length = pdu.size() + 1;
  std::string frame;
  frame.reserve(7 + pdu.size());
  frame += static_cast<char>(idHigh);
  frame += static_cast<char>(idLow);
  frame += '\0';
  frame += '\0';
  frame += static_cast<char>((length >> 8) & 0xFF);
  frame += static_cast<char>(length & 0xFF);
  frame += static_cast<char>(0xFF);  // unit id: always FF, whatever slave the address names
  frame += pdu;
  return frame;
}

uint32_t ClockSeed() {
  // Engines created within the same clock tick still get different sequences.
  static std::atomic<uint32_t> created{0};
  const auto now = std::chrono::system_clock::now().time_since_epoch().count();
  const uint64_t mixed = static_cast<uint64_t>(now) ^ (static_cast<uint64_t>(created++) << 40);
  return static_cast<uint32_t>(mixed ^ (mixed >> 32));
}

}  // namespace

std::string ByteToHex(uint8_t value) {
  return std::string{kHexDigits[value >> 4], kHexDigits[value & 0x0F]};
}

std::string WordToHex(uint16_t value) {
  return ByteToHex(static_cast<uint8_t>(value >> 8)) + ByteToHex(static_cast<uint8_t>(value));
}

size_t HexToBytes(std::string_view hex, uint8_t* out, size_t capacity) {
  const size_t count = std::min(hex.size() / 2, capacity);
  for (size_t i = 0; i < count; ++i) {
    const int value = 16 * HexDigitValue(hex[2 * i]) + HexDigitValue(hex[2 * i + 1]);
    out[i] = static_cast<uint8_t>(value);  // modulo 256, as the wire byte would be
  }
  return count;
}

std::string HexToBytes(std::string_view hex) {
  std::string bytes(hex.size() / 2, '\0');
  HexToBytes(hex, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
  return bytes;
}

uint8_t CalcLRC(const uint8_t* bytes, int32_t count) {
  uint8_t sum = 0;
  for (int32_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return static_cast<uint8_t>(-sum);
}

uint16_t CalcCRC(const uint8_t* bytes, size_t count) {
  uint32_t crc = 0xFFFF;
  for (size_t i = 0; i < count; ++i) crc = (crc >> 8) ^ kCRCTable[(crc ^ bytes[i]) & 0xFF];
  return static_cast<uint16_t>(crc);
}

std::string CleanASCIIReply(std::string_view received) {
  std::string text;
  text.reserve(received.size());
  for (char c : received)
    if (c != '\n' && c != '\r') text += c;

  const size_t colon = text.find(':');
  if (colon != std::string::npos) text.erase(0, colon + 1);

  for (char& c : text)
    if (static_cast<unsigned char>(c) < 32) c = ' ';

  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

void ReceiveBuffer::Store(uint8_t byte) {
  if (Count < 0 || Count >= static_cast<int32_t>(kReceiveBufferSize)) Count = 0;
  Bytes[static_cast<size_t>(Count)] = byte;
  ++Count;
  if (Count >= static_cast<int32_t>(kReceiveBufferSize)) Count = 0;
}

std::string ReceiveBuffer::Text() const {
  const int32_t count = std::clamp(Count, 0, static_cast<int32_t>(kReceiveBufferSize));
  return std::string(reinterpret_cast<const char*>(Bytes.data()), static_cast<size_t>(count));
}

FrameCodec::FrameCodec() : FrameCodec(ClockSeed()) {}

FrameCodec::FrameCodec(uint32_t randomSeed) : random_(randomSeed) {}

bool FrameCodec::FrameSerialRequest(std::string_view hexText, SerialFraming framing) {
  const size_t checksumSize = ChecksumSize(framing);
  const size_t count = hexText.size() / 2;
  if (count + checksumSize > kCommandBufferSize) return false;

  Command.Clear();
  HexToBytes(hexText, Command.Bytes.data(), count);
  if (framing == SerialFraming::RTU) {
    const uint16_t crc = CalcCRC(Command.Bytes.data(), count);
    Command.Bytes[count] = static_cast<uint8_t>(crc & 0xFF);
    Command.Bytes[count + 1] = static_cast<uint8_t>(crc >> 8);
  } else {
    Command.Bytes[count] = CalcLRC(Command.Bytes.data(), static_cast<int32_t>(count));
  }
  Command.Length = static_cast<int32_t>(count + checksumSize);
  return true;
}

std::string FrameCodec::FrameASCIIRequest(std::string_view hexText) {
  if (!FrameSerialRequest(hexText, SerialFraming::ASCII)) return {};
  const uint8_t lrc = Command.Bytes[static_cast<size_t>(Command.Length - 1)];
  std::string frame;
  frame.reserve(hexText.size() + 5);
  frame += ':';
  frame += hexText;
  frame += ByteToHex(lrc);
  frame += "\r\n";
  return frame;
}

bool FrameCodec::FrameRTURequest(std::string_view hexText) {
  return FrameSerialRequest(hexText, SerialFraming::RTU);
}

std::string FrameCodec::CommandBytes() const {
  const int32_t length = std::clamp(Command.Length, 0, static_cast<int32_t>(kCommandBufferSize));
  return std::string(reinterpret_cast<const char*>(Command.Bytes.data()),
                     static_cast<size_t>(length));
}

std::string FrameCodec::BuildTCPReadFrame(std::string_view pdu) {
  if (pdu.empty() || pdu.size() > kMaxTCPPdu) return {};
  std::uniform_int_distribution<int> ids(0, 65534);
  TCPTransactionId = static_cast<uint16_t>(ids(random_));
  return TCPFrame(static_cast<uint8_t>(TCPTransactionId >> 8),
                  static_cast<uint8_t>(TCPTransactionId & 0xFF), pdu);
}

std::string FrameCodec::BuildTCPWriteFrame(std::string_view pdu) {
  return TCPFrame(0xAA, 0x55, pdu);
}

void FrameCodec::DecodeASCIIReply() {
  const std::string cleaned = CleanASCIIReply(Receive.Text());
  Receive.Clear();
  Receive.Count =
      static_cast<int32_t>(HexToBytes(cleaned, Receive.Bytes.data(), Receive.Bytes.size()));
}

ReplyCheck FrameCodec::CheckReply(SerialFraming framing) const {
  ReplyCheck check;
  ReplyBlock& reply = check.Reply;
  // The count comes from the receive handler; never read past the buffer whatever it says.
  const int32_t n = std::min(Receive.Count, static_cast<int32_t>(kReceiveBufferSize));
  if (n < 4) return check;
  check.Shown = true;
  const uint8_t* b = Receive.Bytes.data();

  if (b[0] != Command.Bytes[0]) return check;
  reply.Address = b[0];

  if (b[1] == Command.Bytes[1]) {
    reply.Function = b[1];
    int32_t frameLength;  // without the checksum
    bool checksumOk;
    if (framing == SerialFraming::RTU) {
      frameLength = n - 2;
      const uint16_t received = static_cast<uint16_t>(b[n - 2] | (b[n - 1] << 8));
      // The whole frame is covered: an 8-bit count would check only a prefix of an overlong one.
      checksumOk = received == CalcCRC(b, static_cast<size_t>(frameLength));
    } else {
      frameLength = n - 1;
      checksumOk = b[n - 1] == CalcLRC(b, frameLength);
    }
    if (!checksumOk) {
      reply.ErrorCode = kReplyChecksumOrUnknown;
      return check;
    }
    reply.DataLength = frameLength - 2;
    std::copy(b + 2, b + frameLength, reply.Data.begin());
    check.Accepted = true;
    return check;
  }

  reply.Function = b[1] & 0x7F;
  if (reply.Function == Command.Bytes[1]) {
    // Exception reply. Its checksum is not verified; callers count it as a failed exchange by
    // its error code, so a code of 0 (a garbled exception) must not read as success.
    reply.ErrorCode = b[2] != 0 ? b[2] : kReplyChecksumOrUnknown;
    check.Accepted = true;
    return check;
  }
  reply.ErrorCode = kReplyChecksumOrUnknown;
  return check;
}

ReplyCheck FrameCodec::CheckTCPReply(std::string_view t) const {
  ReplyCheck check;
  ReplyBlock& reply = check.Reply;
  reply.ErrorCode = kReplyChecksumOrUnknown;
  const auto byteAt = [&](size_t i) { return static_cast<uint8_t>(t[i]); };
  if (t.size() < 10) return check;  // 9 bytes is an exception reply: no value in it
  if (byteAt(0) * 256 + byteAt(1) != TCPTransactionId) return check;
  if (byteAt(2) != 0 || byteAt(3) != 0) return check;
  // An exception longer than nine bytes (padding, a second frame in the chunk) is still no
  // value: its exception code must not be read as a byte count.
  if (byteAt(7) & 0x80) return check;
  const size_t byteCount = byteAt(8);
  // A reply cut short would read its missing bytes as zeros: a wrong value, not a value.
  if (t.size() - 9 < byteCount) return check;

  reply.Function = byteAt(7);
  reply.Data[0] = static_cast<uint8_t>(byteCount);
  std::copy(t.begin() + 9, t.begin() + 9 + static_cast<std::ptrdiff_t>(byteCount),
            reply.Data.begin() + 1);
  reply.DataLength = static_cast<int32_t>(byteCount + 1);
  reply.Address = 0;
  reply.ErrorCode = kReplyNoError;
  check.Accepted = check.Shown = true;
  return check;
}

}  // namespace qmb
