// Exchanges a host wants answered now, not at the pace of the process tick: each waits for its
// link by the link's own events (bytes that came, a reply that arrived, a connection made), with
// the fast scan's wire-time budget, so a reply that comes in a millisecond is taken in one. The
// engine runs them only while the line is its caller's alone (see TModBusForm::RunOnLine).
#pragma once

#include <cstdint>
#include <functional>

#include "engine/Exchange.h"
#include "model/TypeSite.h"
#include "platform/DelayClock.h"
#include "platform/Task.h"
#include "protocol/Framing.h"

namespace qmb {

class TransactionEngine;

class DirectExchange {
 public:
  DirectExchange(TransactionEngine& transactions, const TSite& site, DelayClock& delay)
      : transactions_(transactions), site_(site), delay_(delay) {}
  ~DirectExchange();
  DirectExchange(const DirectExchange&) = delete;
  DirectExchange& operator=(const DirectExchange&) = delete;

  // Milliseconds a Modbus/TCP request may wait for its connection.
  static constexpr int32_t kConnectMs = 5100;

  // One request and its checked reply, the site's timing keys and a broadcast write's rules
  // kept as every exchange keeps them (Refused: no device can answer it, the cause logged;
  // NotReady: the link cannot carry it now; NoReply: nothing usable came within the budget).
  // Errors of the line are raised to the caller.
  Task<ExchangeResult> Exchange(const ModbusRequest& request);

  // The link said something; a waiting exchange looks whether it is what it waits for.
  void LinkEvent();

 private:
  class EventWait;

  TransactionEngine& transactions_;
  const TSite& site_;
  DelayClock& delay_;
  EventWait* waiting_ = nullptr;
};

}  // namespace qmb
