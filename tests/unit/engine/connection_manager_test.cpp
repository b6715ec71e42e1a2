// Opening and closing serial and modem sites: line settings, connect and disconnect strings,
// log-on and log-off, the texts hosts see, and the faults of ports and modems.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/SiteFixture.h"

namespace qmb::test {
namespace {

class ConnectionManagerTest : public HostFixture {
 protected:
  ConnectionManagerTest() { serialPorts.Available = {1, 3}; }

  std::unique_ptr<TQorModBusCom> Open(std::initializer_list<std::string> keys) {
    auto client = NewClient();
    EXPECT_TRUE(client->OpenSite(Variant(SafeArray::OfTexts(keys))));
    return client;
  }
  static FakeSerialPort& PortOf(const TQorModBusCom& client) {
    return static_cast<FakeSerialPort&>(client.Engine->ComPort1);
  }
  std::string Poll(TQorModBusCom& client) {
    return Status(client.ExecuteCommand(List({"COMMAND=COMMANDSTATUS"})));
  }
};

TEST_F(ConnectionManagerTest, DirectSiteConnectsWithItsSettingsAndConnectString) {
  auto client = Open({"DESCRIPTION=Line 3", "COMPORT=3", "BAUDRATE=9600", "BP2=TRUE", "IP1=1",
                      "IP2=2", "SP1=LOGIN$^M"});
  FakeSerialPort& port = PortOf(*client);
  EXPECT_EQ(Poll(*client), "Connecting...");
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.PortNumber(), 3);
  EXPECT_EQ(port.BaudRate(), 9600);
  EXPECT_EQ(port.DataBits(), 8);
  EXPECT_EQ(port.Parity(), SerialParity::Even);
  EXPECT_EQ(port.StopBits(), 1);
  EXPECT_FALSE(port.Rs485);
  EXPECT_TRUE(port.Rts);
  EXPECT_EQ(port.Threshold, 1);
  const SiteWindowModel& model = client->Engine->Model;
  EXPECT_EQ((std::vector<std::string>{model.ProtocolLbl, model.PortLbl, model.BaudLbl,
                                      model.ParityLbl, model.StopBitsLbl}),
            (std::vector<std::string>{"RTU", "3", "9600", "Even", "1"}));

  const Variant done = RunToEnd(*client, {"COMMAND=COMMANDSTATUS"});
  EXPECT_EQ(Status(done), "TRUE");
  EXPECT_EQ(port.Written, "LOGIN\r");
  EXPECT_TRUE(client->Engine->Session.LoggedOn());
  EXPECT_TRUE(client->Engine->IsConnected());

