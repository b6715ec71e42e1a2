#include "engine/ModBusFrm.h"

#include "platform/DateTime.h"
#include "platform/Log.h"

namespace qmb {

namespace {

// Marks a scope during which the engine is on the call stack.
class ActiveScope {
 public:
  explicit ActiveScope(int& depth) : depth_(depth) { ++depth_; }
  ~ActiveScope() { --depth_; }
  ActiveScope(const ActiveScope&) = delete;
  ActiveScope& operator=(const ActiveScope&) = delete;

 private:
  int& depth_;
};

}  // namespace

TModBusForm::TModBusForm(EngineServices services)
    : Session(Model, &self_), Link(Site, Session, Model, services.delay), services_(services) {}

TModBusForm::~TModBusForm() {
  Link.ClosePort();
  services_.owner.RemoveEngine(this);
  // Clients still attached (a window closed by its user) must never reach this engine again.
  auto clients = std::move(Session.Clients);
  for (auto& [description, client] : clients) client->EngineDestroyed(this);
}

void TModBusForm::AssignSite(const TSite& site) {
  Site.AssignFrom(&site);
  Link.AssignSite();
  Link.UpdateCaption();
}

void TModBusForm::AttachClient(EngineClient* client, const std::string& description) {
  Session.AttachClient(client, description);
}

void TModBusForm::DetachClient(const EngineClient* client) {
  if (Session.DetachClient(client, commandRunning_)) services_.owner.ReleaseEngine(this);
}

bool TModBusForm::SendPointsListNow(EngineClient* /*client*/, const Variant& /*params*/) {
  // Point lists are taken over by the point table, which this engine does not keep yet; the
  // host is told plainly that nothing was taken.
  LogInfo("Site \"" + Site.Description + "\": point lists are not kept by this version");
  return false;
}

void TModBusForm::BlockChkClick(bool checked) {
  if (checked)
    Session.BlockSite();
  else
    Session.UnblockSite();
}

void TModBusForm::RefreshTimePanel() {
  if (++Session.ClockTicks < 10) return;
  Session.ClockTicks = 0;
  const double now = services_.clock.LocalNow();
  Model.TimePnl = Session.LoggedOn
                      ? "Site Time: " + FormatTime12WithSeconds(now - Session.SiteClockOffset)
                      : "Local Time: " + FormatTime12WithSeconds(now);
  Model.Changed();
}

void TModBusForm::ProcessTick() {
  ActiveScope active(activeDepth_);
  RefreshTimePanel();
  Session.TickResultHold();
  Session.TickLockExpiry();
  RunCommand(Session.CommandCode);
  if (Session.CommandCode != kNoCommand || Session.Locked) {
    PollState = 0;  // polling waits at its idle state
  } else {
    RunBackgroundPoll();
  }
}

void TModBusForm::RunCommand(uint32_t code) {
  if (code == kNoCommand) return;
  commandRunning_ = true;
  try {
    switch (code) {
      case kConnectStep:
        Link.ConnectStep();
        break;
      case kDisconnectStep:
        Link.DisconnectStep();
        break;
      case kDialStep:
      case kSiteTime:
      case kSiteStatus:
      case kPointVerify:
      case kGetData:
      case kSendData:
      case kSendPointsList:
      case kGetPointsList:
      case kPointModify:
      case kPointGetDisabled:
      case kPointGetValue:
      case kGetAlarms:
        EndUnsupported();
        break;
      default:
        break;  // 11 and unknown codes: nothing, as for code 0
    }
  } catch (...) {
    commandRunning_ = false;
    throw;
  }
  commandRunning_ = false;
}

void TModBusForm::EndUnsupported() {
  Session.CommandResult = Variant(std::string());
  Session.SetErrorText("Command not supported");
  Session.EndCommand(kStateFailed);
}

void TModBusForm::RunBackgroundPoll() {
  // Background polling reads the registered points; no point table is kept yet, so there is
  // nothing to poll.
}

}  // namespace qmb
