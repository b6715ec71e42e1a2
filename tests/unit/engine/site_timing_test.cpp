// A site's timing keys (TIMEOUT, RETRIES, GAP, CONNECTPAUSE) and writes to slave 0, the
// broadcast address, as a host sees them, in virtual time: what the open takes and refuses, how
// long a device may take, how often a read is tried, the silence kept between requests, the
// pause after a Modbus/TCP connect; a broadcast write done without a reply, a read refused.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/OpenSettings.h"
#include "host/TypedSites.h"
#include "support/SiteFixture.h"

namespace qmb::test {
namespace {

using TimingKeysTest = HostFixture;

TEST_F(TimingKeysTest, EachKeyTakesAWholeNumberWithinItsBoundsOrRefusesTheOpen) {
  struct Row {
    std::string pair;       // KEY=VALUE
    int32_t TSite::*field;  // where an accepted value goes
    int32_t value;          // ... and what it holds then
    std::string accepts;    // a refused value: the end of what the key accepts
  };
  const Row rows[] = {
      {"TIMEOUT=2500", &TSite::TimeoutMs, 2500, ""},
      {"TIMEOUT=10", &TSite::TimeoutMs, 10, ""},
      {"TIMEOUT=", &TSite::TimeoutMs, 0, ""},  // empty: the driver's own budgets
      {"TIMEOUT=9", nullptr, 0, "from 10 to 30000"},
      {"TIMEOUT=30001", nullptr, 0, "from 10 to 30000"},
      {"TIMEOUT=fast", nullptr, 0, "from 10 to 30000"},
      {"RETRIES=10", &TSite::ReadAttempts, 10, ""},
      {"RETRIES=0", nullptr, 0, "from 1 to 10"},
      {"RETRIES=2.5", nullptr, 0, "from 1 to 10"},
      {"GAP=0", &TSite::GapMs, 0, ""},
      {"GAP=10000", &TSite::GapMs, 10000, ""},
      {"GAP=-1", nullptr, 0, "from 0 to 10000"},
      {"CONNECTPAUSE=30000", &TSite::ConnectPauseMs, 30000, ""},
      {"CONNECTPAUSE=1e9", nullptr, 0, "from 0 to 30000"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pair);
    const std::string key = row.pair.substr(0, row.pair.find('='));
    const std::string given = row.pair.substr(key.size() + 1);
    auto client = NewClient();
    const Variant list = List({"DESCRIPTION=Timing", "OFFLINE=TRUE", row.pair});
    const bool opened = client->OpenSite(list);
    // qmbctl refuses the same values before they reach the driver.
    const std::vector<ReplacedSetting> told = ReplacedSettings(list);
    if (row.field) {
      EXPECT_TRUE(opened);
      EXPECT_EQ(client->Site.*row.field, row.value);
      EXPECT_TRUE(told.empty());
      continue;
    }
    EXPECT_FALSE(opened);
    EXPECT_EQ(client->Engine, nullptr) << "a refused open makes no engine";
    const std::string detail = client->LastErrorDetail();
    EXPECT_EQ(detail.rfind("OpenSite \"Timing\" refused: " + key + " \"" + given + "\" is not ", 0),
              0u)
        << detail;
    EXPECT_NE(detail.find(row.accepts), std::string::npos) << detail;
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].key, key);
    EXPECT_TRUE(told[0].used.empty()) << "the driver takes no default in its place";
    EXPECT_NE(DescribeReplacedSettings(told).find(": the open is refused"), std::string::npos);
  }
}

TEST_F(TimingKeysTest, ASecondHostWithOtherTimingIsToldTheSiteKeepsItsOwn) {
  auto first = NewClient();
  ASSERT_TRUE(first->OpenSite(List({"DESCRIPTION=Kiln", "OFFLINE=TRUE", "TIMEOUT=500"})));
  auto second = NewClient();
  ASSERT_TRUE(
      second->OpenSite(List({"DESCRIPTION=Kiln", "OFFLINE=TRUE", "TIMEOUT=800", "GAP=20"})));
  EXPECT_EQ(second->Engine, first->Engine);
  EXPECT_EQ(second->Engine->Site.TimeoutMs, 500);
  EXPECT_NE(second->LastErrorDetail().find("TIMEOUT 800 (the site has 500); GAP 20 (the site has "
                                           "none)"),
            std::string::npos)
      << second->LastErrorDetail();
}

