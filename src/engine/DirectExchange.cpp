#include "engine/DirectExchange.h"

#include <coroutine>
#include <memory>
#include <stdexcept>
#include <utility>

#include "engine/FastScanner.h"
#include "engine/TransactionEngine.h"

namespace qmb {

// Suspends the exchange until its condition holds when the link says something, or until its
// time is up (none: only the condition ends it). The exchange goes on from inside the event or
// the timer's callback, as the next request after a reply should, without another pass of the
// loop: the timer is the owner's and outlives the wait, and the link's steps that follow (taking
// the reply, the next send) are the ones its events allow.
class DirectExchange::EventWait {
 public:
  EventWait(DirectExchange& owner, std::function<bool()> condition, int64_t microseconds)
      : owner_(owner), condition_(std::move(condition)), microseconds_(microseconds) {}
  EventWait(const EventWait&) = delete;
  EventWait& operator=(const EventWait&) = delete;
  ~EventWait() {
    if (owner_.waiting_ != this) return;
    // Dropped while it waits: the owner's timer must not go off for it.
    owner_.waiting_ = nullptr;
    if (timer_) timer_->Stop();
  }

  bool await_ready() const { return condition_(); }
  void await_suspend(std::coroutine_handle<> waiting) {
    waiting_ = waiting;
    owner_.waiting_ = this;
    if (microseconds_ <= 0) return;
    timer_ = &owner_.WaitTimer(microseconds_);
    timer_->Start();
  }
  bool await_resume() const { return condition_(); }

  void Wake() {
    if (condition_()) Resume();
  }
  void Resume() {
    if (timer_) timer_->Stop();
    if (owner_.waiting_ == this) owner_.waiting_ = nullptr;
    if (waiting_) std::exchange(waiting_, {}).resume();
  }

 private:
  DirectExchange& owner_;
  std::function<bool()> condition_;
  int64_t microseconds_;
  std::coroutine_handle<> waiting_;
  Timer* timer_ = nullptr;  // the owner's
};

// A request on the line, from arming the reception to taking the reply. An exchange dropped in
// between (its task destroyed) or whose send failed abandons it, so nothing stays armed.
class DirectExchange::OnLineScope {
 public:
  OnLineScope(DirectExchange& owner, ExchangeLink& link) : owner_(owner), link_(link) {
    link_.Arm();
    owner_.onLine_ = open_ = true;
  }
  OnLineScope(const OnLineScope&) = delete;
  OnLineScope& operator=(const OnLineScope&) = delete;
  ~OnLineScope() {
    if (!open_) return;
    owner_.onLine_ = false;
    link_.Abandon();
  }

  ExchangeResult Finish(bool arrived) {
    owner_.onLine_ = open_ = false;
    return link_.Finish(arrived);
  }

 private:
  DirectExchange& owner_;
  ExchangeLink& link_;
  bool open_ = false;
};

DirectExchange::~DirectExchange() = default;

Timer& DirectExchange::WaitTimer(int64_t microseconds) {
  const auto timeUp = [this] {
    if (waiting_) waiting_->Resume();
  };
  // Whole milliseconds on the loop's plain timer; the line's silence on its finer one (a timer of
  // its own descriptor in the real loop), made again only when the line's speed changed.
  if (microseconds % 1000 == 0) {
    const auto milliseconds = static_cast<int>(microseconds / 1000);
    if (!timer_) timer_ = delay_.Loop().CreateTimer(milliseconds, timeUp);
    timer_->SetInterval(milliseconds);
    return *timer_;
  }
  if (!silenceTimer_ || silenceUs_ != microseconds) {
    silenceTimer_ = delay_.Loop().CreateTimerUs(microseconds, timeUp);
    silenceUs_ = microseconds;
  }
  return *silenceTimer_;
}

void DirectExchange::LinkEvent() {
  ++events_;
  if (waiting_) waiting_->Wake();
}

Task<bool> DirectExchange::Connected(ExchangeLink& link, const ModbusRequest& request,
                                     const ExchangeTerms& terms) {
  if (terms.ConnectTicks > 0) {
    // Each look that finds no connection counts; an event that came while looking ends the
    // wait for the next one at once.
    for (int32_t looks = 1;; ++looks) {
      const uint64_t seen = events_;
      if (link.Ready(request.Host)) co_return true;
      if (looks >= terms.ConnectTicks) co_return false;
      co_await EventWait(
          *this, [this, seen] { return events_ != seen; }, 0);
      if (terms.MayGo && !terms.MayGo()) co_return false;
    }
  }
  if (link.Ready(request.Host)) co_return true;
  // The connection is an event of the link; the pause after it is the clock's: the wait ends
  // with the connection, then the pause is slept out.
  co_await EventWait(
      *this,
      [this, &link, &request] {
        return link.Ready(request.Host) || transactions_.ConnectPauseLeftMs() > 0;
      },
      int64_t{kConnectMs + site_.ConnectPauseMs} * 1000);
  if (const int64_t left = transactions_.ConnectPauseLeftMs(); left > 0)
    co_await delay_.Sleep(static_cast<int>(left));
  if (terms.MayGo && !terms.MayGo()) co_return false;
  co_return link.Ready(request.Host);
}

Task<ExchangeResult> DirectExchange::Exchange(const ModbusRequest& request, ExchangeTerms terms) {
  if (!transactions_.Refusal(request).empty()) {
    ExchangeResult refused;
    refused.Failure = ExchangeFailure::Refused;
    co_return refused;
  }
  ExchangeLink& link = transactions_.Link();
  if (!link.Usable()) co_return ExchangeResult{};
  // The connection, then the site's GAP; a connection lost meanwhile is waited for again.
  for (;;) {
    const bool connected = co_await Connected(link, request, terms);
    if (!connected) co_return ExchangeResult{};
    if (transactions_.GapLeftMs() <= 0) break;
    co_await transactions_.KeepGap();
    if (terms.MayGo && !terms.MayGo()) co_return ExchangeResult{};
  }
  const std::string frame = link.FrameFor(request);
  if (frame.empty()) throw std::length_error("the request is too long for one frame");
  if (transactions_.IsBroadcast(request)) co_return co_await transactions_.ExchangeBroadcast(frame);
  OnLineScope onLine(*this, link);
  link.Send(frame);
  const bool arrived = co_await EventWait(
      *this, [&link] { return link.ReplyReady(); },
      int64_t{link.ReplyBudgetMs(SitePolicy(terms.Wire, site_), request)} * 1000);
  const ExchangeResult result = onLine.Finish(arrived);
  // Frames on a line that tells them apart by its silence keep that silence after a reply.
  if (transactions_.SiteFramingEntry().GapBetweenFrames)
    co_await EventWait(
        *this, [] { return false; }, RtuFrameGapUs(site_.BaudRate));
  co_return result;
}

}  // namespace qmb
