#include "links/ConnectionManager.h"

#include "platform/Log.h"

namespace qmb {

namespace {
constexpr const char* kSerialUnavailable =
    "Serial and modem links are not available in this version of the driver.";
}

void ConnectionManager::AssignSite() {
  TCPMode = site_.UseTCP;
}

bool ConnectionManager::OpenConnection(const EngineClient* client) {
  session_.CommandResult = Variant(std::string());
  if (session_.IsBlocked()) return false;
  session_.CommandOwner = client;
  Offline = site_.OfflineMode;

  if (Offline) {
    session_.ResetStatus();
    session_.SetState(kStateDone);
    session_.SetStatusText({});
    UpdateCaption();
    Connected = true;
    return true;
  }

  UpdatePortLabels();
  if (TCPMode) {
    // The socket is opened on demand, by the first exchange with the device.
    session_.SetState(kStateDone);
    session_.SetStatusText({});
    Connected = true;
    return true;
  }
  if (SerialPortOpen()) {
    session_.SetState(kStateDone);
    session_.SetStatusText({});
    return true;
  }

  session_.ResetStatus();
  session_.SetState(kStateWorking);
  session_.SetStatusText("Connecting...");
  if (site_.DirectConnect)
    ConnectDirect();
  else if (site_.Comport != 0)
    ConnectModem();
  else
    ConnectTapi();
  UpdateCaption();
  return true;
}

void ConnectionManager::FailSerialStart() {
  LogWarning("Site \"" + site_.Description + "\": " + kSerialUnavailable);
  session_.SetState(kStateFailed);
  session_.SetStatusText({});
  session_.SetErrorText(kSerialUnavailable);
  ClosePort();
}

bool ConnectionManager::ConnectDirect() {
  FailSerialStart();
  return false;
}

bool ConnectionManager::ConnectModem() {
  if (site_.PhoneNumber.empty()) {
    session_.SetErrorText("Phone number required for modem connection.");
    session_.SetState(kStateFailed);
    session_.SetStatusText({});
    ClosePort();
    return false;
  }
  FailSerialStart();
  return false;
}

bool ConnectionManager::ConnectTapi() {
  session_.SetState(kStateFailed);
  session_.SetStatusText({});
  session_.SetErrorText("TAPI Not currently Supported");
  return false;
}

bool ConnectionManager::CloseConnection(const EngineClient* client) {
  // A TCP site is to drop its socket here at once, even when the close is refused below; the
  // socket arrives with the Modbus/TCP link, until then a TCP site holds none.
  session_.CommandResult = Variant(std::string());
  if (session_.IsBlocked() || session_.IsSelf(session_.LockOwner)) return false;
  session_.CommandOwner = client;
  if (session_.Clients.size() > 1) {
    session_.SetState(kStateDone);
    session_.SetStatusText({});
    return true;
  }
  session_.ResetStatus();
  if (Offline) {
    session_.SetState(kStateDone);
    session_.SetStatusText({});
    Connected = false;
    UpdateCaption();
  } else {
    session_.SetState(kStateWorking);
    session_.SetStatusText("Disconnecting...");
    session_.SetCommand(kDisconnectStep);
  }
  return true;
}

void ConnectionManager::ConnectStep() {
  Connected = true;
  if (TCPMode) {
    session_.EndCommand(kStateDone);
    return;
  }
  // Serial sites send their connect string here once the serial line is wired in; until then
  // no serial site gets this far (its open fails first).
  session_.LogOn();
  session_.EndCommand(kStateDone);
}

void ConnectionManager::DisconnectStep() {
  if (TCPMode) {
    session_.EndCommand(kStateDone);
    return;
  }
  if (Connected) session_.LogOff();
  session_.EndCommand(kStateDone);
}

void ConnectionManager::ClosePort() {
  if (TCPMode || !IsConnected()) return;
  delay_.Delay(5);  // lets the port finish closing
}

void ConnectionManager::UpdateCaption() {
  model_.Caption = site_.Description + (Offline ? " (Offline Mode)" : "");
  model_.Changed();
}

void ConnectionManager::UpdatePortLabels() {
  if (TCPMode) {
    model_.ProtocolLbl = "TCP";
    model_.PortLbl = model_.BaudLbl = model_.ParityLbl = model_.StopBitsLbl = "n/a";
  } else {
    model_.ProtocolLbl = "ASCII";
    model_.PortLbl = "None";
    model_.BaudLbl = "0";
    model_.ParityLbl = "None";
    model_.StopBitsLbl = "2";
  }
  model_.Changed();
}

}  // namespace qmb
