// The framing table: one entry for each framing a site speaks (ASCII, RTU, Modbus/TCP, and RTU
// frames on a TCP stream), so that the code that sends a request and waits for its reply never
// asks which framing it is in. Each entry builds a request's frame, says how many bytes a
// received buffer still lacks before it holds a whole reply, takes an adapter's echo off, turns
// what was received into the reply frame and checks that frame against its request; the entries
// that travel on a TCP stream also say where a frame ends in it. Requests and replies are values;
// no entry keeps any state between calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/FrameCodec.h"

namespace qmb {

// Every Modbus/TCP write carries this transaction id; the written address tells its answer
// from a late one to an earlier write.
inline constexpr uint16_t kTCPWriteTransactionId = 0xAA55;

// One request as a value: the slave (unit) address, the function code and its data.
struct ModbusRequest {
  std::string Bytes;           // address, function, data; no checksum
  uint16_t TransactionId = 0;  // Modbus/TCP only
  // A raw request as the user typed it (hex digits): ASCII puts it on the line as given, a
  // trailing odd digit or a lower-case one included, so the device sees what was typed. Empty
  // for requests built from values.
  std::string Text;
  // Modbus/TCP: the host the request goes to ("" for the site's address).
  std::string Host;
  // Modbus/TCP: the unit goes out as the request carries it, whatever the site's unit rule (the
  // typed interface always addresses the unit its point's prefix names).
  bool KeepUnit = false;

  uint8_t Unit() const { return Bytes.empty() ? 0 : static_cast<uint8_t>(Bytes[0]); }
  uint8_t Function() const { return Bytes.size() < 2 ? 0 : static_cast<uint8_t>(Bytes[1]); }
  // Function code and data: what a Modbus/TCP frame carries after its header.
  std::string_view Pdu() const { return std::string_view(Bytes).substr(Bytes.empty() ? 0 : 1); }
};

// A request typed as hex text (address, function, data; no ":" and no checksum).
ModbusRequest RequestFromHex(std::string_view hexText);

struct FramingEntry {
  Framing Kind;
  // As the site window's Protocol label shows it.
  const char* Name;
  // Its replies end at a line end (CR LF), which the link can watch for; the others end at the
  // line's silence (RTU) or by the length in their header (Modbus/TCP).
  bool EndsAtLineEnd;
  // Frames are told apart by the line's silence between them (3.5 characters in RTU): the next
  // request waits that long after a reply.
  bool GapBetweenFrames;
  // The request as it goes on the wire; empty for one the framing cannot carry (a serial
  // request over 256 bytes with its checksum, a PDU over 253 bytes).
  std::string (*Frame)(const ModbusRequest& request);
  // The request's bytes that a serial reply check compares against (its binary frame with the
  // checksum); the frame itself on Modbus/TCP.
  std::string (*CheckedBytes)(const ModbusRequest& request);
  // Bytes still missing before `received` (as the link delivered it) holds a whole reply to the
  // request: 0 when it does, a lower bound otherwise (an ASCII line is whole at its CR LF), -1
  // when the bytes can never become one (a Modbus/TCP stream out of step).
  int32_t (*Missing)(const ModbusRequest& request, std::string_view received);
  // Received bytes as the reply check takes them: in ASCII the hex text decoded, after the
  // echo of the request's line and any earlier frame were dropped; as they are otherwise.
  std::string (*Decode)(const ModbusRequest& request, std::string_view received);
  // The decoded reply against its request.
  ReplyCheck (*Check)(const ModbusRequest& request, std::string_view reply);
  // How logs name the device a request goes to ("slave 3", "unit 255").
  const char* Device;
  // The unit every request carries, whatever slave its point names: FF on Modbus/TCP, where the
  // design sends every request to unit FF unless the site takes the unit from the point
  // (TCPUNIT=POINT); -1 where the point's slave is the device's address.
  int32_t FixedUnit;
  // A raw request (slave, function and data, as typed) goes out in this framing.
  bool RawRequests;
  // On a TCP stream, given the request frame in flight (`sent`, empty when none): the size of the
  // frame at the start of `stream` (0 while it is incomplete, -1 when the stream is out of step
  // and its bytes cannot be told apart), and whether a whole frame answers the request. Null for
  // the serial framings.
  int32_t (*StreamFrameSize)(std::string_view sent, std::string_view stream);
  bool (*Answers)(std::string_view sent, std::string_view frame);
  // A reply tells itself from a late reply to an earlier request (Modbus/TCP's transaction id).
  // Where it cannot, a stream on which a request went unanswered is connected again before the
  // next one, so that the late reply is never taken for the next request's.
  bool TellsLateReplies;
  // The bits of a character on a serial line: ASCII's hex text takes 7, binary frames take 8.
  int32_t DataBits;

  // Requests travel on a TCP stream to a host: a point's address may name the host ("[host]-")
  // and needs no slave prefix, and there is no line to reset.
  bool OnStream() const { return StreamFrameSize != nullptr; }
  // Slave 0 addresses every device on a serial line at once: a write to it goes unanswered, and
  // a read from it is refused.
  bool Broadcasts() const { return !OnStream(); }
};

const FramingEntry& FramingFor(Framing framing);

}  // namespace qmb
