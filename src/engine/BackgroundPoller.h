// Background polling: between host commands the engine reads the registered points one at a
// time, one step per process tick, over the serial line or Modbus/TCP.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/CommandSession.h"
#include "engine/Exchange.h"
#include "engine/LinkFlags.h"
#include "engine/PointTable.h"
#include "engine/SiteParts.h"
#include "engine/TransactionEngine.h"
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

  // Poll states: a point is chosen, its exchange goes out (Send where replies end at a line end
  // or by their length, SendRTU where they end at the line's silence) and is awaited (Reply, or
  // FirstByte and Silence) and checked (CheckReply) as the exchange in flight says.
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
  // its end (a tick without a byte), a Modbus/TCP reply.
  static constexpr int32_t kAsciiReplyTicks = kTickPollPolicy.ByLineEnd.FirstBytePasses;
  static constexpr int32_t kRtuFirstByteTicks = kTickPollPolicy.BySilence.FirstBytePasses;
  static constexpr int32_t kRtuSilenceTicks = kTickPollPolicy.BySilence.MaxBusyPasses;
  static constexpr int32_t kTcpTicks = kTickPollPolicy.ReplyPasses;

  static constexpr int32_t kFailurePause = 10;
  static constexpr int32_t kRestartPauseWhenBusy = 30;

  // Held at idle while a command is pending or the site is locked: an exchange in flight is
  // dropped.
  void SetIdle();
  // One step a process tick; nothing is polled while the link is down.
  void Step();
  // The poll's exchange is resetting the line: the engine sits out its ticks meanwhile.
  bool ResettingLine() const { return exchange_.Suspended() && transactions_.ResettingLink(); }
  void StorePolledValue(int32_t position);

  PollStep PollState() const;

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
  // The point at the cursor is one no device answers (a read from slave 0 on a serial line).
  bool CursorRefused();
  void EndOfCycleOrPause();
  // The states both pollers share: idle, end of cycle and pause; true when it took the step.
  bool SharedStep();
  // Advances the cursor at most once round the table to the next eligible point (on the current
  // TCP host only, when asked); false when there is none.
  bool AdvanceToEligible(bool onCurrentHostOnly);
  // The read request of the point at the cursor; none when its key names no address.
  std::optional<ModbusRequest> CursorRequest();
  // The exchange of the point at the cursor, one step a tick, and what its answer comes to.
  Task<void> PollCursor();
  // Drops the exchange in flight, and what it had armed for a reply it was waiting for.
  void AbandonExchange();
  // Where replies end at the line's silence, the chosen point's step is SendRTU.
  PollStep SendStep() const;

  const TSite& site_;
  const LinkFlags& flags_;
  CommandSession& session_;
  PointTable& points_;
  TransactionEngine& transactions_;
  TcpLink& tcp_;
  DelayClock& delay_;
  const Logger& log_;

  PollStep pollState_ = kIdle;
  int32_t pollCursor_ = -1;
  int32_t pollPause_ = 0;

  ElapsedTicks elapsed_;
  // Stepped once a process tick while an exchange is in flight; the exchange waits in its steps.
  DelayClock steps_;
  ExchangePace stepped_{steps_, true};
  Task<void> exchange_;
};

}  // namespace qmb
