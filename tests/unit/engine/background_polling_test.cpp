// Background polling in virtual time: the order through the point table, the ticks each framing
// allows a reply, the pauses after a cycle and after a failure, points dropped after three
// failures and their slow retries, restarts on a new table, and what holds polling idle.
#include <gtest/gtest.h>

#include <memory>

#include "support/SiteFixture.h"

namespace qmb::test {
namespace {

using Poller = BackgroundPoller;

// Read requests as the slave sees them (slave or unit id, function, wire address, one item).
std::string Read(int slave, int function, int wire) {
  return HexOf(std::string{static_cast<char>(slave), static_cast<char>(function),
                           static_cast<char>(wire >> 8), static_cast<char>(wire & 0xFF), '\0',
                           '\1'});
}

std::vector<int64_t> Gaps(const std::vector<int64_t>& times) {
  std::vector<int64_t> gaps;
  for (size_t i = 1; i < times.size(); ++i) gaps.push_back(times[i] - times[i - 1]);
  return gaps;
}

class PollingTest : public SiteFixture {
 protected:
  int Unit(LinkKind link) const { return link == LinkKind::TCP ? 0xFF : 1; }
};

struct Timing {
  LinkKind link;
  int64_t spacing;      // request to request within a cycle
  int64_t cycleGap;     // last request of a cycle to the first of the next
  int64_t storedAfter;  // request to the value stored, for a reply 20 ms after the request
  int64_t deadline;     // request to the tick that fails a silent poll
  int64_t resetMs;      // what the link reset after a silent poll adds to that tick
  int64_t failureGap;   // failed request to the next request
};

void PrintTo(const Timing& t, std::ostream* os) {
  *os << LinkName(t.link);
}

class PollTimingTest : public PollingTest, public ::testing::WithParamInterface<Timing> {};

// One tick each for choosing, sending, seeing the reply and checking it (one more in RTU, whose
// reply ends with a silent tick); the end of a cycle and a failure each pause ten ticks. A silent
// ASCII poll resets the link, whose 100 ms blocks the tick that failed.
INSTANTIATE_TEST_SUITE_P(Framings, PollTimingTest,
                         ::testing::Values(Timing{LinkKind::ASCII, 400, 1800, 200, 800, 100, 2300},
                                           Timing{LinkKind::RTU, 500, 1900, 300, 600, 0, 2000},
                                           Timing{LinkKind::TCP, 400, 1800, 200, 1100, 0, 2500}),
                         [](const auto& info) { return std::string(LinkName(info.param.link)); });

TEST_P(PollTimingTest, PollsTheTableInOrderAndPausesAtTheEndOfACycle) {
  const Timing t = GetParam();
  Open(t.link);
  loop.RunFor(2000);
  EXPECT_EQ(PollState(), Poller::kIdle) << "an empty table keeps the poller idle";
  EXPECT_EQ(FrameCount(), 0u);

  slave->Holding[0] = 11;
  slave->Coils[1] = true;
  slave->Input[2] = 33;
  SendPoints({"{a}{1-HREG1}", "{b}{1-OUT2}", "{c}{1-IREG3}"});
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 1; }));
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").HasValue; }));
  EXPECT_EQ(loop.NowMs() - slave->FrameTimes[0], t.storedAfter);

  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 7; }));
  const int u = Unit(t.link);
  const std::vector<std::string> cycle{Read(u, 3, 0), Read(u, 1, 1), Read(u, 4, 2)};
  std::vector<std::string> expected = cycle;
  expected.insert(expected.end(), cycle.begin(), cycle.end());
  expected.push_back(cycle[0]);
  EXPECT_EQ(Requests(), expected);
  EXPECT_EQ(Gaps(slave->FrameTimes), (std::vector<int64_t>{t.spacing, t.spacing, t.cycleGap,
                                                           t.spacing, t.spacing, t.cycleGap}));

  const Variant list = Run({"COMMAND=GETPOINTSLIST"});
  EXPECT_EQ(Status(list), "TRUE");
  const std::vector<std::string> elements = Texts(list);
  EXPECT_EQ(std::vector<std::string>(elements.begin() + 3, elements.end()),
            (std::vector<std::string>{"POINT0={1-HREG1}{VALUE=11}", "POINT1={1-OUT2}{VALUE=TRUE}",
                                      "POINT2={1-IREG3}{VALUE=33}"}));
  EXPECT_EQ(Point("1-HREG1").FailureCount, 0);
}

