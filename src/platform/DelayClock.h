// The program-wide delay clock: a 16-bit tick counter advanced every 100 ms, and the waits of the
// site engines. A wait suspends only the task that asked for it: every other engine, the host
// calls and the port events go on meanwhile, and nothing spins or nests an event loop.
#pragma once

#include <coroutine>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/MessageLoop.h"

namespace qmb {

class DelayClock {
 public:
  // How a wait that starts between two ticks counts them. The program's delay clock does not
  // count a tick of the same moment as the wait's start (its timer may fire in the same
  // millisecond, before or after the task that waits); a clock stepped by its owner's own
  // calls (the tick-paced poller's) counts every call after the wait began, whenever it comes.
  enum class Counting { SkipSameMoment, EveryStep };
  explicit DelayClock(MessageLoop& loop, Counting counting = Counting::SkipSameMoment)
      : loop_(loop), counting_(counting) {}
  DelayClock(const DelayClock&) = delete;
  DelayClock& operator=(const DelayClock&) = delete;

  // Called by the main window's 100 ms delay timer: counts the tick for every wait and resumes
  // the ones it ends.
  void DelayTick();

  // `co_await clock.Delay(n)`: the awaiting task goes on after the (n + 1)-th tick counted from
  // now (so a wait that starts between two ticks lasts n to n + 1 periods). Each wait counts its
  // own ticks; a tick already due when the wait starts (the same moment) is not one of them. A
  // negative n does not wait.
  class [[nodiscard]] DelayWait {
   public:
    DelayWait(DelayClock& clock, int32_t n) : clock_(clock), n_(n) {}
    DelayWait(const DelayWait&) = delete;
    DelayWait& operator=(const DelayWait&) = delete;
    // A wait dropped while suspended (its task destroyed) leaves the clock's list.
    ~DelayWait();

    bool await_ready() const noexcept { return n_ < 0; }
    void await_suspend(std::coroutine_handle<> waiting);
    void await_resume() const noexcept {}

   private:
    friend class DelayClock;
    DelayClock& clock_;
    int32_t n_;
    int32_t counted_ = 0;
    int64_t startedAtMs_ = 0;
    std::coroutine_handle<> waiting_;
    bool listed_ = false;
  };
  DelayWait Delay(int32_t n) { return DelayWait(*this, n); }

  // `co_await clock.Sleep(ms)`: the awaiting task goes on after that many milliseconds of the
  // loop's own time (short pauses that are no whole delay periods).
  class [[nodiscard]] SleepWait {
   public:
    SleepWait(MessageLoop& loop, int milliseconds) : loop_(loop), milliseconds_(milliseconds) {}
    SleepWait(const SleepWait&) = delete;
    SleepWait& operator=(const SleepWait&) = delete;
    ~SleepWait();

    bool await_ready() const noexcept { return milliseconds_ <= 0; }
    void await_suspend(std::coroutine_handle<> waiting);
    void await_resume() const noexcept {}

   private:
    MessageLoop& loop_;
    int milliseconds_;
    std::unique_ptr<Timer> timer_;
    // Cleared when the wait is dropped, so a timeout already posted resumes nothing.
    std::shared_ptr<bool> alive_;
  };
  SleepWait Sleep(int milliseconds) { return SleepWait(loop_, milliseconds); }

  // Waits counted now (tests and the status of the program).
  size_t Waiting() const { return waits_.size(); }

  MessageLoop& Loop() { return loop_; }

  uint16_t DelayTicks = 0;  // wraps from 65535 to 0

 private:
  MessageLoop& loop_;
  Counting counting_;
  std::vector<DelayWait*> waits_;
};

}  // namespace qmb
