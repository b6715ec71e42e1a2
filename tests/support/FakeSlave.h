// A Modbus slave on the fake serial port or the fake TCP client, answering functions 1 to 6
// from its own tables in virtual time, so engine tests can talk to a device.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/FakeLinks.h"
#include "support/VirtualLoop.h"

namespace qmb::test {

class FakeSlave {
 public:
  enum class Framing { ASCII, RTU, TCP };

  // Serial: answers what the engine writes on the port.
  FakeSlave(VirtualLoop& loop, FakeSerialPort& port, Framing framing, int address = 1);
  // Modbus/TCP: answers what the engine sends on the client (any unit id). With Framing::RTU,
  // RTU frames on the connection as a serial device server passes them, for its Addresses.
  FakeSlave(VirtualLoop& loop, FakeTcpClient& client, Framing framing = Framing::TCP,
            int address = 1);

  std::map<int, uint16_t> Holding, Input;  // by wire address (point number - 1)
  std::map<int, bool> Coils, Discrete;
  std::set<int> Addresses;  // the serial slave addresses this device answers to
  int64_t ReplyDelayMs = 20;
  // When above 0, a serial reply goes out one byte at a time, this far apart.
  int64_t ByteGapMs = 0;
  // When above 0, a Modbus/TCP reply goes out in chunks of this many bytes, 10 ms apart.
  size_t ChunkBytes = 0;
  // What goes on the wire in answer to a request, both as on the wire (checksum or header
  // included): a device that answers wrongly, an adapter that echoes the request first, a late
  // reply in front of this one. Unset: the reply as built.
  std::function<std::string(const std::string& request, const std::string& reply)> Wire;
  bool Silent = false;    // requests are still recorded, but never answered
  int ExceptionCode = 0;  // when set, every request gets this exception
  // A read that touches an address missing from its table gets exception 2, as a real device's.
  bool StrictAddresses = false;
  int Requests = 0;                      // requests addressed to this slave
  std::vector<std::string> RequestPdus;  // function code and data of each such request
  // Every request seen on the line, whoever it was for: address, function code and data (unit
  // id first on TCP), and when its last byte arrived.
  std::vector<std::string> Frames;
  std::vector<int64_t> FrameTimes;
  int BadChecksums = 0;  // serial requests ignored for a wrong LRC or CRC

  // Requests seen for a slave address (serial) with the given function code.
  int FramesTo(int address, int function = -1) const;

 private:
  void OnSerialByte(uint8_t byte);
  void OnTcpSend(const std::string& frame);
  void OnTcpRtuSend(const std::string& frame);
  // Records a serial request (address, function, data); whether this slave answers it.
  bool TakeRequest(const std::string& request);
  // Address, reply PDU and CRC.
  static std::string RtuFrame(uint8_t address, const std::string& pdu);
  // The reply PDU (function code and data) for a request PDU.
  std::string Answer(const std::string& pdu);
  void SendSerial(const std::string& request, uint8_t address, const std::string& pdu);
  void SendTcp(const std::string& request, const std::string& reply);

  VirtualLoop& loop_;
  FakeSerialPort* port_ = nullptr;
  FakeTcpClient* client_ = nullptr;
  Framing framing_;
  std::string pending_;
};

}  // namespace qmb::test
