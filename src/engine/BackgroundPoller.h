// Background polling: between host commands the engine reads the registered points one at a
// time, one step per process tick, over the serial line or Modbus/TCP.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/CommandSession.h"
#include "engine/Exchange.h"
#include "engine/LinkFlags.h"
#include "engine/PointTable.h"
#include "engine/SiteParts.h"
#include "engine/TransactionEngine.h"
#include "links/SerialLine.h"
#include "links/TcpLink.h"
#include "model/TypeSite.h"
#include "platform/DelayClock.h"
#include "platform/Log.h"
#include "platform/Task.h"
#include "protocol/FrameCodec.h"

namespace qmb {

class BackgroundPoller {
 public:
  using Parts = SiteParts;
  explicit BackgroundPoller(Parts parts);

  // Poll states: ASCII and Modbus/TCP go Send, AwaitReply, CheckReply; RTU goes SendRTU,
  // AwaitFirstByte, AwaitSilence.
  enum PollStep : int32_t {
    kIdle = 0,
    kChoose = 1,
    kSend = 2,
    kAwaitReply = 3,
    kCheckReply = 4,
    kSendRTU = 10,
    kAwaitFirstByte = 11,
    kAwaitSilence = 12,
    kEndOfCycle = 900,
    kPause = 901,
  };

  // Tick budgets (100 ms process ticks) of one poll without the site's timing keys (the
  // poller's policy has them all): an ASCII reply's end of line, an RTU reply's first byte and
  // its end (a tick without a byte), a Modbus/TCP connection and reply.
  static constexpr int32_t kAsciiReplyTicks = kTickPollPolicy.AsciiReplyTicks;
  static constexpr int32_t kRtuFirstByteTicks = kTickPollPolicy.RtuFirstByteTicks;
  static constexpr int32_t kRtuSilenceTicks = kTickPollPolicy.RtuSilenceTicks;
  static constexpr int32_t kTcpTicks = kTickPollPolicy.TcpReplyTicks;

  static constexpr int32_t kFailurePause = 10;
  static constexpr int32_t kRestartPauseWhenBusy = 30;

  // Held at idle while a command is pending or the site is locked.
  void SetIdle();
  // One step each; nothing while the link is down.
  // True when the line stayed silent through a whole reply wait: the caller then runs ResetLine
  // (which waits, then counts the failed poll) before the next step.
  [[nodiscard]] bool PollSerial();
  Task<void> ResetLine();
  void PollTCP();
  void StorePolledValue(int32_t position);

  PollStep PollState() const { return pollState_; }

 private:
  bool LinkUp() const { return flags_.Connected && !site_.OfflineMode; }
  void RestartIfPointsChanged();
  bool Eligible(int32_t position, int64_t now) const;
  // The address of the point at the cursor, null when its key names none.
  const PointAddress* CursorAddress();
  // Delay ticks counted since the poller was made.
  int64_t Now() { return elapsed_.Now(delay_.DelayTicks); }
  void Advance();
  void PollSuccess();
  void PollFailure();
  // A read attempt failed: the next attempt starts at `again` while the site's attempts last,
  // then the poll fails.
  void FailedAttempt(PollStep again);
  TickPollPolicy Policy() const { return SitePolicy(kTickPollPolicy, site_); }
  // The point at the cursor is one no device answers (a read from slave 0 on a serial line).
  bool CursorRefused();
  void EndOfCycleOrPause();
  // The states both pollers share: idle, end of cycle and pause; true when it took the step.
  bool SharedStep();
  // Advances the cursor at most once round the table to the next eligible point (on the current
  // TCP host only, when asked); false when there is none.
  bool AdvanceToEligible(bool onCurrentHostOnly);
  // The read request of the point at the cursor framed for the site; empty when its key names
  // no address.
  std::string FrameCursorRead();
  // Drops what an unfinished serial exchange had armed (reception and the end-of-line trigger).
  void AbandonExchange();

  const TSite& site_;
  const LinkFlags& flags_;
  CommandSession& session_;
  PointTable& points_;
  SerialLine& line_;
  TransactionEngine& transactions_;
  TcpLink& tcp_;
  DelayClock& delay_;
  const Logger& log_;

  PollStep pollState_ = kIdle;
  int32_t pollCursor_ = -1;
  int32_t pollPause_ = 0;
  int32_t pollTickCount_ = 0;
  int32_t pollAttempt_ = 1;

  ElapsedTicks elapsed_;
};

}  // namespace qmb
