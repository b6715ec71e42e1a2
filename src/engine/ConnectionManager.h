// Brings the link to a site up and down: offline, Modbus/TCP, direct serial line or modem. The
// slow parts run as link commands (codes 1 to 3) that the process tick advances one step at a
// time, so hosts can poll their progress texts.
#pragma once

#include <cstdint>
#include <string>

#include "engine/CommandSession.h"
#include "engine/LinkFlags.h"
#include "links/HayesDialer.h"
#include "links/SerialLine.h"
#include "links/StatusLights.h"
#include "links/TcpLink.h"
#include "model/SiteWindowModel.h"
#include "model/TypeSite.h"
#include "platform/DelayClock.h"
#include "platform/Log.h"
#include "platform/SerialPort.h"
#include "platform/Task.h"

namespace qmb {

class ConnectionManager {
 public:
  struct Parts {
    TSite& site;
    LinkFlags& flags;
    CommandSession& session;
    SiteWindowModel& model;
    DelayClock& delay;
    SerialPort& port;
    SerialLine& line;
    HayesDialer& modem;
    StatusLights& lights;
    TcpLink& tcp;
    const Logger& log;
  };
  explicit ConnectionManager(Parts parts);

  static constexpr const char* kDefaultModemInit = "ATV1Q0&C1&D2";
  // The steps of a dial, kept in the session's step counter.
  enum DialStage : int32_t {
    kStartDial = 0,        // initialise the modem and dial
    kAwaitDialResult = 1,  // until the dialer reports connected or failed
    kDialConnected = 2,    // connect string, log on
    kFailedDialStep = 999,
  };
  // Delay periods around each command string, and after the modem's initialisation string.
  static constexpr int kStringPause = 5;
  static constexpr int kModemInitPause = 15;

  // Takes the site's TCP mode, and the framing its TCP stream carries; the engine has already
  // copied the site record.
  void AssignSite();

  bool OpenConnection(const EngineClient* client);
  bool CloseConnection(const EngineClient* client);
  bool IsConnected() const { return flags_.Connected && !site_.OfflineMode; }

  bool ConnectDirect();
  bool ConnectModem();
  bool ConnectTapi();
  Task<void> InitModem();

  // Link commands; each call is the work of one process tick.
  Task<void> ConnectStep();
  Task<void> DialStep();
  Task<void> DisconnectStep();

  void Modem1ConnectionStatus(int status);
  // Closes the line at once: it runs inside host calls and while the engine is destroyed, where
  // nothing may wait.
  void ClosePort();

  void UpdateCaption();
  void UpdatePortLabels();

  // A serial port that failed while open (device unplugged, far end gone).
  void PortFailed(const std::string& reason);

  // A modem site whose call was lost (the carrier dropped, the port failed) is offline: nothing
  // is polled. The next host command that needs the device dials again first, once; a dial that
  // fails leaves the call lost, and that command fails in its own words.
  bool CallLost() const { return callLost_; }
  Task<void> Redial();

  // Called every process tick. The port of an open direct site that failed, or that is found
  // closed (a link reset could not reopen it), is reopened with the site's settings: after
  // kReopenFirstTicks, then after twice the last wait, up to kReopenMaxTicks, for as long as
  // the site stays open. A modem site's call is gone with its port: the site goes offline.
  void WatchPort();
  bool PortDown() const { return outage_; }
  static constexpr int32_t kReopenFirstTicks = 10;
  static constexpr int32_t kReopenMaxTicks = 300;
  // The waits start again from the first once a reopened port has stayed up this long; until
  // then a port that fails again goes on with the longer wait, so a device that opens and fails
  // at once is not reopened (and logged) every second.
  static constexpr int32_t kReopenSettleTicks = 300;

 private:
  // The site is open on a serial line, whose port should be open.
  bool PortWanted() const;
  bool LinkStepPending() const;
  // One attempt with the site's settings; the port's own text in error when it fails.
  bool Reopen(std::string& error);
  void BeginOutage();
  // The port is down, for this reason: said once (log, status, failed sends).
  void Announce(const std::string& reason);
  void EndOutage(bool reopened);
  void LoseModemCall(const std::string& reason);
  // The modem call is up: watch it for the carrier going.
  void CallUp();
  // The carrier of a call that is up has gone (the modem said NO CARRIER, or DCD, once seen,
  // fell); the reason, or empty.
  std::string CarrierGone();
  std::string ModemInitText() const;
  Task<void> SendConnectStringAndLogOn();
  // A command string between two pauses, so the device takes it as a unit; nothing when empty.
  Task<void> SendBetweenPauses(const std::string& text, bool paced);
  // Fails the open with the text hosts are shown; the log names the cause (the text itself when
  // there is nothing more to say).
  void FailStart(const std::string& error, const std::string& cause = {});
  // For an open that finds the session occupied: true when the link is (or is coming) up and
  // is shared now, false when the open has to wait for the session.
  bool OpenAside();
  // Whether the site's Modbus/TCP address can be connected to at all (a port from 1 to 65535,
  // balanced brackets), and the failure text of one that cannot.
  bool TcpAddressUsable() const;
  std::string InvalidTcpAddressText() const;

  TSite& site_;
  LinkFlags& flags_;
  CommandSession& session_;
  SiteWindowModel& model_;
  DelayClock& delay_;
  SerialPort& port_;
  SerialLine& line_;
  HayesDialer& modem_;
  StatusLights& lights_;
  TcpLink& tcp_;
  const Logger& log_;

  bool outage_ = false;
  bool callLost_ = false;
  bool carrierSeen_ = false;  // DCD was up during this call: its fall ends the call
  bool announced_ = false;
  std::string loggedError_;  // the reopen error logged last: each new text is logged once
  int32_t attempts_ = 0;
  int32_t outageTicks_ = 0;
  int32_t waitedTicks_ = 0;  // since the failure or the last attempt
  int32_t backoffTicks_ = kReopenFirstTicks;
  int32_t upTicks_ = 0;  // since the port was reopened
  uint16_t lastTick_ = 0;
};

}  // namespace qmb