TEST_P(PollTimingTest, SilentPointIsTriedThreeTimesThenLeftOutWhileOthersKeepPolling) {
  const Timing t = GetParam();
  Open(t.link);
  // On TCP every unit id reaches the one device, so the silent point is an address the device
  // stops answering; on a serial line it is a slave that is not there.
  const std::string dead = t.link == LinkKind::TCP ? "HREG9" : "2-HREG9";
  SendPoints({"{a}{1-HREG1}", "{b}{" + dead + "}"});
  if (t.link == LinkKind::TCP) {
    // The TCP device goes quiet for the second point only.
    tcp->OnSend = [this, inner = tcp->OnSend](const std::string& frame) {
      slave->Silent = frame.size() >= 10 && static_cast<uint8_t>(frame[9]) == 8;
      inner(frame);
    };
  }
  const int opensBefore = port ? port->Opens : 0;
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 7; }, 120000));
  const int u = Unit(t.link);
  const std::string a = Read(u, 3, 0);
  const std::string b = Read(t.link == LinkKind::TCP ? 0xFF : 2, 3, 8);
  // The point after a failure is the failed one again, until it has failed three times.
  EXPECT_EQ(Requests(), (std::vector<std::string>{a, b, b, b, a, a, a}));
  EXPECT_EQ(slave->FrameTimes[2] - slave->FrameTimes[1], t.failureGap);
  EXPECT_EQ(slave->FrameTimes[3] - slave->FrameTimes[2], t.failureGap);
  EXPECT_EQ(Point(dead).FailureCount, 3);
  EXPECT_FALSE(Point(dead).HasValue);
  EXPECT_EQ(Point("1-HREG1").FailureCount, 0);
  if (t.link == LinkKind::ASCII) {
    EXPECT_EQ(port->Opens - opensBefore, 3) << "each silent ASCII poll resets the link";
  }
  if (t.link == LinkKind::RTU) {
    EXPECT_EQ(port->Opens, opensBefore);
  }
}

// RETRIES are a poll's attempts too, and a device's exception is tried again like a silence:
// the second request goes out on the tick after the first one's check, then the poll fails.
TEST_P(PollTimingTest, AnExceptionIsTriedAgainWhileTheSitesRetriesLast) {
  const Timing t = GetParam();
  siteKeys = {"RETRIES=2"};
  Open(t.link);
  slave->ExceptionCode = 2;
  SendPoints({"{a}{1-HREG1}"});
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").FailureCount == 1; }));
  ASSERT_EQ(FrameCount(), 2u);
  EXPECT_EQ(slave->FrameTimes[1] - slave->FrameTimes[0], t.spacing - 100);
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").FailureCount == 2; }));
  EXPECT_EQ(FrameCount(), 4u);
  EXPECT_FALSE(Point("1-HREG1").HasValue);
}

TEST_P(PollTimingTest, ReplyMustArriveWithinItsTicks) {
  const Timing t = GetParam();
  Open(t.link);
  slave->Holding[0] = 77;
  // Just too late: the poll fails at its deadline.
  slave->ReplyDelayMs = t.deadline + 10;
  SendPoints({"{a}{1-HREG1}"});
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 1; }));
  const int64_t sent = slave->FrameTimes[0];
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").FailureCount == 1; }));
  EXPECT_EQ(loop.NowMs() - sent, t.deadline + t.resetMs);
  EXPECT_FALSE(Point("1-HREG1").HasValue);

  // Just in time: the reply is taken.
  slave->ReplyDelayMs = t.deadline - 10;
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 2; }));
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").HasValue; }));
  EXPECT_EQ(Point("1-HREG1").Value, "77");
  EXPECT_EQ(Point("1-HREG1").FailureCount, 0);
  EXPECT_EQ(loop.NowMs() - slave->FrameTimes[1], t.deadline + t.storedAfter - 100);
}

