// A site on a serial line, direct or by a modem's call: the port is opened with the site's
// settings, the connect and disconnect strings go around the log-on and log-off, a modem is
// dialled and hung up, and a port that fails while the site is open is reopened (a direct line)
// or its call given up as lost (a modem), until a host's command dials again.
#pragma once

#include <cstdint>
#include <string>

#include "engine/SiteTransport.h"
#include "links/HayesDialer.h"
#include "links/SerialLine.h"
#include "links/StatusLights.h"
#include "platform/DelayClock.h"
#include "platform/SerialPort.h"

namespace qmb {

class SerialTransport final : public SiteTransport {
 public:
  struct Line {
    DelayClock& delay;
    SerialPort& port;
    SerialLine& line;
    HayesDialer& modem;
    StatusLights& lights;
  };
  SerialTransport(Common common, Line line);

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

  // The port of an open direct site that failed, or that is found closed (a link reset could
  // not reopen it), is reopened with the site's settings: after kReopenFirstTicks, then after
  // twice the last wait, up to kReopenMaxTicks, for as long as the site stays open. A modem
  // site's call is gone with its port: the site goes offline.
  static constexpr int32_t kReopenFirstTicks = 10;
  static constexpr int32_t kReopenMaxTicks = 300;
  // The waits start again from the first once a reopened port has stayed up this long; until
  // then a port that fails again goes on with the longer wait, so a device that opens and fails
  // at once is not reopened (and logged) every second.
  static constexpr int32_t kReopenSettleTicks = 300;

  void Assign() override { line_.SetInUse(true); }
  void Open() override;
  bool OpenAside() override;
  Task<void> ConnectStep() override;
  Task<void> DialStep() override;
  Task<void> DisconnectStep() override;
  void DropConnection() override {}
  void ClosePort() override;
  void PortFailed(const std::string& reason) override;
  void WatchPort() override;
  // A modem site whose call was lost (the carrier dropped, the port failed) is offline: nothing
  // is polled. The next host command that needs the device dials again first, once; a dial that
  // fails leaves the call lost, and that command fails in its own words.
  bool CallLost() const override { return callLost_; }
  Task<void> Redial() override;
  void ShowPort() override;
  void Describe(SafeArray& status) const override;

 private:
  bool ConnectDirect();
  bool ConnectModem();
  bool ConnectTapi();
  Task<void> InitModem();
  void ModemStatus(int status);
  // The site is open, whose port should be open.
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

  DelayClock& delay_;
  SerialPort& port_;
  SerialLine& line_;
  HayesDialer& modem_;
  StatusLights& lights_;

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
