#include "engine/TransactionEngine.h"

#include <stdexcept>

#include "engine/WindowBoxes.h"
#include "protocol/CodeNames.h"
#include "protocol/PointAddress.h"

namespace qmb {

namespace {
constexpr const char* kTooLong = "The request is too long for the command buffer (256 bytes).";
}

TransactionEngine::TransactionEngine(Parts parts)
    : site_(parts.site),
      flags_(parts.flags),
      receive_(parts.receive),
      port_(parts.port),
      line_(parts.line),
      lights_(parts.lights),
      delay_(parts.delay),
      model_(parts.model),
      log_(parts.log) {}

std::string TransactionEngine::Frame(const ModbusRequest& request, Framing framing) {
  std::string frame = FramingFor(framing).Frame(request);
  if (frame.empty()) return frame;
  request_ = request;
  sent_ = frame;
  ShowCommand(model_, request_);
  return frame;
}

std::string TransactionEngine::FrameTCP(ModbusRequest request) {
  if (request.TransactionId != kTCPWriteTransactionId)
    request.TransactionId = transactionIds_.Next();
  std::string frame = FramingFor(Framing::TCP).Frame(request);
  if (frame.empty()) return frame;
  request_ = std::move(request);
  sent_ = frame;
  return frame;
}

bool TransactionEngine::ReplyComplete(Framing framing) const {
  return FramingFor(framing).Missing(request_, receive_.Text()) == 0;
}

void TransactionEngine::DecodeReceived(Framing framing) {
  const std::string reply = FramingFor(framing).Decode(request_, receive_.Text());
  receive_.Clear();
  for (const char byte : reply) receive_.Store(static_cast<uint8_t>(byte));
}

bool TransactionEngine::Keep(const ReplyCheck& check) {
  reply_ = check.Reply;
  if (check.Shown) ShowReply(model_, reply_);
  if (check.Accepted && reply_.ErrorCode != kReplyNoError && reply_.ErrorCode < 255) {
    // The device refused the request: the exception says why, in the words of the standard.
    const std::string_view name = ExceptionName(reply_.ErrorCode);
    log_.Cause((flags_.TCPMode ? "unit " : "slave ") + std::to_string(reply_.Address) +
               " answered function " + std::to_string(reply_.Function) + " with exception " +
               std::to_string(reply_.ErrorCode) +
               (name.empty() ? std::string() : " (" + std::string(name) + ")"));
  }
  return check.Accepted;
}

std::string TransactionEngine::FrameASCIIRead(std::string_view addressText) {
  const auto point = ParsePointAddress(addressText, false);
  return point ? FrameASCIIRead(*point) : std::string();
}

bool TransactionEngine::FrameRTURead(std::string_view addressText) {
  const auto point = ParsePointAddress(addressText, false);
  return point && FrameRTURead(*point);
}

std::string TransactionEngine::FrameASCIIRead(const PointAddress& point) {
  const auto request = ReadRequest(point);
  return request ? Frame(*request, Framing::ASCII) : std::string();
}

bool TransactionEngine::FrameRTURead(const PointAddress& point) {
  const auto request = ReadRequest(point);
  return request && !Frame(*request, Framing::RTU).empty();
}

std::string TransactionEngine::FrameASCIIRequest(std::string_view hexText) {
  return Frame(RequestFromHex(hexText), Framing::ASCII);
}

bool TransactionEngine::FrameRTURequest(std::string_view hexText) {
  return !Frame(RequestFromHex(hexText), Framing::RTU).empty();
}

bool TransactionEngine::CheckReply(SerialFraming framing) {
  const ReplyCheck check = FramingFor(framing).Check(request_, receive_.Text());
  if (check.Accepted && check.Start > 0) receive_.DropFront(check.Start);
  return Keep(check);
}

bool TransactionEngine::CheckTCPReply(std::string_view request, std::string_view reply) {
  return Keep(qmb::CheckTCPReply(request, reply));
}

Task<int32_t> TransactionEngine::Transact(const std::string& hexText) {
  if (flags_.TCPMode) co_return 0;
  // Two statements, not one conditional expression: with g++ 12 both arms of a conditional that
  // co_awaits in each arm ran (both frames went out).
  if (site_.UseRTU) co_return co_await TransactRTU(hexText);
  co_return co_await TransactASCII(hexText);
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

Task<void> TransactionEngine::ReplyWait(bool ascii) {
  int limit = kFirstByteTicks;
  int idle = 0;
  for (;;) {
    if (ascii && line_.EolFired()) co_return;
    co_await delay_.Delay(1);
    if (line_.ActivityCount() > 0) {
      idle = 0;
      limit = 1;
    } else if (++idle >= limit) {
      co_return;
    }
    line_.ResetActivity();
  }
}

Task<int32_t> TransactionEngine::TransactASCII(const std::string& hexText) {
  const std::string frame = FrameASCIIRequest(hexText);
  if (frame.empty()) throw std::length_error(kTooLong);
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    line_.ForgetEndOfLine();
    line_.ArmEndOfLine();
    StartReceive();
    line_.ResetActivity();
    SendArmed(frame);
    co_await ReplyWait(true);
    StopReceive();
    line_.DisarmEndOfLine();
    if (receive_.Count > 2) {
      DecodeReceived(Framing::ASCII);
      if (CheckReply(SerialFraming::ASCII)) co_return receive_.Count;
    }
    if (attempt == 2) co_await ResetLink();
  }
  co_return 0;
}

Task<int32_t> TransactionEngine::TransactRTU(const std::string& hexText) {
  if (!FrameRTURequest(hexText)) throw std::length_error(kTooLong);
  const std::string request = sent_;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    StartReceive();
    line_.ResetActivity();
    SendArmed(request);
    co_await ReplyWait(false);
    StopReceive();
    if (receive_.Count > 0 && CheckReply(SerialFraming::RTU)) co_return receive_.Count;
    if (attempt == 2) co_await ResetLink();
  }
  co_return 0;
}

Task<void> TransactionEngine::ResetLink() {
  if (flags_.TCPMode) co_return;
  port_.Close();
  co_await delay_.Sleep(kResetPauseMs);
  port_.Open();
  port_.SetBaudRate(site_.BaudRate);
  lights_.SetMonitoring(true);
}

}  // namespace qmb
