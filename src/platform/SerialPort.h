// The serial port as the engine needs it: numbered COM ports, line settings, modem lines, text
// triggers and the available-data event. Events are delivered on the loop's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace qmb {

// Raised by port operations that the port refuses (not open, device gone, setting refused).
class SerialError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class SerialParity { None, Odd, Even };

enum class FlowControlState {
  Off,
  OnNotHolding,
  HoldingForDsr,
  HoldingForCts,
  HoldingForDcd,
  HoldingXoffSent,
  HoldingXoffReceived,
  HoldingXoffBoth,
};

// Traffic and modem-line changes, for the status lights.
struct SerialLineState {
  bool dcd = false;
  bool cts = false;
  bool dsr = false;
};

class SerialPort {
 public:
  static constexpr int kOutputBufferSize = 8192;
  static constexpr int kMaxTriggerLength = 21;

  virtual ~SerialPort() = default;

  // Settings may be changed before or after opening; on an open port they apply at once.
  virtual void SetPortNumber(int number) = 0;
  virtual int PortNumber() const = 0;
  virtual void SetBaudRate(int32_t baud) = 0;
  virtual int32_t BaudRate() const = 0;
  virtual void SetDataBits(int bits) = 0;  // 7 or 8
  virtual int DataBits() const = 0;
  virtual void SetStopBits(int bits) = 0;  // 1 or 2
  virtual int StopBits() const = 0;
  virtual void SetParity(SerialParity parity) = 0;
  virtual SerialParity Parity() const = 0;
  // RS-485: RTS is raised only while bytes are transmitted.
  virtual void SetRs485(bool on) = 0;
  virtual void SetRts(bool on) = 0;
  virtual void SetDtr(bool on) = 0;

  // Claims the device of the port number; raises SerialError with a clear text when it cannot.
  virtual void Open() = 0;
  // Releases the device; all triggers are gone with it.
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  // Bytes that can be queued now (of an 8192-byte output buffer).
  virtual int OutputFree() const = 0;
  // Queue bytes in order; SerialError when the port is not open.
  virtual void PutByte(uint8_t byte) = 0;
  virtual void PutBlock(const std::string& bytes) = 0;
  // The next received byte; SerialError when none is waiting.
  virtual uint8_t GetByte() = 0;

  virtual SerialLineState Lines() const = 0;
  virtual FlowControlState FlowState() const = 0;
  virtual void DisableFlowControl() = 0;

  // Watches the received stream for text (at most 21 characters, SerialError otherwise),
  // matched across read boundaries; the handle (positive) is reported by OnTrigger.
  virtual uint16_t AddTrigger(const std::string& text, bool ignoreCase) = 0;
  virtual void RemoveTrigger(uint16_t handle) = 0;
  virtual void RemoveAllTriggers() = 0;
  // OnAvailable fires once at least this many received bytes wait.
  virtual void SetAvailableThreshold(int bytes) = 0;

  // Events. OnAvailable's handler must take exactly count bytes with GetByte. OnFailure reports
  // a port that failed while open (device unplugged, far end gone): it has been closed.
  std::function<void(uint16_t count)> OnAvailable;
  std::function<void(uint16_t handle)> OnTrigger;
  std::function<void(const std::string& reason)> OnFailure;
  // Traffic (received / transmitted bytes) and modem-line changes, for the status lights.
  std::function<void(bool received, bool transmitted)> OnTraffic;
  std::function<void(const SerialLineState& lines)> OnLinesChanged;
};

class SerialPortFactory {
 public:
  virtual ~SerialPortFactory() = default;
  virtual std::unique_ptr<SerialPort> CreatePort() = 0;
  // The port's device exists and can be claimed exclusively now (a port held by another program
  // is not available). False for 0; reason, when given, then says why in an operator's words.
  virtual bool PortAvailable(int number, std::string* reason = nullptr) = 0;
};

}  // namespace qmb
