// The steps of an exchange that differ between a serial line and a TCP stream, behind one
// interface, so that a caller pacing its own wait (the fast scan) takes the same steps on either
// link and never asks which it is on. The engine picks the site's link in one place.
#pragma once

#include <cstdint>
#include <string>

#include "engine/Exchange.h"
#include "links/SerialLine.h"
#include "links/TcpLink.h"
#include "model/TypeSite.h"
#include "protocol/Framing.h"

namespace qmb {

class TransactionEngine;

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
  // Readies reception for the reply (before the send: a peer may answer at once).
  virtual void Arm() = 0;
  virtual void Send(const std::string& frame) = 0;
  // Milliseconds the reply to the request may take under a wire-time policy.
  virtual int32_t ReplyBudgetMs(const WireTimePolicy& policy,
                                const ModbusRequest& request) const = 0;
  // What came so far is the whole reply to the request in flight.
  virtual bool ReplyReady() const = 0;
  // Ends the exchange: reception off, and the reply checked when it arrived.
  virtual ExchangeResult Finish(bool arrived) = 0;
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
  void Arm() override;
  void Send(const std::string& frame) override { line_.PutFrame(frame); }
  int32_t ReplyBudgetMs(const WireTimePolicy& policy, const ModbusRequest& request) const override;
  bool ReplyReady() const override;
  ExchangeResult Finish(bool arrived) override;
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
  void Arm() override {}  // the link keeps only the answer to the request it sends
  void Send(const std::string& frame) override { tcp_.SendTCP(frame); }
  int32_t ReplyBudgetMs(const WireTimePolicy& policy, const ModbusRequest&) const override {
    return policy.TcpReplyMs;
  }
  bool ReplyReady() const override { return tcp_.ReplyArrived(); }
  ExchangeResult Finish(bool arrived) override;
  void Abandon() override { tcp_.ForgetReply(); }
  const char* DeviceName() const override;

 private:
  TransactionEngine& engine_;
  TcpLink& tcp_;
};

}  // namespace qmb