// A Modbus/TCP poll's reply is left with the connection until the tick that looks for it: no
// wake-up of its own, and the same ticks as a reply taken on arrival. Each row: when the reply
// comes (in chunks 10 ms apart when ChunkBytes is set), and when the value is stored after the
// request.
struct LookRow {
  int64_t replyDelayMs;
  size_t chunkBytes;
  int64_t storedAfter;
};

class TcpPollLookTest : public PollingTest, public ::testing::WithParamInterface<LookRow> {};

INSTANTIATE_TEST_SUITE_P(Delays, TcpPollLookTest,
                         ::testing::Values(LookRow{1, 0, 200}, LookRow{20, 0, 200},
                                           LookRow{99, 0, 200}, LookRow{150, 0, 300},
                                           LookRow{20, 4, 200}, LookRow{95, 4, 300}));

TEST_P(TcpPollLookTest, ReplyIsTakenOnTheTickThatLooksAndStoredAsBefore) {
  const LookRow row = GetParam();
  Open(LinkKind::TCP);
  slave->Holding[0] = 42;
  slave->ReplyDelayMs = row.replyDelayMs;
  slave->ChunkBytes = row.chunkBytes;
  auto offWhileInFlight = std::make_shared<bool>(true);
  tcp->OnSend = [this, offWhileInFlight, inner = tcp->OnSend](const std::string& frame) {
    inner(frame);  // the reply is scheduled, not delivered, from here
    *offWhileInFlight = *offWhileInFlight && !tcp->ReadNotification();
  };
  SendPoints({"{a}{1-HREG1}"});
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").HasValue; }));
  EXPECT_EQ(loop.NowMs() - slave->FrameTimes[0], row.storedAfter);
  EXPECT_EQ(Point("1-HREG1").Value, "42");
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 4; }));  // three polls done
  EXPECT_TRUE(*offWhileInFlight) << "a poll's request went out with arrivals waking the loop";
  EXPECT_EQ(tcp->WokenDeliveries, 0) << "a poll's reply woke the loop";
  EXPECT_GE(tcp->LookedDeliveries, 3);
  // A poll reads on each tick after its send until its reply is there, never on the sending tick
  // itself, and nothing between polls.
  const int64_t looksPerPoll = row.storedAfter / 100 - 1;
  EXPECT_LE(tcp->ReadNows, looksPerPoll * static_cast<int64_t>(FrameCount()));
  EXPECT_EQ(tcp->NotificationSwitches, 1) << "switched on and off around every poll";
  EXPECT_EQ(Point("1-HREG1").FailureCount, 0);
}

TEST_F(PollingTest, AsciiReplyEndsOnlyWithItsLineEnd) {
  OpenSerial(false);
  slave->Silent = true;
  SendPoints({"{a}{1-HREG1}"});
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 1; }));
  const int opens = port->Opens;
  // A complete frame without CR LF is never taken; bytes came, so the link is not reset.
  port->ReceiveIn(20, ":0103020001F9");
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").FailureCount == 1; }));
  EXPECT_EQ(loop.NowMs() - slave->FrameTimes[0], 800);
  EXPECT_EQ(port->Opens, opens);
  EXPECT_FALSE(Point("1-HREG1").HasValue);
  EXPECT_EQ(port->TriggerCount(), 0u) << "the line-end trigger is removed after the exchange";
  EXPECT_FALSE(engine->Line.ReceptionEnabled());

  // The same frame with its CR LF, even late in the wait, is taken at the next tick.
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 2; }));
  port->ReceiveIn(20, ":0103020001");
  port->ReceiveIn(650, "F9\r\n");
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").HasValue; }));
  EXPECT_EQ(loop.NowMs() - slave->FrameTimes[1], 800);
  EXPECT_EQ(Point("1-HREG1").Value, "1");
}

