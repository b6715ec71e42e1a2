#include "links/TcpLink.h"

#include <charconv>
#include <utility>

#include "platform/Log.h"
#include "platform/TextHelpers.h"
#include "protocol/FrameCodec.h"

namespace qmb {

bool SplitHostAndPort(const std::string& text, std::string& host, uint16_t& port) {
  host = text;
  port = TcpLink::kModbusPort;
  std::string portText;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 == text.size()) return true;
    if (text[close + 1] != ':') return false;
    portText = text.substr(close + 2);
  } else {
    const auto colon = text.find(':');
    // More than one colon without brackets is a bare IPv6 address.
    if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) return true;
    host = text.substr(0, colon);
    portText = text.substr(colon + 1);
  }
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
  if (ec != std::errc() || end != portText.data() + portText.size() || value < 1 || value > 65535)
    return false;
  port = static_cast<uint16_t>(value);
  return true;
}

void TcpLink::UseFraming(const FramingEntry& framing) {
  if (framing.StreamFrameSize != nullptr) framing_ = &framing;
}

void TcpLink::SelectHost(const std::string& host) {
  // What came for a request that was looked for counts before anything else: a late reply, or
  // on a stream of RTU frames anything at all, which on arrival would have been dropped.
  TakeWaiting();
  // A late reply on a stream of RTU frames would read as the answer to the next request: a new
  // connection leaves it behind.
  const bool stale = std::exchange(owed_, false) && !framing_->TellsLateReplies;
  if (stale && client_.Connected())
    log_.Info(LoggedText(target_) +
              ": the last request went unanswered; connecting again so that a late reply is not "
              "taken for the next one");
  // The same host is kept only while its connection lasts: after the peer closed, a refused
  // connect or a close by a client, the next request connects again.
  if (host == currentHost_ && client_.Connected() && !stale) return;
  client_.SetConnected(false);
  ForgetStream();
  std::string address;
  uint16_t port = kModbusPort;
  const std::string& target = host.empty() ? site_.IPAddress : host;
  if (!SplitHostAndPort(target, address, port)) {
    log_.Warning("\"" + LoggedText(target) +
                 "\" is not a valid host[:port]; trying it on port 502");
    address = target;
    port = kModbusPort;
  }
  client_.SetRemoteHost(address);
  client_.SetRemotePort(port);
  target_ = (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" +
            std::to_string(port);
  tcpReady_ = false;
  currentHost_ = host;
  client_.SetConnected(true);
}

void TcpLink::ForgetRequest() {
  request_.clear();
  replyText_.clear();
  replyArrived_ = false;
}

void TcpLink::ForgetReply() {
  ForgetRequest();
  EndLooking();
}

void TcpLink::WakeOnArrival(bool on) {
  if (wakeOnArrival_ == on) return;
  wakeOnArrival_ = on;
  client_.SetReadNotification(on);
}

void TcpLink::EndLooking() {
  if (wakeOnArrival_) return;
  client_.ReadNow();
  WakeOnArrival(true);
}

void TcpLink::TakeWaiting() {
  // On Modbus/TCP a frame after the answer tells by its transaction id that it answers nothing,
  // whenever it is read; only an unanswered request's late reply matters before the next one.
  if (wakeOnArrival_ || (replyArrived_ && framing_->TellsLateReplies)) return;
  client_.ReadNow();
}

void TcpLink::SendTCP(const std::string& bytes, ReplyWake wake) {
  if (wake == ReplyWake::OnArrival) EndLooking();  // what waited belongs to the request before
  ForgetRequest();
  ForgetStream();
  log_.Frame(true, bytes);
  request_ = bytes;  // before the send: a peer may answer before it returns
  owed_ = true;
  // Switched before the send: a reply can be in the kernel before the send returns. Requests that
  // are looked for one after another keep it off between them: the connection's end still wakes.
  WakeOnArrival(wake == ReplyWake::OnArrival);
  lookedSinceSend_ = false;
  client_.Send(bytes);
}

bool TcpLink::LookForReply() {
  if (!wakeOnArrival_ && !replyArrived_ && std::exchange(lookedSinceSend_, true)) {
    client_.ReadNow();
  }
  return replyArrived_;
}

void TcpLink::Drop() {
  WakeOnArrival(true);
  client_.SetConnected(false);
  ForgetStream();
  owed_ = false;
  currentHost_ = kNoHost;
  tcpReady_ = false;
}

void TcpLink::TCP1Connected(const std::string& description) {
  ForgetStream();
  model_.AddLogLine("Connected: " + description);
}

void TcpLink::TCP1Disconnected(const std::string& description) {
  ForgetStream();
  WakeOnArrival(true);  // the next connection is woken for until a request says otherwise
  model_.AddLogLine("Disconnected: " + description);
}

void TcpLink::TCP1Error(const std::string& description) {
  log_.Cause("Modbus/TCP " + LoggedText(target_) + ": " + description);
  model_.AddLogLine("Error: " + description);
}

void TcpLink::TCP1ReadyToSend() {
  if (!tcpReady_) ++connections_;
  tcpReady_ = true;
  model_.AddLogLine("RTS=TRUE");
}

void TcpLink::TCP1DataIn(const std::string& bytes) {
  log_.Frame(false, bytes);
  model_.AddLogBytes("Data In: ", bytes);
  stream_ += bytes;
  const bool waiting = !replyArrived_;
  TakeFrames();
  if (waiting && replyArrived_ && OnReply) OnReply();
}

void TcpLink::TakeFrames() {
  for (;;) {
    const int32_t size = framing_->StreamFrameSize(request_, stream_);
    if (size == 0) return;
    if (size < 0) {
      // Nothing tells where the next frame starts: the bytes held are dropped, and the stream
      // starts again with the next chunk (a peer writes each reply at once).
      log_.Info(std::string(framing_->Name) + " stream out of step; " +
                std::to_string(stream_.size()) + " bytes dropped: " + BytesToSpacedHex(stream_));
      ForgetStream();
      return;
    }
    std::string frame;
    if (static_cast<size_t>(size) == stream_.size()) {
      frame = std::move(stream_);  // a chunk that is one whole frame, as replies mostly come
      stream_.clear();
    } else {
      frame = stream_.substr(0, static_cast<size_t>(size));
      stream_.erase(0, static_cast<size_t>(size));
    }
    if (!replyArrived_ && framing_->Answers(request_, frame)) {
      replyText_ = std::move(frame);
      replyArrived_ = true;
      owed_ = false;
    } else {
      log_.Info(std::string(framing_->Name) +
                " frame that answers no request in flight dropped: " + BytesToSpacedHex(frame));
    }
  }
}

}  // namespace qmb
