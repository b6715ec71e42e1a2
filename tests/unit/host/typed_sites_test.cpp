// The typed interface's reads and writes on a site a design host holds too, in virtual time: at
// once on a free line, behind the design host's command when it holds the line, and the values
// typed by their address.
#include <gtest/gtest.h>

#include "host/TypedSites.h"
#include "support/SiteFixture.h"

namespace qmb::test {
namespace {

class TypedSitesTest : public SiteFixture, public ::testing::WithParamInterface<LinkKind> {
 protected:
  void SetUp() override {
    Open(GetParam());
    typed = std::make_unique<TypedSites>(main, loop);
    // A typed host joins the design host's site by its description alone.
    const std::string description = GetParam() == LinkKind::TCP ? "gateway" : "plant";
    bool opened = false;
    ASSERT_FALSE(typed->Open("typed", {{"Description", description}},
                             [&](uint32_t id, const TypedError& error) {
                               EXPECT_FALSE(error) << error.text;
                               site = id;
                               opened = true;
                             }));
    ASSERT_TRUE(RunUntil([&] { return opened; }));
    ASSERT_EQ(engine->Session.Clients().size(), 2u);
  }
  std::string Prefix() const { return GetParam() == LinkKind::TCP ? "" : "1-"; }
  // Reads the points; the readings and the virtual time the read took.
  std::pair<std::vector<TypedReading>, int64_t> Read(const std::vector<std::string>& points) {
    std::vector<TypedReading> got;
    bool done = false;
    const int64_t start = loop.NowMs();
    EXPECT_FALSE(typed->Read(site, "typed", points, 0,
                             [&](std::vector<TypedReading> readings, const TypedError& error) {
                               EXPECT_FALSE(error) << error.text;
                               got = std::move(readings);
                               done = true;
                             }));
    EXPECT_TRUE(RunUntil([&] { return done; }));
    return {got, loop.NowMs() - start};
  }

