// Brings the link to a site up and down: offline, Modbus/TCP, direct serial line or modem. The
// slow parts run as link commands (codes 1 to 3) that the process tick advances one step at a
// time, so hosts can poll their progress texts.
#pragma once

#include <string>

#include "engine/CommandSession.h"
#include "engine/SiteWindowModel.h"
#include "sites/DelayClock.h"
#include "sites/TypeSite.h"

namespace qmb {

class ConnectionManager {
 public:
  ConnectionManager(TSite& site, CommandSession& session, SiteWindowModel& model, DelayClock& delay)
      : site_(site), session_(session), model_(model), delay_(delay) {}

  static constexpr const char* kDefaultModemInit = "ATV1Q0&C1&D2";

  // Takes the site's TCP mode; the engine has already copied the site record.
  void AssignSite();

  bool OpenConnection(const EngineClient* client);
  bool CloseConnection(const EngineClient* client);
  bool IsConnected() const { return Connected && !site_.OfflineMode; }

  bool ConnectDirect();
  bool ConnectModem();
  bool ConnectTapi();

  // Link commands; each call is the work of one process tick.
  void ConnectStep();
  void DisconnectStep();

  void ClosePort();

  void UpdateCaption();
  void UpdatePortLabels();

  bool SerialPortOpen() const { return false; }

  bool TCPMode = false;
  bool Offline = false;
  bool Connected = false;
  bool Dialling = false;

 private:
  // Serial and modem lines are not wired into this build yet: their open fails with this text.
  void FailSerialStart();

  TSite& site_;
  CommandSession& session_;
  SiteWindowModel& model_;
  DelayClock& delay_;
};

}  // namespace qmb
