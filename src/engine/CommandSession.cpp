#include "engine/CommandSession.h"

#include <algorithm>

#include "platform/ParamList.h"

namespace qmb {

const char* AcceptanceStatusText(uint32_t code) {
  switch (code) {
    case kSiteTime:
      return "Reading Site Time...";
    case kSiteStatus:
      return "Reading Site Status...";
    case kPointVerify:
      return "Verifying Point Address...";
    case kGetData:
      return "Reading Data...";
    case kSendData:
      return "Writing Data...";
    case kSendPointsList:
      return "Writing Data...";
    case kGetPointsList:
      return "Reading Data...";
    case kPointModify:
      return "Modifying Point...";
    case kPointGetDisabled:
      return "Reading Point State...";
    case kPointGetValue:
      return "Reading Point Value...";
    case kGetAlarms:
      return "Reading Data...";
    default:
      return "";
  }
}

void CommandSession::SetStatusText(const std::string& text) {
  statusText_ = text;
  model_.MessagePnl = text;
  model_.Changed();
}

void CommandSession::ResetStatus() {
  SetState(kStateIdle);
  SetStatusText({});
  SetErrorText({});
}

void CommandSession::SetCommand(uint32_t code) {
  commandCode_ = code;
  stepCounter_ = 0;
  if (code != kNoCommand) {
    busy_ = true;
    resultHoldTicks_ = 0;  // nothing to collect while it runs
    return;
  }
  busy_ = false;
  resultHoldTicks_ = kResultHoldTicks;
  if (locked_) lockTicks_ = kLockTicks;  // every completed command renews the lock
}

void CommandSession::QueueWaiter(const EngineClient* client) {
  for (Waiter& waiter : waiters_) {
    if (waiter.client == client) {
      waiter.idleTicks = 0;
      return;
    }
  }
  waiters_.push_back({client, 0});
}

bool CommandSession::MayStart(const EngineClient* client) const {
  return waiters_.empty() || waiters_.front().client == client;
}

void CommandSession::TickWaiters() {
  if (waiters_.empty()) return;  // as nearly always: every site runs this every tick
  std::erase_if(waiters_, [](Waiter& waiter) { return ++waiter.idleTicks > kWaiterPatienceTicks; });
}

void CommandSession::DropWaiter(const EngineClient* client) {
  std::erase_if(waiters_, [client](const Waiter& waiter) { return waiter.client == client; });
}

bool CommandSession::AcceptCommand(const EngineClient* client, uint32_t code,
                                   const Variant& params) {
  const std::string status = AcceptanceStatusText(code);
  if (status.empty()) return true;  // not a host command: ignored, as hosts expect an answer
  DropWaiter(client);
  SetStatusText(status);
  ClearResult();
  commandParams_ = params;
  commandOwner_ = client;
  SetCommand(code);
  SetState(kStateWorking);
  SetErrorText({});
  return true;
}

int32_t CommandSession::CommandStatus(const EngineClient* client) const {
  if (client == commandOwner_ || commandOwner_ == nullptr || client == lockOwner_)
    return commandState_;
  if (locked_) return kStateLocked;
  return kStateOtherClient;
}

void CommandSession::ReleaseCommand(const EngineClient* client) {
  if (client != commandOwner_) return;
  commandOwner_ = nullptr;
  resultHoldTicks_ = 0;
  SetState(kStateIdle);
}

bool CommandSession::Occupied(const EngineClient* client) const {
  if (commandCode_ >= kSiteTime) return true;
  if (commandOwner_ != nullptr && commandOwner_ != client) return true;
  return locked_ && lockOwner_ != nullptr && lockOwner_ != client;
}

void CommandSession::AnswerAside(const EngineClient* client, AsideAnswer answer) {
  ClearAsideAnswer(client);
  if (answer != AsideAnswer::kNone) asideAnswers_.emplace_back(client, answer);
}

CommandSession::AsideAnswer CommandSession::AsideAnswerFor(const EngineClient* client) const {
  for (const auto& [who, answer] : asideAnswers_)
    if (who == client) return answer;
  return AsideAnswer::kNone;
}

void CommandSession::ClearAsideAnswer(const EngineClient* client) {
  std::erase_if(asideAnswers_, [client](const auto& entry) { return entry.first == client; });
}

bool CommandSession::HasClient(const EngineClient* client) const {
  return std::any_of(clients_.begin(), clients_.end(),
                     [client](const auto& entry) { return entry.second == client; });
}

void CommandSession::AttachClient(EngineClient* client, const std::string& description) {
  if (HasClient(client)) return;
  clients_.emplace_back(description, client);
  UpdateClientCount();
}

bool CommandSession::DetachClient(const EngineClient* client, bool commandRunning) {
  const auto entry = std::find_if(clients_.begin(), clients_.end(),
                                  [client](const auto& e) { return e.second == client; });
  if (entry != clients_.end()) clients_.erase(entry);
  ClearAsideAnswer(client);
  DropWaiter(client);
  UpdateClientCount();

  if (client != nullptr && commandOwner_ == client) {
    // A host command that has not started yet has nobody left to collect it: drop it. A running
    // handler finishes (it may be mid-exchange with the device) but without an owner; link steps
    // keep running so the line is not left half open.
    if (!commandRunning && commandCode_ >= kSiteTime) {
      commandCode_ = kNoCommand;
      stepCounter_ = 0;
      busy_ = false;
    }
    commandOwner_ = nullptr;
    resultHoldTicks_ = 0;
    if (commandCode_ == kNoCommand) SetState(kStateIdle);
  }
  if (client != nullptr && lockOwner_ == client) {
    locked_ = false;
    lockComment_.clear();
    lockTicks_ = 0;
    lockOwner_ = nullptr;
  }
  return clients_.empty();
}

CommandSession::ClientList CommandSession::TakeClients() {
  auto taken = std::move(clients_);
  clients_.clear();
  asideAnswers_.clear();
  waiters_.clear();
  return taken;
}

void CommandSession::UpdateClientCount() {
  model_.ClientCountLbl = std::to_string(remoteClientCount_);
  model_.Changed();
}

bool CommandSession::TakeLock(const std::string& comment) {
  if (locked_) return false;
  lockComment_ = comment;
  locked_ = true;
  lockTicks_ = kLockTicks;
  lockOwner_ = commandOwner_;
  return true;
}

bool CommandSession::LockClient() {
  if (locked_) return false;
  std::string comment;
  GetParamStr(commandParams_, "LOCKCOMMENT", comment);
  return TakeLock(comment);
}

bool CommandSession::UnlockClient() {
  if (IsBlocked()) return false;
  locked_ = false;
  lockComment_.clear();
  lockTicks_ = 0;
  lockOwner_ = nullptr;
  return true;
}

void CommandSession::BlockSite() {
  model_.BlockChk = true;
  busy_ = true;
  locked_ = true;
  lockComment_ = kBlockComment;
  commandOwner_ = self_;
  model_.Changed();
}

void CommandSession::UnblockSite() {
  model_.BlockChk = false;
  busy_ = false;
  locked_ = false;
  lockComment_.clear();
  commandOwner_ = nullptr;
  resultHoldTicks_ = 0;
  model_.Changed();
}

void CommandSession::TickResultHold() {
  if (resultHoldTicks_ <= 0 || IsBlocked()) return;
  if (--resultHoldTicks_ == 0) ReleaseCommand(commandOwner_);
}

void CommandSession::TickLockExpiry() {
  if (lockTicks_ <= 0) return;
  if (--lockTicks_ == 0) {
    lockOwner_ = nullptr;
    UnlockClient();
  }
}

bool CommandSession::TickClock() {
  if (++clockTicks_ < 10) return false;
  clockTicks_ = 0;
  return true;
}

void CommandSession::Settle(int32_t state) {
  SetState(state);
  SetStatusText({});
  // An answer its client never collects must not hold the session for ever.
  resultHoldTicks_ = kResultHoldTicks;
}

void CommandSession::EndCommand(int32_t state) {
  Settle(state);
  SetCommand(kNoCommand);
}

void CommandSession::FailCommand(const std::string& error) {
  SetErrorText(error);
  EndCommand(kStateFailed);
}

}  // namespace qmb
