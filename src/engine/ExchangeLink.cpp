#include "engine/ExchangeLink.h"

#include <algorithm>

#include "engine/TransactionEngine.h"

namespace qmb {

std::string SerialExchangeLink::FrameFor(const ModbusRequest& request) {
  return engine_.Frame(request, engine_.SiteFramingEntry().Kind);
}

void SerialExchangeLink::Arm() {
  // Replies are ended by ReplyReady as the bytes arrive, not by an end-of-line trigger.
  engine_.ArmReply(false);
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

ExchangeResult SerialExchangeLink::Finish(bool /*arrived*/) {
  engine_.DisarmReply();
  // What came is checked even when the wait ran out: a write's reply on an ASCII line is the
  // request's own line, which an echo would be too, so it is only taken for whole at the end.
  return engine_.TakeReply();
}

const char* SerialExchangeLink::DeviceName() const {
  return engine_.SiteFramingEntry().Device;
}

void SerialExchangeLink::Abandon() {
  engine_.StopReceive();
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

ExchangeResult TcpExchangeLink::Finish(bool arrived) {
  ExchangeResult result = engine_.TakeTCPReply(arrived);
  tcp_.ForgetReply();  // a late answer is dropped as it comes
  return result;
}

}  // namespace qmb