// One host command on a site opened with some timing keys, against a slave that answers late or
// not at all: the outcome and the requests the slave saw.
struct ReplyWaitRow {
  const char* name;
  LinkKind link;
  std::vector<std::string> keys;
  int64_t replyDelayMs;  // -1: the slave is silent
  std::string point;     // POINTGETVALUE, or POINTMODIFY when it carries a value
  std::string status;
  int frames;
};

class ReplyWaitTest : public SiteFixture, public ::testing::WithParamInterface<ReplyWaitRow> {};

INSTANTIATE_TEST_SUITE_P(
    Keys, ReplyWaitTest,
    ::testing::Values(
        // RTU: a point read's reply begins within 200 ms; TIMEOUT gives the device longer.
        ReplyWaitRow{"RtuLateDefault", LinkKind::RTU, {}, 1000, "{x}{1-HREG1}", "FALSE", 1},
        ReplyWaitRow{
            "RtuLateTimeout", LinkKind::RTU, {"TIMEOUT=1500"}, 1000, "{x}{1-HREG1}", "TRUE", 1},
        // ASCII: the line end within 20 delay periods (2 to 4 s).
        ReplyWaitRow{"AsciiLateDefault", LinkKind::ASCII, {}, 5000, "{x}{1-HREG1}", "FALSE", 1},
        ReplyWaitRow{
            "AsciiLateTimeout", LinkKind::ASCII, {"TIMEOUT=6000"}, 5000, "{x}{1-HREG1}", "TRUE", 1},
        // Modbus/TCP: 10 s by default; TIMEOUT may shorten it too.
        ReplyWaitRow{"TcpLateDefault", LinkKind::TCP, {}, 3000, "{x}{HREG1}", "TRUE", 1},
        ReplyWaitRow{
            "TcpLateTimeout", LinkKind::TCP, {"TIMEOUT=1000"}, 3000, "{x}{HREG1}", "FALSE", 1},
        // RETRIES: the attempts of a read; writes keep their own three on a serial line.
        ReplyWaitRow{"RtuSilentDefault", LinkKind::RTU, {}, -1, "{x}{1-HREG1}", "FALSE", 1},
        ReplyWaitRow{
            "RtuSilentRetries", LinkKind::RTU, {"RETRIES=3"}, -1, "{x}{1-HREG1}", "FALSE", 3},
        ReplyWaitRow{
            "AsciiSilentRetries", LinkKind::ASCII, {"RETRIES=2"}, -1, "{x}{1-HREG1}", "FALSE", 2},
        ReplyWaitRow{"TcpSilentRetries",
                     LinkKind::TCP,
                     {"RETRIES=2", "TIMEOUT=500"},
                     -1,
                     "{x}{HREG1}",
                     "FALSE",
                     2},
        ReplyWaitRow{"RtuWriteKeepsItsAttempts",
                     LinkKind::RTU,
                     {"RETRIES=1"},
                     -1,
                     "{w}{1-HREG1}{VALUE=5}",
                     "FALSE",
                     3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(ReplyWaitTest, TheDeviceGetsTheSitesWaitAndAttempts) {
  const ReplyWaitRow& row = GetParam();
  siteKeys = row.keys;
  Open(row.link);
  slave->Holding[0] = 42;
  slave->Silent = row.replyDelayMs < 0;
  if (row.replyDelayMs >= 0) slave->ReplyDelayMs = row.replyDelayMs;
  const bool write = row.point.find("VALUE=") != std::string::npos;
  const Variant reply =
      Run({write ? "COMMAND=POINTMODIFY" : "COMMAND=POINTGETVALUE", "POINT=" + row.point});
  EXPECT_EQ(Status(reply), row.status);
  EXPECT_EQ(static_cast<int>(FrameCount()), row.frames);
  const std::vector<std::string> texts = Texts(reply);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "VALUE=42"), row.status == "TRUE" && !write);
}

// Polling two points that share no request, with and without GAP: the time from one request to
// the next, which is the slave's 20 ms reply and what the driver keeps after it.
struct GapRow {
  const char* name;
  LinkKind link;
  bool fast;
  std::vector<std::string> keys;
  int64_t fewestMs;
  int64_t mostMs;
};

class GapTest : public SiteFixture, public ::testing::WithParamInterface<GapRow> {};

INSTANTIATE_TEST_SUITE_P(
    Keys, GapTest,
    ::testing::Values(GapRow{"FastRtuDefault", LinkKind::RTU, true, {}, 23, 23},
                      GapRow{"FastRtuGap", LinkKind::RTU, true, {"GAP=150"}, 170, 170},
                      GapRow{"FastAsciiGap", LinkKind::ASCII, true, {"GAP=150"}, 170, 170},
                      GapRow{"FastTcpGap", LinkKind::TCP, true, {"GAP=150"}, 170, 170},
                      GapRow{"TickRtuDefault", LinkKind::RTU, false, {}, 200, 500},
                      GapRow{"TickRtuGap", LinkKind::RTU, false, {"GAP=800"}, 820, 1200},
                      GapRow{"TickAsciiGap", LinkKind::ASCII, false, {"GAP=800"}, 820, 1200},
                      GapRow{"TickTcpGap", LinkKind::TCP, false, {"GAP=800"}, 820, 1200}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(GapTest, TheSiteKeepsItsSilenceBetweenRequests) {
  const GapRow& row = GetParam();
  siteKeys = row.keys;
  if (row.fast) siteKeys.push_back("POLLMODE=FAST");
  Open(row.link);
  slave->Holding = {{0, 1}, {199, 2}};
  const bool tcp = row.link == LinkKind::TCP;
  SendPoints({tcp ? "{a}{HREG1}" : "{a}{1-HREG1}", tcp ? "{b}{HREG200}" : "{b}{1-HREG200}"});
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 6; }));
  std::vector<int64_t> spacing;
  for (size_t i = 1; i < slave->FrameTimes.size(); ++i)
    spacing.push_back(slave->FrameTimes[i] - slave->FrameTimes[i - 1]);
  // The closest two requests (the tick-paced poll also pauses at the end of each round).
  const int64_t closest = *std::min_element(spacing.begin(), spacing.end());
  EXPECT_GE(closest, row.fewestMs);
  EXPECT_LE(closest, row.mostMs);
  EXPECT_EQ(Point(tcp ? "HREG200" : "1-HREG200").Value, "2");
}

