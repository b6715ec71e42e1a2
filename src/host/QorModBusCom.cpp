#include "host/QorModBusCom.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>

#include "host/OpenSettings.h"
#include "platform/Log.h"
#include "platform/ParamList.h"
#include "platform/TextHelpers.h"

namespace qmb {

namespace {

constexpr const char* kWaiting = "Waiting for driver...";
constexpr const char* kLocked = "LOCKED";

std::string ErrorElement(const std::string& errorText) {
  return errorText.empty() ? std::string() : MakeParam("COMMANDERROR", errorText);
}

std::string LockMessageElement(const CommandSession& session) {
  return session.LockComment().empty() ? std::string("locked to one computer")
                                       : MakeParam("COMMANDERROR", session.LockComment());
}

// "COMMANDSTATUS=TRUE", the command, the error element, then the result data from index 3 on.
Variant ResultReply(const std::string& command, const std::string& errorText,
                    const Variant& result) {
  const int32_t upper = result.IsArray() ? result.AsArray().UpperBound() : 0;
  SafeArray reply(ElementType::Variant, 0, upper + 3);
  reply.Put(0, Variant(MakeParam("COMMANDSTATUS", "TRUE")));
  reply.Put(1, Variant(MakeParam("COMMAND", command)));
  reply.Put(2, Variant(ErrorElement(errorText)));
  if (result.IsArray()) {
    const SafeArray& data = result.AsArray();
    for (int32_t i = data.LowerBound(); i <= data.UpperBound(); ++i) {
      // Data with a negative lower bound would land on the status elements: keep those intact.
      if (i + 3 < 3) continue;
      reply.Put(i + 3, data.Get(i));
    }
  }
  return Variant(std::move(reply));
}

Variant ImmediateReply(bool ok) {
  SafeArray reply(ElementType::Text, 0, 2);
  reply.Put(0, Variant(MakeParam("COMMANDSTATUS", ok ? "TRUE" : "FALSE")));
  return Variant(std::move(reply));
}

}  // namespace

size_t ClientSites::ObjectsOn(const TModBusForm* engine) const {
  const auto entry = engines_.find(engine);
  return entry == engines_.end() ? 0 : entry->second;
}

void ClientSites::Remove(const TModBusForm* engine) {
  const auto entry = engines_.find(engine);
  if (entry != engines_.end() && --entry->second == 0) engines_.erase(entry);
}

uint32_t CommandCodeOf(const std::string& command) {
  static const std::pair<const char*, uint32_t> kTable[] = {
      {"SITETIME", kSiteTime},
      {"SITESTATUS", kSiteStatus},
      {"POINTVERIFY", kPointVerify},
      {"GETDATA", kGetData},
      {"SENDDATA", kSendData},
      {"SENDPOINTSLIST", kSendPointsList},
      {"GETPOINTSLIST", kGetPointsList},
      {"POINTMODIFY", kPointModify},
      {"POINTGETDISABLED", kPointGetDisabled},
      {"POINTGETVALUE", kPointGetValue},
      {"GETALARMS", kGetAlarms},
  };
  for (const auto& [keyword, code] : kTable)
    if (command == keyword) return code;
  return kNoCommand;
}

Variant StatusReply(const std::string& status, const std::string& element1) {
  SafeArray reply(ElementType::Text, 0, 1);
  reply.Put(0, Variant(MakeParam("COMMANDSTATUS", status)));
  reply.Put(1, Variant(element1));
  return Variant(std::move(reply));
}

Variant FailureReply() {
  SafeArray reply(ElementType::Text, 0, 2);
  reply.Put(0, Variant(MakeParam("COMMANDSTATUS", "FALSE")));
  return Variant(std::move(reply));
}

TQorModBusCom::TQorModBusCom(TMainForm& mainForm) : mainForm_(mainForm) {}

TQorModBusCom::~TQorModBusCom() {
  try {
    LeaveEngine();
  } catch (const std::exception& e) {
    LogWarning(std::string("Releasing a driver object: ") + e.what());
  }
}

void TQorModBusCom::LeaveEngine() {
  if (!Engine) return;
  TModBusForm* engine = Engine;
  Engine = nullptr;
  if (sites_) sites_->Remove(engine);
  if (Site.IsRemoteClient) engine->Session.RemoveRemoteClient();
  engine->DetachClient(this);
}

void TQorModBusCom::EngineDestroyed(TModBusForm* engine) {
  if (Engine != engine) return;
  Engine = nullptr;
  if (sites_) sites_->Remove(engine);
}

bool TQorModBusCom::Refuse(const std::string& reason) {
  refusal_ = reason;
  LogWarning(reason);
  return false;
}

bool TQorModBusCom::SetDriverOption(Variant params) {
  try {
    std::string debugMode;
    if (GetParamStr(params, "DEBUGMODE", debugMode)) {
      if (!Engine) return false;
      if (Engine->Model.BlockChk) return true;
      const std::string mode = UpperCase(debugMode);
      if (mode == "TRUE")
        mainForm_.SetVisible(true);
      else if (mode == "FALSE")
        mainForm_.SetVisible(false);
      else if (mode == "TOGGLE")
        mainForm_.SetVisible(!mainForm_.Visible());
      if (mainForm_.Visible()) mainForm_.RestoreAndBringToFront();
      return true;
    }
    double version = 0.0;
    if (GetParamFloat(params, "VERSIONCHECK", version)) {
      if (std::fabs(version - kInterfaceVersion) < 0.009) {
        VersionAccepted = true;
        return true;
      }
      LogInfo("Version check " + std::to_string(version) + " refused");
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    LogWarning(std::string("SetDriverOption: ") + e.what());
    return false;
  }
}

bool TQorModBusCom::OpenSite(Variant params, const std::vector<int32_t>& unrepresentable) {
  if (!VersionAccepted) return false;
  try {
    std::string text;
    int32_t number = 0;
    bool flag = false;
    refusal_.clear();
    openNotice_.clear();

    std::string description;
    GetParamStr(params, "DESCRIPTION", description);
    if (!unrepresentable.empty()) {
      const int32_t at = ParamIndex(params, "DESCRIPTION");
      if (at >= 0 &&
          std::find(unrepresentable.begin(), unrepresentable.end(), at) != unrepresentable.end())
        return Refuse("OpenSite \"" + LoggedText(description) +
                      "\" refused: the description has characters above U+00FF, which site "
                      "descriptions cannot hold (each reads as \"?\", so different sites would "
                      "share one engine)");
    }
    if (sites_) {
      // A site the client already holds is always opened again; a new one needs room, which an
      // object moving off the client's last hold on its old site makes.
      const TModBusForm* wanted = mainForm_.FindEngine(description);
      size_t held = sites_->Count();
      if (Engine && Engine != wanted && sites_->ObjectsOn(Engine) == 1) --held;
      if (sites_->ObjectsOn(wanted) == 0 && held >= ClientSites::kMaxSitesPerClient)
        return Refuse("OpenSite \"" + LoggedText(description) + "\" refused: this bus " +
                      "client holds " + std::to_string(held) + " sites open, the most one " +
                      "client may hold; close one first");
    }
    Site.Description = std::move(description);
    GetParamBool(params, "BP3", Site.UseTCP);
    GetParamBool(params, "OFFLINE", Site.OfflineMode);
    GetParamInt(params, "COMPORT", Site.Comport);
    if (Site.UseTCP && Site.Comport == 0) Site.OfflineMode = false;
    GetParamStr(params, "CONNECTIONTYPE", text);
    Site.DirectConnect = text != "MODEM";
    if (!GetParamInt(params, "BAUDRATE", Site.BaudRate)) Site.BaudRate = 38400;
    GetParamStr(params, "PHONENUMBER", Site.PhoneNumber);
    GetParamStr(params, "SP1", Site.ConnectString);
    GetParamStr(params, "SP2", Site.DisconnectString);
    GetParamStr(params, "SP5", Site.ModemInit);
    GetParamStr(params, "DEVICETYPE", Site.DeviceType);
    GetParamInt(params, "PANELTYPE", number);
    // A panel type without a table entry is refused outright: attaching it to some engine, or
    // keeping an index no table knows, would only hide the host's mistake.
    if (number < 0 || number >= kPanelTypeCount) {
      LogWarning("OpenSite \"" + LoggedText(Site.Description) + "\": PANELTYPE " +
                 std::to_string(number) + " is not a known panel type (0 to 3)");
      return false;
    }
    Site.PanelTypeIndex = number;
    Site.PanelType = PanelTypeNames()[static_cast<size_t>(number)];
    Site.PanelTypeID = PanelTypeIDs()[static_cast<size_t>(number)];
    if (!GetParamInt(params, "SERVERINDEX", Site.ServerIndex))
      Site.ServerIndex = mainForm_.FreeServerIndex();
    if (!GetParamInt(params, "IP1", Site.StopBits) || Site.StopBits < 1 || Site.StopBits > 2)
      Site.StopBits = 2;
    if (!GetParamInt(params, "IP2", Site.Parity) || Site.Parity < 0 || Site.Parity > 2)
      Site.Parity = 0;
    GetParamBool(params, "BP1", Site.Use485);
    GetParamBool(params, "BP2", Site.UseRTU);
    GetParamStr(params, "SP3", Site.IPAddress);
    // The Modbus/TCP keys that pick one of two words, in any case (the default first); any other
    // value refuses the open.
    const auto choose = [&](const char* key, const char* byDefault, const char* other,
                            const char* meaning, bool& chosen) {
      std::string value;
      GetParamStr(params, key, value);
      value = UpperCase(value);
      chosen = value == other;
      if (value.empty() || value == byDefault || chosen) return true;
      return Refuse("OpenSite \"" + LoggedText(Site.Description) + "\" refused: " + key + " \"" +
                    LoggedText(value) + "\" is no " + meaning);
    };
    if (!choose("TCPFRAMING", "TCP", "RTU",
                "framing (TCP, the default, or RTU for RTU frames over the connection)",
                Site.RTUOverTCP) ||
        !choose("TCPUNIT", "FF", "POINT",
                "unit choice (FF, the default, or POINT for the point's slave prefix)",
                Site.UnitFromPoint))
      return false;
    text.clear();
    GetParamStr(params, "POLLMODE", text);
    text = UpperCase(text);
    if (!text.empty() && text != "FAST" && text != "TICK")
      return Refuse("OpenSite \"" + LoggedText(Site.Description) + "\" refused: POLLMODE \"" +
                    LoggedText(text) + "\" is no poll mode (TICK, the default, or FAST)");
    Site.FastScan = text == "FAST";
    text.clear();
    GetParamStr(params, "DECODE", text);
    text = UpperCase(text);
    if (!text.empty() && text != "TYPED")
      return Refuse("OpenSite \"" + LoggedText(Site.Description) + "\" refused: DECODE \"" +
                    LoggedText(text) +
                    "\" is no decoding (TYPED, or no key for one register "
                    "a point)");
    Site.TypedDecode = text == "TYPED";
    text.clear();
    GetParamStr(params, "WRITEFUNCTION", text);
    if (!text.empty() && text != "16" && text != "6" && text != "06")
      return Refuse("OpenSite \"" + LoggedText(Site.Description) + "\" refused: WRITEFUNCTION \"" +
                    LoggedText(text) +
                    "\" is no write function (16 for devices without 05 and 06, or 6)");
    Site.WriteMultiple = text == "16";
    if (const std::string refusal = ReadTimingKeys(params, Site); !refusal.empty())
      return Refuse("OpenSite \"" + LoggedText(Site.Description) + "\" refused: " + refusal);
    GetParamBool(params, "LOCALCLIENT", flag);
    if (!flag) Site.IsRemoteClient = true;

    // The site opens with the design's defaults for what it cannot read, but the operator hears
    // of each replaced key, once per open.
    openNotice_ = DescribeReplacedSettings(ReplacedSettings(params));
    if (!openNotice_.empty())
      LogWarning("OpenSite \"" + LoggedText(Site.Description) + "\": " + openNotice_);
    if (const TModBusForm* joined = JoinAsIs ? nullptr : mainForm_.FindEngine(Site.Description)) {
      const std::string differences = LinkDifferences(Site, joined->Site);
      if (!differences.empty()) {
        const std::string notice =
            "the site is open already and keeps its own link; this open's keys differ: " +
            differences;
        LogWarning("OpenSite \"" + LoggedText(Site.Description) + "\": " + notice);
        openNotice_ += (openNotice_.empty() ? "" : "; ") + notice;
      }
    }

    TModBusForm* engine = mainForm_.FindOrCreateEngine(Site);
    // A client moving to another site (or to none) leaves its old engine first, so no engine
    // keeps a client that no longer knows it.
    if (Engine && Engine != engine) LeaveEngine();
    if (engine && engine != Engine && sites_) sites_->Add(engine);
    Engine = engine;
    if (!Engine) return false;
    Engine->AttachClient(this, Site.Description);
    return Engine->OpenConnection(this);
  } catch (const std::exception& e) {
    LogWarning(std::string("OpenSite: ") + e.what());
    return false;
  }
}

bool TQorModBusCom::CloseSite(Variant /*params*/) {
  if (!Engine) return true;
  try {
    return Engine->CloseConnection(this);
  } catch (const std::exception& e) {
    LogWarning(std::string("CloseSite: ") + e.what());
    return false;
  }
}

Variant TQorModBusCom::Wait(uint32_t code) {
  // A command this host wants to start keeps its place in the line; a status poll takes none.
  if (code != kNoCommand) Engine->Session.QueueWaiter(this);
  return StatusReply(kWaiting);
}

std::optional<Variant> TQorModBusCom::CollectAsideAnswer(const std::string& command) {
  using Aside = CommandSession::AsideAnswer;
  CommandSession& session = Engine->Session;
  const Aside aside = session.AsideAnswerFor(this);
  if (aside == Aside::kNone) return std::nullopt;
  if (aside == Aside::kDone) {
    session.ClearAsideAnswer(this);
    // A host that moves on without collecting its open or close just goes on.
    if (command != "COMMANDSTATUS") return std::nullopt;
    return ResultReply(command, {}, Variant(std::string()));
  }
  // This client's own result is collected before its open or close tries again; trying again
  // answers aside once more while the session is still occupied.
  const int32_t state = session.CommandState();
  if (session.CommandOwner() == this && (state == kStateDone || state == kStateFailed))
    return std::nullopt;
  session.ClearAsideAnswer(this);
  if (aside == Aside::kOpenLater)
    Engine->OpenConnection(this);
  else
    Engine->CloseConnection(this);
  return std::nullopt;
}

Variant TQorModBusCom::ExecuteCommand(Variant params) {
  try {
    if (!Engine) return FailureReply();
    const CommandSession& session = Engine->Session;
    std::string command;
    GetParamStr(params, "COMMAND", command);
    if (std::optional<Variant> answer = CollectAsideAnswer(command)) return std::move(*answer);

    if (session.Locked() && session.LockOwner() != this)
      return StatusReply(kLocked, LockMessageElement(session));
    const uint32_t code = CommandCodeOf(command);
    if (session.CommandOwner() != nullptr && session.CommandOwner() != this) {
      if (session.Locked()) return StatusReply(kLocked, LockMessageElement(session));
      return Wait(code);
    }

    const int32_t status = Engine->CommandStatus(this);

    if (session.CommandOwner() == this) {
      if (command != "COMMANDSTATUS") return StatusReply(kWaiting);
      switch (status) {
        case kStateOtherClient:
          return StatusReply(kWaiting);
        case kStateIdle:
        case kStateWorking:
          return StatusReply(session.StatusText());
        case kStateDone: {
          Variant reply = session.CommandResult().IsByteType()
                              ? session.CommandResult()
                              : ResultReply(command, session.ErrorText(), session.CommandResult());
          Engine->ReleaseCommand(this);
          return reply;
        }
        default: {
          Variant reply = StatusReply("FALSE", ErrorElement(session.ErrorText()));
          Engine->ReleaseCommand(this);
          return reply;
        }
      }
    }

    if (session.Locked() && session.LockOwner() != this)
      return StatusReply(kLocked, LockMessageElement(session));
    if (session.Busy()) return Wait(code);
    // A command name the driver does not know (or none) answers for itself, never with the error
    // text another client's command left in the session.
    if (code == kNoCommand && command != "COMMANDSTATUS")
      return StatusReply("FALSE", ErrorElement(CommandSession::kNotSupported));
    if (code != kNoCommand && !session.MayStart(this)) return Wait(code);
    if (code != kNoCommand) refusal_.clear();  // the command starts: no refusal is its reason
    if (code != kNoCommand && Engine->AcceptCommand(this, code, params))
      return StatusReply(session.StatusText());
    return StatusReply("FALSE", ErrorElement(session.ErrorText()));
  } catch (const std::exception& e) {
    LogWarning(std::string("ExecuteCommand: ") + e.what());
    return FailureReply();
  }
}

std::string TQorModBusCom::LastErrorDetail() const {
  if (!refusal_.empty()) return refusal_;
  // A failure's cause first; what the open replaced may be behind it (COMPORT=abc: no port).
  const std::string cause = Engine ? Engine->Log.CurrentCause() : std::string();
  if (cause.empty() || openNotice_.empty()) return cause + openNotice_;
  return cause + " (open settings: " + openNotice_ + ")";
}

Variant TQorModBusCom::ExecuteImmediate(Variant params) {
  try {
    std::string command;
    GetParamStr(params, "COMMAND", command);
    if (command == "SENDPOINTSLIST" && Engine)
      return ImmediateReply(Engine->SendPointsListNow(this, params));
  } catch (const std::exception& e) {
    LogWarning(std::string("ExecuteImmediate: ") + e.what());
  }
  return ImmediateReply(false);
}

}  // namespace qmb
