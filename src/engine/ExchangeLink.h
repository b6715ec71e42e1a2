// The steps of an exchange that differ between a serial line and a TCP stream, and the steps that
// differ between one kind of wait and another, each behind one interface, so that the one
// exchange (TransactionEngine::Exchange) takes the same steps on either link and under every
// wait, and never asks which it is on. The engine picks the site's link in one place.
#pragma once

#include <cstdint>
#include <string>

#include "engine/Exchange.h"
#include "links/SerialLine.h"
#include "links/TcpLink.h"
#include "model/TypeSite.h"
#include "platform/DelayClock.h"
#include "platform/Task.h"
#include "protocol/Framing.h"

namespace qmb {

class ExchangeLink;
class TransactionEngine;

// How an exchange waits. This one waits in passes of a clock under the policy's ReplyWait: the
// delay clock, where a pass of n periods is n to n + 1 periods long, or a clock its caller steps
// once a process tick (the tick-paced poller), where it is exactly n steps, the site's GAP is
// waited in whole steps and a failed attempt is sent again on the step after. The event-driven
// wait (DirectExchange) overrides the steps that differ.
class ExchangePace {
 public:
  ExchangePace(DelayClock& clock, bool stepped) : clock_(clock), stepped_(stepped) {}
  virtual ~ExchangePace() = default;
  ExchangePace(const ExchangePace&) = delete;
  ExchangePace& operator=(const ExchangePace&) = delete;

  DelayClock::DelayWait Pass(int32_t periods) const {
    return clock_.Delay(stepped_ ? periods - 1 : periods);
  }
  bool Stepped() const { return stepped_; }
  // A request is on the link: sent, its reply not yet taken.
  bool OnLine() const { return onLine_; }

  // The policy as the site's keys amend it for this kind of wait.
  virtual WaitPolicy Sited(const WaitPolicy& policy, const TSite& site, bool write) const {
    return SitePolicy(policy, site, write);
  }
  // This wait can use the link now (false: the exchange ends NotReady, nothing sent).
  virtual bool Carries(const ExchangeLink&) const { return true; }
  // Waits until the request may go: the link takes its host and the site's GAP is over; false
  // when the wait gave up.
  virtual Task<bool> Clear(TransactionEngine& engine, ExchangeLink& link, const std::string& host,
                           int32_t readyPasses);
  // Waits for the reply to the request just sent (or, with none sent, as for a silent device).
  virtual Task<Heard> Reply(ExchangeLink& link, const ModbusRequest* request,
                            const ReplyWait& wait);
  // An ASCII reply's end of line is watched for by its own trigger.
  virtual bool WatchesLineEnd() const { return true; }
  // The wait keeps the site's silence between frames after a reply, where the framing needs one.
  virtual bool KeepsFrameGap() const { return false; }
  virtual Task<void> KeepFrameGap() { co_return; }

  // A request on the link, from arming the reception to the end of its reply wait. Dropped in
  // between (the exchange's task destroyed, or the send failed), it abandons the request, so
  // nothing stays armed.
  class OnLineScope;

 protected:
  DelayClock& Clock() const { return clock_; }

 private:
  DelayClock& clock_;
  bool stepped_;
  bool onLine_ = false;
};

class ExchangeLink {
 public:
  virtual ~ExchangeLink() = default;