TEST_F(PollingTest, RtuReplyMustEndWithinSixTicksOfItsFirstByte) {
  OpenSerial(true);
  slave->Holding[0] = 513;
  // Seven bytes 100 ms apart: still arriving six ticks after the first one.
  slave->ByteGapMs = 100;
  SendPoints({"{a}{1-HREG1}"});
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 1; }));
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").FailureCount == 1; }));
  EXPECT_EQ(loop.NowMs() - slave->FrameTimes[0], 700);
  EXPECT_FALSE(Point("1-HREG1").HasValue);

  // 50 ms apart: the reply ends at the first tick without a new byte.
  slave->ByteGapMs = 50;
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 2; }));
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").HasValue; }));
  EXPECT_EQ(loop.NowMs() - slave->FrameTimes[1], 500);
  EXPECT_EQ(Point("1-HREG1").Value, "513");
}

class BadKeyTest : public PollingTest, public ::testing::WithParamInterface<LinkKind> {};
INSTANTIATE_TEST_SUITE_P(Framings, BadKeyTest,
                         ::testing::Values(LinkKind::ASCII, LinkKind::RTU, LinkKind::TCP),
                         [](const auto& info) { return std::string(LinkName(info.param)); });

// A key that is no address puts nothing on the line and counts a failure: at once in RTU (no
// stale request goes out again), after the reply wait in ASCII (with its link reset) and TCP.
TEST_P(BadKeyTest, KeyThatIsNoAddressSendsNothingAndFails) {
  const LinkKind link = GetParam();
  Open(link);
  slave->Holding[0] = 5;
  // A valid read first, so the command buffer holds a request that could be sent again.
  SendPoints({"{a}{1-HREG1}"});
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").HasValue; }));
  const size_t frames = FrameCount();
  const std::string written = port ? port->Written : std::string();
  const size_t sent = tcp ? tcp->Sent.size() : 0;
  const int opens = port ? port->Opens : 0;

  SendPoints({"{x}{not-an-address}"});
  const int32_t sendState = link == LinkKind::RTU ? Poller::kSendRTU : Poller::kSend;
  ASSERT_TRUE(RunUntil([&] { return PollState() == sendState; }));
  const int64_t chosen = loop.NowMs();
  ASSERT_TRUE(RunUntil([&] { return Point("not-an-address").FailureCount == 1; }));
  // ASCII: the send tick, eight ticks of waiting, and the link reset's 100 ms.
  const int64_t expected = link == LinkKind::RTU ? 100 : link == LinkKind::ASCII ? 1000 : 1200;
  EXPECT_EQ(loop.NowMs() - chosen, expected);
  ASSERT_TRUE(RunUntil([&] { return Point("not-an-address").FailureCount == 3; }));
  loop.RunFor(10000);
  EXPECT_EQ(Point("not-an-address").FailureCount, 3);
  EXPECT_FALSE(Point("not-an-address").HasValue);
  EXPECT_EQ(FrameCount(), frames);
  if (port) {
    EXPECT_EQ(port->Written, written) << "nothing at all goes out";
  }
  if (tcp) {
    EXPECT_EQ(tcp->Sent.size(), sent);
  }
  if (link == LinkKind::ASCII) {
    EXPECT_EQ(port->Opens - opens, 3);
  }
  if (link == LinkKind::RTU) {
    EXPECT_EQ(port->Opens, opens);
  }
  EXPECT_FALSE(engine->Session.Busy());
}

class SendErrorTest : public PollingTest, public ::testing::WithParamInterface<LinkKind> {};
INSTANTIATE_TEST_SUITE_P(Framings, SendErrorTest,
                         ::testing::Values(LinkKind::ASCII, LinkKind::RTU, LinkKind::TCP),
                         [](const auto& info) { return std::string(LinkName(info.param)); });

