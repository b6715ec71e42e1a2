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

DirectExchange::~DirectExchange() = default;

Timer& DirectExchange::WaitTimer(int64_t microseconds) {
  const auto timeUp = [this] {
    if (waiting_) waiting_->Resume();
  };
  // Whole milliseconds on the loop's plain timer; the line's silence on its finer one (a timer of
  // its own descriptor in the real loop), made again only when the line's speed changed.
  if (microseconds % 1000 == 0) {
    const auto milliseconds = static_cast<int>(microseconds / 1000);
    if (!timer_) timer_ = Clock().Loop().CreateTimer(milliseconds, timeUp);
    timer_->SetInterval(milliseconds);
    return *timer_;
  }
  if (!silenceTimer_ || silenceUs_ != microseconds) {
    silenceTimer_ = Clock().Loop().CreateTimerUs(microseconds, timeUp);
    silenceUs_ = microseconds;
  }
  return *silenceTimer_;
}

void DirectExchange::LinkEvent() {
  ++events_;
  if (waiting_) waiting_->Wake();
}

namespace {
// The policy of an event-driven exchange: one attempt, checked as it ends; its budget is the
// terms' wire time.
constexpr WaitPolicy kEventPolicy{};
}  // namespace

const ExchangeTerms& DirectExchange::Terms() const {
  // Awaited by the engine's exchange directly, the wait takes the default terms.
  static const ExchangeTerms kDefault;
  return terms_ ? *terms_ : kDefault;
}

Task<bool> DirectExchange::Connected(ExchangeLink& link, const std::string& host) {
  if (Terms().ConnectTicks > 0) {
    // Each look that finds no connection counts; an event that came while looking ends the
    // wait for the next one at once.
    for (int32_t looks = 1;; ++looks) {
      const uint64_t seen = events_;
      if (link.Ready(host)) co_return true;
      if (looks >= Terms().ConnectTicks) co_return false;
      co_await EventWait(
          *this, [this, seen] { return events_ != seen; }, 0);
      if (Terms().MayGo && !Terms().MayGo()) co_return false;
    }
  }
  if (link.Ready(host)) co_return true;
  // The connection is an event of the link; the pause after it is the clock's: the wait ends
  // with the connection, then the pause is slept out.
  co_await EventWait(
      *this,
      [this, &link, &host] { return link.Ready(host) || transactions_.ConnectPauseLeftMs() > 0; },
      int64_t{kConnectMs + site_.ConnectPauseMs} * 1000);
  if (const int64_t left = transactions_.ConnectPauseLeftMs(); left > 0)
    co_await Clock().Sleep(static_cast<int>(left));
  if (Terms().MayGo && !Terms().MayGo()) co_return false;
  co_return link.Ready(host);
}

Task<bool> DirectExchange::Clear(TransactionEngine& engine, ExchangeLink& link,
                                 const std::string& host, int32_t /*readyPasses*/) {
  // The connection, then the site's GAP; a connection lost meanwhile is waited for again.
  for (;;) {
    const bool connected = co_await Connected(link, host);
    if (!connected) co_return false;
    if (engine.GapLeftMs() <= 0) co_return true;
    co_await engine.KeepGap();
    if (Terms().MayGo && !Terms().MayGo()) co_return false;
  }
}

Task<Heard> DirectExchange::Reply(ExchangeLink& link, const ModbusRequest* request,
                                  const ReplyWait& /*wait*/) {
  const int32_t budgetMs = link.ReplyBudgetMs(SitePolicy(Terms().Wire, site_), *request);
  const bool arrived = co_await EventWait(
      *this, [&link] { return link.ReplyReady(); }, int64_t{budgetMs} * 1000);
  co_return Heard{arrived, true};
}

bool DirectExchange::KeepsFrameGap() const {
  // Frames on a line that tells them apart by its silence keep that silence after a reply.
  return transactions_.SiteFramingEntry().GapBetweenFrames;
}

Task<void> DirectExchange::KeepFrameGap() {
  co_await EventWait(
      *this, [] { return false; }, RtuFrameGapUs(site_.BaudRate));
}

Task<ExchangeResult> DirectExchange::Exchange(const ModbusRequest& request, ExchangeTerms terms) {
  if (terms_) throw std::logic_error("one event-driven exchange at a time");
  const Holding<const ExchangeTerms*> running(terms_, &terms, nullptr);
  co_return co_await transactions_.Exchange(&request, kEventPolicy, *this);
}

}  // namespace qmb
