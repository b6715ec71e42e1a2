// The command session of a site engine: the one host command it carries out at a time, who owns
// it, its progress and result, the clients attached to the site and the site lock.
#pragma once

#include <cstdint>
#include <deque>
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

// The commands that put requests on the line and wait for replies; the others never touch it.
constexpr bool CommandUsesLine(uint32_t code) {
  switch (code) {
    case kDialStep:
    case kDisconnectStep:
    case kConnectStep:
    case kGetData:
    case kPointModify:
    case kPointGetValue:
      return true;
    default:
      return false;
  }
}

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

  // The attached clients with their descriptions, in the order they attached.
  using ClientList = std::vector<std::pair<std::string, EngineClient*>>;

  uint32_t CommandCode() const { return commandCode_; }
  int32_t StepCounter() const { return stepCounter_; }
  // A command is pending or running, a poll is under way or the window blocks the site: hosts
  // are told to wait.
  bool Busy() const { return busy_; }
  const EngineClient* CommandOwner() const { return commandOwner_; }
  int32_t CommandState() const { return commandState_; }
  const std::string& StatusText() const { return statusText_; }
  const std::string& ErrorText() const { return errorText_; }
  const Variant& CommandParams() const { return commandParams_; }
  const Variant& CommandResult() const { return commandResult_; }
  bool Locked() const { return locked_; }
  const EngineClient* LockOwner() const { return lockOwner_; }
  const std::string& LockComment() const { return lockComment_; }
  const ClientList& Clients() const { return clients_; }
  int32_t RemoteClientCount() const { return remoteClientCount_; }
  bool LoggedOn() const { return loggedOn_; }
  double SiteClockOffset() const { return siteClockOffset_; }
  int32_t ClockTicks() const { return clockTicks_; }

  void SetState(int32_t value) { commandState_ = value; }
  void SetStatusText(const std::string& text);
  void SetErrorText(const std::string& text) { errorText_ = text; }
  // What the owner collects when the command is done.
  void SetResult(Variant result) { commandResult_ = std::move(result); }
  void ClearResult() { commandResult_ = Variant(std::string()); }
  void ResetStatus();
  void SetCommand(uint32_t code);
  // The next step of a link step (dialling) in progress.
  void GoToStep(int32_t step) { stepCounter_ = step; }
  // For a poll, which is no command of its own; a point command marks it again before its
  // exchange.
  void MarkBusy() { busy_ = true; }
  void MarkIdle() { busy_ = false; }
  // The client that asked for an open or a close collects its answer.
  void AssignOwner(const EngineClient* client) { commandOwner_ = client; }

  // True when the session holds something of another client's (a command pending or running, a
  // result not yet collected, a link step, the lock) or any host command is pending or running:
  // an open or a close must then leave the session alone and be answered on its own.
  bool Occupied(const EngineClient* client) const;
  // How an open or close that found the session occupied is answered to its client.
  enum class AsideAnswer { kNone, kDone, kOpenLater, kCloseLater };
  void AnswerAside(const EngineClient* client, AsideAnswer answer);
  AsideAnswer AsideAnswerFor(const EngineClient* client) const;
  void ClearAsideAnswer(const EngineClient* client);

  // Hosts told to wait for a command are served in the order they were first told: a free
  // session takes the next command from the first of them only, so a host that keeps resending
  // is not overtaken by newcomers. A host that stops asking for kWaiterPatienceTicks drops out.
  static constexpr int32_t kWaiterPatienceTicks = 50;
  void QueueWaiter(const EngineClient* client);
  bool MayStart(const EngineClient* client) const;
  void TickWaiters();

  bool AcceptCommand(const EngineClient* client, uint32_t code, const Variant& params);
  int32_t CommandStatus(const EngineClient* client) const;
  void ReleaseCommand(const EngineClient* client);

  void AttachClient(EngineClient* client, const std::string& description);
  // Removes the client; true when no client is left (the engine is then to be released). A
  // command the client owns and that has not started is dropped, one that is running loses its
  // owner, and a lock it holds is released: nothing may reach the client once it is gone.
  bool DetachClient(const EngineClient* client, bool commandRunning);
  bool HasClient(const EngineClient* client) const;
  // Hands over the attached clients and forgets them, for an engine going away.
  ClientList TakeClients();
  // Clients that opened the site without LOCALCLIENT=TRUE; shown by the next UpdateClientCount.
  void AddRemoteClient() { ++remoteClientCount_; }
  void RemoveRemoteClient() { --remoteClientCount_; }
  void UpdateClientCount();

  bool TakeLock(const std::string& comment);
  bool LockClient();
  bool UnlockClient();

  void BlockSite();
  void UnblockSite();
  bool IsBlocked() const { return commandOwner_ == self_; }
  bool IsSelf(const EngineClient* client) const { return client == self_; }

  bool LogOn() {
    loggedOn_ = true;
    return true;
  }
  void LogOff() { loggedOn_ = false; }
  // How far the site's clock is behind the local one; the time panel and SITESTATUS show it.
  void SetSiteClockOffset(double offset) { siteClockOffset_ = offset; }
  // Counts a process tick of the time panel; true on every tenth (once a second).
  bool TickClock();

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

 private:
  SiteWindowModel& model_;
  const EngineClient* self_;

  uint32_t commandCode_ = kNoCommand;
  int32_t stepCounter_ = 0;
  bool busy_ = false;
  const EngineClient* commandOwner_ = nullptr;
  int32_t commandState_ = kStateIdle;
  std::string statusText_;
  std::string errorText_;
  Variant commandParams_;
  Variant commandResult_{std::string()};
  int32_t resultHoldTicks_ = 0;
  bool locked_ = false;
  const EngineClient* lockOwner_ = nullptr;
  std::string lockComment_;
  int32_t lockTicks_ = 0;
  ClientList clients_;
  std::vector<std::pair<const EngineClient*, AsideAnswer>> asideAnswers_;
  struct Waiter {
    const EngineClient* client;
    int32_t idleTicks;
  };
  std::deque<Waiter> waiters_;
  void DropWaiter(const EngineClient* client);
  int32_t remoteClientCount_ = 0;
  bool loggedOn_ = false;
  double siteClockOffset_ = 0.0;
  int32_t clockTicks_ = 0;
};

}  // namespace qmb