// A line that refuses the request fails the poll; the site must not stay busy for ever, so host
// commands are still taken. (A port that is not open at all is reopened instead, and counts
// against no point: connection_manager_test.)
TEST_P(SendErrorTest, SendErrorCountsAsAFailedPoll) {
  const LinkKind link = GetParam();
  Open(link);
  SendPoints({"{a}{1-HREG1}"});
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").HasValue; }));
  if (link == LinkKind::TCP) {
    tcp->Refuse = true;
    tcp->PeerCloses();
  } else {
    port->WriteError = "COM1: cannot send: write refused";
  }
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").FailureCount == 1; }));
  loop.RunFor(200);
  EXPECT_FALSE(engine->Session.Busy()) << "the failed send must not leave the site busy";

  const Variant reply = Run({"COMMAND=POINTGETVALUE", "POINT={v}{1-HREG1}"});
  EXPECT_EQ(Texts(reply)[0], "COMMANDSTATUS=FALSE");
  EXPECT_EQ(Texts(reply)[1], "COMMANDERROR=Could not read data from panel.");
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG1").FailureCount == 3; }));
  EXPECT_TRUE(Point("1-HREG1").HasValue) << "the last value read is kept";
}

TEST_F(PollingTest, WriteBringsADroppedPointBack) {
  OpenSerial(true);
  slave->Holding[0] = 1;
  slave->Holding[1] = 2;
  SendPoints({"{a}{1-HREG1}", "{b}{2-HREG2}"});
  ASSERT_TRUE(RunUntil([&] { return Point("2-HREG2").FailureCount == 3; }, 120000));
  loop.RunFor(10000);
  EXPECT_EQ(slave->FramesTo(2), 3);

  // Slave 2 is back; a write through the point command resets the point's failures.
  slave->Addresses.insert(2);
  const Variant reply = Run({"COMMAND=POINTMODIFY", "POINT={2-HREG2}{2-HREG2}{VALUE=40}{}"});
  EXPECT_EQ(Status(reply), "TRUE");
  EXPECT_EQ(slave->FramesTo(2, 6), 1);
  EXPECT_EQ(Point("2-HREG2").FailureCount, 0);
  EXPECT_EQ(Point("2-HREG2").Value, "40");
  slave->Holding[1] = 41;
  ASSERT_TRUE(RunUntil([&] { return Point("2-HREG2").Value == "41"; }));
  EXPECT_EQ(slave->FramesTo(2, 3), 4);
}

// A dropped point is tried again once every 30 s, so a slave that comes back (a reboot) makes
// its points fresh again; a new point list tries its dropped points at once.
TEST_F(PollingTest, DroppedPointIsRetriedEveryThirtySecondsUntilItAnswers) {
  OpenSerial(true);
  slave->Holding[1] = 2;
  const std::vector<std::string> points{"{a}{1-HREG1}", "{b}{2-HREG2}"};
  SendPoints(points);
  const auto timesTo2 = [&] {
    std::vector<int64_t> times;
    for (size_t i = 0; i < slave->Frames.size(); ++i)
      if (slave->Frames[i][0] == 2) times.push_back(slave->FrameTimes[i]);
    return times;
  };
  ASSERT_TRUE(RunUntil([&] { return Point("2-HREG2").FailureCount == 3; }, 120000));
  loop.RunFor(65000);
  std::vector<int64_t> times = timesTo2();
  ASSERT_EQ(times.size(), 5u) << "three polls, then one every 30 s";
  EXPECT_NEAR(times[3] - times[2], 30000, 2000);
  EXPECT_NEAR(times[4] - times[3], 30000, 2000);
  EXPECT_EQ(Point("2-HREG2").FailureCount, 5);
  EXPECT_GT(slave->FramesTo(1), 20) << "the healthy point is polled all along";

  // The slave is back: its next retry makes the point fresh, and it is polled every cycle again.
  slave->Addresses.insert(2);
  ASSERT_TRUE(RunUntil([&] { return Point("2-HREG2").FailureCount == 0; }, 32000));
  // (The retry's 30 s count from the failure, which the reply wait puts after the request.)
  EXPECT_GE(loop.NowMs() - times[4], 30000);
  EXPECT_LE(loop.NowMs() - times[4], 33000);
  EXPECT_EQ(Point("2-HREG2").Value, "2");
  slave->Holding[1] = 3;
  ASSERT_TRUE(RunUntil([&] { return Point("2-HREG2").Value == "3"; }, 5000));

  // Gone again: dropped after three failures, and a new list tries it at once.
  slave->Addresses.erase(2);
  ASSERT_TRUE(RunUntil([&] { return Point("2-HREG2").FailureCount == 3; }, 120000));
  const size_t before = timesTo2().size();
  loop.RunFor(5000);
  ASSERT_EQ(timesTo2().size(), before);
  SendPoints(points);
  ASSERT_TRUE(RunUntil([&] { return timesTo2().size() > before; }, 5000));
  EXPECT_LT(timesTo2().back() - acceptedAt, 3000);
}

