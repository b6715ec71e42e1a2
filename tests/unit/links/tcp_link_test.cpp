// The Modbus/TCP link: host selection and reconnection, the event log lines, reply chunks, and
// recovery after the socket was dropped or refused.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "protocol/FrameCodec.h"
#include "support/FakeSlave.h"
#include "support/HostFixture.h"

namespace qmb::test {
namespace {

class TcpLinkTest : public HostFixture {
 protected:
  TcpLinkTest() {
    client = NewClient();
    EXPECT_TRUE(client->OpenSite(List({"DESCRIPTION=Gateway", "BP3=TRUE", "SP3=10.0.0.7"})));
    engine = client->Engine;
    tcp = tcpClients.Created.back();
  }
  // Selects a host and lets the connection come up.
  void Select(const std::string& host) {
    engine->Tcp.SelectHost(host);
    loop.RunFor(50);
  }

  std::unique_ptr<TQorModBusCom> client;
  TModBusForm* engine = nullptr;
  FakeTcpClient* tcp = nullptr;
};

TEST_F(TcpLinkTest, ConnectsOncePerHostAndOnDemand) {
  EXPECT_EQ(tcp->Connects, 0) << "opening a TCP site connects nothing";
  Select("");
  Select("");
  EXPECT_EQ(tcp->Connects, 1);
  EXPECT_TRUE(engine->Tcp.TCPReady());
  EXPECT_EQ(tcp->ConnectTargets.back(), (std::pair<std::string, uint16_t>{"10.0.0.7", 502}));

  Select("[fd00::5]:1502");
  EXPECT_EQ(tcp->Disconnects, 1);
  EXPECT_EQ(tcp->Connects, 2);
  EXPECT_EQ(tcp->ConnectTargets.back(), (std::pair<std::string, uint16_t>{"fd00::5", 1502}));
  EXPECT_EQ(tcp->RemotePort(), 1502);
  Select("[fd00::5]:1502");
  EXPECT_EQ(tcp->Connects, 2);

  const std::deque<std::string> expected{"Connected: Connected to 10.0.0.7", "RTS=TRUE",
                                         "Connected: Connected to fd00::5", "RTS=TRUE"};
  EXPECT_EQ(engine->Model.LogMmo, expected);
}

// The peer's bytes are a stream: a reply is whole however the chunks fall, and only the answer to
// the request in flight is kept.
TEST_F(TcpLinkTest, RepliesAreCutFromTheStreamAndMatchedToTheRequest) {
  Select("");
  const std::string request("\x12\x34\0\0\0\x06\xFF\x03\x00\x63\x00\x01", 12);
  const std::string reply("\x12\x34\0\0\0\x05\xFF\x03\x02\x03\xE8", 11);
  std::string late = reply;
  late[1] = '\x33';  // the answer to an earlier request

  const std::vector<std::vector<std::string>> deliveries = {
      {reply.substr(0, 5), reply.substr(5)},
      {late.substr(0, 3), late.substr(3) + reply.substr(0, 9), reply.substr(9)},
      {late + reply + late},
      {std::string("\x00\x01\x00\x07", 4), reply},  // out of step: dropped, then whole again
  };
  for (const auto& chunks : deliveries) {
    engine->Tcp.SendTCP(request);
    for (const std::string& chunk : chunks) {
      EXPECT_FALSE(engine->Tcp.ReplyArrived());
      tcp->DeliverData(chunk);
    }
    EXPECT_TRUE(engine->Tcp.ReplyArrived());
    EXPECT_EQ(engine->Tcp.ReplyText(), reply);
    EXPECT_EQ(engine->Tcp.Request(), request);
  }
  // One byte at a time; the window's log shows each chunk as it came.
  engine->Model.ClearLog();
  engine->Tcp.SendTCP(request);
  for (const char byte : reply) tcp->DeliverData(std::string(1, byte));
  EXPECT_EQ(engine->Tcp.ReplyText(), reply);
  EXPECT_EQ(engine->Model.LogMmo.size(), reply.size());
  EXPECT_EQ(engine->Model.LogMmo.at(0), "Data In: [12]");

  // With no request in flight, or once it was forgotten, nothing counts as its reply.
  engine->Tcp.ForgetReply();
  tcp->DeliverData(reply);
  EXPECT_FALSE(engine->Tcp.ReplyArrived());
  // A reply cut short is not completed by the next request's reply.
  engine->Tcp.SendTCP(request);
  tcp->DeliverData(reply.substr(0, 8));
  engine->Tcp.SendTCP(request);
  tcp->DeliverData(reply);
  EXPECT_EQ(engine->Tcp.ReplyText(), reply);
}

// RTU frames on the stream carry no length: the request in flight says where its reply ends,
// however the chunks fall; bytes that cannot begin its reply are dropped with their chunk, and
// the reply in a later chunk is still taken.
using TcpLinkRtuTest = HostFixture;

TEST_F(TcpLinkRtuTest, RepliesAreCutByTheRequestInFlight) {
  auto client = NewClient();
  ASSERT_TRUE(
      client->OpenSite(List({"DESCRIPTION=Server", "BP3=TRUE", "SP3=10.0.0.7", "TCPFRAMING=RTU"})));
  TcpLink& link = client->Engine->Tcp;
  FakeTcpClient& tcp = *tcpClients.Created.back();
  link.SelectHost("");
  loop.RunFor(50);
  const auto rtu = [](std::string bytes) {
    const uint16_t crc = CalcCRC(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return bytes + static_cast<char>(crc & 0xFF) + static_cast<char>(crc >> 8);
  };
  const std::string request = rtu(std::string("\x11\x03\x00\x03\x00\x01", 6));
  const std::string reply = rtu(std::string("\x11\x03\x02\x04\x57", 5));
  const std::string exception = rtu(std::string("\x11\x83\x02", 3));
  std::string corrupt = reply;
  corrupt[3] = '\x05';
  struct Row {
    std::vector<std::string> chunks;
    std::string taken;
  };
  const Row rows[] = {
      {{reply.substr(0, 2), reply.substr(2)}, reply},
      {{reply.substr(0, 1), reply.substr(1, 3), reply.substr(4)}, reply},
      {{exception}, exception},
      {{rtu(std::string("\x12\x03\x02\x00\x01", 5)), reply}, reply},  // another slave's
      {{corrupt, reply}, reply},
  };
  for (const Row& row : rows) {
    link.SendTCP(request);
    for (const std::string& chunk : row.chunks) {
      EXPECT_FALSE(link.ReplyArrived());
      tcp.DeliverData(chunk);
    }
    EXPECT_TRUE(link.ReplyArrived());
    EXPECT_EQ(link.ReplyText(), row.taken);
  }
  // Unanswered, the request leaves its connection behind; answered, the connection stays.
  const int connects = tcp.Connects;
  link.SendTCP(request);
  link.SelectHost("");
  loop.RunFor(50);
  EXPECT_EQ(tcp.Connects, connects + 1);
  link.SendTCP(request);
  tcp.DeliverData(reply);
  link.SelectHost("");
  EXPECT_EQ(tcp.Connects, connects + 1);
}

// A request sent to be looked for leaves its reply with the connection until a look takes it
// (never the look right after the send); arrivals stay quiet until a request that is woken for,
// a forget or the connection's end, and the next host selection takes an unanswered one's reply.
struct LookRow {
  const char* name;
  TcpLink::ReplyWake wake;
  int looks;           // looks made after the reply was delivered
  const char* ending;  // "" | "forget" | "select" | "woken" (a request sent): after the looks
  bool arrived;        // the reply counts as arrived at the end
  int readNows;        // client reads made for it
  bool notificationAtEnd;
};

class TcpLinkLookTest : public TcpLinkTest, public ::testing::WithParamInterface<LookRow> {};

INSTANTIATE_TEST_SUITE_P(
    Rows, TcpLinkLookTest,
    ::testing::Values(
        LookRow{"WokenTakesOnArrival", TcpLink::ReplyWake::OnArrival, 0, "", true, 0, true},
        LookRow{"WokenLookReadsNothing", TcpLink::ReplyWake::OnArrival, 2, "", true, 0, true},
        LookRow{"LookedNotLooked", TcpLink::ReplyWake::OnLook, 0, "", false, 0, false},
        LookRow{"LookedFirstLookIsTheSendersOwn", TcpLink::ReplyWake::OnLook, 1, "", false, 0,
                false},
        LookRow{"LookedSecondLookTakesIt", TcpLink::ReplyWake::OnLook, 2, "", true, 1, false},
        LookRow{"LookedThenForgotten", TcpLink::ReplyWake::OnLook, 1, "forget", false, 1, true},
        LookRow{"LookedThenAWokenRequest", TcpLink::ReplyWake::OnLook, 1, "woken", false, 1, true},
        LookRow{"LookedAnsweredSelectionReadsNothing", TcpLink::ReplyWake::OnLook, 2, "select",
                true, 1, false},
        LookRow{"LookedLateReplyTakenAtTheNextSelection", TcpLink::ReplyWake::OnLook, 0, "select",
                true, 1, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(TcpLinkLookTest, TheReplyWaitsForItsLook) {
  const LookRow row = GetParam();
  Select("");
  const std::string request("\x12\x34\0\0\0\x06\xFF\x03\x00\x63\x00\x01", 12);
  const std::string reply("\x12\x34\0\0\0\x05\xFF\x03\x02\x03\xE8", 11);
  engine->Tcp.SendTCP(request, row.wake);
  EXPECT_EQ(tcp->ReadNotification(), row.wake == TcpLink::ReplyWake::OnArrival);
  tcp->DeliverData(reply.substr(0, 4));
  tcp->DeliverData(reply.substr(4));
  for (int i = 0; i < row.looks; ++i) engine->Tcp.LookForReply();
  if (std::string(row.ending) == "forget") engine->Tcp.ForgetReply();
  if (std::string(row.ending) == "select") engine->Tcp.SelectHost("");
  if (std::string(row.ending) == "woken") {
    engine->Tcp.SendTCP(request);
    EXPECT_FALSE(engine->Tcp.ReplyArrived()) << "the last request's reply taken for this one";
  }
  EXPECT_EQ(engine->Tcp.ReplyArrived(), row.arrived);
  if (row.arrived) {
    EXPECT_EQ(engine->Tcp.ReplyText(), reply);
  }
  EXPECT_EQ(tcp->ReadNows, row.readNows);
  EXPECT_EQ(tcp->ReadNotification(), row.notificationAtEnd);
  EXPECT_EQ(tcp->Unread(), row.readNows == 0 && !row.notificationAtEnd ? reply.size() : 0u);
  EXPECT_EQ(tcp->Connects, 1) << "an answered request keeps its connection";
}

TEST_F(TcpLinkTest, ALostOrDroppedConnectionComesBackOnTheNextRequest) {
  Select("");
  tcp->PeerCloses();
  Select("");
  EXPECT_EQ(tcp->Connects, 2);
  EXPECT_TRUE(engine->Tcp.TCPReady());

  // A close by a client drops the socket even when the close itself is refused.
  engine->BlockChkClick(true);
  EXPECT_FALSE(client->CloseSite(List({})));
  EXPECT_FALSE(tcp->Connected());
  engine->BlockChkClick(false);
  Select("");
  EXPECT_EQ(tcp->Connects, 3);
  EXPECT_TRUE(engine->Tcp.TCPReady());
  engine->Tcp.Drop();
  EXPECT_THROW(engine->Tcp.SendTCP("x"), std::exception) << "sending needs a connection";
}

TEST_F(TcpLinkTest, RefusedConnectionIsLoggedAndRetried) {
  tcp->Refuse = true;
  Select("");
  EXPECT_FALSE(engine->Tcp.TCPReady());
  EXPECT_EQ(engine->Model.LogMmo, (std::deque<std::string>{"Error: Connection refused",
                                                           "Disconnected: Connection refused"}));
  tcp->Refuse = false;
  Select("");
  EXPECT_TRUE(engine->Tcp.TCPReady());
}

TEST(HostAndPort, SplitsWhatHostsWrite) {
  std::string host;
  uint16_t port = 0;
  EXPECT_TRUE(SplitHostAndPort("10.0.0.7", host, port));
  EXPECT_EQ(host, "10.0.0.7");
  EXPECT_EQ(port, 502);
  EXPECT_TRUE(SplitHostAndPort("plc.local:1502", host, port));
  EXPECT_EQ(host, "plc.local");
  EXPECT_EQ(port, 1502);
  EXPECT_TRUE(SplitHostAndPort("::1", host, port));
  EXPECT_EQ(host, "::1");
  EXPECT_EQ(port, 502);
  EXPECT_TRUE(SplitHostAndPort("[::1]", host, port));
  EXPECT_EQ(host, "::1");
  EXPECT_FALSE(SplitHostAndPort("10.0.0.7:0", host, port));
  EXPECT_FALSE(SplitHostAndPort("10.0.0.7:65536", host, port));
  EXPECT_FALSE(SplitHostAndPort("10.0.0.7:50x", host, port));
  EXPECT_FALSE(SplitHostAndPort("[::1", host, port));
  EXPECT_FALSE(SplitHostAndPort("[::1]x", host, port));
}

}  // namespace
}  // namespace qmb::test

namespace qmb::test {
namespace {

TEST_F(TcpLinkTest, SlowConnectDelaysTheFirstPollWithoutFailingIt) {
  tcp->ConnectDelayMs = 350;  // a gateway that takes a few ticks to accept
  FakeSlave slave(loop, *tcp);
  slave.Holding[99] = 1234;
  EXPECT_EQ(
      Element(client->ExecuteImmediate(List({"COMMAND=SENDPOINTSLIST", "POINT0={Level}{HREG100}"})),
              0),
      "COMMANDSTATUS=TRUE");
  // Connected after 350 ms, polled at the next ticks: a failed first poll would add a 10-tick
  // pause before the retry.
  ASSERT_TRUE(loop.RunUntilTrue(
      [&] { return engine->Points.Size() == 1 && engine->Points.Data(0).HasValue; }, 1000));
  EXPECT_EQ(engine->Points.Data(0).Value, "1234");
  EXPECT_EQ(engine->Points.Data(0).FailureCount, 0);
  EXPECT_EQ(tcp->Connects, 1);
}

}  // namespace
}  // namespace qmb::test

namespace qmb::test {
namespace {

TEST_F(TcpLinkTest, AWriteTheDeviceRefusesIsReportedAsFailed) {
  FakeSlave slave(loop, *tcp);
  ASSERT_EQ(Status(client->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "TRUE");  // the open
  EXPECT_EQ(Status(RunToEnd(*client, {"COMMAND=POINTMODIFY", "POINT={k}{HREG5}{VALUE=7}{}"})),
            "TRUE");
  EXPECT_EQ(slave.Holding[4], 7);
  slave.ExceptionCode = 2;  // illegal data address
  const Variant refused = RunToEnd(*client, {"COMMAND=POINTMODIFY", "POINT={k}{HREG5}{VALUE=8}{}"});
  EXPECT_EQ(Element(refused, 0), "COMMANDSTATUS=FALSE");
  EXPECT_EQ(Element(refused, 1), "COMMANDERROR=Could not modify point.");
}

}  // namespace
}  // namespace qmb::test
