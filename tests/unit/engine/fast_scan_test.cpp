// The fast scan: how points become block reads, the reply timeouts and frame gaps from the line's
// speed, and in virtual time on each framing the request order and pace, per-point failures, a
// refused block read point by point, a host command served between two exchanges, an exchange
// dropped mid-wait, and a connection wait counted in ticks.
#include <gtest/gtest.h>

#include "engine/FastScanner.h"
#include "support/SiteFixture.h"

namespace qmb::test {
namespace {

using Kind = PointAddress::Kind;

PointAddress At(int slave, Kind kind, int number, const std::string& host = "") {
  PointAddress point;
  point.Host = host;
  point.Slave = slave;
  point.PointKind = kind;
  point.Number = number;
  return point;
}

struct PlanCase {
  const char* name;
  std::vector<PointAddress> points;
  std::vector<std::string> requests;          // one per block, in order
  std::vector<std::vector<int32_t>> members;  // table positions per block
};

std::vector<PointAddress> EveryEighth(int count) {
  std::vector<PointAddress> points;
  for (int i = 0; i < count; ++i) points.push_back(At(1, Kind::HoldingRegister, 1 + 8 * i));
  return points;
}

TEST(ScanPlanTest, NearPointsOfOneSlaveAndKindShareARead) {
  const Kind H = Kind::HoldingRegister;
  const std::vector<PlanCase> cases{
      {"adjacent and near join, the gap read",
       {At(1, H, 1), At(1, H, 2), At(1, H, 10)},
       {"01030000000A"},
       {{0, 1, 2}}},
      {"nine unwanted registers split",
       {At(1, H, 11), At(1, H, 1)},
       {"010300000001", "0103000A0001"},
       {{1}, {0}}},
      {"no read beyond 125 registers",
       EveryEighth(17),
       {"010300000079", "010300800001"},
       {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {16}}},
      {"slaves and kinds apart, in order",
       {At(2, H, 1), At(1, Kind::InputRegister, 1), At(1, H, 2), At(1, H, 1), At(1, Kind::Coil, 1),
        At(1, Kind::DiscreteInput, 1)},
       {"010100000001", "010200000001", "010300000002", "010400000001", "020300000001"},
       {{4}, {5}, {3, 2}, {1}, {0}}},
      {"bits join across 64 and split beyond",
       {At(1, Kind::Coil, 1), At(1, Kind::Coil, 66), At(1, Kind::Coil, 200)},
       {"010100000042", "010100C70001"},
       {{0, 1}, {2}}},
      {"hosts apart",
       {At(255, H, 1, "10.0.0.8"), At(255, H, 2, "10.0.0.7")},
       {"FF0300010001", "FF0300000001"},
       {{1}, {0}}},
      {"one address twice read once; no address left out",
       {At(1, H, 5), At(1, H, 5), PointAddress{}, At(1, H, 0)},
       {"010300040001"},
       {{0, 1}}},
  };
  for (const PlanCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<ScanBlock> blocks = PlanScanBlocks(c.points);
    std::vector<std::string> requests;
    std::vector<std::vector<int32_t>> members;
    for (const ScanBlock& block : blocks) {
      requests.push_back(BytesToHex(BlockRequest(block).Bytes));
      members.emplace_back();
      for (const auto& member : block.Members) members.back().push_back(member.Position);
    }
    EXPECT_EQ(requests, c.requests);
    EXPECT_EQ(members, c.members);
  }
}

struct TypedPlanCase {
  const char* name;
  bool typed;                                 // the site decodes by type
  std::vector<std::string> keys;              // point addresses, serial
  std::vector<std::string> requests;          // one per block, in order
  std::vector<std::vector<int32_t>> members;  // table positions per block
};

TEST(ScanPlanTest, BlocksCoverEveryRegisterOfATypedValue) {
  const std::vector<TypedPlanCase> cases{
      {"a value's registers and a register of it, one read",
       true,
       {"1-HREG1,0,32,FLOAT", "1-HREG2"},
       {"010300000002"},
       {{0, 1}}},
      {"the last value's span ends the block",
       true,
       {"1-HREG1", "1-HREG10,0,64,DOUBLE,DCBA"},
       {"01030000000D"},
       {{0, 1}}},
      {"a value that would pass 125 registers starts a block",
       true,
       {"1-HREG1", "1-HREG123,0,64,LWORD", "1-HREG124"},
       {"010300000001", "0103007A0004"},
       {{0}, {1, 2}}},
      {"the longest string fills one read",
       true,
       {"1-HREG1,0,2000,STRING"},
       {"01030000007D"},
       {{0}}},
      {"bits and bytes inside a register read it once",
       true,
       {"1-HREG1,3,1,BOOL", "1-HREG1,8,8,BYTE", "1-IREG1,0,32,DINT"},
       {"010300000001", "010400000002"},
       {{0, 1}, {2}}},
      {"no value of its type, or past the last register: left out",
       true,
       {"1-HREG1,0,16,FLOAT", "1-HREG65535,0,64,LWORD", "1-HREG65535,0,32,DWORD", "1-HREG5"},
       {"010300040001", "0103FFFE0002"},
       {{3}, {2}}},
      {"without DECODE=TYPED a tail is one register as ever",
       false,
       {"1-HREG1,0,32,FLOAT", "1-HREG1,0,16,FLOAT", "1-HREG20,0,64,DOUBLE"},
       {"010300000001", "010300130001"},
       {{0, 1}, {2}}},
  };
  for (const TypedPlanCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<PointAddress> points;
    for (const std::string& key : c.keys) points.push_back(*ParsePointAddress(key, false));
    std::vector<std::string> requests;
    std::vector<std::vector<int32_t>> members;
    for (const ScanBlock& block : PlanScanBlocks(points, c.typed)) {
      requests.push_back(BytesToHex(BlockRequest(block).Bytes));
      members.emplace_back();
      for (const auto& member : block.Members) members.back().push_back(member.Position);
    }
    EXPECT_EQ(requests, c.requests);
    EXPECT_EQ(members, c.members);
  }
}

TEST(ScanPlanTest, TypedMembersDecodeTheirRegistersFromTheirOffset) {
  // Registers 0-5 of a block: 1.5 as a FLOAT high word first, 1.5 low word first, "Pu".
  ReplyBlock reply;
  reply.Data = {12, 0x3F, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x3F, 0xC0, 0x50, 0x75, 0x00, 0x00};
  reply.DataLength = 13;
  const struct {
    const char* key;
    uint16_t offset;
    const char* value;
  } rows[] = {
      {"1-HREG1,0,32,FLOAT", 0, "1.5"},
      {"1-HREG1,0,32,FLOAT,CDAB", 2, "1.5"},
      {"1-HREG1,0,32,DWORD", 0, "1069547520"},
      {"1-HREG1,0,32,STRING", 4, "Pu"},
      {"1-HREG1,0,16,INT", 5, "0"},
      {"1-HREG1,0,32,FLOAT", 5, ""},  // past the reply
      {"1-HREG1,7,1,BOOL", 3, "TRUE"},
      {"1-HREG1,8,8,BYTE", 4, "80"},
      {"1-HREG1,0,16,FLOAT", 0, ""},  // names no value
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.key);
    const ScanBlock block{"", 1, Kind::HoldingRegister, 0, 6, {}};
    const ScanBlock::Member member{0, row.offset, ReadOf(*ParsePointAddress(row.key, false), true)};
    EXPECT_EQ(BlockMemberValue(block, member, reply), row.value);
  }
}

TEST(ScanPlanTest, MembersTakeTheirOwnRegisterOrBitFromTheBlockReply) {
  ScanBlock registers{"", 1, Kind::HoldingRegister, 10, 3, {{0, 0}, {1, 2}}};
  ReplyBlock reply;
  reply.Data = {6, 0x01, 0x02, 0xFF, 0xFF, 0x80, 0x00};
  reply.DataLength = 7;
  EXPECT_EQ(BlockMemberValue(registers, registers.Members[0], reply), "258");
  EXPECT_EQ(BlockMemberValue(registers, registers.Members[1], reply), "32768");
  reply.DataLength = 5;  // too short for the third register
  EXPECT_EQ(BlockMemberValue(registers, registers.Members[1], reply), "");

  ScanBlock bits{"", 1, Kind::Coil, 0, 10, {{0, 0}, {1, 7}, {2, 8}, {3, 9}}};
  reply.Data = {2, 0b1000'0001, 0b10};
  reply.DataLength = 3;
  EXPECT_EQ(BlockMemberValue(bits, bits.Members[0], reply), "TRUE");
  EXPECT_EQ(BlockMemberValue(bits, bits.Members[1], reply), "TRUE");
  EXPECT_EQ(BlockMemberValue(bits, bits.Members[2], reply), "FALSE");
  EXPECT_EQ(BlockMemberValue(bits, bits.Members[3], reply), "TRUE");
}

TEST(ScanPlanTest, TimeoutsAndFrameGapsFollowTheLineSpeed) {
  // Wire time of both frames at 11 bits a character, rounded up, plus the slave's turnaround.
  EXPECT_EQ(kFastScanPolicy.SerialReplyMs(9600, false, 8, 7), 18 + kFastScanPolicy.TurnaroundMs);
  EXPECT_EQ(kFastScanPolicy.SerialReplyMs(38400, false, 8, 255), 76 + kFastScanPolicy.TurnaroundMs);
  EXPECT_EQ(kFastScanPolicy.SerialReplyMs(9600, true, 7, 6), 37 + kFastScanPolicy.TurnaroundMs);
  EXPECT_EQ(kFastScanPolicy.SerialReplyMs(0, false, 8, 7),
            kFastScanPolicy.SerialReplyMs(9600, false, 8, 7));
  EXPECT_EQ(RtuFrameGapUs(1200), 32084);
  EXPECT_EQ(RtuFrameGapUs(9600), 4011);
  EXPECT_EQ(RtuFrameGapUs(19200), 2006);
  EXPECT_EQ(RtuFrameGapUs(38400), 1750);
  EXPECT_EQ(RtuFrameGapUs(115200), 1750);
}

std::string Read(int slave, int function, int wire, int quantity) {
  return HexOf(std::string{static_cast<char>(slave), static_cast<char>(function),
                           static_cast<char>(wire >> 8), static_cast<char>(wire & 0xFF),
                           static_cast<char>(quantity >> 8), static_cast<char>(quantity & 0xFF)});
}

struct Pace {
  LinkKind link;
  int64_t spacing;  // request to request, for a reply 20 ms after its request
  int64_t silent;   // request to request after a silent slave
};

void PrintTo(const Pace& p, std::ostream* os) {
  *os << LinkName(p.link);
}

class FastScanTest : public SiteFixture, public ::testing::WithParamInterface<Pace> {
 protected:
  void SetUp() override {
    siteKeys = {"POLLMODE=FAST"};
    Open(GetParam().link);
  }
  int Unit() const { return GetParam().link == LinkKind::TCP ? 0xFF : 1; }
};

// RTU waits the 3.5-character gap (3 ms at 19200 baud) after a reply; ASCII goes on at its
// CR LF, Modbus/TCP on the matched reply. A silent slave: RTU 8 + 7 bytes and ASCII 7 + 6 bytes
// on the wire at 19200 baud (9 and 19 ms) plus 250 ms turnaround; Modbus/TCP 1 s.
INSTANTIATE_TEST_SUITE_P(Framings, FastScanTest,
                         ::testing::Values(Pace{LinkKind::ASCII, 20, 269},
                                           Pace{LinkKind::RTU, 23, 262},
                                           Pace{LinkKind::TCP, 20, 1000}),
                         [](const auto& info) { return std::string(LinkName(info.param.link)); });

TEST_P(FastScanTest, ReadsBlocksBackToBackAndGivesEachPointItsValue) {
  slave->Holding = {{0, 10}, {1, 11}, {2, 12}};
  slave->Coils = {{1, true}};
  SendPoints({"{a}{1-HREG1}", "{b}{1-HREG3}", "{c}{1-OUT2}", "{d}{1-HREG2}"});
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 5; }));
  const int u = Unit();
  const std::string coils = Read(u, 1, 1, 1);
  const std::string holding = Read(u, 3, 0, 3);
  EXPECT_EQ(Requests(), (std::vector<std::string>{coils, holding, coils, holding, coils}));
  for (size_t i = 1; i < slave->FrameTimes.size(); ++i)
    EXPECT_EQ(slave->FrameTimes[i] - slave->FrameTimes[i - 1], GetParam().spacing) << i;
  EXPECT_EQ(Point("1-HREG1").Value, "10");
  EXPECT_EQ(Point("1-HREG2").Value, "11");
  EXPECT_EQ(Point("1-HREG3").Value, "12");
  EXPECT_EQ(Point("1-OUT2").Value, "TRUE");

  // New values show within one cycle; the list reports them as always, and commands that do
  // not use the line leave the scan at its pace.
  slave->Holding[2] = 99;
  const size_t seen = FrameCount();
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= seen + 2; }));
  loop.RunFor(GetParam().spacing);
  EXPECT_EQ(Point("1-HREG3").Value, "99");
  const size_t before = FrameCount();
  EXPECT_EQ(Status(Run({"COMMAND=GETPOINTSLIST"})), "TRUE");
  EXPECT_EQ(Status(Run({"COMMAND=SITESTATUS"})), "TRUE");
  ASSERT_GT(FrameCount(), before + 4);
  for (size_t i = before; i < slave->FrameTimes.size(); ++i)
    EXPECT_EQ(slave->FrameTimes[i] - slave->FrameTimes[i - 1], GetParam().spacing) << i;
}

