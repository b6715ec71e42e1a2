#include "support/VirtualLoop.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "platform/DateTime.h"

namespace qmb::test {

struct VirtualLoop::TimerState {
  int interval = 0;
  bool active = false;
  bool running = false;  // callback on the stack: not re-entered by its own timer
  int64_t due = 0;
  uint64_t order = 0;
  std::function<void()> callback;
  VirtualLoop* loop = nullptr;
};

namespace {

class VirtualTimer : public Timer {
 public:
  explicit VirtualTimer(std::shared_ptr<VirtualLoop::TimerState> state)
      : state_(std::move(state)) {}
  ~VirtualTimer() override {
    state_->active = false;
    state_->loop = nullptr;
  }
  void Start() override;
  void Stop() override { state_->active = false; }
  bool IsActive() const override { return state_->active; }
  void SetInterval(int milliseconds) override { state_->interval = std::max(1, milliseconds); }
  int Interval() const override { return state_->interval; }

 private:
  std::shared_ptr<VirtualLoop::TimerState> state_;
};

}  // namespace

VirtualLoop::VirtualLoop() : localBase_(EncodeDateTime({2026, 12, 7, 9, 30, 0, 0})) {}

VirtualLoop::~VirtualLoop() {
  for (auto& t : timers_) t->loop = nullptr;
}

double VirtualLoop::LocalNow() const {
  return localBase_ + static_cast<double>(nowMs_) / 86400000.0;
}

std::unique_ptr<Timer> VirtualLoop::CreateTimer(int intervalMs, std::function<void()> onTimeout) {
  auto state = std::make_shared<TimerState>();
  state->interval = std::max(1, intervalMs);
  state->callback = std::move(onTimeout);
  state->loop = this;
  timers_.push_back(state);
  return std::make_unique<VirtualTimer>(state);
}

void VirtualTimer::Start() {
  state_->active = true;
  if (state_->loop) state_->due = state_->loop->NowMs() + state_->interval;
}

void VirtualLoop::Post(std::function<void()> call) {
  posted_.push_back(std::move(call));
}

void VirtualLoop::ScheduleAt(int64_t atMs, std::function<void()> call) {
  scheduled_.emplace(std::make_pair(std::max(atMs, nowMs_), sequence_++), std::move(call));
}

int64_t VirtualLoop::NextDue() const {
  int64_t next = std::numeric_limits<int64_t>::max();
  if (!scheduled_.empty()) next = scheduled_.begin()->first.first;
  for (const auto& t : timers_)
    if (t->loop && t->active && !t->running) next = std::min(next, t->due);
  return next;
}

bool VirtualLoop::RunDue() {
  bool ran = false;
  // Posted calls present now; calls they post run in the next pass, as on a real queue.
  for (size_t n = posted_.size(); n > 0 && !posted_.empty(); --n) {
    auto call = std::move(posted_.front());
    posted_.pop_front();
    call();
    ran = true;
  }
  while (!scheduled_.empty() && scheduled_.begin()->first.first <= nowMs_) {
    auto call = std::move(scheduled_.begin()->second);
    scheduled_.erase(scheduled_.begin());
    call();
    ran = true;
  }
  // Timers due now, each at most once per pass; a callback may wait inside the loop, so the
  // list is walked on a copy and every state re-checked.
  auto timers = timers_;
  for (auto& t : timers) {
    if (!t->loop || !t->active || t->running || t->due > nowMs_) continue;
    t->due += t->interval;
    if (t->due <= nowMs_) t->due = nowMs_ + t->interval;  // missed shots collapse into one
    t->running = true;
    try {
      t->callback();
    } catch (...) {
      t->running = false;
      throw;
    }
    t->running = false;
    ran = true;
  }
  std::erase_if(timers_, [](const auto& t) { return t->loop == nullptr; });
  return ran;
}

void VirtualLoop::ProcessPendingEvents() {
  RunDue();
}

void VirtualLoop::WaitForEvents() {
  if (RunDue()) return;
  ++idleWaits_;
  if (!posted_.empty()) return;  // something posted during the pass: handle it next time
  const int64_t next = NextDue();
  if (next == std::numeric_limits<int64_t>::max())
    throw std::logic_error("VirtualLoop: waiting with nothing that could ever happen");
  nowMs_ = std::max(nowMs_, next);
  RunDue();
}

void VirtualLoop::RunUntil(int64_t atMs) {
  // A sentinel event makes sure the clock stops exactly at atMs even when nothing else is due.
  bool reached = false;
  ScheduleAt(atMs, [&reached] { reached = true; });
  while (!reached) WaitForEvents();
}

bool VirtualLoop::RunUntilTrue(const std::function<bool()>& predicate, int64_t limitMs) {
  const int64_t limit = nowMs_ + limitMs;
  // The sentinel may outlive this call, so it owns its flag.
  auto expired = std::make_shared<bool>(false);
  ScheduleAt(limit, [expired] { *expired = true; });
  while (!predicate()) {
    if (*expired) return false;
    WaitForEvents();
  }
  return true;
}

}  // namespace qmb::test
