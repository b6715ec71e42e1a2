#include "engine/SerialTransport.h"

#include <algorithm>
#include <exception>

namespace qmb {

namespace {

// Delay ticks as whole seconds, for the log.
std::string Seconds(int32_t ticks) {
  return std::to_string((ticks + 5) / 10) + " s";
}

}  // namespace

SerialTransport::SerialTransport(Common common, Line line)
    : SiteTransport(common),
      delay_(line.delay),
      port_(line.port),
      line_(line.line),
      modem_(line.modem),
      lights_(line.lights),
      lastTick_(line.delay.DelayTicks) {
  modem_.OnStatus = [this](int status) { ModemStatus(status); };
}

void SerialTransport::Open() {
  const bool linkStepPending = LinkStepPending();
  if (port_.IsOpen()) {
    if (flags_.Connected || linkStepPending) {
      // Another client brought the line up (or is bringing it up): share it.
      session_.Settle(kStateDone);
      return;
    }
    // A port left open by a dial or connect that failed is no working link: start afresh
    // rather than report success over a dead line.
    port_.Close();
  }

  session_.ResetStatus();
  session_.SetState(kStateWorking);
  session_.SetStatusText("Connecting...");
  bool started = false;
  if (site_.DirectConnect)
    started = ConnectDirect();
  else if (site_.Comport != 0)
    started = ConnectModem();
  else
    started = ConnectTapi();
  if (started) {
    try {
      port_.SetAvailableThreshold(1);
      lights_.SetMonitoring(true);
    } catch (const std::exception& e) {
      log_.Debug(std::string("port monitoring: ") + e.what());
    }
  }
  ShowCaption();
}

bool SerialTransport::OpenAside() {
  return port_.IsOpen() && (flags_.Connected || LinkStepPending());
}

bool SerialTransport::ConnectDirect() {
  try {
    std::string reason;
    if (!line_.PortAvailable(site_.Comport, &reason)) {
      FailStart("Specified comport is not available or already in use.", reason);
      return false;
    }
    line_.OpenDirect(site_, SiteFramingEntry());
    ShowPort();
    session_.SetCommand(kConnectStep);
    return true;
  } catch (const std::exception& e) {
    FailStart(e.what());
    return false;
  }
}

bool SerialTransport::ConnectModem() {
  if (site_.PhoneNumber.empty()) {
    FailStart("Phone number required for modem connection.");
    return false;
  }
  try {
    line_.OpenForModem(site_, SiteFramingEntry());
    ShowPort();
    session_.SetCommand(kDialStep);
    return true;
  } catch (const std::exception& e) {
    FailStart(e.what());
    return false;
  }
}

bool SerialTransport::ConnectTapi() {
  session_.Settle(kStateFailed);
  session_.SetErrorText("TAPI Not currently Supported");
  return false;
}

std::string SerialTransport::ModemInitText() const {
  return (site_.ModemInit.empty() ? std::string(kDefaultModemInit) : site_.ModemInit) + "\r";
}

Task<void> SerialTransport::InitModem() {
  co_await line_.SendPaced(ModemInitText());
  co_await delay_.Delay(kModemInitPause);
  flags_.Connected = false;
  flags_.Dialling = true;
  modem_.Dial();
}

Task<void> SerialTransport::SendBetweenPauses(const std::string& text, bool paced) {
  if (text.empty()) co_return;
  co_await delay_.Delay(kStringPause);
  if (paced)
    co_await line_.SendPaced(text);
  else
    co_await line_.SendEscaped(text);
  co_await delay_.Delay(kStringPause);
}

Task<void> SerialTransport::SendConnectStringAndLogOn() {
  // A connect string the line cannot take (a far end that never reads) fails the connection
  // instead of running the step again on every tick.
  std::string error;
  try {
    co_await SendBetweenPauses(site_.ConnectString, false);
  } catch (const SerialError& e) {
    error = e.what();
  }
  if (!error.empty()) {
    log_.Warning("connect string not sent: " + error);
    session_.FailCommand(error);
    co_return;
  }
  session_.LogOn();
  session_.EndCommand(kStateDone);
}

Task<void> SerialTransport::ConnectStep() {
  co_await SendConnectStringAndLogOn();
}

Task<void> SerialTransport::DialStep() {
  try {
    switch (session_.StepCounter()) {
      case kStartDial:
        session_.SetStatusText("Initializing Modem...");
        modem_.InitCommand = ModemInitText();
        modem_.PhoneNumber = site_.PhoneNumber;
        modem_.ShowStatusWindow = false;
        co_await InitModem();
        session_.GoToStep(kAwaitDialResult);
        break;
      case kAwaitDialResult:
        if (!flags_.Dialling) {
          if (flags_.Connected) CallUp();
          session_.GoToStep(flags_.Connected ? kDialConnected : kFailedDialStep);
        }
        break;
      case kDialConnected:
        co_await SendConnectStringAndLogOn();
        break;
      case kFailedDialStep:
        session_.FailCommand("Could not connect with remote modem.");
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    log_.Warning(std::string("dial step failed: ") + e.what());
    modem_.Cancel();
    flags_.Dialling = false;
    session_.GoToStep(kFailedDialStep);
  }
}

void SerialTransport::ModemStatus(int status) {
  switch (status) {
    case HayesDialer::kInitializing:
      session_.SetStatusText("Initializing Modem...");
      break;
    case HayesDialer::kDialing:
      session_.SetStatusText("Dialing: " + site_.PhoneNumber);
      break;
    case HayesDialer::kConnected:
      flags_.Connected = true;
      flags_.Dialling = false;
      break;
    case HayesDialer::kNoDialTone:
    case HayesDialer::kDialFailed:
      flags_.Connected = false;
      flags_.Dialling = false;
      break;
    default:
      break;
  }
}

Task<void> SerialTransport::DisconnectStep() {
  // Hanging up is no lost call.
  line_.WatchCarrier(false);
  carrierSeen_ = false;
  callLost_ = false;
  if (flags_.Connected) {
    // Strings the line cannot take end the disconnect as failed rather than retrying for ever.
    std::string error;
    try {
      co_await SendBetweenPauses(site_.PreLogoffString, true);
      session_.LogOff();
      co_await SendBetweenPauses(site_.DisconnectString, false);
    } catch (const SerialError& e) {
      error = e.what();
    }
    if (!error.empty()) {
      session_.LogOff();
      session_.FailCommand(error);
      co_return;
    }
    if (!site_.DirectConnect) {
      session_.SetStatusText("Hanging Up Modem...");
      if (!co_await line_.HangUpModem()) {
        session_.FailCommand("Could not hang up modem. Please try again or reset it.");
        co_return;
      }
    }
  }
  session_.EndCommand(kStateDone);
}

void SerialTransport::ClosePort() {
  if (!port_.IsOpen()) return;
  // A port left open by a start that failed half way is closed too, so it is not held from
  // other programs for the rest of the engine's life.
  modem_.Cancel();
  port_.Close();
  lights_.SetMonitoring(false);
}

void SerialTransport::PortFailed(const std::string& reason) {
  if (port_.IsOpen() || !PortWanted())
    log_.Warning("serial port failed: " + reason);
  else if (site_.DirectConnect)
    Announce(reason);
  else
    LoseModemCall("serial port failed: " + reason);
}

bool SerialTransport::PortWanted() const {
  return !flags_.Offline && !site_.OfflineMode && flags_.Connected;
}

bool SerialTransport::LinkStepPending() const {
  const uint32_t code = session_.CommandCode();
  return code >= kDialStep && code <= kConnectStep;
}

void SerialTransport::BeginOutage() {
  outage_ = true;
  announced_ = false;
  attempts_ = 0;
  outageTicks_ = 0;
  waitedTicks_ = 0;
  loggedError_.clear();
}

void SerialTransport::Announce(const std::string& reason) {
  if (!outage_) BeginOutage();
  flags_.PortLost = reason;
  if (announced_) return;
  announced_ = true;
  loggedError_ = reason;
  lights_.SetMonitoring(false);
  log_.Warning("serial port failed: " + reason + "; reopening it in " +
               Seconds(backoffTicks_ - waitedTicks_) + ", then at most every " +
               Seconds(kReopenMaxTicks) + ", while the site is open");
  ShowPort();
}

void SerialTransport::EndOutage(bool reopened) {
  if (reopened && announced_) {
    const std::string port = "COM" + std::to_string(site_.Comport);
    log_.Info(port + " reopened after " + Seconds(outageTicks_) + " (" + std::to_string(attempts_) +
              (attempts_ == 1 ? " attempt" : " attempts") + "); polling resumes");
    model_.AddLogLine(port + " reopened");
  }
  if (reopened) upTicks_ = 0;
  outage_ = false;
  announced_ = false;
  loggedError_.clear();
  flags_.PortLost.clear();
  ShowPort();
}

bool SerialTransport::Reopen(std::string& error) {
  try {
    line_.OpenDirect(site_, SiteFramingEntry());
    port_.SetAvailableThreshold(1);
  } catch (const std::exception& e) {
    error = e.what();
    // A port that opened but refused a setting is not kept half set up.
    port_.Close();
    return false;
  }
  lights_.SetMonitoring(true);
  return true;
}

void SerialTransport::LoseModemCall(const std::string& reason) {
  // A reopened port would not bring the call back: the site is offline, and polls nothing,
  // until a host's command dials again.
  log_.Warning(reason +
               "; the modem call is lost and the site is offline until the next command, which "
               "dials again");
  flags_.Connected = false;
  callLost_ = true;
  line_.WatchCarrier(false);
  carrierSeen_ = false;
  session_.LogOff();
  ShowPort();
}

void SerialTransport::CallUp() {
  callLost_ = false;
  line_.WatchCarrier(true);
  carrierSeen_ = line_.CarrierDetect();
}

std::string SerialTransport::CarrierGone() {
  if (line_.NoCarrierHeard()) return "the modem reported NO CARRIER";
  // A line without a DCD input (or a modem told to hold it up) never shows one: only a carrier
  // seen during the call can fall.
  if (line_.CarrierDetect()) {
    carrierSeen_ = true;
    return {};
  }
  return carrierSeen_ ? "the carrier (DCD) dropped" : std::string();
}

Task<void> SerialTransport::Redial() {
  // One dial per command: a failed one leaves the call lost for the next command.
  callLost_ = false;
  const std::string status = session_.StatusText();
  log_.Info("dialling " + LoggedText(site_.PhoneNumber) + " again for a host's command");
  std::string error;
  try {
    if (!port_.IsOpen()) {
      line_.OpenForModem(site_, SiteFramingEntry());
      port_.SetAvailableThreshold(1);
      lights_.SetMonitoring(true);
      ShowPort();
    }
    modem_.InitCommand = ModemInitText();
    modem_.PhoneNumber = site_.PhoneNumber;
    modem_.ShowStatusWindow = false;
    co_await InitModem();
    while (flags_.Dialling) co_await delay_.Delay(1);
    if (flags_.Connected) {
      co_await SendBetweenPauses(site_.ConnectString, false);
      session_.LogOn();
      CallUp();
      log_.Info("the modem call is up again");
    }
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (!error.empty()) {
    modem_.Cancel();
    flags_.Dialling = false;
    flags_.Connected = false;
  }
  if (!flags_.Connected) {
    callLost_ = true;
    log_.Cause("could not dial the modem call again" + (error.empty() ? "" : ": " + error));
  }
  session_.SetStatusText(status);
  ShowPort();
}

void SerialTransport::WatchPort() {
  const int32_t elapsed = static_cast<uint16_t>(delay_.DelayTicks - lastTick_);
  lastTick_ = delay_.DelayTicks;
  if (!PortWanted()) {
    if (outage_) EndOutage(false);
    return;
  }
  // A link step (a host's new open, a close) has the port meanwhile; an outage goes on after it.
  if (LinkStepPending()) return;
  if (!site_.DirectConnect && port_.IsOpen()) {
    const std::string gone = CarrierGone();
    if (!gone.empty()) {
      LoseModemCall(gone);
      return;
    }
  }
  if (port_.IsOpen()) {
    // Reopened here, or by whatever opened it meanwhile (a link reset, a host's new open).
    if (outage_) {
      EndOutage(true);
    } else {
      upTicks_ = std::min(upTicks_ + elapsed, kReopenSettleTicks);
      if (upTicks_ >= kReopenSettleTicks) backoffTicks_ = kReopenFirstTicks;
    }
    return;
  }
  const std::string port = "COM" + std::to_string(site_.Comport);
  if (!site_.DirectConnect) {
    LoseModemCall("serial port failed: " + port + " is closed");
    return;
  }
  if (!outage_) {
    // Closed with no failure reported: a link reset closes the port for a moment, and one that
    // could not reopen it leaves it closed. The first attempt tells which, and why.
    BeginOutage();
    return;
  }
  outageTicks_ += elapsed;
  waitedTicks_ += elapsed;
  if (waitedTicks_ < backoffTicks_) return;
  waitedTicks_ = 0;
  ++attempts_;
  std::string error;
  if (Reopen(error)) {
    EndOutage(true);
    return;
  }
  backoffTicks_ = std::min(backoffTicks_ * 2, kReopenMaxTicks);
  if (!announced_) {
    Announce(error);
    return;
  }
  flags_.PortLost = error;
  if (error == loggedError_) {
    log_.Debug("reopening " + port + " failed again: " + error);
    return;
  }
  // Each new reason once; the same one again only at debug level.
  log_.Info("reopening " + port + " failed: " + error);
  loggedError_ = error;
}

void SerialTransport::ShowPort() {
  const char* protocol = SiteFramingEntry().Name;
  if (port_.IsOpen()) {
    model_.ProtocolLbl = protocol;
    model_.PortLbl = std::to_string(port_.PortNumber());
    model_.BaudLbl = std::to_string(port_.BaudRate());
    model_.StopBitsLbl = std::to_string(port_.StopBits());
    model_.ParityLbl = port_.Parity() == SerialParity::Odd    ? "Odd"
                       : port_.Parity() == SerialParity::Even ? "Even"
                                                              : "None";
  } else if (outage_) {
    // The port being reopened: the site's own settings, which it gets back.
    model_.ProtocolLbl = protocol;
    model_.PortLbl = std::to_string(site_.Comport);
    model_.BaudLbl = std::to_string(site_.BaudRate);
    model_.StopBitsLbl = std::to_string(site_.StopBits);
    model_.ParityLbl = site_.Parity == 1 ? "Odd" : site_.Parity == 2 ? "Even" : "None";
  } else {
    model_.ProtocolLbl = "ASCII";
    model_.PortLbl = "None";
    model_.BaudLbl = "0";
    model_.ParityLbl = "None";
    model_.StopBitsLbl = "2";
  }
  model_.Changed();
}

void SerialTransport::Describe(SafeArray& status) const {
  // A port being reopened shows the site's own settings below, and says so here.
  if (!flags_.PortLost.empty()) status.Put(4, Variant("Port down, reopening: " + flags_.PortLost));
  status.Put(5, Variant("Protocol: " + model_.ProtocolLbl));
  status.Put(6, Variant("Comport: " + model_.PortLbl));
  status.Put(7, Variant("Baud: " + model_.BaudLbl));
  status.Put(8, Variant("Parity: " + model_.ParityLbl));
  status.Put(9, Variant("Stop Bits: " + model_.StopBitsLbl));
}

}  // namespace qmb
