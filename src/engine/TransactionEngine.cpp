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
      codec_(parts.codec),
      port_(parts.port),
      line_(parts.line),
      lights_(parts.lights),
      delay_(parts.delay),
      model_(parts.model),
      log_(parts.log) {}

void TransactionEngine::ShowFramed(SerialFraming framing) {
  ShowCommand(model_, codec_.Command, framing);
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
  std::string frame = BuildASCIIRead(codec_, addressText);
  if (!frame.empty()) ShowFramed(SerialFraming::ASCII);
  return frame;
}

bool TransactionEngine::FrameRTURead(std::string_view addressText) {
  if (BuildRTURead(codec_, addressText).empty()) return false;
  ShowFramed(SerialFraming::RTU);
  return true;
}

std::string TransactionEngine::FrameASCIIRead(const PointAddress& point) {
  std::string frame = BuildASCIIRead(codec_, point);
  if (!frame.empty()) ShowFramed(SerialFraming::ASCII);
  return frame;
}

bool TransactionEngine::FrameRTURead(const PointAddress& point) {
  if (BuildRTURead(codec_, point).empty()) return false;
  ShowFramed(SerialFraming::RTU);
  return true;
}

std::string TransactionEngine::FrameASCIIRequest(std::string_view hexText) {
  std::string frame = codec_.FrameASCIIRequest(hexText);
  if (!frame.empty()) ShowFramed(SerialFraming::ASCII);
  return frame;
}

bool TransactionEngine::FrameRTURequest(std::string_view hexText) {
  if (!codec_.FrameRTURequest(hexText)) return false;
  ShowFramed(SerialFraming::RTU);
  return true;
}

bool TransactionEngine::CheckReply(SerialFraming framing) {
  const ReplyCheck check = codec_.CheckReply(framing);
  if (check.Accepted && check.Start > 0) codec_.Receive.DropFront(check.Start);
  return Keep(check);
}

bool TransactionEngine::CheckTCPReply(std::string_view request, std::string_view reply) {
  return Keep(FrameCodec::CheckTCPReply(request, reply));
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
  codec_.Receive.Clear();
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
  const std::string frame = codec_.FrameASCIIRequest(hexText);
  if (frame.empty()) throw std::length_error(kTooLong);
  ShowFramed(SerialFraming::ASCII);
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    line_.ForgetEndOfLine();
    line_.ArmEndOfLine();
    StartReceive();
    line_.ResetActivity();
    SendArmed(frame);
    co_await ReplyWait(true);
    StopReceive();
    line_.DisarmEndOfLine();
    if (codec_.Receive.Count > 2) {
      codec_.DecodeASCIIReply();
      if (CheckReply(SerialFraming::ASCII)) co_return codec_.Receive.Count;
    }
    if (attempt == 2) co_await ResetLink();
  }
  co_return 0;
}

Task<int32_t> TransactionEngine::TransactRTU(const std::string& hexText) {
  if (!codec_.FrameRTURequest(hexText)) throw std::length_error(kTooLong);
  ShowFramed(SerialFraming::RTU);
  const std::string request = codec_.CommandBytes();
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    StartReceive();
    line_.ResetActivity();
    SendArmed(request);
    co_await ReplyWait(false);
    StopReceive();
    if (codec_.Receive.Count > 0 && CheckReply(SerialFraming::RTU)) co_return codec_.Receive.Count;
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
