// The driver object: one per host client. It carries the client's site configuration, attaches
// to the site engine that serves the site and turns the host's five operations into engine
// requests. Every operation is safe: errors become a false answer or the failure reply.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/EngineClient.h"
#include "engine/ModBusFrm.h"
#include "model/TypeSite.h"
#include "platform/Variant.h"
#include "sites/EngineRegistry.h"

namespace qmb {

// The sites one bus client holds open through all its driver objects. Each site is an engine
// with its port, its timers and its window: one greedy client must not fill the server with them,
// so a client holds at most kMaxSitesPerClient (any number of its objects may share each).
class ClientSites {
 public:
  static constexpr size_t kMaxSitesPerClient = 256;

  size_t Count() const { return engines_.size(); }
  // How many of the client's objects are attached to the engine.
  size_t ObjectsOn(const TModBusForm* engine) const;
  void Add(const TModBusForm* engine) { ++engines_[engine]; }
  void Remove(const TModBusForm* engine);

 private:
  std::map<const TModBusForm*, size_t> engines_;
};

class TQorModBusCom : public EngineClient {
 public:
  explicit TQorModBusCom(TMainForm& mainForm);
  ~TQorModBusCom() override;
  TQorModBusCom(const TQorModBusCom&) = delete;
  TQorModBusCom& operator=(const TQorModBusCom&) = delete;

  // unrepresentable: the indices of the list's elements whose text had characters the driver's
  // one-byte texts cannot hold (each became "?"). A description among them is refused: "Pump
  // \u4e2d" and "Pump \u65e5" would both read "Pump ?" and share one engine, one host reading
  // the other's device.
  bool OpenSite(Variant params, const std::vector<int32_t>& unrepresentable = {});
  bool CloseSite(Variant params);
  bool SetDriverOption(Variant params);
  Variant ExecuteCommand(Variant params);
  Variant ExecuteImmediate(Variant params);
  // Why the site's latest command or open failed, as the log names it; empty when unknown.
  std::string LastErrorDetail() const;
  // The account of the sites this object's bus client holds; objects without one (in-process
  // hosts) are not counted.
  void ShareSites(std::shared_ptr<ClientSites> sites) { sites_ = std::move(sites); }

  TModBusForm* Engine = nullptr;
  TSite Site;
  bool VersionAccepted = false;
  // An open that names a site by its description alone, to join it as it is (the typed
  // interface's): its missing link keys are no difference worth telling.
  bool JoinAsIs = false;

  static constexpr double kInterfaceVersion = 1.8;

 private:
  void EngineDestroyed(TModBusForm* engine) override;
  void LeaveEngine();
  // The answer to this client's own open or close when it found the site's session occupied
  // (a reply to give now, or nothing to go on as usual); a deferred open or close tries again.
  std::optional<Variant> CollectAsideAnswer(const std::string& command);
  // "Waiting for driver...", with this host's place kept in the line for the command it sends.
  Variant Wait(uint32_t code);

  // An open refused before it reached an engine: logged, kept for LastErrorDetail, false.
  bool Refuse(const std::string& reason);

  TMainForm& mainForm_;
  std::shared_ptr<ClientSites> sites_;
  // Why the latest OpenSite was refused; cleared by the next open or command.
  std::string refusal_;
  // The keys the latest open could not read (and the defaults used), and how its link keys
  // differ from a site that was open already: told beside a cause by LastErrorDetail.
  std::string openNotice_;
};

// The command table: COMMAND keyword to command code; 0 for anything else (exact match).
uint32_t CommandCodeOf(const std::string& command);

// Reply lists.
Variant StatusReply(const std::string& status, const std::string& element1 = {});
Variant FailureReply();

}  // namespace qmb
