#include "engine/DirectExchange.h"

#include <coroutine>
#include <memory>
#include <stdexcept>
#include <utility>

#include "engine/FastScanner.h"
#include "engine/TransactionEngine.h"

namespace qmb {

// Suspends the exchange until its condition holds when the link says something, or until its
// time is up. It is resumed from the loop, never from inside the link's event or the timer's
// callback: the exchange may end there and take the timer with it.
class DirectExchange::EventWait {
 public:
  EventWait(DirectExchange& owner, std::function<bool()> condition, int32_t milliseconds)
      : owner_(owner), condition_(std::move(condition)), milliseconds_(milliseconds) {}
  EventWait(const EventWait&) = delete;
  EventWait& operator=(const EventWait&) = delete;
  ~EventWait() {
    *alive_ = false;
    if (owner_.waiting_ == this) owner_.waiting_ = nullptr;
  }

  bool await_ready() const { return condition_(); }
  void await_suspend(std::coroutine_handle<> waiting) {
    waiting_ = waiting;
    owner_.waiting_ = this;
    timer_ = owner_.delay_.Loop().CreateTimer(milliseconds_, [this] { ResumeSoon(); });
    timer_->Start();
  }
  bool await_resume() const { return condition_(); }

  void Wake() {
    if (condition_()) ResumeSoon();
  }

 private:
  void ResumeSoon() {
    if (timer_) timer_->Stop();
    if (owner_.waiting_ == this) owner_.waiting_ = nullptr;
    owner_.delay_.Loop().Post([this, alive = alive_] {
      if (!*alive || !waiting_) return;
      std::exchange(waiting_, {}).resume();
    });
  }

  DirectExchange& owner_;
  std::function<bool()> condition_;
  int32_t milliseconds_;
  std::coroutine_handle<> waiting_;
  std::unique_ptr<Timer> timer_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

DirectExchange::~DirectExchange() = default;

void DirectExchange::LinkEvent() {
  if (waiting_) waiting_->Wake();
}

Task<ExchangeResult> DirectExchange::Exchange(const ModbusRequest& request) {
  if (!transactions_.Refusal(request).empty()) {
    ExchangeResult refused;
    refused.Failure = ExchangeFailure::Refused;
    co_return refused;
  }
  ExchangeLink& link = transactions_.Link();
  if (!link.Usable()) co_return ExchangeResult{};
  if (!link.Ready(request.Host)) {
    // The connection is an event of the link; the pause after it is the clock's: the wait
    // ends with the connection, then the pause is slept out.
    co_await EventWait(
        *this,
        [this, &link, &request] {
          return link.Ready(request.Host) || transactions_.ConnectPauseLeftMs() > 0;
        },
        kConnectMs + site_.ConnectPauseMs);
    if (const int64_t left = transactions_.ConnectPauseLeftMs(); left > 0)
      co_await delay_.Sleep(static_cast<int>(left));
    if (!link.Ready(request.Host)) co_return ExchangeResult{};
  }
  co_await transactions_.KeepGap();
  const std::string frame = link.FrameFor(request);
  if (frame.empty()) throw std::length_error("the request is too long for one frame");
  if (transactions_.IsBroadcast(request)) co_return co_await transactions_.ExchangeBroadcast(frame);
  link.Arm();
  try {
    link.Send(frame);
  } catch (...) {
    link.Abandon();
    throw;
  }
  const bool arrived = co_await EventWait(
      *this, [&link] { return link.ReplyReady(); },
      link.ReplyBudgetMs(SitePolicy(kFastScanPolicy, site_), request));
  const ExchangeResult result = link.Finish(arrived);
  // Frames on a line that tells them apart by its silence keep that silence after a reply.
  if (transactions_.SiteFramingEntry().GapBetweenFrames) {
    const int64_t gapUs = RtuFrameGapUs(site_.BaudRate);
    co_await delay_.Sleep(static_cast<int>((gapUs + 999) / 1000));
  }
  co_return result;
}

}  // namespace qmb
