// A Modbus/TCP site's stream: RTU frames over the connection (TCPFRAMING=RTU) for every kind of
// exchange, a new connection after an unanswered request, and the unit id a request carries
// (TCPUNIT=POINT), in virtual time against a device on the fake TCP client.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/SiteFixture.h"

namespace qmb::test {
namespace {

class StreamFramingTest : public SiteFixture {
 protected:
  // A site on the fake TCP client with these keys besides BP3 and SP3; its device answers RTU
  // frames for slave 17 (rtu) or Modbus/TCP frames for any unit.
  void OpenWith(const std::vector<std::string>& keys, bool rtu) {
    siteKeys = keys;
    OpenTcp();
    if (rtu) slave = std::make_unique<FakeSlave>(loop, *tcp, FakeSlave::Framing::RTU, 17);
    slave->Holding = {{3, 1111}, {4, 2222}};
    slave->Coils = {{0, true}};
  }
  // The client gone and its engine with it, so that the next open starts a site afresh; the
  // device falls silent first and its replies under way are delivered while their client lives.
  void CloseSite() {
    slave->Silent = true;
    loop.RunFor(1000);
    client.reset();
    loop.RunFor(1000);
  }
  // The value a host's read gives, or its status when it fails.
  std::string Value(const std::string& address) {
    const std::vector<std::string> reply =
        Texts(Run({"COMMAND=POINTGETVALUE", "POINT={p}{" + address + "}"}));
    for (const std::string& element : reply)
      if (element.starts_with("VALUE=")) return element;
    return reply.at(0);
  }
};

TEST_F(StreamFramingTest, RtuFramesCarryEveryExchangeOverTheConnection) {
  OpenWith({"TCPFRAMING=RTU"}, true);
  EXPECT_EQ(engine->Model.ProtocolLbl, "RTU over TCP");
  struct Row {
    std::vector<std::string> command;
    std::string first;    // the reply's first element
    std::string request;  // as the device saw it: slave, function, data
  };
  const Row rows[] = {
      {{"COMMAND=POINTGETVALUE", "POINT={p}{17-HREG4}"}, "COMMANDSTATUS=TRUE", "110300030001"},
      {{"COMMAND=POINTMODIFY", "POINT={p}{17-HREG20}{VALUE=7}"},
       "COMMANDSTATUS=TRUE",
       "110600130007"},
      {{"COMMAND=POINTMODIFY", "POINT={p}{17-OUT2}{VALUE=ON}"},
       "COMMANDSTATUS=TRUE",
       "11050001FF00"},
      // A raw request goes out as typed, and its reply's bytes come back, CRC included.
      {{"COMMAND=GETDATA", "DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=110300040001",
        "RETURNASBYTES=FALSE"},
       std::string("\x11\x03\x02\x08\xAE", 5),
       "110300040001"},
      // A slave the device server does not have: no reply, the read fails.
      {{"COMMAND=POINTGETVALUE", "POINT={p}{18-HREG4}"}, "COMMANDSTATUS=FALSE", "120300030001"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.command.back());
    const Variant reply = Run(row.command);
    const std::string first =
        reply.IsByteType() ? reply.AsArray().Bytes().substr(0, 5) : Texts(reply).at(0);
    EXPECT_EQ(first, row.first);
    EXPECT_EQ(Requests().back(), row.request);
  }
  EXPECT_EQ(slave->Holding[19], 7);
  EXPECT_TRUE(slave->Coils[1]);
  EXPECT_EQ(slave->BadChecksums, 0);
  // The unanswered read left its connection behind: the next request connects again first,
  // so that a late reply is never taken for its own. An answered one keeps the connection.
  const int connects = tcp->Connects;
  EXPECT_EQ(Value("17-HREG5"), "VALUE=2222");
  EXPECT_EQ(tcp->Connects, connects + 1);
  EXPECT_EQ(Value("17-HREG4"), "VALUE=1111");
  EXPECT_EQ(tcp->Connects, connects + 1);
}

TEST_F(StreamFramingTest, PollingAndTheFastScanReadRtuFramesOverTheConnection) {
  for (const char* mode : {"POLLMODE=TICK", "POLLMODE=FAST"}) {
    SCOPED_TRACE(mode);
    OpenWith({"TCPFRAMING=RTU", mode}, true);
    SendPoints({"{a}{17-HREG4}", "{b}{17-HREG5}", "{c}{17-OUT1}"});
    ASSERT_TRUE(RunUntil([&] { return Point("17-HREG5").HasValue && Point("17-OUT1").HasValue; }))
        << ::testing::PrintToString(Requests());
    EXPECT_EQ(Point("17-HREG4").Value, "1111");
    EXPECT_EQ(Point("17-HREG5").Value, "2222");
    EXPECT_EQ(Point("17-OUT1").Value, "TRUE");
    EXPECT_EQ(slave->BadChecksums, 0);
    CloseSite();
  }
}

// Without TCPUNIT=POINT every Modbus/TCP request goes to unit FF, byte for byte as always; with
// it, to the unit the point's slave prefix names, FF for a point without one.
TEST_F(StreamFramingTest, TheUnitIdComesFromThePointOnlyWhenTheSiteSaysSo) {
  struct Row {
    std::vector<std::string> keys;
    const char* address;
    const char* request;  // unit id, function, data
  };
  const Row rows[] = {
      {{}, "17-HREG4", "FF0300030001"},
      {{}, "HREG4", "FF0300030001"},
      {{"TCPUNIT=FF"}, "17-HREG4", "FF0300030001"},
      {{"TCPUNIT=POINT"}, "17-HREG4", "110300030001"},
      {{"TCPUNIT=point"}, "HREG4", "FF0300030001"},
      {{"TCPUNIT=POINT", "POLLMODE=FAST"}, "17-HREG4", "110300030001"},
      {{"POLLMODE=FAST"}, "17-HREG4", "FF0300030001"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.address + ::testing::PrintToString(row.keys));
    OpenWith(row.keys, false);
    SendPoints({std::string("{p}{") + row.address + "}"});
    ASSERT_TRUE(RunUntil([&] { return !slave->Frames.empty(); }));
    EXPECT_EQ(Requests().front(), row.request);
    EXPECT_EQ(Value(row.address), "VALUE=1111");
    EXPECT_EQ(Requests().back(), row.request);
    CloseSite();
  }
}

// POINTVERIFY's canonical form keeps a slave prefix where it addresses the device, so that a
// host that registers the canonical text reaches the same unit.
TEST_F(StreamFramingTest, TheCanonicalAddressKeepsTheSlaveWhereItIsTheUnit) {
  struct Row {
    std::vector<std::string> keys;
    const char* address;
    const char* canonical;
  };
  const Row rows[] = {
      {{}, "17-hreg4", "HREG4"},
      {{"TCPUNIT=POINT"}, "17-hreg4", "17-HREG4"},
      {{"TCPUNIT=POINT"}, "255-HREG4", "HREG4"},
      {{"TCPUNIT=POINT"}, "[plc]-ireg3", "[plc]-IREG3"},
      {{"TCPFRAMING=RTU"}, "017-OUT2", "17-OUT2"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.address + ::testing::PrintToString(row.keys));
    OpenWith(row.keys, false);
    const std::vector<std::string> reply = Texts(
        Run({"COMMAND=POINTVERIFY", "POINTNAME=p", std::string("POINTADDRESS=") + row.address}));
    EXPECT_NE(std::find(reply.begin(), reply.end(), std::string("POINTADDRESS=") + row.canonical),
              reply.end())
        << ::testing::PrintToString(reply);
    CloseSite();
  }
}

TEST_F(StreamFramingTest, UnknownFramingsAndUnitChoicesRefuseTheOpen) {
  for (const char* key : {"TCPFRAMING=ASCII", "TCPUNIT=17"}) {
    SCOPED_TRACE(key);
    auto host = NewClient();
    EXPECT_FALSE(host->OpenSite(List({"DESCRIPTION=Gateway", "BP3=TRUE", "SP3=10.0.0.5", key})));
    EXPECT_NE(host->LastErrorDetail().find(std::string(key).substr(0, std::string(key).find('='))),
              std::string::npos)
        << host->LastErrorDetail();
  }
}

}  // namespace
}  // namespace qmb::test
