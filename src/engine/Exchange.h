// What one Modbus exchange waits for and what it gives back. Every request (a raw one, a point's
// read or write, a poll, a scan block) takes the same four steps: frame, send, wait, check; the
// budgets of the wait are named policies here, and the framing table decides the rest.
#pragma once

#include <cstdint>

#include "model/TypeSite.h"
#include "protocol/FrameCodec.h"
#include "protocol/Framing.h"

namespace qmb {

// What an exchange without a request (a point whose key names no address) comes to: no reply in
// either case, with nothing sent.
enum class Unframed : uint8_t {
  FailAtOnce,    // nothing waited for
  WaitAsSilent,  // the reply waited for as from a silent device
};

// A serial reply wait, in passes of a few delay periods (100 ms ticks). The first byte must come
// within FirstBytePasses; a reply that has begun ends at SilencePasses passes without a byte (0:
// silence never ends it). A framing whose replies end at a line end also ends the wait at its CR
// LF. MaxPasses bounds the whole wait (0: only the above do).
struct ReplyWait {
  int32_t PassTicks = 1;
  int32_t FirstBytePasses = 8;
  int32_t SilencePasses = 1;
  int32_t MaxPasses = 0;
  // A reply whose line end never came is not checked (only where replies end at a line end).
  bool NeedsLineEnd = false;
  // Nothing at all came back: the link is reset before the exchange ends.
  bool ResetWhenSilent = false;
  // A begun reply that is still sending bytes this many passes after its first byte is not
  // taken (0: no bound). The bytes of the first byte's pass count for the pass after it too, so
  // that pass never ends the reply.
  int32_t MaxBusyPasses = 0;
  // The reply is checked a pass after its wait ended, not at once.
  bool CheckNextPass = false;
  Unframed WhenUnframed = Unframed::FailAtOnce;
};

struct WaitPolicy {
  // Serial: the wait where replies end at a line end (ASCII), and where they end at the line's
  // silence (RTU).
  ReplyWait ByLineEnd;
  ReplyWait BySilence;
  // Attempts on a serial line; the link is reset before attempt ResetBeforeAttempt (0: never).
  int32_t Attempts = 1;
  int32_t ResetBeforeAttempt = 0;
  // Modbus/TCP: delay periods to wait for the connection to take the request (0: only a
  // connection already made takes it), then for the reply.
  int32_t ReadyPasses = 0;
  int32_t ReplyPasses = 0;
  // Attempts over Modbus/TCP (the connection itself is reliable; a site's RETRIES may ask for
  // more).
  int32_t TcpAttempts = 1;
  // Over Modbus/TCP as ReplyWait's fields say on a serial line.
  bool TcpCheckNextPass = false;
  Unframed TcpWhenUnframed = Unframed::FailAtOnce;
  // A device's exception is tried again like a silence while attempts last (else it is the
  // answer).
  bool RetryExceptions = false;

  // The reply wait on a link of this framing: on a TCP stream, the reply passes, checked as the
  // policy's stream fields say.
  ReplyWait On(const FramingEntry& framing) const {
    if (framing.OnStream())
      return {1, ReplyPasses, 0, 0, false, false, 0, TcpCheckNextPass, TcpWhenUnframed};
    return framing.EndsAtLineEnd ? ByLineEnd : BySilence;
  }
  int32_t AttemptsOn(const FramingEntry& framing) const {
    return framing.OnStream() ? TcpAttempts : Attempts;
  }
};

// How a reply wait ended: whether anything came (on a TCP stream: the answer), and whether what
// came is to be checked (a reply still sending past its bound, or an ASCII reply whose line end
// never came, is not).
struct Heard {
  bool Any = false;
  bool Take = true;
};

// A raw request (and a point write on a serial line): the first byte within 8 periods, the end at
// the first period without a byte (or, in ASCII, at CR LF); three attempts, the line reset
// between the second and the third. On a TCP stream of RTU frames, a point write's waits (a
// Modbus/TCP site sends no raw requests).
inline constexpr ReplyWait kRawReplyWait{1, 8, 1, 0, false, false};
inline constexpr WaitPolicy kRawRequestPolicy{kRawReplyWait, kRawReplyWait, 3, 3, 51, 101};
// A point read: in ASCII up to 20 periods for the end of line, the line reset when nothing at
// all came back; in RTU the reply must begin within the first pass of 2 periods and ends at the
// first pass without a byte, 10 passes at the most. One attempt. Over Modbus/TCP 51 periods for
// the connection, then 101 for the reply.
inline constexpr WaitPolicy kPointReadPolicy{
    {1, 20, 0, 20, true, true}, {2, 1, 1, 10, false, false}, 1, 0, 51, 101};
// A point write: the raw request's waits on a serial line, the point read's over Modbus/TCP.
inline constexpr WaitPolicy kPointWritePolicy{kRawReplyWait, kRawReplyWait, 3, 3, 51, 101};

// The fast scan's wire-time budget, in milliseconds of the real clock (the scan is driven by the
// line's events, not by ticks): a serial block may wait for both frames' time on the wire at the
// line's speed (11 bits a character; ASCII sends two characters a byte, plus colon and CR LF; 9600
// baud when the site names no speed) and the slave's turnaround; a Modbus/TCP block a fixed time.
struct WireTimePolicy {
  int32_t TurnaroundMs = 250;
  int32_t TcpReplyMs = 1000;
  // Attempts of one block before its points count a failed read.
  int32_t Attempts = 1;

