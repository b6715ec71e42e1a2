#include "engine/TransactionEngine.h"

#include <algorithm>
#include <stdexcept>

#include "engine/WindowBoxes.h"
#include "protocol/CodeNames.h"
#include "protocol/PointAddress.h"

namespace qmb {

namespace {
constexpr const char* kTooLong = "The request is too long for the command buffer (256 bytes).";
// The host a request names when it names none: the site's own.
const std::string kSiteHost;

// The reply ends the exchange: any answer, or, where exceptions are tried again, a value.
bool Answered(const ExchangeResult& result, const WaitPolicy& policy) {
  return result.Ok() || (result.Accepted() && !policy.RetryExceptions);
}
}  // namespace

TransactionEngine::TransactionEngine(Parts parts)
    : site_(parts.site),
      flags_(parts.flags),
      receive_(parts.receive),
      port_(parts.port),
      line_(parts.line),
      tcp_(parts.tcp),
      lights_(parts.lights),
      delay_(parts.delay),
      model_(parts.model),
      log_(parts.log) {}

std::string TransactionEngine::Frame(const ModbusRequest& request, Framing framing) {
  std::string frame = FramingFor(framing).Frame(request);
  if (frame.empty()) return frame;
  ++counters_.Requests;
  NoteLinkUse();  // a framed request goes on the line at once
  request_ = request;
  sent_ = frame;
  ShowCommand(model_, request_);
  return frame;
}

std::string TransactionEngine::FrameTCP(ModbusRequest request) {
  if (request.TransactionId != kTCPWriteTransactionId)
    request.TransactionId = transactionIds_.Next();
  if (!request.Bytes.empty() && !request.KeepUnit)
    request.Bytes[0] = static_cast<char>(SiteUnit(site_, flags_, request.Unit()));
  std::string frame = SiteFramingEntry().Frame(request);
  if (frame.empty()) return frame;
  ++counters_.Requests;
  NoteLinkUse();
  request_ = std::move(request);
  sent_ = frame;
  return frame;
}

void TransactionEngine::DecodeReceived(Framing framing) {
  const std::string reply = FramingFor(framing).Decode(request_, receive_.Text());
  receive_.Assign(reply);
}

bool TransactionEngine::Keep(const ReplyCheck& check) {
  reply_ = check.Reply;
  ++(check.Accepted ? counters_.Replies : counters_.ChecksumErrors);
  if (check.Accepted && reply_.ErrorCode != kReplyNoError && reply_.ErrorCode < 255)
    ++counters_.Exceptions;
  if (check.Shown) ShowReply(model_, reply_);
  if (check.Accepted && reply_.ErrorCode != kReplyNoError && reply_.ErrorCode < 255) {
    // The device refused the request: the exception says why, in the words of the standard.
    const std::string_view name = ExceptionName(reply_.ErrorCode);
    // A Modbus/TCP reply's block carries address 0 (the window shows it so), but the reply came
    // from the unit the request went to: every check holds the two addresses equal.
    log_.Cause(SiteFramingEntry().Device + std::to_string(request_.Unit()) + " answered function " +
               std::to_string(reply_.Function) + " with exception " +
               std::to_string(reply_.ErrorCode) +
               (name.empty() ? std::string() : " (" + std::string(name) + ")"));
  }
  return check.Accepted;
}

std::string TransactionEngine::FrameASCIIRead(std::string_view addressText) {
  const auto point = ParsePointAddress(addressText, false);
  const auto request = point ? ReadRequest(*point) : std::nullopt;
  return request ? Frame(*request, Framing::ASCII) : std::string();
}

bool TransactionEngine::FrameRTURead(std::string_view addressText) {
  const auto point = ParsePointAddress(addressText, false);
  const auto request = point ? ReadRequest(*point) : std::nullopt;
  return request && !Frame(*request, Framing::RTU).empty();
}

bool TransactionEngine::CheckReply(SerialFraming framing) {
  const ReplyCheck check = FramingFor(framing).Check(request_, receive_.Text());
  if (check.Accepted && check.Start > 0) receive_.DropFront(check.Start);
  return Keep(check);
}

bool TransactionEngine::CheckTCPReply(std::string_view request, std::string_view reply) {
  return Keep(qmb::CheckTCPReply(request, reply));
}

ExchangeResult TransactionEngine::Result(bool accepted) const {
  ExchangeResult result;
  result.Reply = reply_;
  if (!accepted)
    result.Failure = ExchangeFailure::NoReply;
  else if (reply_.ErrorCode != kReplyNoError)
    result.Failure = ExchangeFailure::Exception;
  else
    result.Failure = ExchangeFailure::None;
  return result;
}

Task<ExchangeResult> TransactionEngine::Exchange(const ModbusRequest* request,
                                                 const WaitPolicy& policy, ExchangePace& pace) {
  broadcast_ = false;
  if (request) {
    if (const std::string refusal = Refusal(*request); !refusal.empty()) {
      log_.Cause(refusal);
      ExchangeResult refused;
      refused.Failure = ExchangeFailure::Refused;
      co_return refused;
    }
  }
  ExchangeLink& link = Link();
  if (!pace.Carries(link)) co_return ExchangeResult{};
  const WaitPolicy sited =
      pace.Sited(policy, site_, request && IsWriteFunction(request->Function()));
  const ReplyWait wait = sited.On(SiteFramingEntry());
  const int32_t attempts = sited.AttemptsOn(SiteFramingEntry());
  // A point with no request still waits on the host it was chosen on (the site's own).
  const std::string& host = request ? request->Host : kSiteHost;
  const Holding<Phase> inFlight(phase_, Phase::Preparing, Phase::Idle);
  std::string frame;
  ExchangeResult result = Result(false);
  for (int32_t attempt = 1; attempt <= attempts; ++attempt) {
    phase_ = Phase::Preparing;
    if (attempt == sited.ResetBeforeAttempt) co_await link.Reset();
    // A stepped exchange sends an attempt after the first on the next step.
    if (attempt > 1 && pace.Stepped()) co_await pace.Pass(1);
    // Most requests find their link ready and no gap to keep: no wait is set up for them.
    if (!link.Ready(host) || GapLeftMs() > 0) {
      const bool clear = co_await pace.Clear(*this, link, host, sited.ReadyPasses);
      if (!clear) co_return ExchangeResult{};
    }
    if (request && (attempt == 1 || link.FramesEachAttempt())) {
      frame = link.FrameFor(*request);
      if (frame.empty()) throw std::length_error(kTooLong);
      if (IsBroadcast(*request)) co_return co_await ExchangeBroadcast(frame);
    }
    if (!request && wait.WhenUnframed == Unframed::FailAtOnce) co_return result;
    ExchangePace::OnLineScope onLine(pace, link);
    if (request) link.Send(frame, pace);
    phase_ = Phase::Reply;
    const Heard heard = co_await pace.Reply(link, request, wait);
    onLine.End();
    if (heard.Take && request) {
      if (heard.Any && wait.CheckNextPass) {
        phase_ = Phase::Check;
        co_await pace.Pass(1);
      }
      result = link.Take(heard.Any);
      if (pace.KeepsFrameGap()) co_await pace.KeepFrameGap();
      if (Answered(result, sited)) break;
    }
    if (!heard.Any && wait.ResetWhenSilent) co_await link.Reset();
  }
  co_return result;
}

std::string TransactionEngine::Refusal(const ModbusRequest& request) const {
  if (!SiteFramingEntry().Broadcasts() || request.Bytes.size() < 2 || request.Unit() != 0 ||
      IsWriteFunction(request.Function()))
    return {};
  return "nothing sent: slave 0 is the broadcast address, which no device answers; only writes "
         "(functions 5, 6, 15, 16 and 22) go to it, not function " +
         std::to_string(request.Function());
}

int64_t TransactionEngine::GapLeftMs() {
  if (site_.GapMs <= 0) return 0;
  return std::max<int64_t>(0, linkUsedAtMs_ + site_.GapMs - NowMs());
}

Task<void> TransactionEngine::KeepGap() {
  if (const int64_t left = GapLeftMs(); left > 0) co_await delay_.Sleep(static_cast<int>(left));
}

bool TransactionEngine::TCPReadyForRequest() {
  if (!tcp_.TCPReady()) return false;
  if (site_.ConnectPauseMs <= 0) return true;
  // The pause runs from when this connection was first seen ready, which the waits that ask
  // here see within a delay period of its coming.
  if (tcp_.Connections() != pausedConnection_) {
    pausedConnection_ = tcp_.Connections();
    connectPauseEndsMs_ = NowMs() + site_.ConnectPauseMs;
  }
  return NowMs() >= connectPauseEndsMs_;
}

int64_t TransactionEngine::ConnectPauseLeftMs() {
  if (site_.ConnectPauseMs <= 0 || !tcp_.TCPReady()) return 0;
  TCPReadyForRequest();  // starts the pause on a connection seen for the first time
  return std::max<int64_t>(0, connectPauseEndsMs_ - NowMs());
}

bool TransactionEngine::IsBroadcast(const ModbusRequest& request) const {
  return SiteFramingEntry().Broadcasts() && request.Bytes.size() >= 2 && request.Unit() == 0 &&
         IsWriteFunction(request.Function());
}

Task<ExchangeResult> TransactionEngine::ExchangeBroadcast(const std::string& frame) {
  // No device answers slave 0: the request's time on the wire and the slaves' turnaround are
  // waited, so that the next request does not reach them while they act on this one.
  SendArmed(frame);
  StopReceive();
  broadcast_ = true;
  const WireTimePolicy wire{kBroadcastTurnaroundMs, 0, 1};
  const auto requestBytes = static_cast<int32_t>(SiteFramingEntry().CheckedBytes(request_).size());
  co_await delay_.Sleep(
      wire.SerialReplyMs(site_.BaudRate, SiteFramingEntry().EndsAtLineEnd, requestBytes, 0));
  NoteLinkUse();
  log_.Debug("broadcast function " + std::to_string(request_.Function()) +
             " sent to slave 0; no device answers it");
  ExchangeResult result;
  result.Failure = ExchangeFailure::None;
  co_return result;
}

void TransactionEngine::ArmReply(bool watchLineEnd) {
  if (watchLineEnd && SiteFramingEntry().EndsAtLineEnd) {
    line_.ForgetEndOfLine();
    line_.ArmEndOfLine();
  }
  StartReceive();
  line_.ResetActivity();
}

void TransactionEngine::DisarmReply() {
  StopReceive();
  line_.DisarmEndOfLine();
  NoteLinkUse();
}

bool TransactionEngine::ReplyComplete() const {
  return SiteFramingEntry().Missing(request_, receive_.Text()) == 0;
}

ExchangeResult TransactionEngine::TakeReply() {
  if (receive_.Count <= 2) {
    ++counters_.Timeouts;
    return Result(false);
  }
  const Framing framing = SiteFramingEntry().Kind;
  DecodeReceived(framing);
  if (!CheckReply(framing)) return Result(false);
  ExchangeResult result = Result(true);
  result.ReplyBytes = receive_.Count;
  return result;
}

ExchangeResult TransactionEngine::TakeTCPReply(bool arrived) {
  NoteLinkUse();
  if (!arrived) {
    ++counters_.Timeouts;
    return Result(false);
  }
  // Held where a serial reply is, and checked as one is: a raw request's caller reads it there.
  receive_.Assign(tcp_.ReplyText());
  return TakeReply();
}

Task<int32_t> TransactionEngine::Transact(const std::string& hexText) {
  if (!SiteFramingEntry().RawRequests) {
    log_.Cause("raw requests go on a serial line; a Modbus/TCP site sends none");
    co_return 0;
  }
  const ModbusRequest request = RequestFromHex(hexText);
  const ExchangeResult result = co_await Exchange(request, kRawRequestPolicy);
  if (result.Accepted()) co_return result.ReplyBytes;
  // The device's exception, a port that failed, are named where they happen; the rest here.
  if (log_.CurrentCause().empty()) {
    if (request.Bytes.size() < 2)
      log_.Cause("no reply to the raw request \"" + hexText +
                 "\": a request is a slave and a function at least (2 bytes)");
    else
      log_.Cause(
          "no reply from slave " + std::to_string(request.Unit()) + " to function " +
          std::to_string(request.Function()) + " (" +
          std::to_string(
              SitePolicy(kRawRequestPolicy, site_, IsWriteFunction(request.Function())).Attempts) +
          " attempts)");
  }
  co_return 0;
}

void TransactionEngine::ClearReceive() {
  line_.EnableReception(false);
  receive_.Clear();
}

void TransactionEngine::StartReceive() {
  ClearReceive();
  line_.EnableReception(true);
}

void TransactionEngine::StopReceive() {
  line_.EnableReception(false);
}

void TransactionEngine::SendArmed(const std::string& bytes) {
  try {
    line_.PutFrame(bytes);
  } catch (...) {
    // The error goes to the caller; what was armed for the reply must not stay behind (a
    // trigger left on the port is matched against every byte from then on).
    StopReceive();
    line_.DisarmEndOfLine();
    throw;
  }
}

Task<Heard> TransactionEngine::AwaitReply(const ReplyWait& wait, const ExchangePace& pace) {
  const bool endsAtLineEnd = SiteFramingEntry().EndsAtLineEnd;
  int32_t limit = wait.FirstBytePasses;
  int32_t idle = 0;
  int32_t busy = 0;
  Heard heard;
  phase_ = endsAtLineEnd ? Phase::Reply : Phase::FirstByte;
  for (int32_t pass = 0;; ++pass) {
    if (endsAtLineEnd && line_.EolFired()) {
      heard.Any = true;
      break;
    }
    if (wait.MaxPasses > 0 && pass >= wait.MaxPasses) break;
    co_await pace.Pass(wait.PassTicks);
    bool keepActivity = false;
    if (line_.ActivityCount() > 0) {
      if (heard.Any && wait.MaxBusyPasses > 0 && ++busy >= wait.MaxBusyPasses) {
        heard.Take = false;  // still sending past its bound
        co_return heard;
      }
      // With a bound on a begun reply, its first byte's pass counts for the next one too.
      keepActivity = !heard.Any && wait.MaxBusyPasses > 0;
      heard.Any = true;
      idle = 0;
      limit = wait.SilencePasses;
      if (!endsAtLineEnd) phase_ = Phase::Silence;
    } else if (limit > 0 && ++idle >= limit) {
      break;
    }
    if (!keepActivity) line_.ResetActivity();
  }
  heard.Take = !wait.NeedsLineEnd || line_.EolFired();
  co_return heard;
}

Task<void> TransactionEngine::ResetLine() {
  const Holding<bool> resetting(resetting_, true, false);
  port_.Close();
  co_await delay_.Sleep(kResetPauseMs);
  port_.Open();
  port_.SetBaudRate(site_.BaudRate);
  lights_.SetMonitoring(true);
}

}  // namespace qmb
