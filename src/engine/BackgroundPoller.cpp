#include "engine/BackgroundPoller.h"

#include <exception>

#include "platform/Log.h"

namespace qmb {

BackgroundPoller::BackgroundPoller(Parts parts)
    : site_(parts.site),
      flags_(parts.flags),
      session_(parts.session),
      points_(parts.points),
      codec_(parts.codec),
      port_(parts.port),
      line_(parts.line),
      transactions_(parts.transactions),
      tcp_(parts.tcp) {}

void BackgroundPoller::SetIdle() {
  if (PollState == kAwaitReply || PollState == kAwaitFirstByte || PollState == kAwaitSilence)
    AbandonExchange();
  PollState = kIdle;
}

void BackgroundPoller::AbandonExchange() {
  transactions_.StopReceive();
  line_.EolTrigger = line_.RemoveTextTrigger(line_.EolTrigger);
}

void BackgroundPoller::RestartIfPointsChanged() {
  if (!points_.PointsChanged) return;
  points_.PointsChanged = false;
  if (PollState == kAwaitReply || PollState == kAwaitFirstByte || PollState == kAwaitSilence)
    AbandonExchange();
  PollPause = session_.Busy ? kRestartPauseWhenBusy : 0;
  PollState = kPause;
  points_.ClearPolledFlags();
  PollCursor = -1;
}

bool BackgroundPoller::Eligible(int32_t position) const {
  const TPointData& point = points_.Data(static_cast<size_t>(position));
  return point.FailureCount <= kSkipAfterFailures && !point.Polled;
}

void BackgroundPoller::Advance() {
  ++PollCursor;
  if (PollCursor >= static_cast<int32_t>(points_.Size())) PollCursor = 0;
}

void BackgroundPoller::PollSuccess() {
  if (PollCursor >= 0 && static_cast<size_t>(PollCursor) < points_.Size()) {
    points_.Data(static_cast<size_t>(PollCursor)).FailureCount = 0;
    StorePolledValue(PollCursor);
  }
  session_.Busy = false;
  PollState = kChoose;
  PollPause = 0;
}

void BackgroundPoller::PollFailure() {
  if (PollCursor >= 0 && static_cast<size_t>(PollCursor) < points_.Size())
    ++points_.Data(static_cast<size_t>(PollCursor)).FailureCount;
  PollPause = kFailurePause;
  PollState = kPause;
}

void BackgroundPoller::EndOfCycleOrPause() {
  if (PollState == kEndOfCycle) {
    session_.Busy = false;
    points_.ClearPolledFlags();
    PollPause = kFailurePause;
    PollState = kPause;
  } else if (PollState == kPause) {
    session_.Busy = false;
    if (PollPause > 0)
      --PollPause;
    else
      PollState = kIdle;
  }
}

bool BackgroundPoller::SharedStep() {
  switch (PollState) {
    case kIdle:
      if (points_.Size() > 0) PollState = kChoose;
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
  for (size_t k = 0; k < points_.Size(); ++k) {
    Advance();
    if (!Eligible(PollCursor)) continue;
    if (!onCurrentHostOnly ||
        points_.Data(static_cast<size_t>(PollCursor)).Host == tcp_.CurrentHost)
      return true;
  }
  return false;
}

void BackgroundPoller::StorePolledValue(int32_t position) {
  const std::string& key = points_.Key(static_cast<size_t>(position));
  points_.SetPointValue(position, DecodePointValue(transactions_.Reply(), key, flags_.TCPMode));
}

void BackgroundPoller::PollSerial() {
  if (!LinkUp()) return;
  RestartIfPointsChanged();
  if (SharedStep()) return;
  try {
    switch (PollState) {
      case kChoose:
        PollState = kEndOfCycle;
        PollTickCount = 0;
        if (AdvanceToEligible(false)) PollState = site_.UseRTU ? kSendRTU : kSend;
        break;
      case kSend: {
        session_.Busy = true;
        line_.ActivityCount = 0;
        line_.EolFired = false;
        const std::string frame =
            transactions_.FrameASCIIRead(points_.Key(static_cast<size_t>(PollCursor)));
        line_.EolTrigger = line_.AddTextTrigger("\r\n", false);
        transactions_.StartReceive();
        // A key that is no address sends nothing and fails like a silent slave.
        if (!frame.empty()) port_.PutBlock(frame);
        PollState = kAwaitReply;
        break;
      }
      case kAwaitReply:
        if (line_.EolFired) {
          AbandonExchange();
          PollTickCount = 0;
          PollState = kCheckReply;
        } else if (++PollTickCount >= kAsciiReplyTicks) {
          AbandonExchange();
          if (line_.ActivityCount == 0) transactions_.ResetLink();
          PollFailure();
        }
        break;
      case kCheckReply:
        if (codec_.Receive.Count > 2) {
          codec_.DecodeASCIIReply();
          if (transactions_.CheckReply(SerialFraming::ASCII) &&
              transactions_.Reply().ErrorCode == 0) {
            PollSuccess();
            break;
          }
        }
        PollFailure();
        break;
      case kSendRTU:
        session_.Busy = true;
        line_.ActivityCount = 0;
        // A key that is no address sends nothing and counts as a failed poll, rather than
        // putting the previous request on the line again.
        if (!transactions_.FrameRTURead(points_.Key(static_cast<size_t>(PollCursor)))) {
          PollFailure();
          break;
        }
        transactions_.StartReceive();
        port_.PutBlock(codec_.CommandBytes());
        PollTickCount = 0;
        PollState = kAwaitFirstByte;
        break;
      case kAwaitFirstByte:
        if (line_.ActivityCount > 0) {
          PollTickCount = 0;
          PollState = kAwaitSilence;
        } else if (++PollTickCount >= kRtuFirstByteTicks) {
          transactions_.StopReceive();
          PollFailure();
        }
        break;
      case kAwaitSilence:
        if (line_.ActivityCount != 0) {
          line_.ActivityCount = 0;
          if (++PollTickCount >= kRtuSilenceTicks) {
            transactions_.StopReceive();
            PollFailure();
          }
        } else {
          transactions_.StopReceive();
          if (codec_.Receive.Count > 2 && transactions_.CheckReply(SerialFraming::RTU) &&
              transactions_.Reply().ErrorCode == 0)
            PollSuccess();
          else
            PollFailure();
        }
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    // A line that refuses the request (port closed, device gone) fails this poll; retrying the
    // send on every tick would keep the site busy, and every host command waiting, for ever.
    LogWarning("Site \"" + site_.Description + "\": poll failed: " + e.what());
    AbandonExchange();
    PollFailure();
  }
}

void BackgroundPoller::PollTCP() {
  if (!LinkUp()) return;
  RestartIfPointsChanged();
  if (SharedStep()) return;
  try {
    switch (PollState) {
      case kChoose: {
        PollState = kEndOfCycle;
        PollTickCount = 0;
        // Points on the host already connected first, then any.
        if (AdvanceToEligible(true) || AdvanceToEligible(false)) PollState = kSend;
        if (PollCursor >= 0 && static_cast<size_t>(PollCursor) < points_.Size())
          tcp_.SelectHost(points_.Data(static_cast<size_t>(PollCursor)).Host);
        break;
      }
      case kSend: {
        session_.Busy = true;
        // A connection still being set up (a new host, or after the peer closed) cannot take
        // the request yet: wait for it within the reply's tick budget rather than fail at once.
        if (!tcp_.TCPReady) {
          if (++PollTickCount >= kTcpTicks) PollFailure();
          break;
        }
        PollTickCount = 0;
        const std::string frame =
            BuildTCPRead(codec_, points_.Key(static_cast<size_t>(PollCursor)));
        if (frame.empty())
          tcp_.ForgetReply();  // no address, no request: fails after the wait
        else
          tcp_.SendTCP(frame);
        PollState = kAwaitReply;
        break;
      }
      case kAwaitReply:
        if (tcp_.ReplyArrived()) {
          PollTickCount = 0;
          PollState = kCheckReply;
        } else if (++PollTickCount >= kTcpTicks) {
          PollFailure();
        }
        break;
      case kCheckReply:
        if (transactions_.CheckTCPReply(tcp_.ReplyText()) && transactions_.Reply().ErrorCode == 0)
          PollSuccess();
        else
          PollFailure();
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    LogWarning("Site \"" + site_.Description + "\": poll failed: " + e.what());
    PollFailure();
  }
}

}  // namespace qmb