TEST_F(PollingTest, NewTableRestartsTheCycleFromItsFirstPoint) {
  OpenSerial(false);
  slave->ReplyDelayMs = 250;  // each exchange spans three ticks
  const std::vector<std::string> points{"{a}{1-HREG1}", "{b}{1-HREG2}", "{c}{1-HREG3}"};
  SendPoints(points);
  const std::string first = Read(1, 3, 0);

  // Rebuilt (immediate form) while a poll is in flight: the exchange is dropped and polling
  // restarts after 30 ticks, from the first point.
  ASSERT_TRUE(RunUntil([&] { return FrameCount() == 2; }));
  ASSERT_TRUE(engine->Session.Busy());
  const int64_t during = loop.NowMs();
  EXPECT_EQ(Status(client->ExecuteImmediate(Variant(SafeArray::OfTexts(PointParams(points))))),
            "TRUE");
  ASSERT_TRUE(RunUntil([&] { return FrameCount() == 3; }));
  EXPECT_EQ(slave->FrameTimes[2] - during, 100 + 3300);
  EXPECT_EQ(Requests()[2], first);
  EXPECT_FALSE(Point("1-HREG2").HasValue) << "the abandoned reply is not stored";

  // Rebuilt between exchanges: no pause.
  ASSERT_TRUE(RunUntil([&] { return !engine->Session.Busy() && FrameCount() == 4; }));
  const int64_t between = loop.NowMs();
  EXPECT_EQ(Status(client->ExecuteImmediate(Variant(SafeArray::OfTexts(PointParams(points))))),
            "TRUE");
  ASSERT_TRUE(RunUntil([&] { return FrameCount() == 5; }));
  EXPECT_EQ(slave->FrameTimes[4] - between, 100 + 300);
  EXPECT_EQ(Requests()[4], first);

  // The command form ends in its tick, so polling restarts without a pause there too.
  ASSERT_TRUE(RunUntil([&] { return FrameCount() == 6; }));
  SendPoints(points);
  ASSERT_TRUE(RunUntil([&] { return FrameCount() == 7; }));
  EXPECT_EQ(slave->FrameTimes[6] - acceptedAt, 100 + 300);
  EXPECT_EQ(Requests()[6], first);
  // Values survive the rebuilds.
  ASSERT_TRUE(RunUntil([&] { return Point("1-HREG3").HasValue; }));
  EXPECT_TRUE(Point("1-HREG1").HasValue);
}

