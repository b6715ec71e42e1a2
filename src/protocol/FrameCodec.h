// The Modbus frame codec of a site engine: hex text, LRC and CRC-16, request frames in the three
// framings, and the checks that take a reply apart into a reply block. The codec owns the
// engine's command and receive buffers; every write into them is bounded. It knows nothing of
// the window: a check only returns its outcome, and the engine decides what to show.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace qmb {

inline constexpr size_t kCommandBufferSize = 256;
inline constexpr size_t kReceiveBufferSize = 1000;
inline constexpr size_t kReplyDataSize = 1024;

// Error codes of the reply block: 0 no error, 1-254 the exception code the slave sent, 255 our
// own code for a checksum failure or an unexpected function code.
inline constexpr int32_t kReplyNoError = 0;
inline constexpr int32_t kReplyChecksumOrUnknown = 255;

// The two serial framings. Modbus/TCP has its own frames and check.
enum class SerialFraming { ASCII, RTU };
// The checksum after the request's bytes: CRC-16 (two bytes) in RTU, LRC (one) in ASCII.
constexpr size_t ChecksumSize(SerialFraming framing) {
  return framing == SerialFraming::RTU ? 2 : 1;
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

// Two's complement of the byte sum; a count of 0 or less gives 0.
uint8_t CalcLRC(const uint8_t* bytes, int32_t count);
// CRC-16/MODBUS (start FFFF, reflected polynomial A001, no final XOR); sent low byte first.
uint16_t CalcCRC(const uint8_t* bytes, size_t count);

// Takes the hex text out of received ASCII characters: line ends dropped, everything through
// the first ":" dropped, other control characters made blanks, outer blanks trimmed.
std::string CleanASCIIReply(std::string_view received);

// The binary form of the last serial request built: address, function, data, checksum.
struct CommandBuffer {
  std::array<uint8_t, kCommandBufferSize> Bytes{};
  int32_t Length = 0;

  void Clear() { *this = CommandBuffer{}; }
};

// Reply bytes as the serial line delivered them (RTU) or as decoded from the hex text (ASCII).
struct ReceiveBuffer {
  std::array<uint8_t, kReceiveBufferSize> Bytes{};
  int32_t Count = 0;  // where the next byte goes

  void Clear() { *this = ReceiveBuffer{}; }
  // A reply longer than the buffer wraps to its start instead of running past the end.
  void Store(uint8_t byte);
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
// Start: where the reply begins in the receive buffer, after the echo of the request that an
// RS-485 adapter hearing its own transmission puts in front of it (0 without one).
struct ReplyCheck {
  bool Accepted = false;
  bool Shown = false;
  int32_t Start = 0;
  ReplyBlock Reply;
};

class FrameCodec {
 public:
  // The transaction ids of Modbus/TCP reads come from a generator seeded from the clock, so two
  // engines (or a restarted one) do not walk the same sequence.
  FrameCodec();
  explicit FrameCodec(uint32_t randomSeed);

  // Serial requests given as hex text (address, function, data; no ":" and no checksum). Both
  // fill the command buffer with the binary request and its checksum. A text whose bytes and
  // checksum would not fit the command buffer is refused: nothing is framed, the buffer stays as
  // it was, and the result is empty / false.
  // ASCII gives the wire text: ":" + the text as given + LRC + CR LF.
  std::string FrameASCIIRequest(std::string_view hexText);
  bool FrameRTURequest(std::string_view hexText);
  // The command buffer's Length bytes, as RTU puts them on the line.
  std::string CommandBytes() const;

  // Modbus/TCP frames: the seven-byte header, then the PDU (function code and data). A read
  // draws a fresh transaction id (kept as TCPTransactionId); a write always carries AA 55.
  // Both give empty text for a PDU that a Modbus/TCP frame cannot carry (over 253 bytes).
  std::string BuildTCPReadFrame(std::string_view pdu);
  static std::string BuildTCPWriteFrame(std::string_view pdu);

  // Replaces the received ASCII characters in the receive buffer by the bytes their hex text
  // decodes to, ready for CheckReply. A leading echo of the request's line, when more follows
  // it, is dropped first.
  void DecodeASCIIReply();

  // Checks the serial reply in the receive buffer against the request in the command buffer.
  // Accepted: the request's slave and function with a good checksum and the shape the request
  // asks for (a read's byte count for the quantity read, a write's echo of its address), or the
  // slave's exception to that function (error code 1-255, its checksum good too). A leading copy
  // of the request is an adapter's echo and is skipped when more follows; a lone copy of a read
  // request is never its reply. Shown for every reply of four bytes or more.
  ReplyCheck CheckReply(SerialFraming framing) const;

  // The size of the Modbus/TCP frame at the start of a stream, by the length in its header: 0
  // while it is incomplete, -1 when the header cannot start a frame (protocol id not 0, a
  // length no frame has), so the stream has lost its step.
  static int32_t TCPFrameSize(std::string_view stream);
  // Whether a whole Modbus/TCP frame is the answer to a request frame: the request's
  // transaction id, protocol 0, unit id, and its function or that function's exception; a
  // write's answer also names the written address. A reply to an earlier request is not.
  static bool AnswersTCPRequest(std::string_view request, std::string_view reply);
  // Checks a whole Modbus/TCP frame against the request frame: an answer to it (above) whose
  // length field and shape fit the request, or an exception reply (error code 1-255). Refused
  // with error code 255 otherwise. Shown only when accepted.
  static ReplyCheck CheckTCPReply(std::string_view request, std::string_view reply);

  CommandBuffer Command;
  ReceiveBuffer Receive;

  uint16_t TCPTransactionId = 0;  // id of the last Modbus/TCP read framed

 private:
  bool FrameSerialRequest(std::string_view hexText, SerialFraming framing);

  std::mt19937 random_;
};

}  // namespace qmb