// The first request on a new Modbus/TCP connection, counted from the command that needs it:
// a point read, or the points handed to the poller or the fast scan.
struct ConnectPauseRow {
  const char* name;
  const char* pollMode;  // "" for a point read
  std::vector<std::string> keys;
  int64_t fewestMs;
  int64_t mostMs;
};

class ConnectPauseTest : public SiteFixture,
                         public ::testing::WithParamInterface<ConnectPauseRow> {};

INSTANTIATE_TEST_SUITE_P(
    Keys, ConnectPauseTest,
    ::testing::Values(ConnectPauseRow{"ReadDefault", "", {}, 0, 400},
                      ConnectPauseRow{"ReadPause", "", {"CONNECTPAUSE=1500"}, 1500, 2000},
                      ConnectPauseRow{"TickDefault", "TICK", {}, 0, 400},
                      ConnectPauseRow{"TickPause", "TICK", {"CONNECTPAUSE=1500"}, 1500, 2000},
                      ConnectPauseRow{"FastDefault", "FAST", {}, 0, 400},
                      ConnectPauseRow{"FastPause", "FAST", {"CONNECTPAUSE=1500"}, 1500, 2000},
                      ConnectPauseRow{"TypedDefault", "TYPED", {}, 0, 400},
                      ConnectPauseRow{"TypedPause", "TYPED", {"CONNECTPAUSE=1500"}, 1500, 2000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(ConnectPauseTest, TheFirstRequestWaitsOutThePauseAfterTheConnect) {
  const ConnectPauseRow& row = GetParam();
  siteKeys = row.keys;
  const bool typed = std::string(row.pollMode) == "TYPED";
  if (*row.pollMode && !typed) siteKeys.push_back(std::string("POLLMODE=") + row.pollMode);
  OpenTcp();
  slave->Holding[0] = 7;
  if (typed) {
    // A typed host's read goes out on the link's own events, not the tick's.
    TypedSites sites(main, loop);
    uint32_t site = 0;
    ASSERT_FALSE(sites.Open("typed", {{"Description", std::string("gateway")}},
                            [&](uint32_t id, const TypedError&) { site = id; }));
    ASSERT_TRUE(RunUntil([&] { return site != 0; }));
    std::string value;
    acceptedAt = loop.NowMs();
    ASSERT_FALSE(sites.Read(site, "typed", {"HREG1"}, 0,
                            [&](std::vector<TypedReading> readings, const TypedError&) {
                              value = TypedScalarText(readings.at(0).value);
                            }));
    EXPECT_TRUE(RunUntil([&] { return !value.empty(); }));
    EXPECT_EQ(value, "7");
  } else if (*row.pollMode) {
    SendPoints({"{a}{HREG1}"});
    ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 1; }));
    EXPECT_TRUE(RunUntil([&] { return Point("HREG1").Value == "7"; }));
  } else {
    EXPECT_EQ(Texts(Run({"COMMAND=POINTGETVALUE", "POINT={a}{HREG1}"}))[3], "VALUE=7");
  }
  ASSERT_GE(FrameCount(), 1u);
  EXPECT_GE(slave->FrameTimes[0] - acceptedAt, row.fewestMs);
  EXPECT_LE(slave->FrameTimes[0] - acceptedAt, row.mostMs);
  EXPECT_EQ(tcp->Connects, 1) << "the pause is no reason to connect again";
}

