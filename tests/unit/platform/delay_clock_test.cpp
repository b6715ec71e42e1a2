// The delay clock in virtual time: how long waits last, that each wait keeps its own count while
// others run, that events (host calls among them) are served while a task waits, and that a
// dropped wait is never resumed.
#include <gtest/gtest.h>

#include <array>
#include <stdexcept>

#include "support/HostFixture.h"

namespace qmb::test {
namespace {

Task<void> Wait(DelayClock& clock, int32_t n, int64_t* endedAt = nullptr,
                const VirtualLoop* loop = nullptr) {
  co_await clock.Delay(n);
  if (endedAt) *endedAt = loop->NowMs();
}

class DelayClockTest : public HostFixture {
 protected:
  // Runs a wait of n periods starting at the given virtual time; the time at which it ended.
  int64_t DelayFrom(int64_t startMs, int32_t n) {
    loop.RunUntil(startMs);
    RunTask(loop, Wait(main.Delay(), n));
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
  // A negative count does not wait.
  EXPECT_EQ(DelayFrom(3050, -1), 3050);
}

TEST_F(DelayClockTest, WaitsStartedAtOnceKeepTheirOwnTiming) {
  // Two tasks (two engines) waiting at the same time: neither lengthens or shortens the other.
  struct Case {
    int64_t firstStart;
    int32_t firstN;
    int64_t secondStart;
    int32_t secondN;
    int64_t firstEnd, secondEnd;
  };
  const Case cases[] = {
      {1050, 5, 1250, 1, 1600, 1400},  // a short wait inside a long one
      {2050, 2, 2150, 5, 2300, 2700},  // a long wait that outlasts a short one
      {3050, 3, 3050, 3, 3400, 3400},  // the same wait twice
  };
  DelayClock& clock = main.Delay();
  for (const Case& c : cases) {
    int64_t firstEnd = -1, secondEnd = -1;
    loop.RunUntil(c.firstStart);
    Task<void> first = Wait(clock, c.firstN, &firstEnd, &loop);
    first.Start();
    Task<void> second;
    loop.ScheduleAt(c.secondStart, [&] {
      second = Wait(clock, c.secondN, &secondEnd, &loop);
      second.Start();
    });
    ASSERT_TRUE(loop.RunUntilTrue([&] { return first.Done() && second.Done(); }));
    EXPECT_EQ(firstEnd, c.firstEnd) << "first of the case starting at " << c.firstStart;
    EXPECT_EQ(secondEnd, c.secondEnd) << "second of the case starting at " << c.firstStart;
  }
  EXPECT_EQ(clock.Waiting(), 0u);
}

// A clock its owner steps (the tick-paced poller's) counts every step after a wait began, even
// one in the same millisecond; the program's delay clock counts none of that moment.
TEST_F(DelayClockTest, AClockSteppedByItsOwnerCountsEveryStep) {
  struct Row {
    DelayClock::Counting counting;
    int32_t n;
    int steps;  // same-moment steps that end the wait; -1: none do
  };
  const Row rows[] = {{DelayClock::Counting::EveryStep, 0, 1},
                      {DelayClock::Counting::EveryStep, 3, 4},
                      {DelayClock::Counting::SkipSameMoment, 0, -1}};
  for (const Row& row : rows) {
    DelayClock clock(loop, row.counting);
    Task<void> wait = Wait(clock, row.n);
    wait.Start();
    int steps = 0;
    while (!wait.Done() && steps < 10) {
      clock.DelayTick();
      ++steps;
    }
    EXPECT_EQ(wait.Done() ? steps : -1, row.steps) << "n = " << row.n;
  }
}

TEST_F(DelayClockTest, DroppedWaitIsNeverResumed) {
  DelayClock& clock = main.Delay();
  loop.RunUntil(1050);
  int64_t endedAt = -1;
  {
    Task<void> dropped = Wait(clock, 3, &endedAt, &loop);
    dropped.Start();
    EXPECT_EQ(clock.Waiting(), 1u);
    loop.RunUntil(1150);
  }  // its engine went away while it waited
  EXPECT_EQ(clock.Waiting(), 0u);
  loop.RunUntil(2000);
  EXPECT_EQ(endedAt, -1);

  // A dropped pause of the loop's own time likewise.
  bool resumed = false;
  auto pause = [&]() -> Task<void> {
    co_await clock.Sleep(100);
    resumed = true;
  };
  {
    Task<void> sleeping = pause();
    sleeping.Start();
    loop.RunFor(50);
  }
  loop.RunFor(500);
  EXPECT_FALSE(resumed);
  EXPECT_TRUE((RunTask(loop, pause()), resumed)) << "and one that is kept ends";
}

TEST_F(DelayClockTest, CounterWrapsAtSixteenBits) {
  DelayClock& clock = main.Delay();
  clock.DelayTicks = 65535;
  clock.DelayTick();
  EXPECT_EQ(clock.DelayTicks, 0);
}

TEST_F(DelayClockTest, HostCallIsServedWhileATaskWaits) {
  auto owner = OpenOffline("Plant 1");
  auto other = OpenOffline("Plant 1");
  Variant replyDuringWait;
  int64_t servedAt = -1;
  loop.ScheduleAt(450, [&] {
    replyDuringWait = other->ExecuteCommand(List({"COMMAND=SITESTATUS"}));
    servedAt = loop.NowMs();
  });
  loop.RunUntil(150);
  RunTask(loop, Wait(main.Delay(), 9));
  const int64_t waitEnded = loop.NowMs();
  ASSERT_GE(servedAt, 0) << "the host call waited for the wait to end";
  EXPECT_LT(servedAt, waitEnded);
  EXPECT_EQ(Status(replyDuringWait), "Reading Site Status...");
}

TEST_F(DelayClockTest, WaitBlocksBetweenTicksInsteadOfSpinning) {
  loop.RunUntil(1050);
  const int64_t idleBefore = loop.IdleWaits();
  RunTask(loop, Wait(main.Delay(), 9));
  // Ten delay ticks and as many process ticks: each wake-up is one timer, nothing in between.
  EXPECT_LE(loop.IdleWaits() - idleBefore, 20);
}

// Frames come back to the pool and go out again for the next task of their size; frames too
// large for it, and tasks that end in an exception or are dropped while waiting, are handled as
// on the heap.
Task<int> Add(DelayClock& clock, int a, int b) {
  co_await clock.Sleep(1);
  co_return a + b;
}

Task<int> Big(DelayClock& clock, int a) {
  std::array<char, task_detail::FramePool::kLargest + 1> room{};
  room[static_cast<size_t>(a)] = static_cast<char>(a);
  co_await clock.Sleep(1);  // the array lives across the wait: in the frame
  co_return room[static_cast<size_t>(a)] + 1;
}

Task<int> Throws() {
  throw std::runtime_error("failed");
  co_return 0;
}

TEST_F(DelayClockTest, TaskFramesAreReusedForTheNextTaskOfTheirSize) {
  if (!QMB_FRAME_POOL) GTEST_SKIP() << "frames go to the heap under AddressSanitizer";
  using task_detail::FramePool;
  DelayClock& clock = main.Delay();
  {
    Task<int> warm = Add(clock, 0, 0);  // a frame of this size exists from now on
  }
  const size_t kept = FramePool::KeptFrames();
  ASSERT_GE(kept, 1u);
  for (int round = 0; round < 3; ++round) {
    Task<int> task = Add(clock, round, 2);
    EXPECT_EQ(FramePool::KeptFrames(), kept - 1) << "a new frame where one was kept, " << round;
    task.Start();
    ASSERT_TRUE(loop.RunUntilTrue([&] { return task.Done(); }, 1000));
    EXPECT_EQ(task.Result(), round + 2);
  }
  EXPECT_EQ(FramePool::KeptFrames(), kept);
  Task<int> dropped = Add(clock, 1, 1);
  dropped.Start();
  dropped.Reset();  // destroyed while waiting: its frame goes back too
  EXPECT_EQ(FramePool::KeptFrames(), kept);
  Task<int> big = Big(clock, 3);  // too large for the pool: the heap's
  big.Start();
  ASSERT_TRUE(loop.RunUntilTrue([&] { return big.Done(); }, 1000));
  EXPECT_EQ(big.Result(), 4);
  big.Reset();
  EXPECT_EQ(FramePool::KeptFrames(), kept);
  Task<int> failing = Throws();
  failing.Start();
  EXPECT_THROW(failing.Result(), std::runtime_error);
}

}  // namespace
}  // namespace qmb::test
