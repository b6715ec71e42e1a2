// The main window's registry and timers: which opens share an engine, when engines go away, and
// that the process tick survives engines that fail or wait.
#include <gtest/gtest.h>

#include <stdexcept>

#include "support/HostFixture.h"

namespace qmb::test {
namespace {

using MainFormTest = HostFixture;

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
  EXPECT_EQ(joining->Site.PanelType, "Andover AC256");
  EXPECT_EQ(joining->Site.PanelTypeID, "AC256");
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

TEST_F(MainFormTest, AnEngineReleasedDuringItsOwnTickOutlivesTheTick) {
  auto client = OpenOffline("Plant 1");
  TModBusForm* engine = client->Engine;
  bool released = false;
  bool survivedWait = false;
  engine->Model.OnChanged = [&] {
    if (released) return;
    released = true;
    client.reset();         // the host lets go while the engine is in its tick
    main.Delay().Delay(3);  // ... and the engine keeps waiting for its device
    survivedWait = main.ChildCount() == 1;
  };
  loop.RunFor(1000);  // the time panel refresh (every 10th tick) triggers the callback
  EXPECT_TRUE(released);
  EXPECT_TRUE(survivedWait);
  loop.RunFor(200);
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

TEST_F(MainFormTest, NoTickStartsWhileAnEngineWaitsInItsTick) {
  auto waiting = OpenOffline("Waiting");
  auto other = OpenOffline("Other");
  int32_t otherTicksBefore = -1;
  int32_t otherTicksAfter = -1;
  waiting->Engine->Model.OnChanged = [&] {
    if (otherTicksBefore >= 0) return;
    otherTicksBefore = other->Engine->Session.ClockTicks();
    main.Delay().Delay(20);
    otherTicksAfter = other->Engine->Session.ClockTicks();
  };
  loop.RunFor(4000);
  ASSERT_GE(otherTicksBefore, 0);
  EXPECT_EQ(otherTicksAfter, otherTicksBefore);
}

}  // namespace
}  // namespace qmb::test