  // The link can carry requests at all (a serial port that is open; a Modbus/TCP link makes
  // its connection per request).
  virtual bool Usable() const = 0;
  // Points the link at the request's host and tells whether a request can go out now (false
  // while a Modbus/TCP connection is being made).
  virtual bool Ready(const std::string& host) = 0;
  // Points the link at a host ahead of its request, so its connection is being made meanwhile.
  virtual void Aim(const std::string& host) = 0;
  // The request framed as the request in flight; empty when the framing cannot carry it.
  virtual std::string FrameFor(const ModbusRequest& request) = 0;
  // A new frame is made for each attempt (a Modbus/TCP request draws a fresh transaction id);
  // else the first attempt's frame is sent again.
  virtual bool FramesEachAttempt() const = 0;
  // Readies reception for the reply (before the send: a peer may answer at once), and any
  // end-of-line trigger where the wait asks for it; an earlier answer is forgotten.
  virtual void Arm(bool watchLineEnd) = 0;
  // Sends the frame; a stepped pace looks for its reply on its own steps.
  virtual void Send(const std::string& frame, const ExchangePace& pace) = 0;
  // Waits in passes of the pace for the reply to the request in flight, as the wait says.
  virtual Task<Heard> AwaitPasses(const ReplyWait& wait, const ExchangePace& pace) = 0;
  // Milliseconds the reply to the request may take under a wire-time policy.
  virtual int32_t ReplyBudgetMs(const WireTimePolicy& policy,
                                const ModbusRequest& request) const = 0;
  // What came so far is the whole reply to the request in flight.
  virtual bool ReplyReady() const = 0;
  // The wait is over: reception and any trigger off.
  virtual void Disarm() = 0;
  // The reply checked against the request in flight (a stream's only when it arrived).
  virtual ExchangeResult Take(bool arrived) = 0;
  // Shakes a link that went silent (a serial line is closed and reopened; a stream is connected
  // again for its next request anyway, and is left alone).
  virtual Task<void> Reset() = 0;
  // Ends the exchange without a result: whatever arrives from now on is dropped.
  virtual void Abandon() = 0;
  // How logs name a device on this link ("slave 3", "unit 255").
  virtual const char* DeviceName() const = 0;
};

class SerialExchangeLink final : public ExchangeLink {
 public:
  SerialExchangeLink(TransactionEngine& engine, SerialLine& line, const TSite& site)
      : engine_(engine), line_(line), site_(site) {}
  bool Usable() const override { return line_.IsOpen(); }
  bool Ready(const std::string&) override { return true; }
  void Aim(const std::string&) override {}
  std::string FrameFor(const ModbusRequest& request) override;
  bool FramesEachAttempt() const override { return false; }
  void Arm(bool watchLineEnd) override;
  void Send(const std::string& frame, const ExchangePace&) override { line_.PutFrame(frame); }
  Task<Heard> AwaitPasses(const ReplyWait& wait, const ExchangePace& pace) override;
  int32_t ReplyBudgetMs(const WireTimePolicy& policy, const ModbusRequest& request) const override;
  bool ReplyReady() const override;
  void Disarm() override;
  ExchangeResult Take(bool arrived) override;
  Task<void> Reset() override;
  void Abandon() override;
  const char* DeviceName() const override;

 private:
  TransactionEngine& engine_;
  SerialLine& line_;
  const TSite& site_;
};

class TcpExchangeLink final : public ExchangeLink {
 public:
  TcpExchangeLink(TransactionEngine& engine, TcpLink& tcp) : engine_(engine), tcp_(tcp) {}
  bool Usable() const override { return true; }
  bool Ready(const std::string& host) override;
  void Aim(const std::string& host) override { tcp_.SelectHost(host); }
  std::string FrameFor(const ModbusRequest& request) override;
  bool FramesEachAttempt() const override { return true; }
  // The link keeps only the answer to the request it sends.
  void Arm(bool) override { tcp_.ForgetRequest(); }
  // A reply looked for on the poller's steps stays with the connection until the step that looks:
  // a tick's replies then cost the tick's one wake-up, not one each.
  void Send(const std::string& frame, const ExchangePace& pace) override {
    tcp_.SendTCP(frame,
                 pace.Stepped() ? TcpLink::ReplyWake::OnLook : TcpLink::ReplyWake::OnArrival);
  }
  Task<Heard> AwaitPasses(const ReplyWait& wait, const ExchangePace& pace) override;
  int32_t ReplyBudgetMs(const WireTimePolicy& policy, const ModbusRequest&) const override {
    return policy.TcpReplyMs;
  }
  bool ReplyReady() const override { return tcp_.ReplyArrived(); }
  void Disarm() override {}
  ExchangeResult Take(bool arrived) override;
  Task<void> Reset() override { co_return; }
  void Abandon() override { tcp_.ForgetReply(); }
  const char* DeviceName() const override;

 private:
  TransactionEngine& engine_;
  TcpLink& tcp_;
};

class ExchangePace::OnLineScope {
 public:
  OnLineScope(ExchangePace& pace, ExchangeLink& link) : pace_(pace), link_(link) {
    link_.Arm(pace_.WatchesLineEnd());
    pace_.onLine_ = true;
  }
  OnLineScope(const OnLineScope&) = delete;
  OnLineScope& operator=(const OnLineScope&) = delete;
  ~OnLineScope() {
    if (!pace_.onLine_) return;
    pace_.onLine_ = false;
    link_.Abandon();
  }
  // The wait is over: reception off.
  void End() {
    pace_.onLine_ = false;
    link_.Disarm();
  }

 private:
  ExchangePace& pace_;
  ExchangeLink& link_;
};

}  // namespace qmb
