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
    : Session(Model, &self_),
      Points(Session, Log),
      services_(services),
      port_(services.serialPorts.CreatePort()),
      tcpClient_(services.tcpClients.CreateClient()),
      ComPort1(*port_),
      TCP1(*tcpClient_),
      Line(ComPort1, services.serialPorts, Receive, services.delay, Log),
      Modem1(ComPort1, services.loop),
      Lights(Model, services.loop),
      Tcp(TCP1, Site, Model, Log),
      Link({Site, Flags, Session, Model, services.delay, ComPort1, Line, Modem1, Lights, Tcp, TCP1,
            Log}),
      Transactions({Site, Flags, Receive, ComPort1, Line, Tcp, Lights, services.delay, Model, Log}),
      SiteCmds({Site, Flags, Session, Transactions, Link, services.clock, Log}),
      Poller({Site, Flags, Session, Points, Line, Transactions, Tcp, services.delay, Log}),
      Scanner({Site, Flags, Session, Points, Line, Transactions, Tcp, services.delay, Log}),
      Direct(Transactions, Site, services.delay),
      DataCmds({Site, Flags, Session, Points, Line, Transactions, Tcp, services.delay, Log}),
      Tools(Model, TCP1, Tcp) {
  Line.ApplyDefaults();
  Line.SetDialer(&Modem1);
  TCP1.SetRemotePort(TcpLink::kModbusPort);
  WirePortEvents();
}

void TModBusForm::WirePortEvents() {
  ComPort1.OnAvailable = [this](uint16_t count) { Line.ComPort1TriggerAvail(count); };
  ComPort1.OnTrigger = [this](uint16_t handle) { Line.ComPort1TriggerData(handle); };
  ComPort1.OnFailure = [this](const std::string& reason) { Link.PortFailed(reason); };
  ComPort1.OnTraffic = [this](bool rx, bool tx) { Lights.Traffic(rx, tx); };
  ComPort1.OnLinesChanged = [this](const SerialLineState& lines) { Lights.Lines(lines); };
  TCP1.OnConnected = [this](int, const std::string& text) { Tcp.TCP1Connected(text); };
  TCP1.OnDisconnected = [this](int, const std::string& text) { Tcp.TCP1Disconnected(text); };
  TCP1.OnError = [this](int, const std::string& text) { Tcp.TCP1Error(text); };
  TCP1.OnReadyToSend = [this] {
    Tcp.TCP1ReadyToSend();
    Scanner.LinkReady();
    Direct.LinkEvent();
  };
  TCP1.OnDataIn = [this](const std::string& bytes) { Tcp.TCP1DataIn(bytes); };
  Line.OnReceived = [this] {
    Scanner.BytesArrived();
    Direct.LinkEvent();
  };
  Tcp.OnReply = [this] {
    Scanner.ReplyArrived();
    Direct.LinkEvent();
  };
  // The scan lets queued line work go first, between two of its exchanges.
  Scanner.YieldLine = [this] {
    if (lineWork_.empty()) return false;
    services_.loop.Post([this, alive = alive_] {
      if (*alive) StartLineWork();
    });
    return true;
  };
}

TModBusForm::~TModBusForm() {
  *alive_ = false;
  // A step suspended in a wait is dropped first, while the parts it refers to still exist.
  work_.Reset();
  Poller.SetIdle();
  lineWork_.clear();
  try {
    Link.ClosePort();
  } catch (const std::exception& e) {
    Log.Warning(std::string("closing the port: ") + e.what());
  }
  // No event may reach the parts being destroyed.
  ComPort1.OnAvailable = nullptr;
  ComPort1.OnTrigger = nullptr;
  ComPort1.OnFailure = nullptr;
  ComPort1.OnTraffic = nullptr;
  ComPort1.OnLinesChanged = nullptr;
  TCP1.OnConnected = TCP1.OnDisconnected = TCP1.OnError = nullptr;
  TCP1.OnReadyToSend = nullptr;
  TCP1.OnDataIn = nullptr;
  Line.OnReceived = nullptr;
  Tcp.OnReply = nullptr;
  Scanner.Stop();
  TCP1.SetConnected(false);
  services_.owner.RemoveEngine(this);
  // Clients still attached (a window closed by its user) must never reach this engine again.
  auto clients = Session.TakeClients();
  for (auto& [description, client] : clients) client->EngineDestroyed(this);
}

void TModBusForm::AssignSite(const TSite& site) {
  Site.AssignFrom(&site);
  Log.SetPrefix("Site \"" + LoggedText(Site.Description) + "\": ");
  Log.SetSite(this, Site.Description);
  Link.AssignSite();
  Link.UpdateCaption();
}

void TModBusForm::AttachClient(EngineClient* client, const std::string& description) {
  Session.AttachClient(client, description);
}

void TModBusForm::DetachClient(const EngineClient* client) {
  if (Session.DetachClient(client, commandRunning_)) services_.owner.ReleaseEngine(this);
}

bool TModBusForm::SendPointsListNow(EngineClient* client, const Variant& params) {
  return Points.SendPointsListNow(client, params);
}

void TModBusForm::BlockChkClick(bool checked) {
  if (checked)
    Session.BlockSite();
  else
    Session.UnblockSite();
}

