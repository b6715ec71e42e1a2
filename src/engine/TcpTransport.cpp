#include "engine/TcpTransport.h"

namespace qmb {

void TcpTransport::Assign() {
  line_.SetInUse(false);
  tcp_.UseFraming(SiteFramingEntry());
  // The client points at the site's own address from the start, so the status reports the
  // right remote port before the first exchange.
  std::string host;
  uint16_t port = TcpLink::kModbusPort;
  if (SplitHostAndPort(site_.IPAddress, host, port)) {
    client_.SetRemoteHost(host);
    client_.SetRemotePort(port);
  }
}

void TcpTransport::Open() {
  // An address no connection can be made to fails now, not with every read later.
  if (!AddressUsable()) {
    FailStart(InvalidAddressText());
    flags_.Connected = false;
    return;
  }
  // The socket is opened on demand, by the first exchange with the device.
  session_.Settle(kStateDone);
  flags_.Connected = true;
}

bool TcpTransport::OpenAside() {
  if (!AddressUsable()) return false;
  // Nothing to bring up: the link is shared at once.
  flags_.Offline = false;
  if (!flags_.Connected) {
    flags_.Connected = true;
    ShowCaption();
  }
  return true;
}

Task<void> TcpTransport::ConnectStep() {
  session_.EndCommand(kStateDone);
  co_return;
}

Task<void> TcpTransport::DisconnectStep() {
  session_.EndCommand(kStateDone);
  co_return;
}

void TcpTransport::PortFailed(const std::string& reason) {
  log_.Warning("serial port failed: " + reason);
}

void TcpTransport::ShowPort() {
  model_.ProtocolLbl = SiteFramingEntry().Name;
  model_.PortLbl = model_.BaudLbl = model_.ParityLbl = model_.StopBitsLbl = "n/a";
  model_.Changed();
}

void TcpTransport::Describe(SafeArray& status) const {
  status.Put(6, Variant("ModBus/TCP Connection"));
  status.Put(7, Variant("Remote Host: " + site_.IPAddress));
  status.Put(8, Variant("Remote Port: " + std::to_string(client_.RemotePort())));
}

bool TcpTransport::AddressUsable() const {
  std::string host;
  uint16_t port = 0;
  return SplitHostAndPort(site_.IPAddress, host, port);
}

std::string TcpTransport::InvalidAddressText() const {
  return "Invalid Modbus/TCP address \"" + site_.IPAddress +
         "\": expected host, host:port or [IPv6]:port with a port from 1 to 65535.";
}

}  // namespace qmb
