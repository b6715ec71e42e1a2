#include "protocol/FrameCodec.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

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

uint16_t WordAt(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

bool IsRead(uint8_t function) {
  return function >= 1 && function <= 4;
}

}  // namespace

size_t ReplyPduSize(std::string_view request) {
  if (request.size() < 5) return 0;
  const auto* r = reinterpret_cast<const uint8_t*>(request.data());
  const size_t quantity = WordAt(r + 3);
  switch (r[0]) {
    case 1:
    case 2:
      return request.size() == 5 ? 2 + (quantity + 7) / 8 : 0;
    case 3:
    case 4:
      return request.size() == 5 ? 2 + 2 * quantity : 0;
    case 5:
    case 6:
      return request.size() == 5 ? 5 : 0;
    case 15:
    case 16:
      return 5;
    default:
      return 0;
  }
}

namespace {

enum class PduFit { Reply, Exception, Wrong };

// How a reply PDU stands against the request PDU it is to answer.
PduFit FitReply(std::string_view request, std::string_view reply) {
  if (request.empty() || reply.empty()) return PduFit::Wrong;
  const auto* q = reinterpret_cast<const uint8_t*>(request.data());
  const auto* r = reinterpret_cast<const uint8_t*>(reply.data());
  if (q[0] < 0x80 && r[0] == (q[0] | 0x80))
    return reply.size() == 2 ? PduFit::Exception : PduFit::Wrong;
  if (r[0] != q[0]) return PduFit::Wrong;
  const size_t expected = ReplyPduSize(request);
  if (expected == 0) return PduFit::Reply;
  if (reply.size() != expected) return PduFit::Wrong;
  switch (q[0]) {
    case 5:
    case 6:  // the address written; a device may answer with the value it actually took
      return WordAt(r + 1) == WordAt(q + 1) ? PduFit::Reply : PduFit::Wrong;
    case 15:
    case 16:
      return WordAt(r + 1) == WordAt(q + 1) && WordAt(r + 3) == WordAt(q + 3) ? PduFit::Reply
                                                                              : PduFit::Wrong;
    default:  // a read: the byte count of the quantity asked for
      return r[1] == expected - 2 ? PduFit::Reply : PduFit::Wrong;
  }
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

std::string BytesToHex(std::string_view bytes) {
  std::string text;
  text.reserve(2 * bytes.size());
  for (const char byte : bytes) text += ByteToHex(static_cast<uint8_t>(byte));
  return text;
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

void ReceiveBuffer::Assign(std::string_view bytes) {
  if (bytes.size() >= kReceiveBufferSize) {
    // Wraps, as byte by byte.
    Clear();
    for (const char byte : bytes) Store(static_cast<uint8_t>(byte));
    return;
  }
  std::memcpy(Bytes.data(), bytes.data(), bytes.size());
  std::fill(Bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size()), Bytes.end(), 0);
  Count = static_cast<int32_t>(bytes.size());
}

void ReceiveBuffer::DropFront(int32_t count) {
  const int32_t kept = std::clamp(Count, 0, static_cast<int32_t>(kReceiveBufferSize));
  count = std::clamp(count, 0, kept);
  std::copy(Bytes.begin() + count, Bytes.begin() + kept, Bytes.begin());
  std::fill(Bytes.begin() + (kept - count), Bytes.begin() + kept, 0);
  Count = kept - count;
}

std::string ReceiveBuffer::Text() const {
  const int32_t count = std::clamp(Count, 0, static_cast<int32_t>(kReceiveBufferSize));
  return std::string(reinterpret_cast<const char*>(Bytes.data()), static_cast<size_t>(count));
}

TransactionIds::TransactionIds() : TransactionIds(ClockSeed()) {}

TransactionIds::TransactionIds(uint32_t randomSeed) : random_(randomSeed) {}

uint16_t TransactionIds::Next() {
  std::uniform_int_distribution<int> ids(0, 65534);
  return static_cast<uint16_t>(ids(random_));
}

std::string_view StripEcho(std::string_view sent, std::string_view received) {
  if (!sent.empty() && received.size() > sent.size() && received.starts_with(sent))
    received.remove_prefix(sent.size());
  return received;
}

std::string DecodeASCIIReply(std::string_view sentLine, std::string_view received) {
  // An adapter that hears its own transmission puts the request's line in front of the reply.
  // A line of ":" and CR LF alone carries no request, so nothing is taken for its echo.
  if (sentLine.size() > 3) received = StripEcho(sentLine, received);
  // Two frames in one read (a late reply to an earlier request, then this one): the last one
  // is the reply.
  const size_t last = received.rfind(':');
  if (last != std::string_view::npos && received.find(':') != last) received.remove_prefix(last);
  return HexToBytes(CleanASCIIReply(received));
}

ReplyCheck CheckSerialReply(SerialFraming framing, std::string_view request,
                            std::string_view received) {
  ReplyCheck check;
  ReplyBlock& reply = check.Reply;
  if (received.size() < 4) return check;
  check.Shown = true;
  const size_t checksumSize = ChecksumSize(framing);
  const size_t requestLength = request.size();
  if (framing == Framing::TCP || requestLength < checksumSize + 2 ||
      requestLength > kCommandBufferSize) {
    reply.ErrorCode = kReplyChecksumOrUnknown;  // no request to answer
    return check;
  }
  const auto* sent = reinterpret_cast<const uint8_t*>(request.data());

  if (received.starts_with(request)) {
    if (received.size() > request.size()) {
      // An adapter that hears its own transmission: the reply follows the echo.
      received = StripEcho(request, received);
      check.Start = static_cast<int32_t>(request.size());
    } else if (IsRead(sent[1])) {
      // A read's echo alone; for a write, request and reply are the same bytes by design.
      reply.ErrorCode = kReplyChecksumOrUnknown;
      return check;
    }
  }
  if (received.size() < checksumSize + 2) {
    reply.ErrorCode = kReplyChecksumOrUnknown;
    return check;
  }
  if (framing == SerialFraming::RTU) {
    // Two frames in one read: a late reply to an earlier request, then this one. An RTU frame
    // has no transaction id, but the newest frame ends the read: a later start whose frame runs
    // to the end with a good CRC is the reply. (The whole read is tried first, so a reply whose
    // data happens to hold the slave's address is not cut.)
    const auto* bytes = reinterpret_cast<const uint8_t*>(received.data());
    const size_t size = received.size();
    const bool whole =
        CalcCRC(bytes, size - 2) == static_cast<uint16_t>(bytes[size - 2] | (bytes[size - 1] << 8));
    for (size_t start = 1; !whole && start + 4 <= size; ++start) {
      if (bytes[start] != sent[0]) continue;
      const uint16_t sent = static_cast<uint16_t>(bytes[size - 2] | (bytes[size - 1] << 8));
      if (CalcCRC(bytes + start, size - start - 2) != sent) continue;
      if (FitReply(request.substr(1, requestLength - checksumSize - 1),
                   received.substr(start + 1, size - start - 3)) == PduFit::Wrong)
        continue;
      received.remove_prefix(start);
      check.Start += static_cast<int32_t>(start);
      break;
    }
  }
  const auto* b = reinterpret_cast<const uint8_t*>(received.data());
  if (b[0] != sent[0]) return check;  // another slave's frame: error 0, address 0
  reply.Address = b[0];
  reply.Function = b[1] & 0x7F;

  const size_t frameLength = received.size() - checksumSize;  // without the checksum
  bool checksumOk;
  if (framing == SerialFraming::RTU) {
    const uint16_t sent = static_cast<uint16_t>(b[frameLength] | (b[frameLength + 1] << 8));
    // The whole frame is covered: an 8-bit count would check only a prefix of an overlong one.
    checksumOk = sent == CalcCRC(b, frameLength);
  } else {
    checksumOk = b[frameLength] == CalcLRC(b, static_cast<int32_t>(frameLength));
  }
  const PduFit fit = FitReply(request.substr(1, requestLength - checksumSize - 1),
                              received.substr(1, frameLength - 1));
  if (!checksumOk || fit == PduFit::Wrong) {
    reply.ErrorCode = kReplyChecksumOrUnknown;
    return check;
  }
  if (fit == PduFit::Exception) {
    // Callers count it as a failed exchange by its error code, so a code of 0 (a garbled
    // exception) must not read as success.
    reply.ErrorCode = b[2] != 0 ? b[2] : kReplyChecksumOrUnknown;
  } else {
    reply.DataLength = static_cast<int32_t>(frameLength - 2);
    std::copy(b + 2, b + frameLength, reply.Data.begin());
  }
  check.Accepted = true;
  return check;
}

int32_t TCPFrameSize(std::string_view stream) {
  const auto byteAt = [&](size_t i) { return static_cast<uint8_t>(stream[i]); };
  if (stream.size() >= 4 && (byteAt(2) != 0 || byteAt(3) != 0)) return -1;
  if (stream.size() < 6) return 0;
  // The length counts the unit id and the PDU: a function code at least, and no more PDU than
  // a frame carries.
  const size_t length = byteAt(4) * 256u + byteAt(5);
  if (length < 2 || length > kMaxTCPPdu + 1) return -1;
  return stream.size() < 6 + length ? 0 : static_cast<int32_t>(6 + length);
}

bool AnswersTCPRequest(std::string_view request, std::string_view reply) {
  if (request.size() < 8 || reply.size() < 8) return false;
  const auto q = [&](size_t i) { return static_cast<uint8_t>(request[i]); };
  const auto r = [&](size_t i) { return static_cast<uint8_t>(reply[i]); };
  if (r(0) != q(0) || r(1) != q(1) || r(2) != 0 || r(3) != 0 || r(6) != q(6)) return false;
  const uint8_t function = q(7);
  if (function < 0x80 && r(7) == (function | 0x80)) return true;
  if (r(7) != function) return false;
  // Every write carries the same transaction id: the address tells this write's answer from a
  // late one to an earlier write.
  if (function == 5 || function == 6 || function == 15 || function == 16)
    return request.size() >= 10 && reply.size() >= 10 && r(8) == q(8) && r(9) == q(9);
  return true;
}

ReplyCheck CheckTCPReply(std::string_view request, std::string_view t) {
  ReplyCheck check;
  ReplyBlock& reply = check.Reply;
  reply.ErrorCode = kReplyChecksumOrUnknown;
  if (!AnswersTCPRequest(request, t)) return check;
  // A reply cut short, or with more after it, is no frame: its missing bytes would read as
  // zeros, a wrong value rather than none.
  if (TCPFrameSize(t) != static_cast<int32_t>(t.size())) return check;
  const PduFit fit = FitReply(request.substr(7), t.substr(7));
  if (fit == PduFit::Wrong) return check;

  const auto* b = reinterpret_cast<const uint8_t*>(t.data());
  reply.Address = 0;
  reply.Function = b[7] & 0x7F;
  if (fit == PduFit::Exception) {
    reply.ErrorCode = b[8] != 0 ? b[8] : kReplyChecksumOrUnknown;
  } else {
    reply.ErrorCode = kReplyNoError;
    reply.DataLength = static_cast<int32_t>(t.size() - 8);
    std::copy(b + 8, b + t.size(), reply.Data.begin());
  }
  check.Accepted = check.Shown = true;
  return check;
}

}  // namespace qmb
