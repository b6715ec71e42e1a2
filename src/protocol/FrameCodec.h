// The Modbus frame codec: hex text, LRC and CRC-16, and the checks that take a reply apart into a
// reply block. Pure values in and out; every write into a fixed buffer is bounded. It knows
// nothing of the window: a check only returns its outcome, and the engine decides what to show.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace qmb {

// The longest serial request frame: address, function, data and checksum.
inline constexpr size_t kCommandBufferSize = 256;
inline constexpr size_t kReceiveBufferSize = 1000;
inline constexpr size_t kReplyDataSize = 1024;

// Error codes of the reply block: 0 no error, 1-254 the exception code the slave sent, 255 our
// own code for a checksum failure or an unexpected function code.
inline constexpr int32_t kReplyNoError = 0;
inline constexpr int32_t kReplyChecksumOrUnknown = 255;

// The framings a site speaks; each has its entry in the framing table (protocol/Framing.h).
// RTUOverTCP: RTU frames (slave address, CRC) on a TCP stream, as serial device servers pass them.
enum class Framing { ASCII, RTU, TCP, RTUOverTCP };
// The serial checks take the two serial framings.
using SerialFraming = Framing;
// The checksum after a serial request's bytes: CRC-16 (two bytes) in RTU, on a line or a TCP
// stream, LRC (one) in ASCII; none in a Modbus/TCP frame, whose stream carries its own.
constexpr size_t ChecksumSize(Framing framing) {
  return framing == Framing::RTU || framing == Framing::RTUOverTCP ? 2
         : framing == Framing::ASCII                               ? 1
                                                                   : 0;
}

// Two upper-case hex digits, high nibble first.
std::string ByteToHex(uint8_t value);
// Four upper-case hex digits, most significant first.
std::string WordToHex(uint16_t value);

// Hex text to bytes, two characters a byte from the first; a trailing odd character is ignored.
// Only "0123456789ABCDEF" are digits: any other character (lower case included) counts as -1,
// so a bad pair yields a wrong byte rather than an error, and the checksum catches it.
// Writes at most capacity bytes and gives how many it wrote.
size_t HexToBytes(std::string_view hex, uint8_t* out, size_t capacity);
std::string HexToBytes(std::string_view hex);
// Bytes to their hex text, two upper-case digits a byte.
std::string BytesToHex(std::string_view bytes);

// Two's complement of the byte sum; a count of 0 or less gives 0.
uint8_t CalcLRC(const uint8_t* bytes, int32_t count);
// CRC-16/MODBUS (start FFFF, reflected polynomial A001, no final XOR); sent low byte first.
uint16_t CalcCRC(const uint8_t* bytes, size_t count);

// Takes the hex text out of received ASCII characters: line ends dropped, everything through
// the first ":" dropped, other control characters made blanks, outer blanks trimmed.
std::string CleanASCIIReply(std::string_view received);

// Reply bytes as the serial line delivered them, held by the site engine for the exchange in
// flight.
struct ReceiveBuffer {
  std::array<uint8_t, kReceiveBufferSize> Bytes{};
  int32_t Count = 0;  // where the next byte goes

  void Clear() { *this = ReceiveBuffer{}; }
  // A reply longer than the buffer wraps to its start instead of running past the end.
  void Store(uint8_t byte);
  // Clear, then Store of each byte, in one copy.
  void Assign(std::string_view bytes);
  // The first Count bytes.
  std::string Text() const;
  // Removes the first count bytes (an echo in front of the reply); the rest moves to the start.
  void DropFront(int32_t count);
};

// The outcome of the last reply check. Data starts with the byte after the function code (the
// byte count of a read), so one register reads back as [count, high, low].
struct ReplyBlock {
  int32_t Address = 0;
  int32_t Function = 0;
  int32_t ErrorCode = kReplyNoError;
  std::array<uint8_t, kReplyDataSize> Data{};
  int32_t DataLength = 0;

  void Clear() { *this = ReplyBlock{}; }
};

// What a reply check found. Shown: the site window's Response box is to show the reply block
// (a serial reply of four bytes or more, accepted or not; a Modbus/TCP reply only when accepted).
// Start: where the reply begins in the bytes checked, after the echo of the request that an
// RS-485 adapter hearing its own transmission puts in front of it, or after a late frame (0
// without either).
struct ReplyCheck {
  bool Accepted = false;
  bool Shown = false;
  int32_t Start = 0;
  ReplyBlock Reply;
};

// Largest PDU whose length (+ unit id) the Modbus/TCP header can announce for our peers.
inline constexpr size_t kMaxTCPPdu = 253;

// The size of the normal reply PDU (function code and data) that a request PDU asks for, where
// its function fixes it: a read's byte count and the bytes for the quantity read, a single
// write's echo of address and value, a multiple write's echo of address and quantity. 0 for
// other functions and for a request too short or too long for its function (a raw request):
// those replies are taken on their function and checksum alone.
size_t ReplyPduSize(std::string_view request);

// A serial reply checked against the request it is to answer (address, function, data and
// checksum: the request's frame bytes, decoded from hex text in ASCII). Accepted: the request's
// slave and function with a good checksum and the shape the request asks for (a read's byte count
// for the quantity read, a write's echo of its address), or the slave's exception to that
// function (error code 1-255, its checksum good too). A leading copy of the request is an
// adapter's echo and is skipped when more follows; a lone copy of a read request is never its
// reply. Shown for every reply of four bytes or more.
ReplyCheck CheckSerialReply(SerialFraming framing, std::string_view request,
                            std::string_view received);

// What follows an adapter's echo of the request sent: an RS-485 adapter that hears its own
// transmission puts the request's bytes in front of the reply. Received as it is when it does
// not start with the request, or holds nothing after it (the echo alone, or a write's reply
// that carries the same bytes as its request).
std::string_view StripEcho(std::string_view sent, std::string_view received);

// The bytes that received ASCII characters decode to, ready for CheckSerialReply: the echo of
// the request's line is dropped first, and of two frames in one read the last is taken.
std::string DecodeASCIIReply(std::string_view sentLine, std::string_view received);

// The size of the Modbus/TCP frame at the start of a stream, by the length in its header: 0
// while it is incomplete, -1 when the header cannot start a frame (protocol id not 0, a
// length no frame has), so the stream has lost its step.
int32_t TCPFrameSize(std::string_view stream);
// Whether a whole Modbus/TCP frame is the answer to a request frame: the request's
// transaction id, protocol 0, unit id, and its function or that function's exception; a
// write's answer also names the written address. A reply to an earlier request is not.
bool AnswersTCPRequest(std::string_view request, std::string_view reply);
// Checks a whole Modbus/TCP frame against the request frame: an answer to it (above) whose
// length field and shape fit the request, or an exception reply (error code 1-255). Refused
// with error code 255 otherwise. Shown only when accepted.
ReplyCheck CheckTCPReply(std::string_view request, std::string_view reply);

// The transaction ids of Modbus/TCP reads come from a generator seeded from the clock, so two
// engines (or a restarted one) do not walk the same sequence. Ids stay below FFFF.
class TransactionIds {
 public:
  TransactionIds();
  explicit TransactionIds(uint32_t randomSeed);
  uint16_t Next();

 private:
  std::mt19937 random_;
};

}  // namespace qmb
