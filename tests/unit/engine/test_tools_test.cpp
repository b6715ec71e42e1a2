// The site window's test tools and its close rule, as the window's controls drive them.
#include <gtest/gtest.h>

#include <deque>

#include "support/HostFixture.h"

namespace qmb::test {
namespace {

class TestToolsTest : public HostFixture {
 protected:
  void SetUp() override {
    main.SetTestAddress("127.0.0.1:1502");
    client = OpenOffline("Bench");
    engine = client->Engine;
  }
  std::unique_ptr<TQorModBusCom> client;
  TModBusForm* engine = nullptr;
};

TEST_F(TestToolsTest, RawCommandFieldListsThePointOrAnError) {
  struct Case {
    const char* typed;
    char key;
    std::deque<std::string> log;
  };
  const Case cases[] = {
      {"XYZ", 13, {"***ERROR***"}},
      {"1-HREG100,3,16,FLOAT",
       13,
       {"IP: ", "Pnl: 1", "Typ: HREG", "Num: 100", "1st: 3", "Num: 16", "Typ: FLOAT"}},
      {"[10.0.0.7]-OUT5",
       13,
       {"IP: 10.0.0.7", "Pnl: 255", "Typ: OUT", "Num: 5", "1st: 0", "Num: 16", "Typ: WORD"}},
      {"1-HREG100", 'a', {"previous"}},  // only Enter runs the test
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    engine->Model.LogMmo = {"previous"};
    engine->Model.CmdEdt = c.typed;
    engine->CmdEdtKeyPress(c.key);
    EXPECT_EQ(engine->Model.LogMmo, c.log);
  }
}

TEST_F(TestToolsTest, TestConnectionSendsTheCoilFrameOnlyWhenConnected) {
  engine->TCPSendBtnClick();  // not connected: nothing
  EXPECT_TRUE(tcpClients.Created.back()->Sent.empty());

  engine->ConnectBtnClick();
  FakeTcpClient& tcp = *tcpClients.Created.back();
  ASSERT_EQ(tcp.ConnectTargets.back(), std::make_pair(std::string("127.0.0.1"), uint16_t{1502}));
  EXPECT_TRUE(engine->Tcp.TCPReady());
  loop.RunFor(50);  // the connection is established
  for (const bool state : {true, false}) {
    engine->Model.StateChk = state;
    engine->TCPSendBtnClick();
    ASSERT_FALSE(tcp.Sent.empty());
    const std::string expected = std::string("\xAA\x55\x00\x00\x00\x06\xFF\x05\x00\x00", 10) +
                                 std::string(1, state ? '\xFF' : '\0') + std::string(1, '\0');
    EXPECT_EQ(tcp.Sent.back(), expected);
    EXPECT_EQ(engine->Model.LogMmo.back(), "Data Sent");
  }
  engine->ConnectBtnClick();  // already connected: no second connect
  EXPECT_EQ(tcp.Connects, 1);
  engine->DisconnectBtnClick();
  EXPECT_EQ(tcp.Disconnects, 1);
  engine->DisconnectBtnClick();
  EXPECT_EQ(tcp.Disconnects, 1);
}

TEST_F(TestToolsTest, WindowOfAConnectedSiteRefusesToCloseOthersGoWithTheirClientsTold) {
  EXPECT_FALSE(engine->CanClose()) << "an offline site counts as connected";
  EXPECT_FALSE(main.CloseSiteWindow(engine));
  loop.RunFor(200);
  EXPECT_EQ(main.ChildCount(), 1u);

  // A serial site whose connect failed: its client is attached, the site is not connected.
  auto failed = NewClient();
  failed->OpenSite(List({"DESCRIPTION=Dead line", "COMPORT=7"}));
  TModBusForm* dead = failed->Engine;
  ASSERT_NE(dead, nullptr);
  ASSERT_EQ(Status(RunToEnd(*failed, {"COMMAND=COMMANDSTATUS"})), "FALSE");
  EXPECT_TRUE(main.CloseSiteWindow(dead));
  loop.RunFor(100);
  EXPECT_EQ(main.ChildCount(), 1u);
  EXPECT_EQ(failed->Engine, nullptr) << "the client no longer reaches the closed engine";
  EXPECT_EQ(Status(failed->ExecuteCommand(List({"COMMAND=SITESTATUS"}))), "FALSE");
}

}  // namespace
}  // namespace qmb::test