TEST_P(FastScanTest, SilentDeviceTimesOutByTheLineSpeedAndOnlyItsPointsAreDropped) {
  slave->Holding = {{0, 5}};
  // On TCP every unit id reaches the one device, so the silent point is an address it stops
  // answering; on a serial line it is a slave that is not there.
  const bool tcpLink = GetParam().link == LinkKind::TCP;
  const std::string dead = tcpLink ? "HREG20" : "2-HREG20";
  if (tcpLink) {
    tcp->OnSend = [this, inner = tcp->OnSend](const std::string& frame) {
      slave->Silent = frame.size() >= 10 && static_cast<uint8_t>(frame[9]) == 19;
      inner(frame);
    };
  }
  SendPoints({"{a}{1-HREG1}", "{b}{" + dead + "}"});
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 9; }));
  const std::string a = Read(Unit(), 3, 0, 1);
  const std::string b = Read(tcpLink ? 0xFF : 2, 3, 19, 1);
  // The dead point fails three times, then only the live one is read.
  EXPECT_EQ(Requests(), (std::vector<std::string>{a, b, a, b, a, b, a, a, a}));
  EXPECT_EQ(slave->FrameTimes[2] - slave->FrameTimes[1], GetParam().silent);
  EXPECT_EQ(Point(dead).FailureCount, 3);
  EXPECT_FALSE(Point(dead).HasValue);
  EXPECT_EQ(Point("1-HREG1").FailureCount, 0);
  EXPECT_EQ(Point("1-HREG1").Value, "5");

  // Its retry comes after 30 s.
  const int64_t dropped = slave->FrameTimes[5];
  ASSERT_TRUE(RunUntil([&] { return Requests().back() == b; }, 40000));
  EXPECT_GE(loop.NowMs() - dropped, 30000);
  EXPECT_LE(loop.NowMs() - dropped, 31000 + GetParam().silent);
}

