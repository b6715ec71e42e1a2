#include "support/FakeLinks.h"

#include <utility>

namespace qmb::test {

void FakeSerialPort::SetDtr(bool on) {
  Dtr = on;
  DtrChanges.push_back(on);
}

void FakeSerialPort::Open() {
  OpenTimes.push_back(loop_.NowMs());
  if (!OpenError.empty()) throw SerialError(OpenError);
  open_ = true;
  ++Opens;
}

void FakeSerialPort::Close() {
  if (open_) {
    ++Closes;
    if (CloseCounter) ++*CloseCounter;
  }
  open_ = false;
  triggers_.Clear();
  input_.clear();
}

void FakeSerialPort::Unplug(const std::string& reason) {
  OpenError = "COM" + std::to_string(number_) + ": no device";
  Close();
  if (OnFailure) OnFailure(reason);
}

void FakeSerialPort::PutByte(uint8_t byte) {
  if (!open_) throw SerialError("Device not open");
  if (!WriteError.empty()) throw SerialError(WriteError);
  Written.push_back(static_cast<char>(byte));
  WriteTimes.push_back(loop_.NowMs());
  if (OnWrite) OnWrite(byte);
}

void FakeSerialPort::PutBlock(const std::string& bytes) {
  for (char c : bytes) PutByte(static_cast<uint8_t>(c));
}

uint8_t FakeSerialPort::GetByte() {
  if (input_.empty()) throw SerialError("No byte waiting");
  const uint8_t byte = input_.front();
  input_.pop_front();
  return byte;
}

uint16_t FakeSerialPort::AddTrigger(const std::string& text, bool ignoreCase) {
  if (text.size() > static_cast<size_t>(kMaxTriggerLength)) throw SerialError("Trigger too long");
  const uint16_t handle = triggers_.Add(text, ignoreCase);
  return handle;
}

void FakeSerialPort::Receive(const std::string& bytes) {
  if (!open_ || bytes.empty()) return;
  input_.insert(input_.end(), bytes.begin(), bytes.end());
  std::vector<uint16_t> hits;
  triggers_.Scan(bytes.data(), bytes.size(), hits);
  // Bytes first, then the triggers they completed: a handler woken by a trigger finds the
  // whole text in its buffer.
  if (OnAvailable) OnAvailable(static_cast<uint16_t>(input_.size()));
  for (uint16_t handle : hits)
    if (OnTrigger) OnTrigger(handle);
}

void FakeSerialPort::ReceiveIn(int64_t delayMs, const std::string& bytes) {
  loop_.ScheduleIn(delayMs, [this, bytes] { Receive(bytes); });
}

std::unique_ptr<SerialPort> FakeSerialPortFactory::CreatePort() {
  auto port = std::make_unique<FakeSerialPort>(loop_);
  port->OpenError = OpenErrorForNewPorts;
  port->CloseCounter = &Closes;
  Created.push_back(port.get());
  return port;
}

void FakeTcpClient::SetConnected(bool connected) {
  if (!connected) {
    if (connected_) {
      ++Disconnects;
      connected_ = false;
      unread_.clear();
      established_ = false;
      ++generation_;
    }
    return;
  }
  if (connected_) return;
  connected_ = true;
  ++Connects;
  ConnectTargets.emplace_back(host_, port_);
  const int generation = ++generation_;
  loop_.ScheduleIn(ConnectDelayMs, [this, generation, alive = alive_] {
    if (!*alive || generation != generation_) return;
    if (Refuse) {
      connected_ = false;
      established_ = false;
      if (OnError) OnError(10061, "Connection refused");
      if (OnDisconnected) OnDisconnected(0, "Connection refused");
      return;
    }
    established_ = true;
    if (OnConnected) OnConnected(0, "Connected to " + host_);
    if (OnReadyToSend) OnReadyToSend();
  });
}

void FakeTcpClient::Send(const std::string& bytes) {
  // Like the real client: nothing can be sent before the connection is established.
  if (!connected_ || !established_) throw TcpError("Socket is not connected");
  Sent.push_back(bytes);
  if (OnSend) OnSend(bytes);
}

void FakeTcpClient::DeliverData(const std::string& bytes) {
  if (!readNotification_) {
    unread_ += bytes;
    return;
  }
  ++WokenDeliveries;
  if (OnDataIn) OnDataIn(bytes);
}

void FakeTcpClient::SetReadNotification(bool on) {
  if (readNotification_ == on) return;
  readNotification_ = on;
  ++NotificationSwitches;
  if (!on || unread_.empty()) return;
  // What waited is readable at once: the loop's next pass hands it over, as a level-triggered
  // descriptor would.
  loop_.ScheduleIn(0, [this, generation = generation_, alive = alive_] {
    if (!*alive || generation != generation_ || !readNotification_ || unread_.empty()) return;
    ++WokenDeliveries;
    if (OnDataIn) OnDataIn(std::exchange(unread_, {}));
  });
}

void FakeTcpClient::ReadNow() {
  ++ReadNows;
  if (unread_.empty() || !established_) return;
  ++LookedDeliveries;
  if (OnDataIn) OnDataIn(std::exchange(unread_, {}));
}

void FakeTcpClient::PeerCloses() {
  connected_ = false;
  unread_.clear();
  established_ = false;
  ++generation_;
  if (OnDisconnected) OnDisconnected(0, "Remote host closed the connection");
}

std::unique_ptr<TcpClient> FakeTcpClientFactory::CreateClient() {
  auto client = std::make_unique<FakeTcpClient>(loop_);
  client->Refuse = RefuseAll;
  Created.push_back(client.get());
  return client;
}

}  // namespace qmb::test
