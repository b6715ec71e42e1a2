// A driver process in virtual time: the main window with its two timers, and host clients made
// and driven as a host would.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "host/QorModBusCom.h"
#include "platform/ParamList.h"
#include "sites/EngineRegistry.h"
#include "support/FakeLinks.h"
#include "support/VirtualLoop.h"

namespace qmb::test {

inline Variant List(std::initializer_list<std::string> elements) {
  return Variant(SafeArray::OfTexts(std::vector<std::string>(elements)));
}

// Element i of a reply as text ("<empty>" for an empty variant).
std::string Element(const Variant& reply, int32_t index);
// The value of COMMANDSTATUS in a reply.
std::string Status(const Variant& reply);

class HostFixture : public ::testing::Test {
 protected:
  HostFixture()
      : serialPorts(loop),
        tcpClients(loop),
        main(loop, loop, serialPorts, tcpClients, "/opt/qormodbus/bin/qormodbus") {}

  // A client that passed the version check.
  std::unique_ptr<TQorModBusCom> NewClient();
  // A client attached to an offline site whose open result was collected.
  std::unique_ptr<TQorModBusCom> OpenOffline(const std::string& description, bool local = true);
  // Sends a command and polls COMMANDSTATUS every tick until it ends; the final reply.
  Variant RunToEnd(TQorModBusCom& client, std::initializer_list<std::string> command);

  VirtualLoop loop;
  FakeSerialPortFactory serialPorts;
  FakeTcpClientFactory tcpClients;
  TMainForm main;
};

}  // namespace qmb::test
