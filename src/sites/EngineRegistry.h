// The main window without its widgets: the registry of open site engines, the process timer
// that ticks every engine and the delay timer that drives the delay clock.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/EngineServices.h"
#include "engine/ModBusFrm.h"
#include "model/TypeSite.h"
#include "platform/DelayClock.h"
#include "platform/MessageLoop.h"

namespace qmb {

constexpr double kDriverVersion = 1.8;
constexpr int kServerSlotCount = 32;

class TMainForm : public EngineOwner {
 public:
  // programPath: the full path of the program file (for the help file's folder).
  TMainForm(MessageLoop& loop, Clock& clock, SerialPortFactory& serialPorts,
            TcpClientFactory& tcpClients, const std::string& programPath);
  ~TMainForm() override;
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // The engine for the site's description (ignoring case), created for panel type 0 when there
  // is none; nullptr for other panel types. Each answer counts a remote client.
  TModBusForm* FindOrCreateEngine(const TSite& site);
  // The engine for the description (ignoring case), or nullptr; nothing is created or counted.
  TModBusForm* FindEngine(const std::string& description) const;
  void RemoveEngine(TModBusForm* engine) override;
  void ReleaseEngine(TModBusForm* engine) override;
  // The user closes a site window: refused (false) while its site is connected. Otherwise the
  // engine goes once the current event has been handled, even with clients attached: they are
  // told, and their driver objects answer as having no site from then on.
  bool CloseSiteWindow(TModBusForm* engine);
  int FreeServerIndex() const;

  // Where the site windows' test connection goes ("host[:port]"); engines created later too.
  void SetTestAddress(const std::string& address);
  const std::string& TestAddress() const { return testAddress_; }

  void ProcessTimerTimer();
  void DelayTimerTimer() { delay_.DelayTick(); }

  // Visibility of the main window, switched by hosts through DEBUGMODE.
  bool Visible() const { return visible_; }
  void SetVisible(bool visible);
  void RestoreAndBringToFront();
  // The view (when there is one) follows these; both may be empty.
  std::function<void(bool visible)> OnVisibilityChanged;
  std::function<void()> OnBringToFront;
  std::function<void(TModBusForm*)> OnEngineCreated;
  std::function<void(TModBusForm*)> OnEngineDestroyed;

  const std::string& Caption() const { return caption_; }
  const std::string& ApplicationTitle() const { return caption_; }
  const std::string& HelpFile() const { return helpFile_; }
  DelayClock& Delay() { return delay_; }
  MessageLoop& Loop() { return loop_; }

  // The registry, in creation order: (description, engine).
  const std::vector<std::pair<std::string, TModBusForm*>>& Engines() const { return engines_; }
  // The engines as the frame's child windows, in creation order.
  size_t ChildCount() const { return children_.size(); }
  TModBusForm* Child(size_t index) const {
    return index < children_.size() ? children_[index].get() : nullptr;
  }

 private:
  // closedByUser: the window was closed; the engine goes even with clients attached.
  void DestroyReleased(TModBusForm* engine, bool closedByUser = false);

  MessageLoop& loop_;
  Clock& clock_;
  SerialPortFactory& serialPorts_;
  TcpClientFactory& tcpClients_;
  DelayClock delay_;
  std::string caption_;
  std::string helpFile_;
  bool visible_ = true;
  std::string testAddress_ = TestTools::kDefaultTestAddress;
  std::vector<std::pair<std::string, TModBusForm*>> engines_;
  std::vector<std::unique_ptr<TModBusForm>> children_;
  std::vector<TModBusForm*> releasedDuringTick_;
  std::array<const void*, kServerSlotCount> serverSlots_{};
  std::unique_ptr<Timer> processTimer_;
  std::unique_ptr<Timer> delayTimer_;
  // Posted releases must not outlive the main window.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qmb