TEST_P(FastScanTest, BlockTheDeviceRefusesIsReadPointByPoint) {
  slave->StrictAddresses = true;  // wire addresses 1 to 3 do not exist
  slave->Holding = {{0, 10}, {4, 14}};
  SendPoints({"{a}{1-HREG1}", "{b}{1-HREG5}"});
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 5; }));
  const int u = Unit();
  EXPECT_EQ(Requests(),
            (std::vector<std::string>{Read(u, 3, 0, 5), Read(u, 3, 0, 1), Read(u, 3, 4, 1),
                                      Read(u, 3, 0, 1), Read(u, 3, 4, 1)}));
  EXPECT_EQ(Point("1-HREG1").Value, "10");
  EXPECT_EQ(Point("1-HREG5").Value, "14");
  EXPECT_EQ(Point("1-HREG1").FailureCount, 0);
  EXPECT_EQ(Point("1-HREG5").FailureCount, 0);
}

TEST_P(FastScanTest, HostCommandIsServedAfterTheExchangeInFlightAndTheScanGoesOn) {
  slave->Holding = {{0, 10}, {1, 11}, {7, 77}};
  slave->ReplyDelayMs = 150;  // every exchange spans a tick
  SendPoints({"{a}{1-HREG1}", "{b}{1-HREG2}"});
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 3; }));
  loop.RunFor(25);  // mid-exchange
  const Variant reply = Run({"COMMAND=POINTGETVALUE", "POINT={x}{1-HREG8}"});
  EXPECT_EQ(Status(reply), "TRUE");
  const std::vector<std::string> requests = Requests();
  const std::string command = Read(Unit(), 3, 7, 1);
  const auto it = std::find(requests.begin(), requests.end(), command);
  ASSERT_NE(it, requests.end());
  const auto at = static_cast<size_t>(it - requests.begin());
  // Not on top of a scan exchange, and no later than that exchange's end and the next tick.
  EXPECT_GE(slave->FrameTimes[at] - slave->FrameTimes[at - 1], slave->ReplyDelayMs);
  EXPECT_LE(slave->FrameTimes[at] - acceptedAt, slave->ReplyDelayMs + 100);
  const size_t seen = FrameCount();
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= seen + 2; }, 1000));
  EXPECT_EQ(Requests().back(), Read(Unit(), 3, 0, 2));
}

