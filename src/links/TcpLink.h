// The engine's Modbus/TCP link: one connection at a time, to the host the next request names
// (or the site's address), reconnecting when the host changes. The peer's bytes are a stream:
// frames are cut from it as the site's framing says (Modbus/TCP by the length in their header,
// RTU frames by the request in flight), however the chunks fall, and only the answer to the
// request in flight is kept.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "model/SiteWindowModel.h"
#include "model/TypeSite.h"
#include "platform/Log.h"
#include "platform/TcpClient.h"
#include "protocol/Framing.h"

namespace qmb {

// "10.0.0.7:1502", "[::1]:1502", "plc.local", "::1": the host and the port (502 when none).
// False for a port that is not a number from 1 to 65535.
bool SplitHostAndPort(const std::string& text, std::string& host, uint16_t& port);

class TcpLink {
 public:
  static constexpr uint16_t kModbusPort = 502;
  static constexpr const char* kNoHost = "....";

  TcpLink(TcpClient& client, const TSite& site, SiteWindowModel& model, const Logger& log)
      : client_(client), site_(site), model_(model), log_(log) {}

  // The framing of the frames on the stream (Modbus/TCP until told otherwise); an entry that
  // does not travel on a stream leaves it as it is.
  void UseFraming(const FramingEntry& framing);
  // Points the link at a host ("" for the site's address); connects when the host changed or
  // the connection was lost since, or when a request went unanswered on a stream whose replies
  // cannot tell a late one from the next request's.
  void SelectHost(const std::string& host);
  // How the answer to a request is waited for: woken by its arrival, or looked for by the
  // waiter on its own pace (LookForReply), the bytes left with the connection until then so
  // that a reply costs no wake-up of its own.
  enum class ReplyWake { OnArrival, OnLook };
  // Sends a request frame; from now on only its answer counts as the reply.
  void SendTCP(const std::string& bytes, ReplyWake wake = ReplyWake::OnArrival);
  // Drops the connection and forgets the host, so the next SelectHost connects again.
  void Drop();

  // Client events.
  void TCP1Connected(const std::string& description);
  void TCP1Disconnected(const std::string& description);
  void TCP1Error(const std::string& description);
  void TCP1ReadyToSend();
  void TCP1DataIn(const std::string& bytes);

  // The request in flight (empty when none), and whether the frame that answers it arrived
  // (on Modbus/TCP its transaction id, unit and function, and a write's address; see
  // AnswersTCPRequest; RTU frames by their slave, function, shape and CRC).
  // Frames that answer nothing in flight, a late reply to an earlier request among them, are
  // dropped as they arrive.
  const std::string& Request() const { return request_; }
  const std::string& ReplyText() const { return replyText_; }
  bool ReplyArrived() const { return replyArrived_; }
  // ReplyArrived for a waiter that looks: a request sent to be looked for first takes what the
  // connection holds now. The first look after the send takes nothing, as a woken reply never
  // arrives in the pass that sent its request.
  bool LookForReply();
  // No request in flight any more: whatever arrives from now on is dropped.
  void ForgetReply();
  // As ForgetReply, but a reply being looked for stays looked for: the wake-up is left as the
  // request set it, and whatever waits with the connection is taken at the next look.
  void ForgetRequest();

  // Told when the answer to the request in flight arrived, after the chunk it came in was taken
  // apart (so a new request may be sent from it).
  std::function<void()> OnReply;

  // The host the link is pointed at (kNoHost when none), and whether a request can go out.
  const std::string& CurrentHost() const { return currentHost_; }
  bool TCPReady() const { return tcpReady_; }
  // The connections that became ready so far: a new count is a new connection, for a pause
  // kept after each.
  uint32_t Connections() const { return connections_; }
  // The window's test connection counts as ready at once.
  void MarkReady() { tcpReady_ = true; }

 private:
  // A new connection is a new stream; so is a new request: the rest of a frame that never
  // completed would only put the next reply out of step.
  void ForgetStream() { stream_.clear(); }
  void TakeFrames();
  // Asks the client to wake for arrivals or not, when that changes.
  void WakeOnArrival(bool on);
  // Reads left with the connection are taken now and arrivals wake again: the request they were
  // left for is over, and whatever comes from now on is handled as it arrives.
  void EndLooking();
  // Takes what waits with the connection where it could matter to the next request.
  void TakeWaiting();

  TcpClient& client_;
  const TSite& site_;
  SiteWindowModel& model_;
  const Logger& log_;
  const FramingEntry* framing_ = &FramingFor(Framing::TCP);
  std::string stream_;  // received bytes not yet cut into frames
  // A request went out whose reply has not come (a late one may still).
  bool owed_ = false;
  std::string request_;
  std::string replyText_;
  bool replyArrived_ = false;
  bool wakeOnArrival_ = true;
  bool lookedSinceSend_ = false;
  std::string currentHost_ = kNoHost;
  std::string target_;  // host:port of the connection, as the log names it
  bool tcpReady_ = false;
  uint32_t connections_ = 0;
};

}  // namespace qmb