  // A second client shares the open line at once; nothing is sent again.
  auto second = Open({"DESCRIPTION=line 3", "COMPORT=3"});
  EXPECT_EQ(Poll(*second), "TRUE");
  EXPECT_EQ(port.Written, "LOGIN\r");
  EXPECT_EQ(port.Opens, 1);
}

// A connect string to a far end that never reads: the open fails with the port's text once the
// string's time is up (100,000 bytes at 38400 baud: about 29 s and the margin), and the site is
// not logged on.
TEST_F(ConnectionManagerTest, ConnectStringThePortCannotTakeFailsTheOpen) {
  auto client = Open(
      {"DESCRIPTION=Line 3", "COMPORT=3", "BAUDRATE=38400", "SP1=" + std::string(100000, 'X')});
  PortOf(*client).OutputFreeBytes = 0;
  const int64_t start = loop.NowMs();
  const Variant reply = RunToEnd(*client, {"COMMAND=COMMANDSTATUS"});
  EXPECT_EQ(Status(reply), "FALSE");
  EXPECT_NE(Element(reply, 1).find("takes no more output"), std::string::npos) << Element(reply, 1);
  EXPECT_LT(loop.NowMs() - start, 40000);
  EXPECT_FALSE(client->Engine->Session.LoggedOn());
}

TEST_F(ConnectionManagerTest, AsciiRs485SiteUsesSevenBitsAndSwitchesRts) {
  auto client = Open({"DESCRIPTION=485", "COMPORT=1", "BP1=TRUE", "IP2=1"});
  FakeSerialPort& port = PortOf(*client);
  EXPECT_EQ(port.DataBits(), 7);
  EXPECT_EQ(port.Parity(), SerialParity::Odd);
  EXPECT_EQ(port.StopBits(), 2);
  EXPECT_EQ(port.BaudRate(), 38400);
  EXPECT_TRUE(port.Rs485);
  EXPECT_FALSE(port.Rts);
  EXPECT_EQ(client->Engine->Model.ProtocolLbl, "ASCII");
}

TEST_F(ConnectionManagerTest, PortsThatCannotBeClaimedFailWithClearTexts) {
  auto busy = Open({"DESCRIPTION=Busy", "COMPORT=2"});
  const Variant refused = busy->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
  EXPECT_EQ(Element(refused, 0), "COMMANDSTATUS=FALSE");
  EXPECT_EQ(Element(refused, 1),
            "COMMANDERROR=Specified comport is not available or already in use.");
  EXPECT_FALSE(PortOf(*busy).IsOpen());

  // The device vanished between the check and the open: the port's own text reaches the host.
  serialPorts.Available.insert(4);
  serialPorts.OpenErrorForNewPorts = "Could not open /dev/ttyS3: No such device";
  auto vanished = Open({"DESCRIPTION=Vanished", "COMPORT=4"});
  EXPECT_EQ(Element(vanished->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"})), 1),
            "COMMANDERROR=Could not open /dev/ttyS3: No such device");
  serialPorts.OpenErrorForNewPorts.clear();

  // A port that fails while in use is logged and shown with the site's settings, which it
  // gets back when it is reopened; the engine carries on.
  auto client = Open({"DESCRIPTION=Unplugged", "COMPORT=1"});
  ASSERT_EQ(Status(RunToEnd(*client, {"COMMAND=COMMANDSTATUS"})), "TRUE");
  PortOf(*client).Close();
  PortOf(*client).OnFailure("Device vanished");
  EXPECT_EQ(client->Engine->Model.LogMmo.back(), "Error: Device vanished");
  EXPECT_EQ(client->Engine->Model.ProtocolLbl, "ASCII");
  EXPECT_EQ(client->Engine->Model.PortLbl, "1");
  EXPECT_EQ(Poll(*client), "FALSE") << "nothing running, nothing to report";
}

TEST_F(ConnectionManagerTest, ClosingLogsOffAndSendsTheDisconnectString) {
  auto a = Open({"DESCRIPTION=Line", "COMPORT=1", "SP2=BYE^M"});
  ASSERT_EQ(Status(RunToEnd(*a, {"COMMAND=COMMANDSTATUS"})), "TRUE");
  auto b = Open({"DESCRIPTION=Line", "COMPORT=1"});
  b->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
  FakeSerialPort& port = PortOf(*a);

  EXPECT_TRUE(b->CloseSite(List({})));
  EXPECT_EQ(Poll(*b), "TRUE");
  EXPECT_EQ(port.Written, "") << "the line stays up for the other client";
  b.reset();

  ASSERT_TRUE(a->CloseSite(List({})));
  EXPECT_EQ(Poll(*a), "Disconnecting...");
  EXPECT_EQ(Status(RunToEnd(*a, {"COMMAND=COMMANDSTATUS"})), "TRUE");
  EXPECT_EQ(port.Written, "BYE\r");
  EXPECT_FALSE(a->Engine->Session.LoggedOn());
  EXPECT_TRUE(port.IsOpen()) << "the port stays open until the engine goes";
  a.reset();
  loop.RunFor(1000);
  EXPECT_EQ(main.ChildCount(), 0u);
}

TEST_F(ConnectionManagerTest, DestroyingTheEngineClosesItsPort) {
  auto client = Open({"DESCRIPTION=Line", "COMPORT=1"});
  RunToEnd(*client, {"COMMAND=COMMANDSTATUS"});
  client.reset();
  loop.RunFor(1000);
  EXPECT_EQ(main.ChildCount(), 0u);
  EXPECT_EQ(serialPorts.Closes, 1);
}

// A Hayes modem on the fake port: OK to every AT command, the given answer to a dial (none:
// silence), and a carrier that follows the call.
class ModemSiteTest : public ConnectionManagerTest {
 protected:
  std::unique_ptr<TQorModBusCom> OpenModem(const std::string& dialAnswer,
                                           std::initializer_list<std::string> extra = {}) {
    std::vector<std::string> keys{"DESCRIPTION=Remote", "CONNECTIONTYPE=MODEM", "COMPORT=1",
                                  "PHONENUMBER=5551234"};
    keys.insert(keys.end(), extra);
    auto client = NewClient();
    EXPECT_TRUE(client->OpenSite(Variant(SafeArray::OfTexts(keys))));
    FakeSerialPort& port = PortOf(*client);
    port.OnWrite = [this, &port, dialAnswer](uint8_t byte) {
      if (byte != '\r') {
        line_.push_back(static_cast<char>(byte));
        return;
      }
      // "+++" is the escape to command mode; the modem then reads what follows.
      const std::string command = line_.substr(line_.find_first_not_of('+') == std::string::npos
                                                   ? line_.size()
                                                   : line_.find_first_not_of('+'));
      line_.clear();
      if (command.rfind("ATD", 0) == 0) {
        if (dialAnswer.empty()) return;
        port.ReceiveIn(2000, "\r\n" + dialAnswer + "\r\n");
        if (dialAnswer.rfind("CONNECT", 0) == 0)
          loop.ScheduleIn(2000, [&port] { port.LineState.dcd = true; });
      } else if (command.rfind("AT", 0) == 0) {
        if (command == "ATH") loop.ScheduleIn(100, [&port] { port.LineState.dcd = false; });
        port.ReceiveIn(50, command + "\r\r\nOK\r\n");
      }
    };
    return client;
  }
  // Status texts a host sees polling every 100 ms (also while a link step waits) until the
  // command ends.
  std::vector<std::string> PollTexts(TQorModBusCom& client, std::string* last = nullptr) {
    struct Polling {
      std::vector<std::string> texts;
      std::string last;
      bool done = false;
      std::function<void()> poll;
    };
    auto state = std::make_shared<Polling>();
    state->poll = [this, &client, weak = std::weak_ptr<Polling>(state)] {
      auto s = weak.lock();
      if (!s || s->done) return;
      const Variant reply = client.ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
      const std::string status = Status(reply);
      if (status == "TRUE" || status == "FALSE") {
        s->last = Element(reply, 0) + "|" + Element(reply, 1);
        s->done = true;
        return;
      }
      if (s->texts.empty() || s->texts.back() != status) s->texts.push_back(status);
      loop.ScheduleIn(100, s->poll);
    };
    loop.ScheduleIn(0, state->poll);
    EXPECT_TRUE(loop.RunUntilTrue([&] { return state->done; }, 200000)) << "never ended";
    if (last) *last = state->last;
    return state->texts;
  }

  std::string line_;
};

TEST_F(ModemSiteTest, DialConnectsLogsOnAndHangsUp) {
  auto client = OpenModem("CONNECT 9600", {"SP1=HELLO^M"});
  std::string last;
  const auto texts = PollTexts(*client, &last);
  EXPECT_EQ(last, "COMMANDSTATUS=TRUE|COMMAND=COMMANDSTATUS");
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts[0], "Connecting...");
  EXPECT_EQ(texts[1], "Initializing Modem...");
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Dialing: 5551234"), texts.end());
  FakeSerialPort& port = PortOf(*client);
  EXPECT_EQ(port.Written.rfind("ATV1Q0&C1&D2\r", 0), 0u) << "empty init uses the default";
  EXPECT_NE(port.Written.find("5551234"), std::string::npos);
  EXPECT_EQ(port.Written.substr(port.Written.size() - 6), "HELLO\r");
  EXPECT_TRUE(client->Engine->Session.LoggedOn());

  ASSERT_TRUE(client->CloseSite(List({})));
  const auto closing = PollTexts(*client, &last);
  EXPECT_EQ(last, "COMMANDSTATUS=TRUE|COMMAND=COMMANDSTATUS");
  EXPECT_NE(std::find(closing.begin(), closing.end(), "Hanging Up Modem..."), closing.end());
  EXPECT_NE(port.Written.find("+++ATH\r"), std::string::npos);
  EXPECT_FALSE(client->Engine->Session.LoggedOn());
}

TEST_F(ModemSiteTest, FailedDialsEndWithOneText) {
  for (const char* answer : {"BUSY", "NO CARRIER", "NO DIALTONE", "NO ANSWER", "ERROR"}) {
    SCOPED_TRACE(answer);
    auto client = OpenModem(answer);
    std::string last;
    PollTexts(*client, &last);
    EXPECT_EQ(last, "COMMANDSTATUS=FALSE|COMMANDERROR=Could not connect with remote modem.");
    EXPECT_FALSE(client->Engine->Session.LoggedOn());
    client.reset();
    loop.RunFor(500);
  }
}

TEST_F(ModemSiteTest, SilentModemKeepsDialingUntilTheDialerGivesUp) {
  auto client = OpenModem("");
  loop.RunFor(30000);
  EXPECT_EQ(Status(client->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "Dialing: 5551234");
  EXPECT_EQ(client->Engine->Session.StepCounter(), 1);
  std::string last;
  PollTexts(*client, &last);
  EXPECT_EQ(last, "COMMANDSTATUS=FALSE|COMMANDERROR=Could not connect with remote modem.");
  // A new open after the failed dial starts again instead of reporting the dead line as up.
  ASSERT_TRUE(client->OpenSite(
      List({"DESCRIPTION=Remote", "CONNECTIONTYPE=MODEM", "COMPORT=1", "PHONENUMBER=5551234"})));
  EXPECT_EQ(Status(client->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "Connecting...");
}

TEST_F(ModemSiteTest, CarrierThatStaysUpFailsTheHangUp) {
  auto client = OpenModem("CONNECT 2400");
  PollTexts(*client);
  FakeSerialPort& port = PortOf(*client);
  port.OnWrite = nullptr;  // the modem stops answering, the carrier stays
  port.LineState.dcd = true;
  ASSERT_TRUE(client->CloseSite(List({})));
  std::string last;
  PollTexts(*client, &last);
  EXPECT_EQ(
      last,
      "COMMANDSTATUS=FALSE|COMMANDERROR=Could not hang up modem. Please try again or reset it.");
}

TEST_F(ModemSiteTest, ModemSitesWithoutNumberOrPortAreRefused) {
  auto noNumber = NewClient();
  noNumber->OpenSite(List({"DESCRIPTION=M1", "CONNECTIONTYPE=MODEM", "COMPORT=1"}));
  EXPECT_EQ(Element(noNumber->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"})), 1),
            "COMMANDERROR=Phone number required for modem connection.");
  auto noPort = NewClient();
  noPort->OpenSite(List({"DESCRIPTION=M2", "CONNECTIONTYPE=MODEM", "PHONENUMBER=1"}));
  EXPECT_EQ(Element(noPort->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"})), 1),
            "COMMANDERROR=TAPI Not currently Supported");
}

TEST_F(ModemSiteTest, PortThatFailsLosesTheCallAndTheSiteGoesOffline) {
  auto client = OpenModem("CONNECT 9600");
  PollTexts(*client);
  ASSERT_TRUE(client->Engine->IsConnected());
  FakeSerialPort& port = PortOf(*client);
  port.Unplug();
  EXPECT_FALSE(client->Engine->IsConnected()) << "a reopened port would not bring the call back";
  EXPECT_FALSE(client->Engine->Session.LoggedOn());
  const Variant status = RunToEnd(*client, {"COMMAND=SITESTATUS"});
  EXPECT_EQ(Element(status, 3), "Remote");
  EXPECT_EQ(Element(status, 4), "Offline");
  const size_t attempts = port.OpenTimes.size();
  loop.RunFor(60000);
  EXPECT_EQ(port.OpenTimes.size(), attempts) << "nothing reopens the port of a lost call";
}

// A call whose carrier goes (the modem says NO CARRIER; or DCD, up during the call, falls): the
// site goes offline once, polls nothing, and the next command that needs the device dials again.
TEST_F(ModemSiteTest, LostCarrierTakesTheSiteOfflineUntilTheNextCommandDials) {
  const LogLevel level = CurrentLogLevel();
  SetLogLevel(LogLevel::Info);
  std::vector<std::string> log;
  SetLogSink([&log](LogLevel, const std::string& line) { log.push_back(line); });
  const auto count = [](const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  };
  for (const bool word : {true, false}) {
    SCOPED_TRACE(word ? "NO CARRIER" : "DCD");
    log.clear();
    auto client = OpenModem("CONNECT 9600");
    PollTexts(*client);
    ASSERT_EQ(Status(RunToEnd(*client, {"COMMAND=SENDPOINTSLIST", "POINT0={p}{1-HREG1}"})), "TRUE");
    FakeSerialPort& port = PortOf(*client);
    loop.RunFor(3000);  // the carrier is up
    if (word)
      port.ReceiveIn(0, "\r\nNO CARRIER\r\n");
    else
      port.LineState.dcd = false;
    line_.clear();  // back in command mode, the modem reads a fresh line
    loop.RunFor(500);
    EXPECT_FALSE(client->Engine->IsConnected());
    EXPECT_FALSE(client->Engine->Session.LoggedOn());
    const size_t written = port.Written.size();
    loop.RunFor(10000);
    EXPECT_EQ(port.Written.size(), written) << "nothing is polled on a lost call";

    RunToEnd(*client, {"COMMAND=POINTGETVALUE", "POINT={p}{1-HREG2}"});
    EXPECT_EQ(count(port.Written.substr(written), "ATDT5551234\r"), 1u);
    EXPECT_TRUE(client->Engine->IsConnected());
    EXPECT_TRUE(client->Engine->Session.LoggedOn());
    loop.RunFor(5000);
    EXPECT_GT(port.Written.size(), written) << "polling resumes";
    std::string lines;
    for (const std::string& line : log) lines += line + "\n";
    EXPECT_EQ(count(lines, "the modem call is lost"), 1u) << lines;
    EXPECT_EQ(count(lines, word ? "NO CARRIER;" : "(DCD) dropped;"), 1u) << lines;
    client.reset();
    loop.RunFor(500);
  }
  SetLogSink(nullptr);
  SetLogLevel(level);
}

// A serial device that goes away while its site is open: the port is reopened after 1 s, then
// after twice the last wait up to 30 s. Meanwhile nothing is polled or counted against a point,
// commands fail at once, and the status shows the site's own settings and why the port is down.
// The failure is logged once, each reopen error once, and the recovery once.
class PortOutageTest : public SiteFixture {
 protected:
  // At the default level whatever QORMODBUS_LOGLEVEL the tests run with (CI sets warning).
  PortOutageTest() : level_(CurrentLogLevel()) {
    SetLogLevel(LogLevel::Info);
    SetLogSink([this](LogLevel level, const std::string& line) {
      if (level >= LogLevel::Info) log.push_back(line);
    });
  }
  ~PortOutageTest() override {
    SetLogSink(nullptr);
    SetLogLevel(level_);
  }
  LogLevel level_;
  int Logged(const std::string& part) const {
    return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos;
    }));
  }
  // Waits between the open attempts from the given one on.
  std::vector<int64_t> AttemptGaps(size_t from) const {
    std::vector<int64_t> gaps;
    for (size_t i = from + 1; i < port->OpenTimes.size(); ++i)
      gaps.push_back(port->OpenTimes[i] - port->OpenTimes[i - 1]);
    return gaps;
  }

  std::vector<std::string> log;
};

class PortOutageFramingTest : public PortOutageTest,
                              public ::testing::WithParamInterface<LinkKind> {};
INSTANTIATE_TEST_SUITE_P(Framings, PortOutageFramingTest,
                         ::testing::Values(LinkKind::ASCII, LinkKind::RTU),
                         [](const auto& info) { return std::string(LinkName(info.param)); });

TEST_P(PortOutageFramingTest, UnpluggedDeviceIsReopenedWithGrowingWaitsAndPollingResumes) {
  OpenSerial(GetParam() == LinkKind::RTU);
  slave->Holding[0] = 7;
  SendPoints({"{a}{1-HREG1}"});
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").HasValue; }));
  const std::vector<std::string> healthy = Texts(Run({"COMMAND=SITESTATUS"}));
  ASSERT_EQ(healthy.size(), 13u);
  EXPECT_EQ(healthy[7], "");

  port->Unplug();
  const int64_t unplugged = loop.NowMs();
  const size_t attempts = port->OpenTimes.size();
  const size_t frames = FrameCount();
  std::vector<std::string> down = Texts(Run({"COMMAND=SITESTATUS"}));
  ASSERT_EQ(down.size(), 13u);
  EXPECT_EQ(down[7], "Port down, reopening: COM1: the device failed (read error)");
  for (size_t i = 8; i < 13; ++i) EXPECT_EQ(down[i], healthy[i]) << "the site's own settings";

  ASSERT_TRUE(RunUntil([&] { return port->OpenTimes.size() > attempts; }));
  EXPECT_NEAR(port->OpenTimes[attempts] - unplugged, 1000, 100);
  const Variant read = Run({"COMMAND=POINTGETVALUE", "POINT={v}{1-HREG1}"});
  EXPECT_EQ(Element(read, 1), "COMMANDERROR=Could not read data from panel.");
  const Variant raw =
      Run({"COMMAND=GETDATA", "DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=010300000001"});
  EXPECT_EQ(Element(raw, 1),
            "COMMANDERROR=Cannot send: COM1 is not open (reopening: COM1: no device)");
  EXPECT_EQ(Texts(Run({"COMMAND=SITESTATUS"}))[7], "Port down, reopening: COM1: no device");

  loop.RunFor(unplugged + 70000 - loop.NowMs());
  const std::vector<int64_t> gaps = AttemptGaps(attempts);
  const std::vector<int64_t> expected{2000, 4000, 8000, 16000, 30000};
  ASSERT_EQ(gaps.size(), expected.size());
  for (size_t i = 0; i < gaps.size(); ++i) EXPECT_NEAR(gaps[i], expected[i], 100) << i;
  EXPECT_EQ(FrameCount(), frames) << "nothing is polled while the port is down";
  EXPECT_EQ(Point("1-HREG1").FailureCount, 0);
  EXPECT_FALSE(engine->Session.Busy());
  EXPECT_EQ(Logged("serial port failed: COM1: the device failed (read error); reopening it"), 1);
  EXPECT_EQ(Logged("reopening COM1 failed: COM1: no device"), 1);

  // Plugged back: the next attempt (30 s after the last) reopens it and polling resumes.
  port->Replug();
  slave->Holding[0] = 8;
  ASSERT_TRUE(RunUntil([&] { return port->IsOpen(); }));
  EXPECT_NEAR(loop.NowMs() - unplugged, 91000, 200);
  EXPECT_EQ(Logged("COM1 reopened after 91 s (7 attempts); polling resumes"), 1) << log.back();
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").Value == "8"; }, 3000));
  EXPECT_EQ(Texts(Run({"COMMAND=SITESTATUS"}))[7], "");

  // A device that fails again soon after goes on with the long wait; one that stayed up 30 s
  // starts from 1 s again.
  port->Unplug();
  size_t from = port->OpenTimes.size();
  int64_t failed = loop.NowMs();
  port->Replug();
  ASSERT_TRUE(RunUntil([&] { return port->IsOpen(); }));
  EXPECT_NEAR(port->OpenTimes[from] - failed, 30000, 100);
  loop.RunFor(31000);
  port->Unplug();
  from = port->OpenTimes.size();
  failed = loop.NowMs();
  port->Replug();
  ASSERT_TRUE(RunUntil([&] { return port->IsOpen(); }));
  EXPECT_NEAR(port->OpenTimes[from] - failed, 1000, 100);
  EXPECT_EQ(Logged("serial port failed"), 3);
  EXPECT_EQ(Point("1-HREG1").FailureCount, 0);
}

// A link reset after a silent poll whose reopen fails leaves the port closed with no failure
// reported: the watch's first attempt, 1 s later, tells why, and the cut-short poll counts
// against no point. (A reset that reopens the port is no outage: nothing is logged.)
TEST_F(PortOutageTest, LinkResetThatCannotReopenStartsTheOutage) {
  OpenSerial(false);
  slave->Silent = true;
  SendPoints({"{a}{1-HREG1}"});
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 2; }));
  EXPECT_EQ(Point("1-HREG1").FailureCount, 1) << "a silent poll whose reset reopened the port";
  EXPECT_EQ(Logged("COM1"), 0) << "nothing to say about a port the reset reopened";
  port->OpenError = "COM1: no device";
  ASSERT_TRUE(RunUntil([&] { return !engine->Flags.PortLost.empty(); }));
  EXPECT_EQ(engine->Flags.PortLost, "COM1: no device");
  EXPECT_EQ(Point("1-HREG1").FailureCount, 1);
  EXPECT_EQ(engine->Model.PortLbl, "1");
  EXPECT_EQ(Logged("serial port failed: COM1: no device; reopening it in 2 s"), 1);

  slave->Silent = false;
  slave->Holding[0] = 3;
  port->Replug();
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").HasValue; }, 5000));
  EXPECT_EQ(Point("1-HREG1").Value, "3");
  EXPECT_TRUE(engine->Flags.PortLost.empty());
  EXPECT_EQ(Logged("COM1 reopened"), 1);
}

// A Modbus/TCP site keeps out of the engine's serial port, which it does not use: what that port
// delivers is taken by no one, and its failure is logged, never reopened nor shown as the
// site's. The client points at the site's own address as soon as the site is assigned, before
// any exchange.
TEST_F(PortOutageTest, ModbusTcpSiteLeavesTheSerialPortAlone) {
  OpenTcp("10.0.0.5:1502");
  EXPECT_EQ(tcp->RemoteHost(), "10.0.0.5");
  EXPECT_EQ(tcp->RemotePort(), 1502);
  FakeSerialPort& serial = *serialPorts.Created.back();
  serial.Open();
  serial.Receive("stray bytes");
  EXPECT_EQ(engine->Line.ActivityCount(), 0);
  serial.Unplug("COM1: gone");
  loop.RunFor(5000);
  EXPECT_EQ(Logged("serial port failed: COM1: gone"), 1);
  EXPECT_EQ(serial.OpenTimes.size(), 1u) << "only the test opened it";
  EXPECT_TRUE(engine->Flags.PortLost.empty());
  EXPECT_EQ(engine->Model.PortLbl, "n/a");
  EXPECT_TRUE(engine->IsConnected());
}

}  // namespace
}  // namespace qmb::test