TEST_F(SiteFixture, FastScanOfSeveralHostsGoesOnAsEachConnectionIsMade) {
  siteKeys = {"POLLMODE=FAST"};
  OpenTcp("10.0.0.5");
  slave->Holding = {{0, 10}, {1, 11}};
  SendPoints({"{a}{HREG1}", "{b}{[10.0.0.9]-HREG2}"});
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 5; }));
  // Each block's host in turn, the request on the connection as soon as it is made: a reply
  // 20 ms after its request, then the connect's 10 ms, not the wait for the next tick.
  using Target = std::pair<std::string, uint16_t>;
  const std::vector<Target> hosts{{"10.0.0.5", 502}, {"10.0.0.9", 502}};
  ASSERT_GE(tcp->ConnectTargets.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(tcp->ConnectTargets[i], hosts[i % 2]) << i;
  for (size_t i = 1; i < 5; ++i)
    EXPECT_EQ(slave->FrameTimes[i] - slave->FrameTimes[i - 1], 20 + tcp->ConnectDelayMs) << i;
  EXPECT_EQ(Point("HREG1").Value, "10");
  EXPECT_EQ(Point("[10.0.0.9]-HREG2").Value, "11");
}

// A scan stopped mid-exchange (the link went down) drops the exchange: nothing stays armed to
// time out or take the late reply as a failure, and the next tick scans on.
TEST_P(FastScanTest, StopDropsTheExchangeInFlightWithoutCountingIt) {
  slave->Holding = {{0, 10}};
  slave->ReplyDelayMs = 150;
  SendPoints({"{a}{1-HREG1}"});
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 1; }));
  loop.RunFor(25);
  ASSERT_TRUE(engine->Scanner.InFlight());
  const ExchangeCounters before = engine->Transactions.Counters();
  engine->Scanner.Stop();
  EXPECT_FALSE(engine->Scanner.InFlight());
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 4; }, 5000));
  EXPECT_EQ(engine->Transactions.Counters().Timeouts, before.Timeouts);
  EXPECT_EQ(Point("1-HREG1").FailureCount, 0);
  EXPECT_EQ(Point("1-HREG1").Value, "10");
}

