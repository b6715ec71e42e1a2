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
  StatusText = text;
  model_.MessagePnl = text;
  model_.Changed();
}

void CommandSession::ResetStatus() {
  SetState(kStateIdle);
  SetStatusText({});
  SetErrorText({});
}

void CommandSession::SetCommand(uint32_t code) {
  CommandCode = code;
  StepCounter = 0;
  if (code != kNoCommand) {
    Busy = true;
    return;
  }
  Busy = false;
  ResultHoldTicks = kResultHoldTicks;
  if (Locked) LockTicks = kLockTicks;  // every completed command renews the lock
}

bool CommandSession::AcceptCommand(const EngineClient* client, uint32_t code,
                                   const Variant& params) {
  const std::string status = AcceptanceStatusText(code);
  if (status.empty()) return true;  // not a host command: ignored, as hosts expect an answer
  SetStatusText(status);
  CommandResult = Variant(std::string());
  CommandParams = params;
  CommandOwner = client;
  SetCommand(code);
  SetState(kStateWorking);
  SetErrorText({});
  return true;
}

int32_t CommandSession::CommandStatus(const EngineClient* client) const {
  if (client == CommandOwner || CommandOwner == nullptr || client == LockOwner) return CommandState;
  if (Locked) return kStateLocked;
  return kStateOtherClient;
}

void CommandSession::ReleaseCommand(const EngineClient* client) {
  if (client != CommandOwner) return;
  CommandOwner = nullptr;
  ResultHoldTicks = 0;
  SetState(kStateIdle);
}

bool CommandSession::HasClient(const EngineClient* client) const {
  return std::any_of(Clients.begin(), Clients.end(),
                     [client](const auto& entry) { return entry.second == client; });
}

void CommandSession::AttachClient(EngineClient* client, const std::string& description) {
  if (HasClient(client)) return;
  Clients.emplace_back(description, client);
  UpdateClientCount();
}

bool CommandSession::DetachClient(const EngineClient* client, bool commandRunning) {
  const auto entry = std::find_if(Clients.begin(), Clients.end(),
                                  [client](const auto& e) { return e.second == client; });
  if (entry != Clients.end()) Clients.erase(entry);
  UpdateClientCount();

  if (client != nullptr && CommandOwner == client) {
    // A host command that has not started yet has nobody left to collect it: drop it. A running
    // handler finishes (it may be mid-exchange with the device) but without an owner; link steps
    // keep running so the line is not left half open.
    if (!commandRunning && CommandCode >= kSiteTime) {
      CommandCode = kNoCommand;
      StepCounter = 0;
      Busy = false;
    }
    CommandOwner = nullptr;
    ResultHoldTicks = 0;
    if (CommandCode == kNoCommand) SetState(kStateIdle);
  }
  if (client != nullptr && LockOwner == client) {
    Locked = false;
    LockComment.clear();
    LockTicks = 0;
    LockOwner = nullptr;
  }
  return Clients.empty();
}

void CommandSession::UpdateClientCount() {
  model_.ClientCountLbl = std::to_string(RemoteClientCount);
  model_.Changed();
}

bool CommandSession::TakeLock(const std::string& comment) {
  if (Locked) return false;
  LockComment = comment;
  Locked = true;
  LockTicks = kLockTicks;
  LockOwner = CommandOwner;
  return true;
}

bool CommandSession::LockClient() {
  if (Locked) return false;
  std::string comment;
  GetParamStr(CommandParams, "LOCKCOMMENT", comment);
  return TakeLock(comment);
}

bool CommandSession::UnlockClient() {
  if (IsBlocked()) return false;
  Locked = false;
  LockComment.clear();
  LockTicks = 0;
  LockOwner = nullptr;
  return true;
}

void CommandSession::BlockSite() {
  model_.BlockChk = true;
  Busy = true;
  Locked = true;
  LockComment = kBlockComment;
  CommandOwner = self_;
  model_.Changed();
}

void CommandSession::UnblockSite() {
  model_.BlockChk = false;
  Busy = false;
  Locked = false;
  LockComment.clear();
  CommandOwner = nullptr;
  ResultHoldTicks = 0;
  model_.Changed();
}

void CommandSession::TickResultHold() {
  if (ResultHoldTicks <= 0 || IsBlocked()) return;
  if (--ResultHoldTicks == 0) ReleaseCommand(CommandOwner);
}

void CommandSession::TickLockExpiry() {
  if (LockTicks <= 0) return;
  if (--LockTicks == 0) {
    LockOwner = nullptr;
    UnlockClient();
  }
}

void CommandSession::Settle(int32_t state) {
  SetState(state);
  SetStatusText({});
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
