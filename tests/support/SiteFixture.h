// A site engine with a Modbus slave behind it, in virtual time: a direct serial site (ASCII or
// RTU) or a Modbus/TCP site, opened and driven by a host client as a host would.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine/ModBusFrm.h"
#include "support/FakeSlave.h"
#include "support/HostFixture.h"

namespace qmb::test {

enum class LinkKind { ASCII, RTU, TCP };

inline const char* LinkName(LinkKind link) {
  return link == LinkKind::ASCII ? "ASCII" : link == LinkKind::RTU ? "RTU" : "TCP";
}

inline void PrintTo(LinkKind link, std::ostream* os) {
  *os << LinkName(link);
}

// Hex text of a request as the slave saw it: address (unit id on TCP), function code and data.
inline std::string HexOf(const std::string& bytes) {
  std::string hex;
  for (char c : bytes) hex += ByteToHex(static_cast<uint8_t>(c));
  return hex;
}

class SiteFixture : public HostFixture {
 protected:
  // A direct serial site on COM1 at 19200 baud, connected (its connect step has run), with
  // slave 1 on the line.
  void OpenSerial(bool rtu) {
    serialPorts.Available = {1};
    client = NewClient();
    std::vector<std::string> keys{"DESCRIPTION=Plant", "COMPORT=1", "BAUDRATE=19200",
                                  rtu ? "BP2=TRUE" : "BP2=FALSE"};
    keys.insert(keys.end(), siteKeys.begin(), siteKeys.end());
    ASSERT_TRUE(client->OpenSite(Variant(SafeArray::OfTexts(keys))));
    ASSERT_EQ(Status(RunToEnd(*client, {"COMMAND=COMMANDSTATUS"})), "TRUE");
    engine = client->Engine;
    port = serialPorts.Created.back();
    ASSERT_TRUE(engine->IsConnected());
    slave = std::make_unique<FakeSlave>(loop, *port,
                                        rtu ? FakeSlave::Framing::RTU : FakeSlave::Framing::ASCII);
  }
  // A Modbus/TCP site; its socket opens with the first exchange.
  void OpenTcp(const std::string& address = "10.0.0.5") {
    client = NewClient();
    std::vector<std::string> keys{"DESCRIPTION=Gateway", "BP3=TRUE", "SP3=" + address};
    keys.insert(keys.end(), siteKeys.begin(), siteKeys.end());
    ASSERT_TRUE(client->OpenSite(Variant(SafeArray::OfTexts(keys))));
    ASSERT_EQ(Status(RunToEnd(*client, {"COMMAND=COMMANDSTATUS"})), "TRUE");
    engine = client->Engine;
    tcp = tcpClients.Created.back();
    ASSERT_TRUE(engine->IsConnected());
    slave = std::make_unique<FakeSlave>(loop, *tcp);
  }
  void Open(LinkKind link) {
    if (link == LinkKind::TCP)
      OpenTcp();
    else
      OpenSerial(link == LinkKind::RTU);
  }

  // Sends a command as a host does: again every tick while the engine answers that it is busy,
  // then COMMANDSTATUS every tick until the command ends. The final reply.
  Variant Run(const std::vector<std::string>& command, TQorModBusCom* who = nullptr) {
    TQorModBusCom& c = who ? *who : *client;
    Variant reply = c.ExecuteCommand(Variant(SafeArray::OfTexts(command)));
    for (int tick = 0; tick < 2000 && Status(reply) == "Waiting for driver..."; ++tick) {
      loop.RunFor(100);
      reply = c.ExecuteCommand(Variant(SafeArray::OfTexts(command)));
    }
    acceptedAt = loop.NowMs();
    for (int tick = 0; tick < 2000; ++tick) {
      if (reply.IsByteType()) return reply;  // the byte form of a raw command's reply
      const std::string status = Status(reply);
      if (status == "TRUE" || status == "FALSE" || status == "LOCKED") return reply;
      loop.RunFor(100);
      reply = c.ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
    }
    ADD_FAILURE() << "command never ended";
    return reply;
  }

  // The SENDPOINTSLIST parameters for these entries.
  static std::vector<std::string> PointParams(const std::vector<std::string>& entries) {
    std::vector<std::string> params{"COMMAND=SENDPOINTSLIST"};
    for (size_t i = 0; i < entries.size(); ++i)
      params.push_back("POINT" + std::to_string(i) + "=" + entries[i]);
    return params;
  }
  void SendPoints(const std::vector<std::string>& entries, TQorModBusCom* who = nullptr) {
    ASSERT_EQ(Status(Run(PointParams(entries), who)), "TRUE");
  }

  // Every element of a reply (or result) as text.
  static std::vector<std::string> Texts(const Variant& reply) {
    std::vector<std::string> texts;
    const SafeArray& array = reply.AsArray();
    for (int32_t i = array.LowerBound(); i <= array.UpperBound(); ++i)
      texts.push_back(array.Get(i).ToText());
    return texts;
  }

  std::vector<std::string> Keys() const {
    std::vector<std::string> keys;
    for (size_t i = 0; i < engine->Points.Size(); ++i) keys.push_back(engine->Points.Key(i));
    return keys;
  }
  TPointData& Point(const std::string& key) {
    const int32_t position = engine->Points.IndexOf(key);
    EXPECT_GE(position, 0) << key;
    return engine->Points.Data(static_cast<size_t>(position < 0 ? 0 : position));
  }
  BackgroundPoller::PollStep PollState() const { return engine->Poller.PollState(); }
  // Hex of every request the slave saw, in order.
  std::vector<std::string> Requests() const {
    std::vector<std::string> hex;
    for (const std::string& frame : slave->Frames) hex.push_back(HexOf(frame));
    return hex;
  }
  size_t FrameCount() const { return slave->Frames.size(); }
  bool RunUntil(const std::function<bool()>& predicate, int64_t limitMs = 60000) {
    return loop.RunUntilTrue(predicate, limitMs);
  }

  std::vector<std::string> siteKeys;  // more keys for the site Open opens (POLLMODE=FAST)
  std::unique_ptr<TQorModBusCom> client;
  TModBusForm* engine = nullptr;
  FakeSerialPort* port = nullptr;
  FakeTcpClient* tcp = nullptr;
  std::unique_ptr<FakeSlave> slave;
  int64_t acceptedAt = 0;  // when Run's command was accepted
};

}  // namespace qmb::test
