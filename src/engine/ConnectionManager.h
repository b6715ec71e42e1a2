// Brings the link to a site up and down: offline, Modbus/TCP, direct serial line or modem. The
// slow parts run as link commands (codes 1 to 3) that the process tick advances one step at a
// time, so hosts can poll their progress texts. What differs between a serial line and
// Modbus/TCP is the site's transport, picked when the site is assigned; the sessions, the
// offline mode and the caption are the same for both.
#pragma once

#include <string>

#include "engine/CommandSession.h"
#include "engine/LinkFlags.h"
#include "engine/SerialTransport.h"
#include "engine/SiteTransport.h"
#include "engine/TcpTransport.h"
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
#include "platform/TcpClient.h"
#include "platform/Variant.h"

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
    TcpClient& tcpClient;
    const Logger& log;
  };
  explicit ConnectionManager(Parts parts);

  // Picks the site's transport and points it at the site; the engine has already copied the
  // site record.
  void AssignSite();

  bool OpenConnection(const EngineClient* client);
  bool CloseConnection(const EngineClient* client);
  bool IsConnected() const { return flags_.Connected && !site_.OfflineMode; }

  // Link commands; each call is the work of one process tick.
  Task<void> ConnectStep();
  Task<void> DialStep() { return transport_->DialStep(); }
  Task<void> DisconnectStep() { return transport_->DisconnectStep(); }

  // Closes the line at once: it runs inside host calls and while the engine is destroyed, where
  // nothing may wait.
  void ClosePort() { transport_->ClosePort(); }

  void UpdateCaption();

  // A serial port that failed while open (device unplugged, far end gone).
  void PortFailed(const std::string& reason);

  // A modem site whose call was lost (the carrier dropped, the port failed) is offline: nothing
  // is polled. The next host command that needs the device dials again first, once.
  bool CallLost() const { return transport_->CallLost(); }
  Task<void> Redial() { return transport_->Redial(); }

  // Called every process tick: a failed port of an open direct site is reopened, a modem call
  // whose port or carrier went is lost.
  void WatchPort() { transport_->WatchPort(); }

  // The status report's lines about the link.
  void DescribeLink(SafeArray& status) const { transport_->Describe(status); }

 private:
  // For an open that finds the session occupied: true when the link is (or is coming) up and
  // is shared now, false when the open has to wait for the session.
  bool OpenAside();

  TSite& site_;
  LinkFlags& flags_;
  CommandSession& session_;
  SiteWindowModel& model_;
  StatusLights& lights_;
  const Logger& log_;

  SerialTransport serial_;
  TcpTransport modbusTcp_;
  // The site's transport; a serial line until a site is assigned.
  SiteTransport* transport_ = &serial_;
};

}  // namespace qmb
