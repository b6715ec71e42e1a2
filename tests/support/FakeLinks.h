// Doubles of the serial port and the TCP client that run on the virtual-time loop: tests play
// the device by answering what the engine writes.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/SerialPort.h"
#include "platform/TcpClient.h"
#include "platform/TextTriggers.h"
#include "support/VirtualLoop.h"

namespace qmb::test {

class FakeSerialPort : public SerialPort {
 public:
  explicit FakeSerialPort(VirtualLoop& loop) : loop_(loop) {}

  void SetPortNumber(int number) override { number_ = number; }
  int PortNumber() const override { return number_; }
  void SetBaudRate(int32_t baud) override { baud_ = baud; }
  int32_t BaudRate() const override { return baud_; }
  void SetDataBits(int bits) override { dataBits_ = bits; }
  int DataBits() const override { return dataBits_; }
  void SetStopBits(int bits) override { stopBits_ = bits; }
  int StopBits() const override { return stopBits_; }
  void SetParity(SerialParity parity) override { parity_ = parity; }
  SerialParity Parity() const override { return parity_; }
  void SetRs485(bool on) override { Rs485 = on; }
  void SetRts(bool on) override { Rts = on; }
  void SetDtr(bool on) override;

  void Open() override;
  void Close() override;
  bool IsOpen() const override { return open_; }

  int OutputFree() const override { return OutputFreeBytes; }
  void PutByte(uint8_t byte) override;
  void PutBlock(const std::string& bytes) override;
  uint8_t GetByte() override;

  SerialLineState Lines() const override { return LineState; }
  FlowControlState FlowState() const override { return Flow; }
  void DisableFlowControl() override {
    ++FlowControlDisabled;
    Flow = FlowControlState::Off;
  }

  uint16_t AddTrigger(const std::string& text, bool ignoreCase) override;
  void RemoveTrigger(uint16_t handle) override { triggers_.Remove(handle); }
  void RemoveAllTriggers() override { triggers_.Clear(); }
  void SetAvailableThreshold(int bytes) override { Threshold = bytes; }

  // Test side: bytes arriving from the device, delivered now as one available-data event
  // followed by the trigger hits they complete.
  void Receive(const std::string& bytes);
  // Bytes arriving after a delay of virtual time.
  void ReceiveIn(int64_t delayMs, const std::string& bytes);
  size_t TriggerCount() const { return triggers_.Size(); }
  // The device goes away as a real one does: the port closes, reports the failure, and refuses
  // to open until the device is plugged back.
  void Unplug(const std::string& reason = "COM1: the device failed (read error)");
  void Replug() { OpenError.clear(); }
  int64_t NowMs() const { return loop_.NowMs(); }

  // Everything written, and when each byte went out.
  std::string Written;
  std::vector<int64_t> WriteTimes;
  // Called after every byte written: the device under simulation answers from here.
  std::function<void(uint8_t byte)> OnWrite;
  std::vector<bool> DtrChanges;

  bool Rs485 = false;
  bool Rts = false;
  bool Dtr = false;
  int OutputFreeBytes = kOutputBufferSize;
  SerialLineState LineState;
  FlowControlState Flow = FlowControlState::Off;
  int FlowControlDisabled = 0;
  int Threshold = 0;
  int Opens = 0;
  std::vector<int64_t> OpenTimes;  // every attempt to open, refused ones too
  int Closes = 0;
  std::string OpenError;        // when set, Open raises it
  std::string WriteError;       // when set, writing raises it (a port whose device failed)
  int* CloseCounter = nullptr;  // counts closes beyond the port's life

 private:
  VirtualLoop& loop_;
  int number_ = 0;
  int32_t baud_ = 0;
  int dataBits_ = 8;
  int stopBits_ = 1;
  SerialParity parity_ = SerialParity::None;
  bool open_ = false;
  std::deque<uint8_t> input_;
  // The real port's matcher, so scripted replies meet the same delivery rules (a trigger sees
  // only the bytes that arrive after it was added).
  TextTriggers triggers_;
};

class FakeSerialPortFactory : public SerialPortFactory {
 public:
  explicit FakeSerialPortFactory(VirtualLoop& loop) : loop_(loop) {}
  std::unique_ptr<SerialPort> CreatePort() override;
  bool PortAvailable(int number, std::string* reason = nullptr) override {
    const bool available = number != 0 && Available.count(number) > 0;
    if (!available && reason) *reason = UnavailableReason;
    return available;
  }
  std::string UnavailableReason = "in use by another program";

  std::set<int> Available;
  std::vector<FakeSerialPort*> Created;  // owned by the engines
  std::string OpenErrorForNewPorts;      // ports created from now on refuse to open with it
  int Closes = 0;                        // closes of every port, also of destroyed ones

 private:
  VirtualLoop& loop_;
};

class FakeTcpClient : public TcpClient {
 public:
  explicit FakeTcpClient(VirtualLoop& loop) : loop_(loop) {}
  ~FakeTcpClient() override { *alive_ = false; }

  void SetRemoteHost(const std::string& host) override { host_ = host; }
  const std::string& RemoteHost() const override { return host_; }
  void SetRemotePort(uint16_t port) override { port_ = port; }
  uint16_t RemotePort() const override { return port_; }
  bool Connected() const override { return connected_; }
  void SetConnected(bool connected) override;
  void Send(const std::string& bytes) override;
  // Off, what the peer sends waits here, as in the kernel, until ReadNow takes it.
  void SetReadNotification(bool on) override;
  void ReadNow() override;

  // Test side. The peer's bytes: handed over at once, or kept while read notification is off.
  void DeliverData(const std::string& bytes);
  void PeerCloses();
  bool ReadNotification() const { return readNotification_; }
  size_t Unread() const { return unread_.size(); }

  int NotificationSwitches = 0;  // SetReadNotification calls that changed it
  int ReadNows = 0;              // ReadNow calls
  int WokenDeliveries = 0;       // chunks handed over by arrival (or by notification turned on)
  int LookedDeliveries = 0;      // chunks taken by ReadNow

  bool Refuse = false;          // connects fail with an error
  int64_t ConnectDelayMs = 10;  // virtual time a connect takes
  int Connects = 0;
  int Disconnects = 0;
  std::vector<std::pair<std::string, uint16_t>> ConnectTargets;
  std::vector<std::string> Sent;
  std::function<void(const std::string& bytes)> OnSend;

 private:
  VirtualLoop& loop_;
  std::string host_;
  uint16_t port_ = 0;
  bool connected_ = false;
  bool established_ = false;
  int generation_ = 0;
  bool readNotification_ = true;
  std::string unread_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class FakeTcpClientFactory : public TcpClientFactory {
 public:
  explicit FakeTcpClientFactory(VirtualLoop& loop) : loop_(loop) {}
  std::unique_ptr<TcpClient> CreateClient() override;
  std::vector<FakeTcpClient*> Created;  // owned by the engines
  bool RefuseAll = false;

 private:
  VirtualLoop& loop_;
};

}  // namespace qmb::test
