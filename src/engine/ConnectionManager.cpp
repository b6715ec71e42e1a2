#include "engine/ConnectionManager.h"

namespace qmb {

ConnectionManager::ConnectionManager(Parts parts)
    : site_(parts.site),
      flags_(parts.flags),
      session_(parts.session),
      model_(parts.model),
      lights_(parts.lights),
      log_(parts.log),
      serial_({parts.site, parts.flags, parts.session, parts.model, parts.log},
              {parts.delay, parts.port, parts.line, parts.modem, parts.lights}),
      modbusTcp_({parts.site, parts.flags, parts.session, parts.model, parts.log}, parts.tcp,
                 parts.tcpClient, parts.line) {}

void ConnectionManager::AssignSite() {
  transport_ = &PickTransport(site_, flags_, serial_, modbusTcp_);
  transport_->Assign();
}

bool ConnectionManager::OpenConnection(const EngineClient* client) {
  if (session_.IsBlocked()) return false;
  session_.ClearAsideAnswer(client);
  if (session_.Occupied(client)) {
    session_.AnswerAside(client, OpenAside() ? CommandSession::AsideAnswer::kDone
                                             : CommandSession::AsideAnswer::kOpenLater);
    return true;
  }
  session_.ClearResult();
  session_.AssignOwner(client);
  log_.ForgetCause();
  flags_.Offline = site_.OfflineMode;

  if (flags_.Offline) {
    session_.ResetStatus();
    session_.Settle(kStateDone);
    UpdateCaption();
    flags_.Connected = true;
    return true;
  }

  transport_->ShowPort();
  transport_->Open();
  return true;
}

bool ConnectionManager::OpenAside() {
  // Another client's command, result or lock holds the session: a link that is up (or coming
  // up) is shared at once without touching it; a line that must be brought up waits until the
  // session is free.
  if (!site_.OfflineMode) return transport_->OpenAside();
  flags_.Offline = true;
  if (!flags_.Connected) {
    flags_.Connected = true;
    UpdateCaption();
  }
  return true;
}

bool ConnectionManager::CloseConnection(const EngineClient* client) {
  // A TCP site drops its socket at once, even when the close is refused; the next request
  // connects again. One that shares the site with a command under way leaves the socket be.
  if (session_.IsBlocked() || session_.IsSelf(session_.LockOwner())) {
    transport_->DropConnection();
    session_.ClearResult();
    return false;
  }
  session_.ClearAsideAnswer(client);
  if (session_.Occupied(client)) {
    // Leaving a shared site is done at once; the last client's disconnect waits until the
    // command under way has ended, so that neither overwrites the other.
    session_.AnswerAside(client, session_.Clients().size() > 1
                                     ? CommandSession::AsideAnswer::kDone
                                     : CommandSession::AsideAnswer::kCloseLater);
    return true;
  }
  transport_->DropConnection();
  session_.ClearResult();
  session_.AssignOwner(client);
  if (session_.Clients().size() > 1) {
    session_.Settle(kStateDone);
    return true;
  }
  session_.ResetStatus();
  if (flags_.Offline) {
    session_.Settle(kStateDone);
    flags_.Connected = false;
    UpdateCaption();
  } else {
    session_.SetState(kStateWorking);
    session_.SetStatusText("Disconnecting...");
    session_.SetCommand(kDisconnectStep);
  }
  return true;
}

Task<void> ConnectionManager::ConnectStep() {
  flags_.Connected = true;
  co_await transport_->ConnectStep();
}

void ConnectionManager::PortFailed(const std::string& reason) {
  model_.AddLogLine("Error: " + reason);
  lights_.SetMonitoring(false);
  transport_->PortFailed(reason);
  transport_->ShowPort();
}

void ConnectionManager::UpdateCaption() {
  ShowCaption(model_, site_, flags_);
}

}  // namespace qmb
