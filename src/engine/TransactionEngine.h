// One Modbus request and its reply, the one road every exchange takes: framing by the framing
// table, sending on the serial line or Modbus/TCP, the reply wait of a named policy (attempts
// and link resets included), and the reply check.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "engine/Exchange.h"
#include "engine/ExchangeLink.h"
#include "engine/LinkFlags.h"
#include "links/SerialLine.h"
#include "links/StatusLights.h"
#include "links/TcpLink.h"
#include "model/SiteWindowModel.h"
#include "model/TypeSite.h"
#include "platform/DelayClock.h"
#include "platform/Log.h"
#include "platform/SerialPort.h"
#include "platform/Task.h"
#include "protocol/FrameCodec.h"
#include "protocol/Framing.h"
#include "protocol/PointAddress.h"

namespace qmb {

class TransactionEngine {
 public:
  struct Parts {
    const TSite& site;
    const LinkFlags& flags;
    ReceiveBuffer& receive;
    SerialPort& port;
    SerialLine& line;
    TcpLink& tcp;
    StatusLights& lights;
    DelayClock& delay;
    SiteWindowModel& model;
    const Logger& log;
  };
  explicit TransactionEngine(Parts parts);

  // The exchange, the one road every request takes: it frames the request in the site's framing,
  // sends it, waits as the pace and the policy say (attempts and link resets included) and
  // checks the reply against the request (the window's Command and Response boxes show both on a
  // serial line). A null request (a point whose key names no address) sends nothing, and fails
  // as the policy's Unframed says. Errors of the serial line, and a request too long to frame,
  // are raised to the caller. Dropped while it waits (its task destroyed), it leaves nothing
  // armed: a request in flight is abandoned.
  Task<ExchangeResult> Exchange(const ModbusRequest* request, const WaitPolicy& policy,
                                ExchangePace& pace);
  // The same, waiting in passes of the delay clock.
  Task<ExchangeResult> Exchange(const ModbusRequest& request, const WaitPolicy& policy) {
    return Exchange(&request, policy, byDelay_);
  }
  ExchangePace& DelayPace() { return byDelay_; }

  // Where the exchange in flight is (Idle when none is).
  enum class Phase { Idle, Preparing, FirstByte, Silence, Reply, Check };
  Phase ExchangePhase() const { return phase_; }
  // The line is being reset (closed, a pause, reopened) inside an exchange.
  bool ResettingLink() const { return resetting_; }

  // Milliseconds still to wait before the next request, for the silence the site's GAP keeps on
  // the link after the last exchange; 0 without the key.
  int64_t GapLeftMs();
  // A Modbus/TCP connection can take a request: made, and the site's CONNECTPAUSE over since.
  // What is left of the pause a new Modbus/TCP connection keeps before its first request
  // (0 when none runs): it ends with the clock, not with any event of the link.
  int64_t ConnectPauseLeftMs();
  bool TCPReadyForRequest();
  // Why the request cannot go on this site (a read from slave 0, the broadcast address, on a
  // serial line, which no device answers); empty when it can.
  std::string Refusal(const ModbusRequest& request) const;
  // The last exchange was a broadcast write: sent, and no reply awaited.
  bool Broadcast() const { return broadcast_; }
  // A write to slave 0 on a serial line: no device answers it.
  bool IsBroadcast(const ModbusRequest& request) const;
  // Sends a framed broadcast write and waits its wire time and the slaves' turnaround.
  Task<ExchangeResult> ExchangeBroadcast(const std::string& frame);
  // Waits out what is left of the site's GAP (nothing without the key).
  Task<void> KeepGap();

  // A raw request typed as hex text: the number of reply bytes of an accepted reply (exception
  // replies included: the error code tells them apart), 0 when every attempt failed; 0 at once
  // on a site whose framing carries no raw requests (Modbus/TCP).
  Task<int32_t> Transact(const std::string& hexText);

