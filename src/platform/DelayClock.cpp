#include "platform/DelayClock.h"

#include <algorithm>

namespace qmb {

void DelayClock::DelayTick() {
  ++DelayTicks;
  const int64_t now = loop_.MonotonicMs();
  const bool every = counting_ == Counting::EveryStep;
  for (DelayWait* wait : waits_)
    if (every || now > wait->startedAtMs_) ++wait->counted_;
  // One at a time, looking afresh after each: a task that goes on may end or start other waits.
  for (;;) {
    const auto due = std::find_if(waits_.begin(), waits_.end(),
                                  [](const DelayWait* w) { return w->counted_ > w->n_; });
    if (due == waits_.end()) return;
    DelayWait* wait = *due;
    waits_.erase(due);
    wait->listed_ = false;
    wait->waiting_.resume();
  }
}

void DelayClock::DelayWait::await_suspend(std::coroutine_handle<> waiting) {
  waiting_ = waiting;
  startedAtMs_ = clock_.loop_.MonotonicMs();
  clock_.waits_.push_back(this);
  listed_ = true;
}

DelayClock::DelayWait::~DelayWait() {
  if (!listed_) return;
  auto& waits = clock_.waits_;
  waits.erase(std::remove(waits.begin(), waits.end(), this), waits.end());
}

void DelayClock::SleepWait::await_suspend(std::coroutine_handle<> waiting) {
  alive_ = std::make_shared<bool>(true);
  // The timer fires inside its own callback; the task is resumed from the loop after it, so the
  // timer is never destroyed under its own feet when the task ends.
  timer_ = loop_.CreateTimer(milliseconds_, [this, waiting, alive = alive_] {
    timer_->Stop();
    loop_.Post([waiting, alive] {
      if (*alive) waiting.resume();
    });
  });
  timer_->Start();
}

DelayClock::SleepWait::~SleepWait() {
  if (alive_) *alive_ = false;
}

}  // namespace qmb
