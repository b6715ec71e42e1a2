// A site on Modbus/TCP: the link is up as soon as the site is opened with an address that can be
// connected to; the socket itself is made by the first exchange with the device, and let go by
// a host's close. No serial port is opened, watched or shown.
#pragma once

#include <string>

#include "engine/SiteTransport.h"
#include "links/SerialLine.h"
#include "links/TcpLink.h"
#include "platform/TcpClient.h"

namespace qmb {

class TcpTransport final : public SiteTransport {
 public:
  TcpTransport(Common common, TcpLink& tcp, TcpClient& client, SerialLine& line)
      : SiteTransport(common), tcp_(tcp), client_(client), line_(line) {}

  void Assign() override;
  void Open() override;
  bool OpenAside() override;
  Task<void> ConnectStep() override;
  Task<void> DialStep() override { co_return; }
  Task<void> DisconnectStep() override;
  void DropConnection() override { tcp_.Drop(); }
  void ClosePort() override {}
  void PortFailed(const std::string& reason) override;
  void WatchPort() override {}
  bool CallLost() const override { return false; }
  Task<void> Redial() override { co_return; }
  void ShowPort() override;
  void Describe(SafeArray& status) const override;

 private:
  // Whether the site's address can be connected to at all (a port from 1 to 65535, balanced
  // brackets), and the failure text of one that cannot.
  bool AddressUsable() const;
  std::string InvalidAddressText() const;

  TcpLink& tcp_;
  TcpClient& client_;
  SerialLine& line_;
};

}  // namespace qmb