void TModBusForm::RefreshTimePanel() {
  if (!Session.TickClock()) return;
  const double now = services_.clock.LocalNow();
  // Written over the old text, whose buffer it reuses: every site does this once a second.
  std::string& panel = Model.TimePnl;
  if (Session.LoggedOn()) {
    panel.assign("Site Time: ");
    panel += FormatTime12WithSeconds(now - Session.SiteClockOffset());
  } else {
    panel.assign("Local Time: ");
    panel += FormatTime12WithSeconds(now);
  }
  Model.Changed();
}

void TModBusForm::ProcessTick() {
  // An engine's steps never overlap: while one waits (or the poll resets the line), this engine
  // sits out its ticks.
  if (work_.Suspended() || Poller.ResettingLine()) return;
  work_.Reset();
  ActiveScope active(activeDepth_);
  Link.WatchPort();
  RefreshTimePanel();
  Session.TickResultHold();
  Session.TickLockExpiry();
  Session.TickWaiters();
  const uint32_t code = Session.CommandCode();
  // Line work queued behind the exchange or command that held the line goes before the next.
  if (StartLineWork()) return;
  // A command that uses the line waits for the scan's exchange on it to end (the scan stops
  // there); the ticks meanwhile only count.
  if (CommandUsesLine(code) && Scanner.InFlight()) return;
  if (CommandUsesLine(code)) {
    StartWork(RunWaitingCommand(code));
    return;
  }
  RunCommand(code);
  PollStep();
}

void TModBusForm::StartWork(Task<void> work) {
  work_ = std::move(work);
  work_.Start();
  if (work_.Done()) work_.Reset();
}

void TModBusForm::RunOnLine(Task<void> work) {
  lineWork_.push_back(std::move(work));
  if (activeDepth_ == 0) StartLineWork();
}

bool TModBusForm::LineFree() const {
  if (work_.Suspended() || lineWorkRunning_ || Scanner.InFlight()) return false;
  if (CommandUsesLine(Session.CommandCode())) return false;
  switch (Poller.PollState()) {
    case BackgroundPoller::kAwaitReply:
    case BackgroundPoller::kCheckReply:
    case BackgroundPoller::kAwaitFirstByte:
    case BackgroundPoller::kAwaitSilence:
      return false;
    default:
      return true;
  }
}

bool TModBusForm::StartLineWork() {
  if (lineWork_.empty() || !LineFree()) return false;
  StartWork(DrainLineWork());
  return true;
}

Task<void> TModBusForm::DrainLineWork() {
  lineWorkRunning_ = true;
  while (!lineWork_.empty()) {
    Task<void> work = std::move(lineWork_.front());
    lineWork_.pop_front();
    try {
      co_await work;
    } catch (const std::exception& e) {
      Log.Debug(std::string("line work failed: ") + e.what());
    }
  }
  lineWorkRunning_ = false;
}

void TModBusForm::PollStep() {
  // The fast scan minds the commands that use the line, and the lock, itself.
  if (Site.FastScan) {
    Scanner.Tick();
    return;
  }
  // Polling takes the tick only when no command is pending and the site is not locked (the
  // window block locks it too).
  if (Session.CommandCode() != kNoCommand || Session.Locked()) {
    Poller.SetIdle();
    return;
  }
  Poller.Step();
}

Task<void> TModBusForm::RunWaitingCommand(uint32_t code) {
  commandRunning_ = true;
  // Nobody is there to catch what a step raises once it has waited: it is logged here, as the
  // main window logs a tick that fails, and the step ends.
  std::string failure;
  try {
    // A modem site whose call was lost dials again for a command that needs the device.
    const bool needsDevice = code == kGetData || code == kPointModify || code == kPointGetValue;
    if (needsDevice && Link.CallLost()) co_await Link.Redial();
    switch (code) {
      case kDialStep:
        co_await Link.DialStep();
        break;
      case kDisconnectStep:
        co_await Link.DisconnectStep();
        break;
      case kConnectStep:
        co_await Link.ConnectStep();
        break;
      case kGetData:
        co_await SiteCmds.GetData();
        break;
      case kPointModify:
        co_await DataCmds.PointModify();
        break;
      case kPointGetValue:
        co_await DataCmds.PointGetValue();
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown error";
  }
  commandRunning_ = false;
  // The rest of the tick: the poll step, when the command has left the site to polling.
  if (failure.empty()) {
    try {
      PollStep();
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
  if (!failure.empty()) Log.Debug("tick failed: " + failure);
}

void TModBusForm::RunCommand(uint32_t code) {
  if (code == kNoCommand) return;
  commandRunning_ = true;
  try {
    switch (code) {
      case kSiteTime:
        SiteCmds.SiteTime();
        break;
      case kSiteStatus:
        SiteCmds.SiteStatus();
        break;
      case kPointVerify:
        Points.PointVerify(HostAddresses(Site, Flags), Site.TypedDecode,
                           SlaveAddressed(Site, Flags));
        break;
      case kSendData:
        DataCmds.NotSupported();
        break;
      case kSendPointsList:
        Points.SendPointsList();
        break;
      case kGetPointsList:
        Points.GetPointsList();
        break;
      case kPointGetDisabled:
        DataCmds.NotSupported();
        break;
      case kGetAlarms:
        DataCmds.GetAlarms();
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

}  // namespace qmb
