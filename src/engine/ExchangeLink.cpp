#include "engine/ExchangeLink.h"

#include <algorithm>

#include "engine/TransactionEngine.h"

namespace qmb {

Task<bool> ExchangePace::Clear(TransactionEngine& engine, ExchangeLink& link,
                               const std::string& host, int32_t readyPasses) {
  for (int32_t pass = 0; pass < readyPasses && !link.Ready(host); ++pass) co_await Pass(1);
  if (!link.Ready(host)) co_return false;
  // The gap runs from the end of the last exchange; framing marks the link used from then on.
  if (!stepped_) {
    co_await engine.KeepGap();
  } else {
    while (engine.GapLeftMs() > 0) co_await Pass(1);
  }
  co_return true;
}

Task<Heard> ExchangePace::Reply(ExchangeLink& link, const ModbusRequest*, const ReplyWait& wait) {
  return link.AwaitPasses(wait, *this);
}

std::string SerialExchangeLink::FrameFor(const ModbusRequest& request) {
  return engine_.Frame(request, engine_.SiteFramingEntry().Kind);
}

void SerialExchangeLink::Arm(bool watchLineEnd) {
  engine_.ArmReply(watchLineEnd);
}

Task<Heard> SerialExchangeLink::AwaitPasses(const ReplyWait& wait, const ExchangePace& pace) {
  return engine_.AwaitReply(wait, pace);
}

int32_t SerialExchangeLink::ReplyBudgetMs(const WireTimePolicy& policy,
                                          const ModbusRequest& request) const {
  const FramingEntry& framing = engine_.SiteFramingEntry();
  // Address, the reply's PDU as the request fixes it (an exception's when it fixes none), and
  // the checksum.
  const auto requestBytes = static_cast<int32_t>(framing.CheckedBytes(request).size());
  const auto pduBytes = static_cast<int32_t>(std::max<size_t>(ReplyPduSize(request.Pdu()), 2));
  const int32_t replyBytes = 1 + pduBytes + static_cast<int32_t>(ChecksumSize(framing.Kind));
  return policy.SerialReplyMs(site_.BaudRate, framing.EndsAtLineEnd, requestBytes, replyBytes);
}

bool SerialExchangeLink::ReplyReady() const {
  return engine_.ReplyComplete();
}

void SerialExchangeLink::Disarm() {
  engine_.DisarmReply();
}

ExchangeResult SerialExchangeLink::Take(bool /*arrived*/) {
  // What came is checked even when an event-driven wait ran out: a write's reply on an ASCII
  // line is the request's own line, which an echo would be too, so it is only taken for whole
  // at the end.
  return engine_.TakeReply();
}

const char* SerialExchangeLink::DeviceName() const {
  return engine_.SiteFramingEntry().Device;
}

Task<void> SerialExchangeLink::Reset() {
  return engine_.ResetLine();
}

void SerialExchangeLink::Abandon() {
  // A trigger left on the port would be matched against every byte from then on.
  engine_.StopReceive();
  line_.DisarmEndOfLine();
}

const char* TcpExchangeLink::DeviceName() const {
  return engine_.SiteFramingEntry().Device;
}

bool TcpExchangeLink::Ready(const std::string& host) {
  tcp_.SelectHost(host);
  return engine_.TCPReadyForRequest();
}

std::string TcpExchangeLink::FrameFor(const ModbusRequest& request) {
  return engine_.FrameTCP(request);
}

Task<Heard> TcpExchangeLink::AwaitPasses(const ReplyWait& wait, const ExchangePace& pace) {
  for (int32_t pass = 0; pass < wait.FirstBytePasses && !tcp_.LookForReply(); ++pass)
    co_await pace.Pass(1);
  co_return Heard{tcp_.LookForReply(), true};
}

ExchangeResult TcpExchangeLink::Take(bool arrived) {
  ExchangeResult result = engine_.TakeTCPReply(arrived);
  // A late answer is dropped when it is read. An answer taken needs no forgetting: nothing after
  // it counts as the reply, and the request kept tells the next host selection that nothing is
  // owed, so it does not read the connection to find out.
  if (!arrived) tcp_.ForgetRequest();
  return result;
}

}  // namespace qmb
