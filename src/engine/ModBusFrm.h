// The site engine: one per open site, shared by every host client that opened it. A thin
// composition of its parts: command session, window model, receive buffer, point table, serial
// line, modem dialer, status lights, Modbus/TCP link, connection manager, transactions, the
// command handlers, the background poller and the fast scan.
#pragma once

#include <deque>
#include <memory>

#include <cstdint>
#include <memory>
#include <string>

#include "engine/BackgroundPoller.h"
#include "engine/CommandSession.h"
#include "engine/ConnectionManager.h"
#include "engine/DataCommands.h"
#include "engine/DirectExchange.h"
#include "engine/EngineClient.h"
#include "engine/EngineServices.h"
#include "engine/FastScanner.h"
#include "engine/LinkFlags.h"
#include "engine/PointTable.h"
#include "engine/SiteCommands.h"
#include "engine/TestTools.h"
#include "engine/TransactionEngine.h"
#include "links/HayesDialer.h"
#include "links/SerialLine.h"
#include "links/StatusLights.h"
#include "links/TcpLink.h"
#include "model/SiteWindowModel.h"
#include "model/TypeSite.h"
#include "platform/Log.h"
#include "platform/SerialPort.h"
#include "platform/Task.h"
#include "platform/TcpClient.h"
#include "protocol/FrameCodec.h"

namespace qmb {

class TModBusForm {
 public:
  explicit TModBusForm(EngineServices services);
  ~TModBusForm();
  TModBusForm(const TModBusForm&) = delete;
  TModBusForm& operator=(const TModBusForm&) = delete;

  // Copies the site record and takes its link mode; once, right after creation.
  void AssignSite(const TSite& site);

  // Client operations (the driver objects call these).
  void AttachClient(EngineClient* client, const std::string& description);
  void DetachClient(const EngineClient* client);
  bool OpenConnection(const EngineClient* client) { return Link.OpenConnection(client); }
  bool CloseConnection(const EngineClient* client) { return Link.CloseConnection(client); }
  bool AcceptCommand(const EngineClient* client, uint32_t code, const Variant& params) {
    Log.ForgetCause();  // what failed before is no reason for this command's failure
    return Session.AcceptCommand(client, code, params);
  }
  int32_t CommandStatus(const EngineClient* client) const { return Session.CommandStatus(client); }
  void ReleaseCommand(const EngineClient* client) { Session.ReleaseCommand(client); }
  bool SendPointsListNow(EngineClient* client, const Variant& params);
  bool IsConnected() const { return Link.IsConnected(); }

  // Work that wants the line now (a typed host's reads and writes, each a DirectExchange): it
  // starts at once when the line is free, or as soon as the exchange or command holding it ends,
  // before the next poll; queued works run one after the other. Work dropped with the engine is
  // destroyed unfinished.
  void RunOnLine(Task<void> work);
  // Works queued or running on the line.
  size_t LineWork() const { return lineWork_.size() + (lineWorkRunning_ ? 1 : 0); }

  // Window operations: the site window forwards its controls here (it writes what the user
  // typed or checked into the model first).
  void BlockChkClick(bool checked);
  void TestBtnClick() { Tools.TestBtnClick(); }
  void CmdEdtKeyPress(char key) { Tools.CmdEdtKeyPress(key); }
  void TCPSendBtnClick() { Tools.TCPSendBtnClick(); }
  void ConnectBtnClick() { Tools.ConnectBtnClick(); }
  void DisconnectBtnClick() { Tools.DisconnectBtnClick(); }
  // The user may close the window unless the site is connected; kCloseRefused is what the window
  // then shows. Clients still attached to a closed window are told (EngineDestroyed) and never
  // reach the engine again.
  bool CanClose() const { return !Flags.Connected; }
  static constexpr const char* kCloseRefused =
      "This window cannot be closed because it is still connected to a Site.\n"
      "Disconnect from the Site or minimize the application to hide on taskbar.";
  void UpdateClientCount() { Session.UpdateClientCount(); }

  // Called every 100 ms by the main window. A step that waits (for its device, a pause of the
  // line) suspends this engine only; its next step starts at the first tick after it ended, and
  // every other engine is ticked meanwhile.
  void ProcessTick();
  // True while ProcessTick is on the stack: the engine must not be destroyed then.
  bool IsActive() const { return activeDepth_ > 0; }
  // True while a step of this engine waits. An engine destroyed meanwhile drops the step: it is
  // never resumed.
  bool IsSuspended() const { return work_.Suspended(); }

  // The engine itself as an owner of the session (window block).
  const EngineClient* Self() const { return &self_; }

  TSite Site;
  // Every part logs through it: entries start with the site's description.
  Logger Log;
  SiteWindowModel Model;
  CommandSession Session;
  // Reply bytes as the serial line delivers them, for the exchange in flight.
  ReceiveBuffer Receive;
  LinkFlags Flags;
  PointTable Points;

 private:
  // Declared before the parts that refer to them.
  EngineServices services_;
  EngineClient self_;
  std::unique_ptr<SerialPort> port_;
  std::unique_ptr<TcpClient> tcpClient_;

 public:
  SerialPort& ComPort1;
  TcpClient& TCP1;
  SerialLine Line;
  HayesDialer Modem1;
  StatusLights Lights;
  TcpLink Tcp;
  ConnectionManager Link;
  TransactionEngine Transactions;
  SiteCommands SiteCmds;
  BackgroundPoller Poller;
  FastScanner Scanner;
  DirectExchange Direct;
  DataCommands DataCmds;
  TestTools Tools;

 private:
  void WirePortEvents();
  void RefreshTimePanel();
  void RunCommand(uint32_t code);
  Task<void> RunWaitingCommand(uint32_t code);
  // The poll step of the tick: the fast scan's, or the tick-paced poller's.
  void PollStep();
  void StartWork(Task<void> work);
  // No exchange, host command or step of the engine holds the line.
  bool LineFree() const;
  // Starts the queued line work when the line is free; true when it did.
  bool StartLineWork();
  Task<void> DrainLineWork();

  int activeDepth_ = 0;
  bool commandRunning_ = false;
  std::deque<Task<void>> lineWork_;
  bool lineWorkRunning_ = false;
  // Cleared when the engine goes, so a start posted for its line work finds nothing to do.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  // The step this engine is suspended in, if any. Declared last: destroyed first, while every
  // part it refers to is still there.
  Task<void> work_;
};

}  // namespace qmb
