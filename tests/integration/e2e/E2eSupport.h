// The pieces the end-to-end tests put around the driver: the pymodbus slave as a child process,
// a serial line between the driver and the slave that can misbehave on request, a host that
// drives a driver object as hosts do, and what the slave serves and logs.
#pragma once

#include <sys/types.h>

#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/QorModBusCom.h"
#include "platform/Variant.h"
#include "sites/EngineRegistry.h"

namespace qmb::e2e {

// ---- Modbus arithmetic of our own, to check the driver's frames against ----

uint16_t Crc16(std::string_view bytes);
// The bytes with their CRC appended, low byte first.
std::string WithCrc(std::string bytes);
uint8_t Lrc(std::string_view bytes);
std::string FromHex(std::string_view hex);
std::string ToHex(std::string_view bytes);  // "01 03 02 ..."

// ---- What the slave serves (see e2e_slave.py) ----

// The value a read of this point address gives, as the driver reports it: "TRUE"/"FALSE" or
// the register in decimal. On Modbus/TCP every address reads unit 1's data.
std::string ServedValue(const std::string& address);

// One line of the slave's log.
struct SlaveRecord {
  std::string type;  // REQUEST or WRITE
  std::string unit;  // "1", "2" or "tcp"
  int function = 0;
  int address = 0;     // wire address
  std::string detail;  // count=N or values=V1,V2
};
std::vector<SlaveRecord> ReadSlaveLog(const std::string& path);
int CountRequests(const std::string& logPath, const std::string& unit, int function, int address);
// The writes the slave received, as "unit=U function=F address=A values=V" lines.
std::vector<std::string> SlaveWrites(const std::string& logPath);

// ---- The slave process ----

// e2e_slave.py as a child process, ready once it printed its "ready" line; stopped by its own
// process id (SIGTERM, then SIGKILL after two seconds).
class SlaveProcess {
 public:
  explicit SlaveProcess(const std::vector<std::string>& arguments);
  ~SlaveProcess();
  SlaveProcess(const SlaveProcess&) = delete;
  SlaveProcess& operator=(const SlaveProcess&) = delete;

  bool Ready() const { return ready_; }
  const std::string& Output() const { return output_; }
  pid_t Pid() const { return pid_; }
  void Stop();

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
  std::string output_;
};

// ---- The serial line ----

// Two pseudo-terminal pairs and the wire between them: the driver opens one slave side (linked
// as its COM port), the pymodbus slave the other, and bytes are copied between the master sides
// on the test's own event loop. Both slave sides are also held open here, so either party can
// close and reopen its end (the driver's link reset, a slave restart) without the line going
// away. The wire can add noise and cut replies short, as a bad line does.
class SerialWire {
 public:
  SerialWire();
  ~SerialWire();
  SerialWire(const SerialWire&) = delete;
  SerialWire& operator=(const SerialWire&) = delete;

  const std::string& DriverDevice() const { return driverDevice_; }
  const std::string& SlaveDevice() const { return slaveDevice_; }

  // Faults for the next exchange only: the reply to the driver's next request gets noise in
  // front of it, or is cut after keep bytes (the rest of it never reaches the driver).
  void NoiseBeforeNextReply(const std::string& noise) { noiseArmed_ = noise; }
  void CutNextReply(size_t keep) { cutArmed_ = keep; }
  // Every request comes back to the driver as it goes out, before the slave's reply: an RS-485
  // adapter that hears its own transmission.
  void EchoRequests(bool on) { echo_ = on; }
  // Bytes to the driver now, whatever it is doing.
  void SendToDriver(const std::string& bytes);

  // Requests queued for a slave that is not running are thrown away before one starts.
  void FlushSlaveInput();
  // Puts a request on the line to the slave and waits for a reply that begins with the
  // expected bytes; the driver sees none of it. Only while the driver is quiet.
  bool Probe(const std::string& request, const std::string& replyPrefix, int milliseconds = 3000);

 private:
  void DriverSent();
  void SlaveSent();
  static void WriteAll(int fd, const std::string& bytes);

  int driverMaster_ = -1;
  int driverHold_ = -1;
  int slaveMaster_ = -1;
  int slaveHold_ = -1;
  std::string driverDevice_;
  std::string slaveDevice_;
  std::unique_ptr<QSocketNotifier> driverNotifier_;
  std::unique_ptr<QSocketNotifier> slaveNotifier_;

  std::string noiseArmed_;
  size_t cutArmed_ = 0;
  bool echo_ = false;
  // The fault of the exchange in progress.
  std::string noise_;
  size_t cut_ = 0;
  size_t replyBytes_ = 0;
  bool probing_ = false;
  std::string probeReply_;
};

// ---- A Modbus/TCP relay ----

// Stands between the driver and the Modbus/TCP slave on a port of its own on 127.0.0.1: requests
// go through as they come; each reply of the slave goes on in the shape set, as a peer, a
// gateway or the network may deliver it.
class TcpRelay {
 public:
  enum class Shape {
    Whole,
    TwoPieces,   // header and PDU as two writes, 50 ms apart
    ByteByByte,  // one write a byte, 20 ms apart
    LateFirst,   // the previous reply again (as a late one would come), then this one
    Function4,   // a register read's reply with function 4 for 3
    OneByte,     // a register read's reply cut to one data byte, its header saying so
  };
  explicit TcpRelay(uint16_t slavePort);
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  uint16_t Port() const;
  void SetShape(Shape shape) { shape_ = shape; }

 private:
  void Accept();
  void FromSlave();
  void Deliver(const std::string& reply);

  uint16_t slavePort_;
  std::unique_ptr<QTcpServer> server_;
  QTcpSocket* driver_ = nullptr;  // owned by the server
  std::unique_ptr<QTcpSocket> slave_;
  std::string fromSlave_;
  std::string lastReply_;
  Shape shape_ = Shape::Whole;
};

// ---- A host ----

// A command's outcome as a host reads it.
struct Outcome {
  std::string status;             // TRUE, FALSE, LOCKED, or empty for a raw reply
  std::string error;              // COMMANDERROR
  std::vector<std::string> data;  // result elements (from index 3 of a TRUE reply)
  std::string bytes;              // a raw (byte array) reply
  bool raw = false;
  bool finished = false;
};

// One driver object driven as a host drives it: a command is sent again while the driver
// answers "Waiting for driver..." (it was dropped), then COMMANDSTATUS is asked until the
// command ends.
class Host {
 public:
  explicit Host(TMainForm& main) : client(main) {}

  // Version check, OpenSite, then COMMANDSTATUS until the connect ends; true when it succeeded.
  bool Open(const std::vector<std::string>& siteKeys);
  Outcome Run(const std::vector<std::string>& params, int milliseconds = 20000);

  // The same, one step at a time, for several hosts at once: Start, then Step until it gives
  // true.
  void Start(const std::vector<std::string>& params);
  bool Step();
  const Outcome& Last() const { return outcome_; }

  // The engine's record of a point-table key; nullptr when the table has no such key.
  const TPointData* Point(const std::string& key) const;

  TQorModBusCom client;

 private:
  const Outcome& Finish(int milliseconds);

  std::vector<std::string> params_;
  bool accepted_ = false;
  Outcome outcome_;
};

Variant List(const std::vector<std::string>& elements);

}  // namespace qmb::e2e