TEST_F(PollingTest, HostCommandWaitsForTheExchangeInFlight) {
  OpenSerial(false);
  slave->ReplyDelayMs = 250;
  slave->Holding[4] = 55;
  SendPoints({"{a}{1-HREG1}", "{b}{1-HREG2}"});
  ASSERT_TRUE(RunUntil([&] { return FrameCount() == 1; }));
  ASSERT_TRUE(engine->Session.Busy());
  const std::vector<std::string> read{"COMMAND=POINTGETVALUE", "POINT={v}{1-HREG5}"};
  const Variant refused = client->ExecuteCommand(Variant(SafeArray::OfTexts(read)));
  EXPECT_EQ(Status(refused), "Waiting for driver...");
  EXPECT_EQ(engine->Session.CommandCode(), static_cast<uint32_t>(kNoCommand));
  EXPECT_EQ(engine->Session.CommandOwner(), nullptr);

  // Between two exchanges the command is taken, and no poll goes out while it runs.
  ASSERT_TRUE(RunUntil([&] { return !engine->Session.Busy(); }));
  EXPECT_EQ(PollState(), Poller::kChoose);
  EXPECT_EQ(Status(client->ExecuteCommand(Variant(SafeArray::OfTexts(read)))),
            "Reading Point Value...");
  const size_t before = FrameCount();
  ASSERT_TRUE(RunUntil([&] { return engine->Session.CommandState() == kStateDone; }));
  EXPECT_EQ(FrameCount(), before + 1);
  EXPECT_EQ(Requests().back(), Read(1, 3, 4));
  const Variant done = client->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
  EXPECT_EQ(Texts(done)[3], "VALUE=55");
  // Polling carries on with the next point.
  ASSERT_TRUE(RunUntil([&] { return FrameCount() == before + 2; }));
  EXPECT_EQ(Requests().back(), Read(1, 3, 1));
}

TEST_F(PollingTest, LockAndWindowBlockHoldPollingIdle) {
  OpenSerial(true);
  SendPoints({"{a}{1-HREG1}"});
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 1; }));

  // A lock taken with LOCKCLIENT: nothing is polled until it is released.
  ASSERT_EQ(Status(Run({"COMMAND=GETDATA", "DRIVERCOMMAND=LOCKCLIENT"})), "TRUE");
  ASSERT_TRUE(engine->Session.Locked());
  size_t frames = FrameCount();
  loop.RunFor(10000);
  EXPECT_EQ(FrameCount(), frames);
  EXPECT_EQ(PollState(), Poller::kIdle);
  ASSERT_EQ(Status(Run({"COMMAND=GETDATA", "DRIVERCOMMAND=UNLOCKCLIENT"})), "TRUE");
  ASSERT_TRUE(RunUntil([&] { return FrameCount() > frames; }));
  // From idle in the unlocking tick; the one point was read in this cycle already, so the cycle
  // ends first: its end, the ten-tick pause, idle, choose, send.
  EXPECT_EQ(slave->FrameTimes.back() - acceptedAt, 100 + 1600);

  // A lock left alone expires after 300 ticks, and polling resumes then.
  ASSERT_EQ(Status(Run({"COMMAND=GETDATA", "DRIVERCOMMAND=LOCKCLIENT"})), "TRUE");
  const int64_t locked = acceptedAt + 100;
  frames = FrameCount();
  ASSERT_TRUE(RunUntil([&] { return FrameCount() > frames; }));
  EXPECT_EQ(slave->FrameTimes.back() - locked, 30000 + 1600);

  // The window block, also in the middle of an exchange.
  ASSERT_TRUE(
      RunUntil([&] { return engine->Session.Busy() && PollState() == Poller::kAwaitFirstByte; }));
  engine->BlockChkClick(true);
  frames = FrameCount();
  loop.RunFor(10000);
  EXPECT_EQ(FrameCount(), frames);
  EXPECT_EQ(PollState(), Poller::kIdle);
  EXPECT_FALSE(engine->Line.ReceptionEnabled()) << "the exchange in flight is dropped";
  const int64_t unblocked = loop.NowMs();
  engine->BlockChkClick(false);
  ASSERT_TRUE(RunUntil([&] { return FrameCount() > frames; }));
  EXPECT_EQ(slave->FrameTimes.back() - unblocked, 300);
  EXPECT_EQ(Point("1-HREG1").FailureCount, 0) << "an exchange dropped by the block is no failure";
}

