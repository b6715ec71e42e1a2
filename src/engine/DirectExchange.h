// The exchange (TransactionEngine::Exchange) under the event-driven wait: each wait is woken by
// the link's own events (bytes that came, a reply that arrived, a connection made), with the fast
// scan's wire-time budget, so a reply that comes in a millisecond is taken in one. The typed
// interface's reads and writes run it while the line is theirs alone (see TModBusForm::RunOnLine);
// the fast scan runs every block read through it, pacing its connection wait by the process ticks
// and giving way between two waits to the work that takes the line.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "engine/Exchange.h"
#include "engine/ExchangeLink.h"
#include "model/TypeSite.h"
#include "platform/DelayClock.h"
#include "platform/Task.h"
#include "protocol/Framing.h"

namespace qmb {

class TransactionEngine;

// How one exchange waits, beside what the site's keys amend.
struct ExchangeTerms {
  // The reply's budget (the site's TIMEOUT amends it).
  WireTimePolicy Wire = kFastScanPolicy;
  // A Modbus/TCP connection not ready yet: 0 waits DirectExchange::kConnectMs and the site's
  // CONNECTPAUSE by the clock; more is the number of looks (each process tick and each event of
  // the link is one, the first look too) before the request gives up, the pause counted in them.
  int32_t ConnectTicks = 0;
  // Asked after every wait that comes before the request goes out (the connection, the site's
  // GAP): false ends the exchange there with nothing sent (NotReady). Unset: it always goes.
  std::function<bool()> MayGo;
};

class DirectExchange final : public ExchangePace {
 public:
  DirectExchange(TransactionEngine& transactions, const TSite& site, DelayClock& delay)
      : ExchangePace(delay, false), transactions_(transactions), site_(site) {}
  ~DirectExchange() override;

  // Milliseconds a Modbus/TCP request may wait for its connection.
  static constexpr int32_t kConnectMs = 5100;

  // One request and its checked reply, the site's timing keys and a broadcast write's rules
  // kept as every exchange keeps them (Refused: no device can answer it, the cause logged;
  // NotReady: the link cannot carry it now; NoReply: nothing usable came within the budget).
  // Errors of the line are raised to the caller. Dropped while it waits (its task destroyed),
  // it leaves nothing armed: a request in flight is abandoned.
  Task<ExchangeResult> Exchange(const ModbusRequest& request, ExchangeTerms terms = {});

  // The link said something; a waiting exchange looks whether it is what it waits for.
  void LinkEvent();
  // A process tick passed: a connection wait counted in ticks looks again.
  void Tick() { LinkEvent(); }

  // The steps of the exchange where this wait differs: the site amends the wire-time budget
  // (the exchange is one attempt: its caller tries again where it wants to); a serial port that
  // is closed carries nothing; the connection and the GAP are waited by events, a reply until it
  // is whole or its budget is spent, and the RTU silence is kept after it.
  WaitPolicy Sited(const WaitPolicy& policy, const TSite&, bool) const override { return policy; }
  bool Carries(const ExchangeLink& link) const override { return link.Usable(); }
  Task<bool> Clear(TransactionEngine& engine, ExchangeLink& link, const std::string& host,
                   int32_t readyPasses) override;
  Task<Heard> Reply(ExchangeLink& link, const ModbusRequest* request,
                    const ReplyWait& wait) override;
  bool WatchesLineEnd() const override { return false; }
  bool KeepsFrameGap() const override;
  Task<void> KeepFrameGap() override;

 private:
  class EventWait;

  // The link takes the host now, or after the terms' wait; false: it gave up, or the terms gave
  // way.
  Task<bool> Connected(ExchangeLink& link, const std::string& host);

  // The timer of a wait that lasts this long, made once and reused: a wait starts it, and stops
  // it when it ends.
  Timer& WaitTimer(int64_t microseconds);
  const ExchangeTerms& Terms() const;

  TransactionEngine& transactions_;
  const TSite& site_;
  std::unique_ptr<Timer> timer_;
  std::unique_ptr<Timer> silenceTimer_;
  int64_t silenceUs_ = 0;
  EventWait* waiting_ = nullptr;
  uint64_t events_ = 0;                   // link events and ticks so far
  const ExchangeTerms* terms_ = nullptr;  // the exchange's, while one runs
};

}  // namespace qmb
