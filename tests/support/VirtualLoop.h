// A message loop in virtual time: when nothing is due, the clock jumps to the next timer or
// scheduled event, so fifteen seconds of 100 ms ticks take microseconds and no test sleeps.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/MessageLoop.h"
#include "platform/Task.h"

namespace qmb::test {

class VirtualLoop : public MessageLoop, public Clock {
 public:
  VirtualLoop();
  ~VirtualLoop() override;

  void ProcessPendingEvents() override;
  void WaitForEvents() override;
  std::unique_ptr<Timer> CreateTimer(int intervalMs, std::function<void()> onTimeout) override;
  void Post(std::function<void()> call) override;
  // Virtual time has no descriptors that become ready: the watch never fires (tests drive the
  // library's doubles directly).
  std::unique_ptr<FdWatch> WatchFd(int, std::function<void()>, std::function<void()>) override {
    struct Idle : FdWatch {
      void SetWriteWatch(bool) override {}
    };
    return std::make_unique<Idle>();
  }
  void SleepMs(int milliseconds) override { nowMs_ += milliseconds > 0 ? milliseconds : 0; }
  int64_t MonotonicMs() const override { return nowMs_; }
  double LocalNow() const override;

  // Test controls.
  int64_t NowMs() const { return nowMs_; }
  // A one-shot event at an absolute virtual time (an arriving host call, a device byte ...).
  void ScheduleAt(int64_t atMs, std::function<void()> call);
  void ScheduleIn(int64_t inMs, std::function<void()> call) { ScheduleAt(nowMs_ + inMs, call); }
  // Runs the loop (as the application's exec would) until the virtual clock reaches atMs.
  void RunUntil(int64_t atMs);
  void RunFor(int64_t ms) { RunUntil(nowMs_ + ms); }
  // Runs until the predicate holds; false when it did not within limitMs of virtual time.
  bool RunUntilTrue(const std::function<bool()>& predicate, int64_t limitMs = 600000);
  // The wall clock's date-time at virtual time 0.
  void SetLocalBase(double dateTime) { localBase_ = dateTime; }
  // How many times WaitForEvents had to wait (found nothing due at the current time).
  int64_t IdleWaits() const { return idleWaits_; }

  struct TimerState;

 private:
  // Runs posted calls, then due scheduled events and timers, once each; true when any ran.
  bool RunDue();
  int64_t NextDue() const;

  int64_t nowMs_ = 0;
  double localBase_;
  int64_t idleWaits_ = 0;
  uint64_t sequence_ = 0;
  std::deque<std::function<void()>> posted_;
  std::multimap<std::pair<int64_t, uint64_t>, std::function<void()>> scheduled_;
  std::vector<std::shared_ptr<TimerState>> timers_;
};

// Runs a task on the loop until it ends (its waits pass in virtual time, other events run
// meanwhile) and gives its value, or what it raised.
template <typename T>
T RunTask(VirtualLoop& loop, Task<T> task, int64_t limitMs = 600000) {
  task.Start();
  if (!task.Done() && !loop.RunUntilTrue([&] { return task.Done(); }, limitMs))
    throw std::runtime_error("the task did not end");
  return task.Result();
}

}  // namespace qmb::test
