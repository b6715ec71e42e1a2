// The live frame trace on the bus: a client calls WatchFrames(true) on the server object and
// gets a Frame(site, direction, hex, monotonic_us) signal for every Modbus frame a site sends or
// receives, until it calls WatchFrames(false) or leaves the bus.
//
// Who sees what: frames carry other hosts' process values, so a client sees the frames of the
// sites it has open through its own driver objects, and of every site only when it runs as the
// server's own user (who could read the server's memory and log anyway). The signals go to each
// watcher alone (unicast), never broadcast, so no other client can listen in with a match rule.
// While nobody watches, the engines' frames cost one check each.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QString>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "host/DriverRegistry.h"

namespace qmb {

class FrameWatch {
 public:
  FrameWatch(QDBusConnection connection, const DriverRegistry& registry);
  ~FrameWatch();
  FrameWatch(const FrameWatch&) = delete;
  FrameWatch& operator=(const FrameWatch&) = delete;

  // WatchFrames(b on) -> (b all_sites): starts or stops the caller's watch and answers it.
  void HandleWatchFrames(const QDBusMessage& message);
  size_t WatcherCount() const { return watchers_.size(); }

 private:
  void Start(const QString& client, bool allSites);
  void Stop(const QString& client, const char* why);
  void Send(const void* site, const std::string& description, bool outgoing,
            std::string_view bytes);
  // The engines' frames reach Send only while somebody watches.
  void InstallOrRemove();

  QDBusConnection connection_;
  const DriverRegistry& registry_;
  std::map<QString, bool> watchers_;  // client -> sees every site
  // WatchFrames(true) calls waiting for the bus to say which user the client runs as, by client;
  // each flag is set when a later WatchFrames of the same client supersedes the watch it asks for.
  std::multimap<QString, std::shared_ptr<bool>> questions_;
  QDBusServiceWatcher leaving_;
};

}  // namespace qmb
