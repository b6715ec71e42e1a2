// The delay clock in virtual time: how long waits last, how nested waits share the counter, and
// that events (host calls among them) are served while a wait is in progress.
#include <gtest/gtest.h>

#include "support/HostFixture.h"

namespace qmb::test {
namespace {

class DelayClockTest : public HostFixture {
 protected:
  // Runs Delay(n) starting at the given virtual time; the time at which it returned.
  int64_t DelayFrom(int64_t startMs, int32_t n) {
    loop.RunUntil(startMs);
    main.Delay().Delay(n);
    return loop.NowMs();
  }
};

TEST_F(DelayClockTest, WaitsEndAfterNPlusOneTicksWhateverThePhase) {
  // The delay timer ticks at 100, 200, ... ms: a wait can start anywhere between two ticks.
  EXPECT_EQ(DelayFrom(1050, 0), 1100);  // Delay(0) ends at the next tick
  EXPECT_EQ(DelayFrom(1100, 0), 1200);  // started right at a tick: a whole period
  const int64_t start = 2030;
  const int64_t end = DelayFrom(start, 9);
  EXPECT_GE(end - start, 900);
  EXPECT_LE(end - start, 1000);
  EXPECT_EQ(end, 3000);
  // A negative count only lets pending events run once.
  EXPECT_EQ(DelayFrom(3050, -1), 3050);
}

TEST_F(DelayClockTest, NestedWaitsShareOneCounter) {
  // An inner wait started during an outer one restarts the shared count and lengthens it ...
  loop.RunUntil(1050);
  int64_t innerEnd = 0;
  loop.ScheduleAt(1250, [&] {
    main.Delay().Delay(1);
    innerEnd = loop.NowMs();
  });
  main.Delay().Delay(5);
  EXPECT_EQ(innerEnd, 1400);
  EXPECT_EQ(loop.NowMs(), 1800);  // alone it would have ended at 1600

  // ... and a longer inner wait lets the outer one end as soon as control returns to it.
  loop.RunUntil(2050);
  loop.ScheduleAt(2150, [&] { main.Delay().Delay(5); });
  main.Delay().Delay(2);
  EXPECT_EQ(loop.NowMs(), 2700);
}

TEST_F(DelayClockTest, CounterWrapsAtSixteenBits) {
  DelayClock& clock = main.Delay();
  clock.DelayTicks = 65535;
  clock.DelayTick();
  EXPECT_EQ(clock.DelayTicks, 0);
}

TEST_F(DelayClockTest, HostCallIsServedInsideAWait) {
  auto owner = OpenOffline("Plant 1");
  auto other = OpenOffline("Plant 1");
  Variant replyDuringWait;
  int64_t servedAt = -1;
  loop.ScheduleAt(450, [&] {
    replyDuringWait = other->ExecuteCommand(List({"COMMAND=SITESTATUS"}));
    servedAt = loop.NowMs();
  });
  loop.RunUntil(150);
  main.Delay().Delay(9);
  const int64_t waitEnded = loop.NowMs();
  ASSERT_GE(servedAt, 0) << "the host call waited for the Delay to end";
  EXPECT_LT(servedAt, waitEnded);
  EXPECT_EQ(Status(replyDuringWait), "Reading Site Status...");
}

TEST_F(DelayClockTest, WaitBlocksBetweenTicksInsteadOfSpinning) {
  loop.RunUntil(1050);
  const int64_t idleBefore = loop.IdleWaits();
  main.Delay().Delay(9);
  // Ten delay ticks and as many process ticks: each wake-up is one timer, nothing in between.
  EXPECT_LE(loop.IdleWaits() - idleBefore, 20);
}

}  // namespace
}  // namespace qmb::test
