// The typed interface on the bus: the manager object /QorModBus/Modbus1 (OpenSite, and the
// standard ObjectManager) and one object per open site /QorModBus/Modbus1/site/N with its state
// as properties and Read, Write and Close, each answered once. The work is TypedSites'; this is
// its sd-bus tables, the values' marshalling and the change signals.
#pragma once

#include <systemd/sd-bus.h>

#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/TypedSites.h"

namespace qmb {

inline constexpr const char* kTypedManagerPath = "/QorModBus/Modbus1";
inline constexpr const char* kTypedManagerInterfaceName = "QorModBus.Modbus1.Manager";
inline constexpr const char* kTypedSiteInterfaceName = "QorModBus.Modbus1.Site";
inline constexpr const char* kTypedSubscriptionInterfaceName = "QorModBus.Modbus1.Subscription";

// The site number of a site object path, 0 when the path names none.
uint32_t TypedSiteNumber(std::string_view path);
std::string TypedSitePath(uint32_t site);
// A subscription object's path .../site/N/sub/M and back; {0, 0} for a path that names none.
std::string TypedSubscriptionPath(uint32_t site, uint32_t subscription);
std::pair<uint32_t, uint32_t> TypedSubscriptionOf(std::string_view path);

class TypedBus {
 public:
  TypedBus(sd_bus* bus, TMainForm& mainForm, MessageLoop& loop);
  ~TypedBus();
  TypedBus(const TypedBus&) = delete;
  TypedBus& operator=(const TypedBus&) = delete;

  // Adds the tables to the bus; a negative errno when it cannot.
  int Publish();
  // The client has left the bus: its holds go.
  void ClientLeft(const std::string& client) { sites_.ClientLeft(client); }
  bool HasClient(const std::string& client) const { return sites_.HasClient(client); }

  // A client began to hold something here (the bus server then watches whether it leaves).
  std::function<void(const std::string& client)> OnClient;
  // Something was queued to be sent (the bus server flushes it from the loop).
  std::function<void()> OnSent;

  TypedSites& Sites() { return sites_; }

 private:
  friend struct TypedTables;

  int OpenSite(sd_bus_message* m, sd_bus_error* error);
  int Read(sd_bus_message* m, sd_bus_error* error);
  int Write(sd_bus_message* m, sd_bus_error* error);
  int Close(sd_bus_message* m, sd_bus_error* error);
  int Subscribe(sd_bus_message* m, sd_bus_error* error);
  int CloseSubscription(sd_bus_message* m, sd_bus_error* error);
  // Sends a subscription's changes to its client alone.
  void SendChanged(uint32_t site, uint32_t subscription, const std::string& client,
                   const TypedSites::Changes& changes);
  int Property(uint32_t site, const std::string& name, sd_bus_message* reply, sd_bus_error* error);
  // Sends the properties that changed since the last look, for every site.
  void EmitChanges();

  sd_bus* bus_;
  TypedSites sites_;
  std::vector<sd_bus_slot*> slots_;
  QTimer watch_;
  std::map<uint32_t, TypedSites::SiteView> shown_;
  std::map<uint32_t, std::map<std::string, uint64_t>> countersShown_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qmb
