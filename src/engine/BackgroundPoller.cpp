#include "engine/BackgroundPoller.h"

#include <exception>

#include "platform/Log.h"

namespace qmb {

BackgroundPoller::BackgroundPoller(Parts parts)
    : site_(parts.site),
      flags_(parts.flags),
      session_(parts.session),
      points_(parts.points),
      transactions_(parts.transactions),
      tcp_(parts.tcp),
      delay_(parts.delay),
      log_(parts.log),
      elapsed_(parts.delay.DelayTicks),
      steps_(parts.delay.Loop(), DelayClock::Counting::EveryStep) {}

BackgroundPoller::PollStep BackgroundPoller::PollState() const {
  if (!exchange_.Suspended()) return pollState_;
  switch (transactions_.ExchangePhase()) {
    case TransactionEngine::Phase::FirstByte:
      return kAwaitFirstByte;
    case TransactionEngine::Phase::Silence:
      return kAwaitSilence;
    case TransactionEngine::Phase::Reply:
      return kAwaitReply;
    case TransactionEngine::Phase::Check:
      return kCheckReply;
    default:
      return pollState_;  // the point's send step, before its request goes out
  }
}

BackgroundPoller::PollStep BackgroundPoller::SendStep() const {
  const FramingEntry& framing = transactions_.SiteFramingEntry();
  return framing.EndsAtLineEnd || framing.OnStream() ? kSend : kSendRTU;
}

void BackgroundPoller::SetIdle() {
  AbandonExchange();
  pollState_ = kIdle;
}

void BackgroundPoller::AbandonExchange() {
  if (!exchange_.Suspended()) return;
  // Reception armed for a reply is dropped; an exchange that had not yet sent, or had its reply
  // already, leaves the line as it is.
  const PollStep step = PollState();
  exchange_.Reset();
  if (step == kAwaitReply || step == kAwaitFirstByte || step == kAwaitSilence)
    transactions_.DisarmReply();
}

std::optional<ModbusRequest> BackgroundPoller::CursorRequest() {
  const PointAddress* point = CursorAddress();
  if (!point) return std::nullopt;
  // A site that decodes by type reads every register a typed value spans, in one request; a
  // typed address that names no value sends nothing, like a key that is no address.
  const PointRead read = ReadOf(*point, site_.TypedDecode);
  std::optional<ModbusRequest> request = !read.Layout        ? ReadRequest(*point)
                                         : read.Quantity > 0 ? ReadRequest(*point, read.Quantity)
                                                             : std::nullopt;
  // Polls go to the host the table keeps for the point (the site's address: a host named in a
  // key is for host commands only).
  if (request) request->Host = points_.Data(static_cast<size_t>(pollCursor_)).Host;
  return request;
}

void BackgroundPoller::RestartIfPointsChanged() {
  if (!points_.TakePointsChanged()) return;
  AbandonExchange();
  pollPause_ = session_.Busy() ? kRestartPauseWhenBusy : 0;
  pollState_ = kPause;
  points_.ClearPolledFlags();
  pollCursor_ = -1;
}

bool BackgroundPoller::Eligible(int32_t position, int64_t now) const {
  const auto at = static_cast<size_t>(position);
  return !points_.Data(at).Polled && points_.DueForRead(at, now);
}

void BackgroundPoller::Advance() {
  ++pollCursor_;
  if (pollCursor_ >= static_cast<int32_t>(points_.Size())) pollCursor_ = 0;
}

void BackgroundPoller::PollSuccess() {
  if (pollCursor_ >= 0 && static_cast<size_t>(pollCursor_) < points_.Size()) {
    points_.Data(static_cast<size_t>(pollCursor_)).FailureCount = 0;
    StorePolledValue(pollCursor_);
  }
  session_.MarkIdle();
  pollState_ = kChoose;
  pollPause_ = 0;
}

void BackgroundPoller::PollFailure() {
  // An exchange lost with the serial port (it failed, or a link reset could not reopen it) says
  // nothing about the point: the port is being reopened, and the point is polled after that.
  const bool portLost = !transactions_.Link().Usable();
  if (!portLost && pollCursor_ >= 0 && static_cast<size_t>(pollCursor_) < points_.Size()) {
    const auto at = static_cast<size_t>(pollCursor_);
    if (points_.CountFailedRead(at, Now()))
      log_.Debug(LoggedText(points_.Key(at)) + " left out of polling after " +
                 std::to_string(points_.Data(at).FailureCount) +
                 " failed polls; tried again every " +
                 std::to_string(PointTable::kDroppedRetryTicks / 10) + " s");
  }
  pollPause_ = kFailurePause;
  pollState_ = kPause;
}

bool BackgroundPoller::CursorRefused() {
  const PointAddress* point = CursorAddress();
  const auto request = point ? ReadRequest(*point) : std::nullopt;
  return request && !transactions_.Refusal(*request).empty();
}

void BackgroundPoller::EndOfCycleOrPause() {
  if (pollState_ == kEndOfCycle) {
    session_.MarkIdle();
    points_.ClearPolledFlags();
    pollPause_ = kFailurePause;
    pollState_ = kPause;
  } else if (pollState_ == kPause) {
    session_.MarkIdle();
    if (pollPause_ > 0)
      --pollPause_;
    else
      pollState_ = kIdle;
  }
}

bool BackgroundPoller::SharedStep() {
  switch (pollState_) {
    case kIdle:
      if (points_.Size() > 0) pollState_ = kChoose;
      return true;
    case kEndOfCycle:
    case kPause:
      EndOfCycleOrPause();
      return true;
    default:
      return false;
  }
}

bool BackgroundPoller::AdvanceToEligible(bool onCurrentHostOnly) {
  const int64_t now = Now();
  for (size_t k = 0; k < points_.Size(); ++k) {
    Advance();
    if (!Eligible(pollCursor_, now)) continue;
    if (!onCurrentHostOnly ||
        points_.Data(static_cast<size_t>(pollCursor_)).Host == tcp_.CurrentHost())
      return true;
  }
  return false;
}

void BackgroundPoller::StorePolledValue(int32_t position) {
  const PointAddress* point =
      points_.Address(static_cast<size_t>(position), HostAddresses(site_, flags_));
  const bool typed = point && site_.TypedDecode && TypedLayoutOf(*point);
  points_.SetPointValue(
      position, point ? PointValueOf(transactions_.Reply(), *point, typed) : std::string(), typed);
}

const PointAddress* BackgroundPoller::CursorAddress() {
  return points_.Address(static_cast<size_t>(pollCursor_), HostAddresses(site_, flags_));
}

Task<void> BackgroundPoller::PollCursor() {
  session_.MarkBusy();
  const std::optional<ModbusRequest> request = CursorRequest();
  ExchangeResult result;
  try {
    result =
        co_await transactions_.Exchange(request ? &*request : nullptr, kTickPollPolicy, stepped_);
  } catch (const std::exception& e) {
    // A line that refuses the request (port closed, device gone) fails this poll; retrying the
    // send on every tick would keep the site busy, and every host command waiting, for ever.
    log_.Warning(std::string("poll failed: ") + e.what());
    transactions_.DisarmReply();
    PollFailure();
    co_return;
  }
  if (result.Ok())
    PollSuccess();
  else
    PollFailure();
}

void BackgroundPoller::Step() {
  // A link that went down under a poll in flight (a modem call lost, a port being reopened)
  // leaves nothing pending: a site left marked busy would keep every host command waiting for
  // good. An exchange it cut short is dropped without counting against its point; polling
  // starts again once the link is back.
  if (!LinkUp() || !transactions_.Link().Usable()) {
    SetIdle();
    session_.MarkIdle();
    return;
  }
  RestartIfPointsChanged();
  if (exchange_.Suspended()) {
    steps_.DelayTick();
    if (exchange_.Done()) exchange_.Reset();
    return;
  }
  if (SharedStep()) return;
  switch (pollState_) {
    case kChoose: {
      pollState_ = kEndOfCycle;
      // Points on the host the link is connected to first, then any.
      const bool found = (tcp_.CurrentHost() != TcpLink::kNoHost && AdvanceToEligible(true)) ||
                         AdvanceToEligible(false);
      if (pollCursor_ >= 0 && static_cast<size_t>(pollCursor_) < points_.Size())
        transactions_.Link().Aim(points_.Data(static_cast<size_t>(pollCursor_)).Host);
      if (!found) break;
      pollState_ = SendStep();
      // A point no device answers fails without a request, as a silent one would.
      if (CursorRefused()) PollFailure();
      break;
    }
    case kSend:
    case kSendRTU:
      exchange_ = PollCursor();
      exchange_.Start();
      if (exchange_.Done()) exchange_.Reset();
      break;
    default:
      break;
  }
}

}  // namespace qmb
