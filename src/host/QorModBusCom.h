// The driver object: one per host client. It carries the client's site configuration, attaches
// to the site engine that serves the site and turns the host's five operations into engine
// requests. Every operation is safe: errors become a false answer or the failure reply.
#pragma once

#include <optional>
#include <string>

#include "engine/EngineClient.h"
#include "engine/ModBusFrm.h"
#include "model/TypeSite.h"
#include "platform/Variant.h"
#include "sites/EngineRegistry.h"

namespace qmb {

class TQorModBusCom : public EngineClient {
 public:
  explicit TQorModBusCom(TMainForm& mainForm);
  ~TQorModBusCom() override;
  TQorModBusCom(const TQorModBusCom&) = delete;
  TQorModBusCom& operator=(const TQorModBusCom&) = delete;

  bool OpenSite(Variant params);
  bool CloseSite(Variant params);
  bool SetDriverOption(Variant params);
  Variant ExecuteCommand(Variant params);
  Variant ExecuteImmediate(Variant params);
  // Why the site's latest command or open failed, as the log names it; empty when unknown.
  std::string LastErrorDetail() const;

  TModBusForm* Engine = nullptr;
  TSite Site;
  bool VersionAccepted = false;

  static constexpr double kInterfaceVersion = 1.8;

 private:
  void EngineDestroyed(TModBusForm* engine) override;
  void LeaveEngine();
  // The answer to this client's own open or close when it found the site's session occupied
  // (a reply to give now, or nothing to go on as usual); a deferred open or close tries again.
  std::optional<Variant> CollectAsideAnswer(const std::string& command);
  // "Waiting for driver...", with this host's place kept in the line for the command it sends.
  Variant Wait(uint32_t code);

  TMainForm& mainForm_;
};

// The command table: COMMAND keyword to command code; 0 for anything else (exact match).
uint32_t CommandCodeOf(const std::string& command);

// Reply lists.
Variant StatusReply(const std::string& status, const std::string& element1 = {});
Variant FailureReply();

}  // namespace qmb
