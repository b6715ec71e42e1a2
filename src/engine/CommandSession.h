// The command session of a site engine: the one host command it carries out at a time, who owns
// it, its progress and result, the clients attached to the site and the site lock.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/EngineClient.h"
#include "model/SiteWindowModel.h"
#include "platform/Variant.h"

namespace qmb {

// Command codes. 1 to 3 are link steps the connection manager sets itself; 11 is not used.
enum CommandCodes : uint32_t {
  kNoCommand = 0,
  kDialStep = 1,
  kDisconnectStep = 2,
  kConnectStep = 3,
  kSiteTime = 4,
  kSiteStatus = 5,
  kPointVerify = 6,
  kGetData = 7,
  kSendData = 8,
  kSendPointsList = 9,
  kGetPointsList = 10,
  kPointModify = 12,
  kPointGetDisabled = 13,
  kPointGetValue = 14,
  kGetAlarms = 15,
};

// Command states as the driver object reads them.
enum CommandStates : int32_t {
  kStateOtherClient = -1,
  kStateIdle = 0,
  kStateWorking = 1,
  kStateDone = 2,
  kStateFailed = 3,
  kStateLocked = 4,
};

// The status text a host command shows from its acceptance; empty for codes hosts cannot send.
const char* AcceptanceStatusText(uint32_t code);

class CommandSession {
 public:
  // self: the engine itself, the owner of the session while its window blocks host access.
  CommandSession(SiteWindowModel& model, const EngineClient* self) : model_(model), self_(self) {}

  static constexpr int32_t kResultHoldTicks = 150;  // 15 s for the owner to collect a result
  static constexpr int32_t kLockTicks = 300;        // 30 s of lock after its last completed command
  static constexpr const char* kBlockComment = "being accessed via Debug Mode";
  static constexpr const char* kNotSupported = "Command not supported";

  void SetState(int32_t value) { CommandState = value; }
  void SetStatusText(const std::string& text);
  void SetErrorText(const std::string& text) { ErrorText = text; }
  void ResetStatus();
  void SetCommand(uint32_t code);

  bool AcceptCommand(const EngineClient* client, uint32_t code, const Variant& params);
  int32_t CommandStatus(const EngineClient* client) const;
  void ReleaseCommand(const EngineClient* client);

  void AttachClient(EngineClient* client, const std::string& description);
  // Removes the client; true when no client is left (the engine is then to be released). A
  // command the client owns and that has not started is dropped, one that is running loses its
  // owner, and a lock it holds is released: nothing may reach the client once it is gone.
  bool DetachClient(const EngineClient* client, bool commandRunning);
  bool HasClient(const EngineClient* client) const;
  void UpdateClientCount();

  bool TakeLock(const std::string& comment);
  bool LockClient();
  bool UnlockClient();

  void BlockSite();
  void UnblockSite();
  bool IsBlocked() const { return CommandOwner == self_; }
  bool IsSelf(const EngineClient* client) const { return client == self_; }

  bool LogOn() {
    LoggedOn = true;
    return true;
  }
  void LogOff() { LoggedOn = false; }

  // Process-tick steps 2 and 3.
  void TickResultHold();
  void TickLockExpiry();

  // The answer to an open or a close: the state with an empty status text; the command in
  // progress (a link step) is left running.
  void Settle(int32_t state);
  // The one way every command ends: in state 2 or 3 with an empty status text, after the handler
  // has left its result (and any error text). Renews the result hold and the lock.
  void EndCommand(int32_t state);
  // Ends it in state 3 with the error text hosts are shown.
  void FailCommand(const std::string& error);

  uint32_t CommandCode = kNoCommand;
  int32_t StepCounter = 0;
  bool Busy = false;
  const EngineClient* CommandOwner = nullptr;
  int32_t CommandState = kStateIdle;
  std::string StatusText;
  std::string ErrorText;
  Variant CommandParams;
  Variant CommandResult{std::string()};
  int32_t ResultHoldTicks = 0;
  bool Locked = false;
  const EngineClient* LockOwner = nullptr;
  std::string LockComment;
  int32_t LockTicks = 0;
  std::vector<std::pair<std::string, EngineClient*>> Clients;
  int32_t RemoteClientCount = 0;
  bool LoggedOn = false;
  double SiteClockOffset = 0.0;
  int32_t ClockTicks = 0;

 private:
  SiteWindowModel& model_;
  const EngineClient* self_;
};

}  // namespace qmb
