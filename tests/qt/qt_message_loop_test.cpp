// The real event loop: timers, deferred calls and waits behave as the engine relies on. These
// run in real time, so they are kept to a few hundred milliseconds and assert order, not speed.
#include <gtest/gtest.h>

#include <QDateTime>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "platform/DateTime.h"
#include "platform/DelayClock.h"
#include "platform/Task.h"
#include "platform/qt/QtMessageLoop.h"

namespace qmb {
namespace {

TEST(QtMessageLoop, PostedCallsRunAfterTheCurrentEventInOrder) {
  QtMessageLoop loop;
  std::vector<int> order;
  loop.Post([&] {
    order.push_back(1);
    loop.Post([&] { order.push_back(3); });
    order.push_back(2);
  });
  EXPECT_TRUE(order.empty()) << "a posted call ran inline";
  while (order.size() < 3) loop.WaitForEvents();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

// Both kinds of timer: by the millisecond (QTimer) and by the microsecond (a timerfd).
class QtMessageLoopTimers : public ::testing::TestWithParam<bool> {
 protected:
  std::unique_ptr<Timer> Create(QtMessageLoop& loop, int intervalMs, std::function<void()> call) {
    return GetParam() ? loop.CreateTimerUs(int64_t{intervalMs} * 1000, std::move(call))
                      : loop.CreateTimer(intervalMs, std::move(call));
  }
};

TEST_P(QtMessageLoopTimers, RepeatStopAndRestart) {
  QtMessageLoop loop;
  int shots = 0;
  auto timer = Create(loop, 10, [&] { ++shots; });
  EXPECT_FALSE(timer->IsActive());
  timer->Start();
  while (shots < 3) loop.WaitForEvents();
  timer->Stop();
  const int stoppedAt = shots;
  loop.SleepMs(30);
  loop.ProcessPendingEvents();
  EXPECT_EQ(shots, stoppedAt) << "a stopped timer fired";
  timer->SetInterval(5);
  EXPECT_EQ(timer->Interval(), 5);
  timer->Start();
  while (shots < stoppedAt + 2) loop.WaitForEvents();
  EXPECT_TRUE(timer->IsActive());
}

TEST_P(QtMessageLoopTimers, NeverReenteredByItsOwnShot) {
  // A callback that waits inside the loop (as a device wait does) outlasts several intervals.
  QtMessageLoop loop;
  int depth = 0;
  int deepest = 0;
  int shots = 0;
  std::unique_ptr<Timer> timer;
  timer = Create(loop, 2, [&] {
    ++shots;
    deepest = std::max(deepest, ++depth);
    if (shots == 1) {
      loop.SleepMs(10);
      for (int i = 0; i < 5; ++i) loop.ProcessPendingEvents();
    }
    --depth;
  });
  timer->Start();
  while (shots < 3) loop.WaitForEvents();
  EXPECT_EQ(deepest, 1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, QtMessageLoopTimers, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Micro" : "Milli"; });

TEST(QtMessageLoop, MicrosecondTimersReportWholeMilliseconds) {
  QtMessageLoop loop;
  EXPECT_EQ(loop.CreateTimerUs(1750, [] {})->Interval(), 2);
  EXPECT_EQ(loop.CreateTimerUs(2000, [] {})->Interval(), 2);
}

Task<void> WaitTicks(DelayClock& clock, int32_t n) {
  co_await clock.Delay(n);
}

TEST(QtMessageLoop, DelayKeepsEventsFlowingUntilItsTicksHavePassed) {
  QtMessageLoop loop;
  DelayClock clock(loop);
  auto tick = loop.CreateTimer(20, [&] { clock.DelayTick(); });
  tick->Start();
  int served = 0;
  auto other = loop.CreateTimer(15, [&] { ++served; });
  other->Start();
  const int64_t started = loop.MonotonicMs();
  Task<void> wait = WaitTicks(clock, 9);  // ten 20 ms ticks
  wait.Start();
  while (!wait.Done()) loop.WaitForEvents();
  EXPECT_GE(loop.MonotonicMs() - started, 150);
  EXPECT_GT(served, 3) << "other events must be handled during the wait";
}

TEST(QtMessageLoop, LocalClockIsTodayInTheLocalZone) {
  // A zone five and a half hours east of UTC, without daylight-saving time.
  const QByteArray savedZone = qgetenv("TZ");
  const bool hadZone = qEnvironmentVariableIsSet("TZ");
  qputenv("TZ", "<+0530>-5:30");
  QtMessageLoop loop;
  const auto encode = [](const QDateTime& at) {
    return EncodeDateTime({at.date().year(), at.date().month(), at.date().day(), at.time().hour(),
                           at.time().minute(), at.time().second(), at.time().msec()});
  };
  for (int i = 0; i < 2; ++i) {  // the zone's offset looked up, then the one kept
    const double before = encode(QDateTime::currentDateTime());
    const double now = loop.LocalNow();
    const double after = encode(QDateTime::currentDateTime());
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
    EXPECT_NEAR(now, encode(QDateTime::currentDateTimeUtc()) + 5.5 / 24, 1.0 / 86400);
  }
  if (hadZone)
    qputenv("TZ", savedZone);
  else
    qunsetenv("TZ");
}

}  // namespace
}  // namespace qmb