// A poll stores only what the answer to its own request carries: not a serial adapter's echo of
// the request, nor a Modbus/TCP reply of the wrong shape; the answer behind the echo, or behind
// a late reply and in pieces, is stored.
TEST_F(PollingTest, OnlyTheAnswerToThePollIsStored) {
  for (const LinkKind link : {LinkKind::ASCII, LinkKind::RTU, LinkKind::TCP}) {
    SCOPED_TRACE(LinkName(link));
    const bool tcpLink = link == LinkKind::TCP;
    Open(link);
    slave->Holding[0] = 1000;
    slave->Wire = [&](const std::string& request, const std::string& reply) {
      if (!tcpLink) return request;
      std::string shorter = reply.substr(0, 9) + reply.substr(10);  // one data byte
      shorter[5] = 4;
      shorter[8] = 1;
      return shorter;
    };
    const std::string key = tcpLink ? "HREG1" : "1-HREG1";
    SendPoints({"{a}{" + key + "}"});
    ASSERT_TRUE(RunUntil([&] { return Point(key).FailureCount == 2; }));
    EXPECT_FALSE(Point(key).HasValue);

    slave->ChunkBytes = 3;
    slave->Wire = [&](const std::string& request, const std::string& reply) {
      if (!tcpLink) return request + reply;
      std::string late = reply;
      late[0] = static_cast<char>(late[0] + 1);
      return late + reply;
    };
    ASSERT_TRUE(RunUntil([&] { return Point(key).HasValue; }));
    EXPECT_EQ(Point(key).Value, "1000");
    EXPECT_EQ(Point(key).FailureCount, 0);
    client.reset();
    loop.RunFor(1000);
  }
}

TEST_F(PollingTest, TcpPollsTheSiteAddressAndCommandsUseTheNamedHost) {
  OpenTcp("10.0.0.5:1502");
  slave->Holding[0] = 100;
  slave->Holding[1] = 200;
  // A host named in a table key is not used for polling: the table keeps no hosts.
  SendPoints({"{a}{HREG1}", "{b}{[10.0.0.9]-HREG2}"});
  ASSERT_TRUE(RunUntil([&] { return Point("[10.0.0.9]-HREG2").HasValue; }));
  EXPECT_EQ(Point("HREG1").Value, "100");
  EXPECT_EQ(Point("[10.0.0.9]-HREG2").Value, "200");
  using Target = std::pair<std::string, uint16_t>;
  EXPECT_EQ(tcp->ConnectTargets, (std::vector<Target>{{"10.0.0.5", 1502}}));

  size_t connects = tcp->ConnectTargets.size();
  const Variant read = Run({"COMMAND=POINTGETVALUE", "POINT={v}{[10.0.0.9]-HREG2}"});
  EXPECT_EQ(Texts(read)[3], "VALUE=200");
  ASSERT_GT(tcp->ConnectTargets.size(), connects);
  EXPECT_EQ(tcp->ConnectTargets[connects], (Target{"10.0.0.9", 502}));

  loop.RunFor(5000);
  connects = tcp->ConnectTargets.size();
  const Variant write =
      Run({"COMMAND=POINTMODIFY", "POINT={HREG1}{[10.0.0.9:1503]-HREG1}{VALUE=9}"});
  EXPECT_EQ(Status(write), "TRUE");
  ASSERT_GT(tcp->ConnectTargets.size(), connects);
  EXPECT_EQ(tcp->ConnectTargets[connects], (Target{"10.0.0.9", 1503}));
  EXPECT_EQ(slave->Holding[0], 9);
  EXPECT_EQ(Point("HREG1").Value, "9");

  // Polling goes back to the site's address.
  const size_t frames = FrameCount();
  ASSERT_TRUE(RunUntil([&] { return FrameCount() > frames; }));
  ASSERT_EQ(tcp->ConnectTargets.size(), connects + 2);
  EXPECT_EQ(tcp->ConnectTargets.back(), (Target{"10.0.0.5", 1502}));
}

}  // namespace
}  // namespace qmb::test
