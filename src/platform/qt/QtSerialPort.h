// The serial port on QSerialPort: COM numbers mapped to Linux devices, an exclusive claim that
// also binds root and other paths to the same device, RS-485 by the kernel or by software RTS
// switching, text triggers and the available-data event, all on the thread that owns the port.
#pragma once

#include <QObject>
#include <QSerialPort>
#include <QTimer>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/SerialPort.h"
#include "platform/TextTriggers.h"

namespace qmb {

class QtSerialPort : public SerialPort {
 public:
  QtSerialPort();
  ~QtSerialPort() override;
  QtSerialPort(const QtSerialPort&) = delete;
  QtSerialPort& operator=(const QtSerialPort&) = delete;

  // The device a COM number names: the entry COMn in the first folder of links that holds it
  // ($QORMODBUS_COMDIR, the config file's COMDIR, /dev/qormodbus; see platform/ComPorts.h),
  // else /dev/ttyS(n-1). Empty for numbers below 1.
  static std::string DevicePath(int number);
  // Opens the device without touching its settings and checks that nobody holds it; the
  // descriptor stays open and locked when keepFd is given. False with a reason otherwise.
  static bool Claim(const std::string& path, int* keepFd, std::string& reason);

  void SetPortNumber(int number) override;
  int PortNumber() const override { return number_; }
  void SetBaudRate(int32_t baud) override;
  int32_t BaudRate() const override { return baud_; }
  void SetDataBits(int bits) override;
  int DataBits() const override { return dataBits_; }
  void SetStopBits(int bits) override;
  int StopBits() const override { return stopBits_; }
  void SetParity(SerialParity parity) override;
  SerialParity Parity() const override { return parity_; }
  void SetRs485(bool on) override;
  void SetRts(bool on) override;
  void SetDtr(bool on) override;

  void Open() override;
  void Close() override;
  bool IsOpen() const override;

  int OutputFree() const override;
  void PutByte(uint8_t byte) override;
  void PutBlock(const std::string& bytes) override;
  uint8_t GetByte() override;

  SerialLineState Lines() const override;
  FlowControlState FlowState() const override;
  void DisableFlowControl() override;

  uint16_t AddTrigger(const std::string& text, bool ignoreCase) override;
  void RemoveTrigger(uint16_t handle) override;
  void RemoveAllTriggers() override;
  void SetAvailableThreshold(int bytes) override;

  // The device path while open (for logs and tests).
  const std::string& DevicePathInUse() const { return path_; }
  bool IsPseudoTerminal() const { return isPty_; }

 private:
  enum class Rs485Mode { Off, Kernel, Software, Unavailable };

  std::string Name() const;
  void RequireOpen(const char* what) const;
  // A setting the device did not take: noted once on a pseudo-terminal (which cannot take it
  // and passes bytes unchanged anyway), an error on a real device.
  void Refused(const std::string& key, const std::string& what);
  void NoteOnce(const std::string& key, const std::string& text);
  void ApplyFraming();
  void ApplyBaudRate();
  void ApplyRs485();
  void ApplyModemOutputs();
  bool SetModemLine(int line, bool on);
  void SetLowLatency();
  void Write(const char* data, size_t size);
  void FinishTransmit();
  // Bytes went out: the traffic light, and software RS-485 drops RTS once all are sent.
  void Transmitted();
  // Runs the step from the loop, once however often it is asked for before it runs.
  void PostOnce(bool& posted, void (QtSerialPort::*step)());
  void ReadArrived();
  void Deliver();
  void PortError(QSerialPort::SerialPortError error);
  void Fail(const std::string& reason);
  void PollLines();
  size_t Waiting() const { return rx_.size() - rxHead_; }

  // Declared first so it is destroyed last: the context below drops its connections first.
  QSerialPort port_;
  QObject context_;
  QTimer linePoll_;

  int number_ = 0;
  // The window layout's defaults, in force until a site sets its own.
  int32_t baud_ = 38400;
  int dataBits_ = 7;
  int stopBits_ = 2;
  SerialParity parity_ = SerialParity::None;
  bool rs485_ = false;
  bool rts_ = false;
  bool dtr_ = true;

  std::string path_;          // the device while open
  int openedNumber_ = 0;      // the number it was opened as
  int linkedNumber_ = 0;      // the number last opened through a link in the COM folder ...
  std::string linkPath_;      // ... and that link
  std::string notedPath_;     // the device the notes below were written for
  std::string lookupLogged_;  // the lookup last logged by a failed open
  bool isPty_ = false;
  int lockFd_ = -1;
  std::set<std::string> noted_;

  Rs485Mode rs485Mode_ = Rs485Mode::Off;
  std::vector<unsigned char> savedRs485_;  // the driver's RS-485 settings before ours
  bool transmitting_ = false;              // software RS-485: RTS raised for queued bytes
  bool finishPosted_ = false;
  bool transmittedPosted_ = false;  // a direct write's Transmitted() is queued

  std::string rx_;
  size_t rxHead_ = 0;
  bool overflowNoted_ = false;
  TextTriggers triggers_;
  std::vector<uint16_t> pendingHits_;
  int threshold_ = 1;
  bool delivering_ = false;
  bool redeliver_ = false;
  bool failing_ = false;

  bool linesPolled_ = false;
  bool linesReported_ = false;  // the first poll after opening reports the lines as they are
  SerialLineState lastLines_;

  // Handlers may destroy the port; callbacks check this token afterwards.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

class QtSerialPortFactory : public SerialPortFactory {
 public:
  std::unique_ptr<SerialPort> CreatePort() override;
  bool PortAvailable(int number, std::string* reason = nullptr) override;
};

}  // namespace qmb