// A Modbus/TCP block whose connection never comes is looked at each tick (and at the link's
// events): its points count a failed read after kConnectTicks looks, the site's CONNECTPAUSE
// counted in them, and nothing is sent.
struct ConnectWaitRow {
  const char* name;
  std::vector<std::string> keys;
  int64_t looks;
};

class FastScanConnectTest : public SiteFixture,
                            public ::testing::WithParamInterface<ConnectWaitRow> {};

INSTANTIATE_TEST_SUITE_P(
    Keys, FastScanConnectTest,
    ::testing::Values(ConnectWaitRow{"Default", {}, FastScanner::kConnectTicks},
                      ConnectWaitRow{
                          "Pause", {"CONNECTPAUSE=1500"}, FastScanner::kConnectTicks + 15}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(FastScanConnectTest, AHostThatNeverConnectsFailsItsPointsAfterItsTicks) {
  siteKeys = GetParam().keys;
  siteKeys.push_back("POLLMODE=FAST");
  OpenTcp();
  tcp->ConnectDelayMs = 3600000;
  SendPoints({"{a}{HREG1}"});
  const int64_t start = acceptedAt;
  ASSERT_TRUE(RunUntil([&] { return Point("HREG1").FailureCount >= 1; }, 10000));
  const int64_t took = loop.NowMs() - start;
  EXPECT_GE(took, (GetParam().looks - 1) * 100);
  EXPECT_LE(took, (GetParam().looks + 1) * 100);
  EXPECT_FALSE(engine->Scanner.InFlight());
  EXPECT_TRUE(tcp->Sent.empty());
}

}  // namespace
}  // namespace qmb::test
