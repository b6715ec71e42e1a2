// The site engine: one per open site, shared by every host client that opened it. A thin
// composition of its parts: the command session, the connection manager and the window model.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/CommandSession.h"
#include "engine/EngineClient.h"
#include "engine/EngineServices.h"
#include "engine/SiteWindowModel.h"
#include "links/ConnectionManager.h"
#include "sites/TypeSite.h"

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
    return Session.AcceptCommand(client, code, params);
  }
  int32_t CommandStatus(const EngineClient* client) const { return Session.CommandStatus(client); }
  void ReleaseCommand(const EngineClient* client) { Session.ReleaseCommand(client); }
  bool SendPointsListNow(EngineClient* client, const Variant& params);
  bool IsConnected() const { return Link.IsConnected(); }

  // Window operations.
  void BlockChkClick(bool checked);
  void UpdateClientCount() { Session.UpdateClientCount(); }

  // Called every 100 ms by the main window.
  void ProcessTick();
  // True while ProcessTick is on the stack (it may be waiting inside Delay): the engine must
  // not be destroyed then.
  bool IsActive() const { return activeDepth_ > 0; }

  // The engine itself as an owner of the session (window block).
  const EngineClient* Self() const { return &self_; }

  TSite Site;
  SiteWindowModel Model;
  int32_t PollState = 0;  // background poll state; 0 is idle
  CommandSession Session;
  ConnectionManager Link;

 private:
  void RefreshTimePanel();
  void RunCommand(uint32_t code);
  // Ends a command no handler serves, so that no host ever waits for it in vain.
  void EndUnsupported();
  void RunBackgroundPoll();

  EngineServices services_;
  EngineClient self_;
  int activeDepth_ = 0;
  bool commandRunning_ = false;
};

}  // namespace qmb