  std::unique_ptr<TypedSites> typed;
  uint32_t site = 0;
};

INSTANTIATE_TEST_SUITE_P(Links, TypedSitesTest,
                         ::testing::Values(LinkKind::ASCII, LinkKind::RTU, LinkKind::TCP),
                         [](const auto& info) { return std::string(LinkName(info.param)); });

TEST_P(TypedSitesTest, AReadOnAFreeLineGoesOutAtOnceTypedByItsAddress) {
  slave->Holding = {{0, 0x4049}, {1, 0x0FDB}, {2, 0xFFFE}};
  slave->Coils = {{4, true}};
  const auto [readings, tookMs] = Read({Prefix() + "HREG1,0,32,FLOAT", Prefix() + "HREG3,0,16,INT",
                                        Prefix() + "HREG3", Prefix() + "OUT5"});
  ASSERT_EQ(readings.size(), 4u);
  EXPECT_FLOAT_EQ(static_cast<float>(std::get<double>(readings[0].value)), 3.14159274f);
  EXPECT_EQ(std::get<int16_t>(readings[1].value), -2);
  EXPECT_EQ(std::get<uint16_t>(readings[2].value), 0xFFFE);
  EXPECT_EQ(std::get<bool>(readings[3].value), true);
  for (const TypedReading& reading : readings) EXPECT_EQ(reading.quality, 192u) << reading.error;
  // Four exchanges of the slave's 20 ms each, not four process ticks of 100 ms apiece.
  EXPECT_LT(tookMs, 4 * 100);
}

TEST_P(TypedSitesTest, AReadWaitsForTheDesignHostsCommandOnTheLineAndGoesBeforeTheNextPoll) {
  slave->Holding = {{0, 7}, {1, 8}};
  SendPoints({"{p}{" + Prefix() + "HREG1}"});
  // The design host's command holds the line from the next tick; the typed read comes now.
  const Variant accepted =
      client->ExecuteCommand(List({"COMMAND=POINTGETVALUE", "POINT={v}{" + Prefix() + "HREG2}"}));
  ASSERT_NE(Status(accepted), "Waiting for driver...");
  const size_t before = FrameCount();
  const auto [readings, tookMs] = Read({Prefix() + "HREG2"});
  ASSERT_EQ(readings.size(), 1u);
  EXPECT_EQ(std::get<uint16_t>(readings[0].value), 8);
  // The command's read went first, the typed one right after it.
  const std::vector<std::string> requests = Requests();
  ASSERT_GE(requests.size(), before + 2);
  EXPECT_EQ(requests[before], requests[before + 1]);
  EXPECT_EQ(Status(Run({"COMMAND=COMMANDSTATUS"})), "TRUE");
}

TEST_P(TypedSitesTest, ABlockedSiteAnswersLockedAndShowsItsState) {
  EXPECT_EQ(typed->View(site)->state, "online");
  engine->BlockChkClick(true);
  bool called = false;
  const TypedError error =
      typed->Read(site, "typed", {Prefix() + "HREG1"}, 0,
                  [&](std::vector<TypedReading>, const TypedError&) { called = true; });
  EXPECT_EQ(error.kind, TypedErrorKind::Locked);
  EXPECT_EQ(typed->View(site)->state, "blocked");
  engine->BlockChkClick(false);
  EXPECT_EQ(typed->View(site)->state, "online");
  EXPECT_FALSE(called);
  // Another client is refused, whatever the site's state.
  EXPECT_EQ(typed->Read(site, "other", {Prefix() + "HREG1"}, 0, nullptr).kind,
            TypedErrorKind::AccessDenied);
}

TEST_P(TypedSitesTest, AWriteIsConfirmedByTheDeviceAndARefusedOneNamesIt) {
  bool done = false;
  TypedError outcome;
  const auto write = [&](std::vector<std::pair<std::string, TypedScalar>> values) {
    done = false;
    EXPECT_FALSE(typed->Write(site, "typed", values, [&](const TypedError& error) {
      outcome = error;
      done = true;
    }));
    EXPECT_TRUE(RunUntil([&] { return done; }));
  };
  write({{Prefix() + "HREG10,0,32,DINT,CDAB", int32_t{-70000}}, {Prefix() + "OUT3", true}});
  EXPECT_FALSE(outcome) << outcome.text;
  // -70000 is FFFE EE90, low word first.
  EXPECT_EQ(slave->Holding[9], 0xEE90);
  EXPECT_EQ(slave->Holding[10], 0xFFFE);
  EXPECT_TRUE(slave->Coils[2]);

  slave->StrictAddresses = true;  // only the registers written so far, and HREG1, are there
  slave->Holding[0] = 0;
  write({{Prefix() + "HREG1", uint16_t{5}}, {Prefix() + "HREG300", uint16_t{6}}});
  EXPECT_EQ(outcome.kind, TypedErrorKind::WriteFailed);
  EXPECT_NE(outcome.text.find("HREG300"), std::string::npos) << outcome.text;
  EXPECT_NE(outcome.text.find("exception 2"), std::string::npos) << outcome.text;

  // On a serial line slave 0 is the broadcast address: a write goes out and is done without a
  // reply, and a read is refused with nothing sent.
  if (GetParam() == LinkKind::TCP) return;
  const size_t sent = FrameCount();
  write({{"0-HREG1", uint16_t{9}}});
  EXPECT_FALSE(outcome) << outcome.text;
  EXPECT_EQ(FrameCount(), sent + 1);
  const auto [readings, tookMs] = Read({"0-HREG1"});
  ASSERT_EQ(readings.size(), 1u);
  EXPECT_NE(readings[0].error.find("broadcast address"), std::string::npos) << readings[0].error;
  EXPECT_EQ(FrameCount(), sent + 1);
}

TEST_P(TypedSitesTest, EveryReadCyclesChangeIsReportedThoughTheDeviceAnswersFasterThanBefore) {
  std::vector<uint16_t> seen;
  typed->SetChangeSink("typed", [&](uint32_t, uint32_t, const TypedSites::Changes& changes) {
    for (const auto& change : changes) seen.push_back(std::get<uint16_t>(change.second.value));
  });
  // A slow first answer, then fast ones: the second cycle ends well within an interval of the
  // first report. The value changes between every two cycles.
  slave->ReplyDelayMs = 80;
  slave->Holding[0] = 1;
  uint32_t subscription = 0;
  ASSERT_FALSE(typed->Subscribe(site, "typed", {Prefix() + "HREG1"}, {200, 0, {}}, subscription));
  ASSERT_TRUE(RunUntil([&] { return seen.size() == 1; }));
  slave->ReplyDelayMs = 5;
  for (uint16_t value = 2; value <= 5; ++value) {
    slave->Holding[0] = value;
    loop.RunFor(200);
  }
  EXPECT_EQ(seen, (std::vector<uint16_t>{1, 2, 3, 4, 5}));
}

}  // namespace
}  // namespace qmb::test
