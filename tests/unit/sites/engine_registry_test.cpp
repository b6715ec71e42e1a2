// The main window's registry and timers: which opens share an engine, when engines go away, and
// that the process tick survives engines that fail or wait.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/HostFixture.h"

namespace qmb::test {
namespace {

class MainFormTest : public HostFixture {
 protected:
  // A client whose POINTGETVALUE waits (two seconds, for its end of line) for a serial ASCII
  // device that never answers.
  std::unique_ptr<TQorModBusCom> OpenWaiting(const std::string& description, int comport) {
    serialPorts.Available.insert(comport);
    auto client = NewClient();
    EXPECT_TRUE(client->OpenSite(
        List({"DESCRIPTION=" + description, "COMPORT=" + std::to_string(comport), "BP2=FALSE"})));
    EXPECT_EQ(Status(RunToEnd(*client, {"COMMAND=COMMANDSTATUS"})), "TRUE");
    client->ExecuteCommand(List({"COMMAND=POINTGETVALUE", "POINT={x}{1-HREG100}"}));
    EXPECT_TRUE(loop.RunUntilTrue([&] { return client->Engine->IsSuspended(); }, 1000));
    return client;
  }
};

TEST_F(MainFormTest, NamesTheProgramAndItsHelpFile) {
  EXPECT_EQ(main.Caption(), "ModBus Serial Driver V1.80");
  EXPECT_EQ(main.ApplicationTitle(), "ModBus Serial Driver V1.80");
  EXPECT_EQ(main.HelpFile(), "/opt/qormodbus/bin/Help.Hlp");
  EXPECT_TRUE(main.Visible());
  EXPECT_EQ(main.FreeServerIndex(), 0);
  EXPECT_EQ(main.FreeServerIndex(), 0);
}

TEST_F(MainFormTest, DescriptionsAreComparedIgnoringCase) {
  auto a = OpenOffline("Plant 1");
  auto b = OpenOffline("PLANT 1");
  auto c = OpenOffline("Plant 2");
  ASSERT_NE(a->Engine, nullptr);
  EXPECT_EQ(a->Engine, b->Engine);
  EXPECT_NE(a->Engine, c->Engine);
  EXPECT_EQ(main.ChildCount(), 2u);
  EXPECT_EQ(a->Engine->Session.Clients().size(), 2u);
}

TEST_F(MainFormTest, OnlyTheFirstPanelTypeCreatesEngines) {
  auto client = NewClient();
  EXPECT_FALSE(client->OpenSite(List({"DESCRIPTION=Other panel", "PANELTYPE=2", "OFFLINE=TRUE"})));
  EXPECT_EQ(client->Engine, nullptr);
  EXPECT_EQ(main.ChildCount(), 0u);

  auto first = OpenOffline("Shared");
  auto joining = NewClient();
  EXPECT_TRUE(joining->OpenSite(List({"DESCRIPTION=shared", "PANELTYPE=2", "OFFLINE=TRUE"})));
  EXPECT_EQ(joining->Engine, first->Engine);
  EXPECT_EQ(joining->Site.PanelType, "Qor Panel Series 3");
  EXPECT_EQ(joining->Site.PanelTypeID, "Series3");
}

TEST_F(MainFormTest, EveryOpenOfARemoteClientIsCounted) {
  auto remote = NewClient();
  const Variant open = List({"DESCRIPTION=Plant 1", "OFFLINE=TRUE"});
  ASSERT_TRUE(remote->OpenSite(open));
  ASSERT_TRUE(remote->OpenSite(open));
  EXPECT_EQ(remote->Engine->Session.RemoteClientCount(), 2);
  EXPECT_EQ(remote->Engine->Session.Clients().size(), 1u);
  auto local = OpenOffline("Plant 1", /*local=*/true);
  EXPECT_EQ(local->Engine->Session.RemoteClientCount(), 2);
}

TEST_F(MainFormTest, EngineGoesAwayAfterTheEventOfItsLastDetach) {
  auto a = OpenOffline("Plant 1");
  auto b = OpenOffline("Plant 1");
  b.reset();
  loop.RunFor(200);
  EXPECT_EQ(main.ChildCount(), 1u);
  a.reset();
  EXPECT_EQ(main.ChildCount(), 1u) << "destroyed before the current event was handled";
  loop.ProcessPendingEvents();
  EXPECT_EQ(main.ChildCount(), 0u);
  EXPECT_TRUE(main.Engines().empty());
}

TEST_F(MainFormTest, OpeningTheSiteAgainBeforeTheReleaseKeepsTheEngine) {
  auto a = OpenOffline("Plant 1");
  TModBusForm* engine = a->Engine;
  a.reset();  // release posted
  auto b = OpenOffline("plant 1");
  EXPECT_EQ(b->Engine, engine);
  loop.RunFor(300);
  EXPECT_EQ(main.ChildCount(), 1u);
  EXPECT_EQ(b->Engine->Session.Clients().size(), 1u);
  EXPECT_EQ(Status(RunToEnd(*b, {"COMMAND=SITETIME"})), "TRUE");  // the engine still serves
}

TEST_F(MainFormTest, AnEngineReleasedWhileItsStepWaitsDropsTheStep) {
  auto client = OpenWaiting("Plant 1", 1);
  TModBusForm* engine = client->Engine;
  ASSERT_TRUE(engine->IsSuspended());
  ASSERT_GT(main.Delay().Waiting(), 0u);
  client.reset();  // the host lets go while the engine waits for its device
  loop.RunFor(200);
  EXPECT_EQ(main.ChildCount(), 0u) << "destroyed without waiting for the step to end";
  EXPECT_EQ(main.Delay().Waiting(), 0u) << "its wait left the clock: nothing resumes into it";
  loop.RunFor(5000);  // well past the end the wait would have had
  EXPECT_EQ(main.ChildCount(), 0u);
}

TEST_F(MainFormTest, TickKeepsRunningAfterAnEngineRaises) {
  auto failing = OpenOffline("Failing");
  auto healthy = OpenOffline("Healthy");
  int failures = 0;
  failing->Engine->Model.OnChanged = [&] {
    ++failures;
    throw std::runtime_error("window gone");
  };
  loop.RunFor(3000);
  EXPECT_GE(failures, 2) << "the process timer stopped after the first error";
  // The engine behind the failing one is still ticked: its time panel keeps being refreshed.
  EXPECT_EQ(healthy->Engine->Model.TimePnl, "Local Time: 09:30:03 am");
  failing->Engine->Model.OnChanged = nullptr;
}

TEST_F(MainFormTest, OtherEnginesTickWhileOneWaits) {
  auto waiting = OpenWaiting("Waiting", 1);
  auto other = OpenOffline("Other");
  const std::string waitingPanel = waiting->Engine->Model.TimePnl;
  const std::string otherPanel = other->Engine->Model.TimePnl;
  loop.RunFor(1500);
  ASSERT_TRUE(waiting->Engine->IsSuspended()) << "still waiting for its silent device";
  EXPECT_NE(other->Engine->Model.TimePnl, otherPanel) << "the other engine keeps its ticks";
  EXPECT_EQ(waiting->Engine->Model.TimePnl, waitingPanel) << "the waiting one sits its out";
}

// The process tick keeps a 100 ms period however long each tick runs within it, so that it keeps
// sharing its wake-up with the delay timer; a tick that overruns the period is followed by a whole
// period before the next. One row per time the tick runs; the time panel, refreshed every tenth
// tick, shows the period.
struct TickRunCase {
  int64_t runMs;     // virtual time the tick that refreshes the panel takes
  int64_t periodMs;  // from one refresh to the next
};

TEST_F(MainFormTest, TicksKeepTheirPeriodWhateverTheyTake) {
  for (const TickRunCase row : {TickRunCase{0, 1000}, TickRunCase{30, 1000}, TickRunCase{99, 1000},
                                TickRunCase{150, 1150}}) {
    SCOPED_TRACE(row.runMs);
    auto client = OpenOffline("Timed " + std::to_string(row.runMs));
    std::vector<int64_t> refreshed;
    client->Engine->Model.OnChanged = [&] {
      refreshed.push_back(loop.NowMs());
      loop.SleepMs(static_cast<int>(row.runMs));
    };
    loop.RunFor(3500);
    client->Engine->Model.OnChanged = nullptr;
    ASSERT_GE(refreshed.size(), 3u);
    EXPECT_EQ(refreshed[2] - refreshed[1], row.periodMs);
    client.reset();
    loop.RunFor(100);
  }
}

}  // namespace
}  // namespace qmb::test
