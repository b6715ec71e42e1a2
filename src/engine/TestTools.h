// The site window's test tools: the point-address test of the raw-command field, and the
// Modbus/TCP test connection with its one test frame (write coil 0 on or off).
#pragma once

#include <string>

#include "links/TcpLink.h"
#include "model/SiteWindowModel.h"
#include "platform/TcpClient.h"

namespace qmb {

class TestTools {
 public:
  TestTools(SiteWindowModel& model, TcpClient& client, TcpLink& tcp)
      : model_(model), client_(client), tcp_(tcp) {}

  // Where the test connection goes unless the operator sets another address: a fixed
  // private-network device, never reached by tests and demos (they set a loopback address).
  static constexpr const char* kDefaultTestAddress = "192.168.1.100";

  // Clears the log, parses the raw-command field as a point address and lists its seven
  // fields, or "***ERROR***".
  void TestBtnClick();
  // Enter (13) runs the test.
  void CmdEdtKeyPress(char key);
  // The test frame AA 55 00 00 00 06 FF 05 00 00 v 00 (v FF when State is checked), when the TCP
  // client is connected; then the log line "Data Sent".
  void TCPSendBtnClick();
  // Connects the TCP client to the test address ("host[:port]", port 502 when none) when it is
  // not connected; disconnects it when it is.
  void ConnectBtnClick();
  void DisconnectBtnClick();

  void SetTestAddress(std::string address) { testAddress_ = std::move(address); }
  const std::string& TestAddress() const { return testAddress_; }

 private:
  SiteWindowModel& model_;
  TcpClient& client_;
  TcpLink& tcp_;
  std::string testAddress_ = kDefaultTestAddress;
};

}  // namespace qmb