  // Every request framed and every reply checked goes through here: the framing table judges,
  // the engine keeps the request in flight and the reply block, and shows request and reply in
  // the window's Command and Response boxes. A serial request framed is the request in flight
  // and shown; the wire bytes, empty when the framing cannot carry it (nothing changes then).
  std::string Frame(const ModbusRequest& request, Framing framing);
  // A request framed for the site's TCP stream as the request in flight, to the unit the site
  // sends to (SiteUnit); on Modbus/TCP a read draws a fresh transaction id.
  std::string FrameTCP(ModbusRequest request);
  // A point's read framed as the request in flight and shown; empty / false for a text that is
  // no point address (nothing changes then).
  std::string FrameASCIIRead(std::string_view addressText);
  bool FrameRTURead(std::string_view addressText);
  // The request in flight.
  const ModbusRequest& Request() const { return request_; }

  // The site's link: the steps that differ between the serial line and Modbus/TCP.
  ExchangeLink& Link() {
    if (SiteFramingEntry().OnStream()) return tcpLink_;
    return serialLink_;
  }
  // Frames a request in the site's framing as the request in flight (shown on a serial line);
  // the wire bytes, empty when the framing cannot carry it.
  std::string FrameForSite(const ModbusRequest& request) { return Link().FrameFor(request); }
  // Reception armed for the reply: the receive buffer emptied and on, the activity count reset
  // and, where replies end at a line end and the caller waits for it, the end-of-line trigger.
  void ArmReply(bool watchLineEnd);
  // Reception and any end-of-line trigger off.
  void DisarmReply();
  // The bytes received so far stand for a whole reply to the request in flight.
  bool ReplyComplete() const;
  // What was received (more than two bytes), decoded and checked against the request in flight.
  ExchangeResult TakeReply();
  // The TCP link's answer to the request in flight, when it arrived, checked as TakeReply checks
  // (it is left in the receive buffer).
  ExchangeResult TakeTCPReply(bool arrived);
  // The site's framing entry.
  const FramingEntry& SiteFramingEntry() const { return qmb::SiteFramingEntry(site_, flags_); }
  // Checks the receive buffer against the request in flight. An accepted serial reply behind
  // an adapter's echo is moved to the start of the receive buffer, so that what the caller
  // reads (a raw request's reply bytes) is the reply alone.
  bool CheckReply(SerialFraming framing);
  // A Modbus/TCP reply frame against the request frame it answers.
  bool CheckTCPReply(std::string_view request, std::string_view reply);
  const ReplyBlock& Reply() const { return reply_; }
  const ExchangeCounters& Counters() const { return counters_; }

  void ClearReceive();
  void StartReceive();
  void StopReceive();
  std::string ReceivedText() const { return receive_.Text(); }
  // Closes and reopens the serial port, with a pause between, to shake a line that went silent.
  Task<void> ResetLine();
  static constexpr int kResetPauseMs = 100;
  // Waits for a serial reply in passes of the pace, as the wait says.
  Task<Heard> AwaitReply(const ReplyWait& wait, const ExchangePace& pace);
  // Puts a request on the line with reception (and any end-of-line trigger) armed; disarms them
  // when the line refuses it.
  void SendArmed(const std::string& bytes);

 private:
  const TSite& site_;
  const LinkFlags& flags_;
  ReceiveBuffer& receive_;
  SerialPort& port_;
  SerialLine& line_;
  TcpLink& tcp_;
  StatusLights& lights_;
  DelayClock& delay_;
  SiteWindowModel& model_;
  const Logger& log_;
  ReplyBlock reply_;
  ExchangeCounters counters_;
  ModbusRequest request_;  // the request in flight (the last one framed)
  std::string sent_;       // ... as it went on the wire
  TransactionIds transactionIds_;
  // The last request framed or reply ended (long ago before the first).
  int64_t linkUsedAtMs_ = std::numeric_limits<int64_t>::min() / 2;
  uint32_t pausedConnection_ = 0;
  int64_t connectPauseEndsMs_ = 0;
  bool broadcast_ = false;
  Phase phase_ = Phase::Idle;
  bool resetting_ = false;
  SerialExchangeLink serialLink_{*this, line_, site_};
  TcpExchangeLink tcpLink_{*this, tcp_};
  ExchangePace byDelay_{delay_, false};

  bool Keep(const ReplyCheck& check);
  // The receive buffer's bytes as the framing's reply check takes them (ASCII hex decoded).
  void DecodeReceived(Framing framing);
  ExchangeResult Result(bool accepted) const;
  void NoteLinkUse() { linkUsedAtMs_ = NowMs(); }
  int64_t NowMs() { return delay_.Loop().MonotonicMs(); }
};

}  // namespace qmb