// Slave 0 on a serial line: a write goes out and is done without a reply (no device gives one);
// a read is refused before anything is sent.
struct BroadcastRow {
  const char* name;
  LinkKind link;
  std::vector<std::string> command;
  std::string status;
  std::vector<std::string> frames;  // as the line carried them
  std::string cause;                // in LastErrorDetail when the command failed
};

class BroadcastTest : public SiteFixture, public ::testing::WithParamInterface<BroadcastRow> {};

INSTANTIATE_TEST_SUITE_P(
    Slave0, BroadcastTest,
    ::testing::Values(
        BroadcastRow{"RtuWrite",
                     LinkKind::RTU,
                     {"COMMAND=POINTMODIFY", "POINT={w}{0-HREG4}{VALUE=7}"},
                     "TRUE",
                     {"000600030007"},
                     ""},
        BroadcastRow{"AsciiCoilWrite",
                     LinkKind::ASCII,
                     {"COMMAND=POINTMODIFY", "POINT={w}{0-OUT2}{VALUE=ON}"},
                     "TRUE",
                     {"00050001FF00"},
                     ""},
        BroadcastRow{"RtuRawWrite",
                     LinkKind::RTU,
                     {"COMMAND=GETDATA", "DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=000600030007"},
                     "TRUE",
                     {"000600030007"},
                     ""},
        BroadcastRow{"RtuRead",
                     LinkKind::RTU,
                     {"COMMAND=POINTGETVALUE", "POINT={r}{0-HREG4}"},
                     "FALSE",
                     {},
                     "nothing sent: slave 0 is the broadcast address"},
        BroadcastRow{"AsciiRawRead",
                     LinkKind::ASCII,
                     {"COMMAND=GETDATA", "DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=000300000001"},
                     "FALSE",
                     {},
                     "not function 3"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(BroadcastTest, AWriteIsDoneWithoutAReplyAndAReadIsRefused) {
  const BroadcastRow& row = GetParam();
  Open(row.link);
  const Variant reply = Run(row.command);
  EXPECT_EQ(Status(reply), row.status);
  EXPECT_EQ(Requests(), row.frames);
  // Done within the request's time on the wire and the 200 ms turnaround (and the host's next
  // status poll), not after a silent slave's attempts.
  EXPECT_LT(loop.NowMs() - acceptedAt, 500);
  if (!row.cause.empty()) {
    EXPECT_NE(client->LastErrorDetail().find(row.cause), std::string::npos)
        << client->LastErrorDetail();
  }
}

TEST_F(SiteFixture, ARawRequestOfSlave0AloneIsNoBroadcast) {
  OpenSerial(true);
  const Variant reply = Run({"COMMAND=GETDATA", "DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=00"});
  EXPECT_EQ(Status(reply), "FALSE");
  EXPECT_NE(client->LastErrorDetail().find("a request is a slave and a function at least"),
            std::string::npos)
      << client->LastErrorDetail();
}

class Slave0PollTest : public SiteFixture, public ::testing::WithParamInterface<const char*> {};

INSTANTIATE_TEST_SUITE_P(PollModes, Slave0PollTest, ::testing::Values("FAST", "TICK"));

TEST_P(Slave0PollTest, PollingSendsNoReadToSlave0AndFailsItsPoints) {
  siteKeys = {std::string("POLLMODE=") + GetParam()};
  OpenSerial(true);
  slave->Holding[1] = 11;
  SendPoints({"{a}{0-HREG1}", "{b}{1-HREG2}"});
  ASSERT_TRUE(RunUntil([&] { return Point("0-HREG1").FailureCount >= 3; }));
  EXPECT_TRUE(RunUntil([&] { return Point("1-HREG2").Value == "11"; }));
  EXPECT_EQ(slave->FramesTo(0), 0);
}

}  // namespace
}  // namespace qmb::test
