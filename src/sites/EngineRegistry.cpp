#include "sites/EngineRegistry.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>

#include "platform/Log.h"
#include "platform/TextHelpers.h"

namespace qmb {

TMainForm::TMainForm(MessageLoop& loop, Clock& clock, SerialPortFactory& serialPorts,
                     TcpClientFactory& tcpClients, const std::string& programPath)
    : loop_(loop), clock_(clock), serialPorts_(serialPorts), tcpClients_(tcpClients), delay_(loop) {
  const auto slash = programPath.rfind('/');
  helpFile_ =
      (slash == std::string::npos ? std::string() : programPath.substr(0, slash + 1)) + "Help.Hlp";
  char version[16];
  std::snprintf(version, sizeof version, " V%.2f", kDriverVersion);
  caption_ = std::string("ModBus Serial Driver") + version;
  serverSlots_.fill(nullptr);

  processTimer_ = loop_.CreateTimer(100, [this] { ProcessTimerTimer(); });
  delayTimer_ = loop_.CreateTimer(100, [this] { DelayTimerTimer(); });
  processTimer_->Start();
  delayTimer_->Start();
}

TMainForm::~TMainForm() {
  *alive_ = false;
  processTimer_->Stop();
  // The delay timer runs until the engines are gone: closing a connected port waits for it.
  while (!children_.empty()) {
    std::unique_ptr<TModBusForm> engine = std::move(children_.back());
    children_.pop_back();
    RemoveEngine(engine.get());
    if (OnEngineDestroyed) OnEngineDestroyed(engine.get());
  }
  delayTimer_->Stop();
}

TModBusForm* TMainForm::FindEngine(const std::string& description) const {
  for (const auto& [known, engine] : engines_)
    if (SameTextIgnoringCase(known, description)) return engine;
  return nullptr;
}

TModBusForm* TMainForm::FindOrCreateEngine(const TSite& site) {
  TModBusForm* engine = FindEngine(site.Description);
  if (!engine && site.PanelTypeIndex == 0) {
    // The engine is assigned and registered before any other event can run, so a second open
    // of the same site arriving meanwhile always finds it (no message pass in between).
    auto created = std::make_unique<TModBusForm>(
        EngineServices{loop_, clock_, delay_, *this, serialPorts_, tcpClients_});
    engine = created.get();
    children_.push_back(std::move(created));
    engine->AssignSite(site);
    engine->Tools.SetTestAddress(testAddress_);
    engines_.emplace_back(site.Description, engine);
    engine->Log.Info("engine created");
    if (OnEngineCreated) OnEngineCreated(engine);
  }
  if (engine && site.IsRemoteClient) engine->Session.AddRemoteClient();
  return engine;
}

void TMainForm::RemoveEngine(TModBusForm* engine) {
  const auto entry = std::find_if(engines_.begin(), engines_.end(),
                                  [engine](const auto& e) { return e.second == engine; });
  if (entry != engines_.end()) engines_.erase(entry);
}

void TMainForm::ReleaseEngine(TModBusForm* engine) {
  loop_.Post([this, engine, alive = alive_] {
    if (*alive) DestroyReleased(engine);
  });
}

bool TMainForm::CloseSiteWindow(TModBusForm* engine) {
  if (!engine->CanClose()) return false;
  loop_.Post([this, engine, alive = alive_] {
    if (*alive) DestroyReleased(engine, true);
  });
  return true;
}

void TMainForm::SetTestAddress(const std::string& address) {
  testAddress_ = address;
  for (const auto& child : children_) child->Tools.SetTestAddress(address);
}

void TMainForm::DestroyReleased(TModBusForm* engine, bool closedByUser) {
  const auto child = std::find_if(children_.begin(), children_.end(),
                                  [engine](const auto& c) { return c.get() == engine; });
  if (child == children_.end()) return;  // already gone
  // A client that opened the site again since the release keeps the engine.
  if (!closedByUser && !engine->Session.Clients().empty()) return;
  // An engine whose tick is on the stack is destroyed once the tick has returned, never under its
  // own feet. (An engine that waits is suspended, not on the stack: it goes at once, dropping its
  // waiting step.)
  if (engine->IsActive()) {
    releasedDuringTick_.push_back(engine);
    return;
  }
  std::unique_ptr<TModBusForm> owned = std::move(*child);
  children_.erase(child);
  // Out of the registry before its port is closed: an open of the same site
  // meanwhile gets a new engine instead of this dying one.
  RemoveEngine(owned.get());
  if (OnEngineDestroyed) OnEngineDestroyed(owned.get());
  owned->Log.Info("engine released");
  owned.reset();
}

int TMainForm::FreeServerIndex() const {
  for (int i = 0; i < kServerSlotCount; ++i)
    if (serverSlots_[static_cast<size_t>(i)] == nullptr) return i;
  return -1;
}

void TMainForm::ProcessTimerTimer() {
  // The timer runs on through the tick (it never re-enters its own callback), so the ticks keep
  // the phase they started with: that of the delay timer, whose wake-up they share. Restarting
  // it after every tick would put the next tick a period after this one's end: every tick woken
  // late (a busy machine) or running long would move the phase on, off the delay timer's, and
  // the loop would wake twice a period instead of once.
  const int64_t startedMs = loop_.MonotonicMs();
  const size_t count = children_.size();
  for (size_t i = 0; i < count; ++i) {
    TModBusForm* engine = Child(i);
    if (!engine) continue;
    // An engine that raises loses this tick only: the others are still served, so one faulty
    // site cannot starve every site behind it.
    try {
      engine->ProcessTick();
    } catch (const std::exception& e) {
      engine->Log.Debug(std::string("tick failed: ") + e.what());
    } catch (...) {
      engine->Log.Debug("tick failed");
    }
  }
  auto released = std::move(releasedDuringTick_);
  releasedDuringTick_.clear();
  for (TModBusForm* engine : released) DestroyReleased(engine);
  // A tick that took its whole period still leaves the loop a whole period to itself before
  // the next, rather than ticks back to back.
  if (loop_.MonotonicMs() - startedMs >= processTimer_->Interval()) processTimer_->Start();
}

void TMainForm::SetVisible(bool visible) {
  if (visible_ == visible) return;
  visible_ = visible;
  if (OnVisibilityChanged) OnVisibilityChanged(visible_);
}

void TMainForm::RestoreAndBringToFront() {
  if (OnBringToFront) OnBringToFront();
}

}  // namespace qmb