  constexpr int32_t SerialReplyMs(int32_t baud, bool ascii, int32_t requestBytes,
                                  int32_t replyBytes) const {
    const auto characters = [ascii](int32_t bytes) { return ascii ? 2 * bytes + 3 : bytes; };
    const int64_t bits = 11LL * (characters(requestBytes) + characters(replyBytes));
    const int64_t speed = baud > 0 ? baud : 9600;
    return static_cast<int32_t>((bits * 1000 + speed - 1) / speed) + TurnaroundMs;
  }
};
inline constexpr WireTimePolicy kFastScanPolicy{250, 1000, 1};

// The tick-paced poller, whose exchange takes one step a process tick (a stepped ExchangePace):
// an ASCII reply's end of line within 8 ticks, the line reset when nothing
// came, and the reply checked on the tick after; an RTU reply's first byte within 6 ticks and its
// end at the first tick without a byte, 6 ticks of bytes at the most; a Modbus/TCP connection
// within 11 ticks (the wait's last check is the eleventh), then the reply within 11, checked on
// the tick after. A key that is no address sends nothing: it fails at once in RTU and after the
// whole wait otherwise. One attempt, an exception tried again like a silence when there are more.
inline constexpr WaitPolicy kTickPollPolicy{
    {1, 8, 0, 8, true, true, 0, true, Unframed::WaitAsSilent},
    {1, 6, 1, 0, false, false, 6, false, Unframed::FailAtOnce},
    1,
    0,
    10,
    11,
    1,
    true,
    Unframed::WaitAsSilent,
    true};

// The periods of `periodMs` that cover `ms`.
constexpr int32_t PeriodsFor(int32_t ms, int32_t periodMs) {
  return (ms + periodMs - 1) / periodMs;
}

// The requests that may go to slave 0, the broadcast address: writes, which no device answers.
constexpr bool IsWriteFunction(uint8_t function) {
  return function == 5 || function == 6 || function == 15 || function == 16 || function == 22;
}

// A named policy as a site's timing keys amend it; a site without them gets it unchanged, so the
// callers name the policy and never ask about the keys. TIMEOUT is how long the device may take
// before its reply begins (where a wait ends only at the reply's end, how long the whole reply
// may take); RETRIES the attempts of every request that is not a write (writes keep theirs: a
// write sent twice may act twice); CONNECTPAUSE lengthens the wait for a Modbus/TCP connection
// by the pause kept after it. A policy without Modbus/TCP waits stays without them.
inline WaitPolicy SitePolicy(WaitPolicy policy, const TSite& site, bool write) {
  if (site.TimeoutMs > 0) {
    for (ReplyWait* wait : {&policy.ByLineEnd, &policy.BySilence}) {
      const int32_t first = PeriodsFor(site.TimeoutMs, 100 * wait->PassTicks);
      // How far a begun reply may run on past its first byte stays as the named wait has it.
      if (wait->MaxPasses > 0) wait->MaxPasses = first + (wait->MaxPasses - wait->FirstBytePasses);
      wait->FirstBytePasses = first;
    }
    if (policy.ReplyPasses > 0) policy.ReplyPasses = PeriodsFor(site.TimeoutMs, 100);
  }
  if (site.ReadAttempts > 0 && !write) policy.Attempts = policy.TcpAttempts = site.ReadAttempts;
  if (site.ConnectPauseMs > 0 && policy.ReadyPasses > 0)
    policy.ReadyPasses += PeriodsFor(site.ConnectPauseMs, 100);
  return policy;
}
inline WireTimePolicy SitePolicy(WireTimePolicy policy, const TSite& site) {
  if (site.TimeoutMs > 0) policy.TurnaroundMs = policy.TcpReplyMs = site.TimeoutMs;
  if (site.ReadAttempts > 0) policy.Attempts = site.ReadAttempts;
  return policy;
}
// A broadcast write waits this long after its request left, for the slaves to act on it before
// the next request (the serial line's usual turnaround for broadcasts is 100 to 200 ms).
inline constexpr int32_t kBroadcastTurnaroundMs = 200;

// Holds a value for a scope and puts `after` back when it ends, a dropped exchange's included.
template <typename T>
class Holding {
 public:
  Holding(T& value, T during, T after) : value_(value), after_(after) { value_ = during; }
  ~Holding() { value_ = after_; }
  Holding(const Holding&) = delete;
  Holding& operator=(const Holding&) = delete;

 private:
  T& value_;
  T after_;
};

// What a site's exchanges came to, since its engine started (the typed interface shows them).
struct ExchangeCounters {
  uint64_t Requests = 0;
  uint64_t Replies = 0;         // accepted, exceptions included
  uint64_t Timeouts = 0;        // nothing came back
  uint64_t ChecksumErrors = 0;  // something came back that did not pass the check
  uint64_t Exceptions = 0;
};

// Why an exchange gave no usable reply.
enum class ExchangeFailure {
  None,       // the reply carries a value (or a write's echo)
  Exception,  // the device answered with an exception (the reply's error code)
  NotReady,   // the Modbus/TCP connection never took the request; or no exchange on this link
  NoReply,    // nothing that passed the check came back
  Refused,    // nothing was sent: no device can answer it (a read from the broadcast address)
};

struct ExchangeResult {
  ExchangeFailure Failure = ExchangeFailure::NotReady;
  ReplyBlock Reply;
  // Serial: the bytes of the accepted reply (behind any echo), as the receive buffer holds them.
  int32_t ReplyBytes = 0;

  bool Accepted() const {
    return Failure == ExchangeFailure::None || Failure == ExchangeFailure::Exception;
  }
  bool Ok() const { return Failure == ExchangeFailure::None; }
};

}  // namespace qmb
