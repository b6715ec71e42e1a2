#include "support/FakeSlave.h"

#include <algorithm>

#include "protocol/FrameCodec.h"

namespace qmb::test {

namespace {

uint16_t Word(const std::string& s, size_t at) {
  return static_cast<uint16_t>((static_cast<uint8_t>(s[at]) << 8) |
                               static_cast<uint8_t>(s[at + 1]));
}

void PutWord(std::string& s, uint16_t w) {
  s.push_back(static_cast<char>(w >> 8));
  s.push_back(static_cast<char>(w & 0xFF));
}

}  // namespace

FakeSlave::FakeSlave(VirtualLoop& loop, FakeSerialPort& port, Framing framing, int address)
    : Addresses{address}, loop_(loop), port_(&port), framing_(framing) {
  port.OnWrite = [this](uint8_t byte) { OnSerialByte(byte); };
}

FakeSlave::FakeSlave(VirtualLoop& loop, FakeTcpClient& client, Framing framing, int address)
    : Addresses{address}, loop_(loop), client_(&client), framing_(framing) {
  client.OnSend = [this](const std::string& frame) {
    if (framing_ == Framing::RTU)
      OnTcpRtuSend(frame);
    else
      OnTcpSend(frame);
  };
}

std::string FakeSlave::RtuFrame(uint8_t address, const std::string& pdu) {
  std::string frame = static_cast<char>(address) + pdu;
  const uint16_t crc = CalcCRC(reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
  frame.push_back(static_cast<char>(crc & 0xFF));
  frame.push_back(static_cast<char>(crc >> 8));
  return frame;
}

int FakeSlave::FramesTo(int address, int function) const {
  return static_cast<int>(std::count_if(Frames.begin(), Frames.end(), [&](const std::string& f) {
    return f.size() >= 2 && static_cast<uint8_t>(f[0]) == address &&
           (function < 0 || static_cast<uint8_t>(f[1]) == function);
  }));
}

namespace {

template <typename Table>
bool AllPresent(const Table& table, int from, int count) {
  for (int i = 0; i < count; ++i)
    if (table.find(from + i) == table.end()) return false;
  return true;
}

std::string Refused(uint8_t function, int code) {
  return {static_cast<char>(function | 0x80), static_cast<char>(code)};
}

}  // namespace

std::string FakeSlave::Answer(const std::string& pdu) {
  const uint8_t function = static_cast<uint8_t>(pdu[0]);
  const uint16_t address = Word(pdu, 1);
  const uint16_t operand = Word(pdu, 3);
  std::string reply(1, static_cast<char>(function));
  if (ExceptionCode) return Refused(function, ExceptionCode);
  switch (function) {
    case 1:
    case 2: {
      const auto& bits = function == 1 ? Coils : Discrete;
      if (StrictAddresses && !AllPresent(bits, address, operand)) return Refused(function, 2);
      std::string bytes((operand + 7) / 8, '\0');
      for (int i = 0; i < operand; ++i) {
        const auto it = bits.find(address + i);
        if (it != bits.end() && it->second)
          bytes[static_cast<size_t>(i / 8)] |= static_cast<char>(1 << (i % 8));
      }
      reply.push_back(static_cast<char>(bytes.size()));
      return reply + bytes;
    }
    case 3:
    case 4: {
      const auto& registers = function == 3 ? Holding : Input;
      if (StrictAddresses && !AllPresent(registers, address, operand)) return Refused(function, 2);
      reply.push_back(static_cast<char>(2 * operand));
      for (int i = 0; i < operand; ++i) {
        const auto it = registers.find(address + i);
        PutWord(reply, it == registers.end() ? 0 : it->second);
      }
      return reply;
    }
    case 5:
      Coils[address] = operand == 0xFF00;
      return pdu.substr(0, 5);
    case 6:
    case 16:
      // Presets from the register count on (16); a single register is its own value (06).
      if (StrictAddresses && !AllPresent(Holding, address, function == 6 ? 1 : operand))
        return Refused(function, 2);
      for (int i = 0; i < (function == 6 ? 1 : operand); ++i)
        Holding[address + i] = function == 6 ? operand : Word(pdu, 6 + 2 * i);
      return pdu.substr(0, 5);
    default:
      reply[0] = static_cast<char>(function | 0x80);
      reply.push_back(1);
      return reply;
  }
}

void FakeSlave::SendSerial(const std::string& request, uint8_t address, const std::string& pdu) {
  std::string frame(1, static_cast<char>(address));
  frame += pdu;
  std::string wire;
  if (framing_ == Framing::RTU) {
    wire = RtuFrame(address, pdu);
  } else {
    wire.push_back(':');
    for (char c : frame) wire += ByteToHex(static_cast<uint8_t>(c));
    wire += ByteToHex(CalcLRC(reinterpret_cast<const uint8_t*>(frame.data()),
                              static_cast<int32_t>(frame.size())));
    wire += "\r\n";
  }
  if (Wire) wire = Wire(request, wire);
  if (ByteGapMs <= 0) {
    port_->ReceiveIn(ReplyDelayMs, wire);
    return;
  }
  for (size_t i = 0; i < wire.size(); ++i)
    port_->ReceiveIn(ReplyDelayMs + static_cast<int64_t>(i) * ByteGapMs, wire.substr(i, 1));
}

void FakeSlave::OnSerialByte(uint8_t byte) {
  pending_.push_back(static_cast<char>(byte));
  std::string frame;
  bool checksumOk = false;
  if (framing_ == Framing::RTU) {
    // Every request of functions 1 to 6 is 8 bytes; 15 and 16 carry a byte count and the data.
    const bool multiple = pending_.size() >= 2 && (pending_[1] == 15 || pending_[1] == 16);
    if (pending_.size() < (multiple ? 7u : 8u)) return;
    const size_t size = multiple ? 9 + static_cast<uint8_t>(pending_[6]) : 8;
    if (pending_.size() < size) return;
    frame = pending_.substr(0, size - 2);
    const uint16_t crc = CalcCRC(reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
    checksumOk = static_cast<uint8_t>(pending_[size - 2]) == (crc & 0xFF) &&
                 static_cast<uint8_t>(pending_[size - 1]) == (crc >> 8);
  } else {
    if (byte != '\n') return;
    const auto colon = pending_.find(':');
    if (colon == std::string::npos || pending_.size() < colon + 5) {
      pending_.clear();
      return;
    }
    const std::string hex = pending_.substr(colon + 1, pending_.size() - colon - 3);
    frame = HexToBytes(hex);
    if (!frame.empty()) {
      const uint8_t lrc = static_cast<uint8_t>(frame.back());
      frame.pop_back();
      checksumOk = lrc == CalcLRC(reinterpret_cast<const uint8_t*>(frame.data()),
                                  static_cast<int32_t>(frame.size()));
    }
  }
  const std::string pending = std::move(pending_);
  pending_.clear();
  if (frame.size() < 6) return;
  if (!checksumOk) {
    ++BadChecksums;  // a real slave ignores such a frame
    return;
  }
  if (TakeRequest(frame))
    SendSerial(pending, static_cast<uint8_t>(frame[0]), Answer(frame.substr(1)));
}

bool FakeSlave::TakeRequest(const std::string& request) {
  Frames.push_back(request);
  FrameTimes.push_back(loop_.NowMs());
  if (Addresses.count(static_cast<uint8_t>(request[0])) == 0) return false;
  ++Requests;
  RequestPdus.push_back(request.substr(1));
  return !Silent;
}

void FakeSlave::OnTcpSend(const std::string& frame) {
  if (frame.size() < 12) return;
  Frames.push_back(frame.substr(6));
  FrameTimes.push_back(loop_.NowMs());
  ++Requests;
  RequestPdus.push_back(frame.substr(7));
  if (Silent) return;
  const std::string reply = Answer(frame.substr(7));
  std::string out = frame.substr(0, 4);
  PutWord(out, static_cast<uint16_t>(reply.size() + 1));
  out.push_back(frame[6]);
  out += reply;
  SendTcp(frame, out);
}

void FakeSlave::OnTcpRtuSend(const std::string& frame) {
  // One RTU request a send, as the engine writes it; a bad CRC is ignored as on a line.
  if (frame.size() < 8 ||
      RtuFrame(static_cast<uint8_t>(frame[0]), frame.substr(1, frame.size() - 3)) != frame) {
    ++BadChecksums;
    return;
  }
  const std::string request = frame.substr(0, frame.size() - 2);
  if (TakeRequest(request))
    SendTcp(frame, RtuFrame(static_cast<uint8_t>(frame[0]), Answer(request.substr(1))));
}

void FakeSlave::SendTcp(const std::string& request, const std::string& reply) {
  const std::string wire = Wire ? Wire(request, reply) : reply;
  const size_t chunk = ChunkBytes > 0 ? ChunkBytes : wire.size();
  for (size_t at = 0; at < wire.size(); at += chunk) {
    const int64_t delay = ReplyDelayMs + static_cast<int64_t>(at / chunk) * 10;
    loop_.ScheduleIn(
        delay, [client = client_, part = wire.substr(at, chunk)] { client->DeliverData(part); });
  }
}

}  // namespace qmb::test
