#include "engine/BackgroundPoller.h"

#include <exception>

#include "platform/Log.h"

namespace qmb {

BackgroundPoller::BackgroundPoller(Parts parts)
    : site_(parts.site),
      flags_(parts.flags),
      session_(parts.session),
      points_(parts.points),
      line_(parts.line),
      transactions_(parts.transactions),
      tcp_(parts.tcp),
      delay_(parts.delay),
      log_(parts.log),
      elapsed_(parts.delay.DelayTicks) {}

void BackgroundPoller::SetIdle() {
  if (pollState_ == kAwaitReply || pollState_ == kAwaitFirstByte || pollState_ == kAwaitSilence)
    AbandonExchange();
  pollState_ = kIdle;
}

void BackgroundPoller::AbandonExchange() {
  transactions_.DisarmReply();
}

std::string BackgroundPoller::FrameCursorRead() {
  const PointAddress* point = CursorAddress();
  if (!point) return {};
  // A site that decodes by type reads every register a typed value spans, in one request; a
  // typed address that names no value sends nothing, like a key that is no address.
  const PointRead read = ReadOf(*point, site_.TypedDecode);
  const auto request = !read.Layout        ? ReadRequest(*point)
                       : read.Quantity > 0 ? ReadRequest(*point, read.Quantity)
                                           : std::nullopt;
  return request ? transactions_.FrameForSite(*request) : std::string();
}

void BackgroundPoller::RestartIfPointsChanged() {
  if (!points_.TakePointsChanged()) return;
  if (pollState_ == kAwaitReply || pollState_ == kAwaitFirstByte || pollState_ == kAwaitSilence)
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
  const bool portLost = !flags_.TCPMode && !line_.IsOpen();
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

void BackgroundPoller::FailedAttempt(PollStep again) {
  if (pollAttempt_ < Policy().Attempts) {
    ++pollAttempt_;
    pollTickCount_ = 0;
    pollState_ = again;
    return;
  }
  PollFailure();
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
  const PointAddress* point = points_.Address(static_cast<size_t>(position), flags_.TCPMode);
  const bool typed = point && site_.TypedDecode && TypedLayoutOf(*point);
  points_.SetPointValue(
      position, point ? PointValueOf(transactions_.Reply(), *point, typed) : std::string(), typed);
}

const PointAddress* BackgroundPoller::CursorAddress() {
  return points_.Address(static_cast<size_t>(pollCursor_), flags_.TCPMode);
}

Task<void> BackgroundPoller::ResetLine() {
  try {
    co_await transactions_.ResetLink();
  } catch (const std::exception& e) {
    // A port the reset could not reopen is reported, and reopened, by the port watch.
    log_.Debug(std::string("link reset failed: ") + e.what());
  }
  FailedAttempt(kSend);
}

bool BackgroundPoller::PollSerial() {
  // A link that went down under a poll in flight (a modem call lost) leaves nothing pending:
  // a site left marked busy would keep every host command waiting for good.
  if (!LinkUp() || !line_.IsOpen()) {
    // The port is down and being reopened: nothing is polled, and an exchange it cut short is
    // dropped without counting against its point; polling starts again once the link is back.
    SetIdle();
    session_.MarkIdle();
    return false;
  }
  RestartIfPointsChanged();
  if (SharedStep()) return false;
  bool resetLine = false;
  try {
    switch (pollState_) {
      case kChoose:
        pollState_ = kEndOfCycle;
        pollTickCount_ = 0;
        pollAttempt_ = 1;
        // Replies that end at a line end are awaited for it; the others until the line is
        // silent.
        if (!AdvanceToEligible(false)) break;
        pollState_ = transactions_.SiteFramingEntry().EndsAtLineEnd ? kSend : kSendRTU;
        // A point no device answers fails without a request, as a silent one would.
        if (CursorRefused()) PollFailure();
        break;
      case kSend: {
        if (transactions_.GapLeftMs() > 0) break;  // the site's GAP first
        session_.MarkBusy();
        const std::string frame = FrameCursorRead();
        transactions_.ArmReply(true);
        // A key that is no address sends nothing and fails like a silent slave.
        if (!frame.empty()) line_.PutFrame(frame);
        pollState_ = kAwaitReply;
        break;
      }
      case kAwaitReply:
        if (line_.EolFired()) {
          AbandonExchange();
          pollTickCount_ = 0;
          pollState_ = kCheckReply;
        } else if (++pollTickCount_ >= Policy().AsciiReplyTicks) {
          AbandonExchange();
          // Nothing at all came back: the line is reset first, and the failure counted after.
          resetLine = line_.ActivityCount() == 0;
          if (!resetLine) FailedAttempt(kSend);
        }
        break;
      case kCheckReply:
        if (transactions_.TakeReply().Ok())
          PollSuccess();
        else
          FailedAttempt(kSend);
        break;
      case kSendRTU: {
        if (transactions_.GapLeftMs() > 0) break;  // the site's GAP first
        session_.MarkBusy();
        // A key that is no address sends nothing and counts as a failed poll, rather than
        // putting the previous request on the line again.
        const std::string frame = FrameCursorRead();
        if (frame.empty()) {
          line_.ResetActivity();
          PollFailure();
          break;
        }
        transactions_.ArmReply(true);
        line_.PutFrame(frame);
        pollTickCount_ = 0;
        pollState_ = kAwaitFirstByte;
        break;
      }
      case kAwaitFirstByte:
        if (line_.ActivityCount() > 0) {
          pollTickCount_ = 0;
          pollState_ = kAwaitSilence;
        } else if (++pollTickCount_ >= Policy().RtuFirstByteTicks) {
          transactions_.DisarmReply();
          FailedAttempt(kSendRTU);
        }
        break;
      case kAwaitSilence:
        if (line_.ActivityCount() != 0) {
          line_.ResetActivity();
          if (++pollTickCount_ >= Policy().RtuSilenceTicks) {
            transactions_.DisarmReply();
            FailedAttempt(kSendRTU);
          }
        } else {
          transactions_.DisarmReply();
          if (transactions_.TakeReply().Ok())
            PollSuccess();
          else
            FailedAttempt(kSendRTU);
        }
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    // A line that refuses the request (port closed, device gone) fails this poll; retrying the
    // send on every tick would keep the site busy, and every host command waiting, for ever.
    log_.Warning(std::string("poll failed: ") + e.what());
    AbandonExchange();
    PollFailure();
  }
  return resetLine;
}

void BackgroundPoller::PollTCP() {
  if (!LinkUp()) return;
  RestartIfPointsChanged();
  if (SharedStep()) return;
  try {
    switch (pollState_) {
      case kChoose: {
        pollState_ = kEndOfCycle;
        pollTickCount_ = 0;
        pollAttempt_ = 1;
        // Points on the host already connected first, then any.
        if (AdvanceToEligible(true) || AdvanceToEligible(false)) pollState_ = kSend;
        if (pollCursor_ >= 0 && static_cast<size_t>(pollCursor_) < points_.Size())
          tcp_.SelectHost(points_.Data(static_cast<size_t>(pollCursor_)).Host);
        break;
      }
      case kSend: {
        session_.MarkBusy();
        // A connection still being set up (a new host, or after the peer closed) cannot take
        // the request yet: wait for it within the reply's tick budget rather than fail at once.
        if (!transactions_.TCPReadyForRequest()) {
          if (++pollTickCount_ >= Policy().TcpConnectTicks) PollFailure();
          break;
        }
        if (transactions_.GapLeftMs() > 0) break;  // the site's GAP first
        pollTickCount_ = 0;
        const std::string frame = FrameCursorRead();
        if (frame.empty())
          tcp_.ForgetReply();  // no address, no request: fails after the wait
        else
          tcp_.SendTCP(frame);
        pollState_ = kAwaitReply;
        break;
      }
      case kAwaitReply:
        if (tcp_.ReplyArrived()) {
          pollTickCount_ = 0;
          pollState_ = kCheckReply;
        } else if (++pollTickCount_ >= Policy().TcpReplyTicks) {
          FailedAttempt(kSend);
        }
        break;
      case kCheckReply:
        if (transactions_.TakeTCPReply(true).Ok())
          PollSuccess();
        else
          FailedAttempt(kSend);
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    log_.Warning(std::string("poll failed: ") + e.what());
    PollFailure();
  }
}

}  // namespace qmb
