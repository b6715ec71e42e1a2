// The driver on the bus: the class factory with its frame trace, and one object per
// CreateInstance, described by sd-bus object tables (one table per interface). The bus socket is
// one more descriptor of the program's event loop, so a call is read, carried out and answered in
// one thread, inside its handler: the engines' waits are coroutines, nothing nests the loop.
//
// Who may call what: only the client that created a driver object may call or release it, and a
// client holds at most DriverRegistry::kMaxObjectsPerClient of them. A client's objects and frame
// watch go when it leaves the bus.
//
// The frame trace: a client calls WatchFrames(true) on the factory object and gets a Frame(site,
// direction, hex, monotonic_us) signal for every Modbus frame a site sends or receives, until it
// calls WatchFrames(false) or leaves the bus. Frames carry other hosts' process values, so a
// client sees the frames of the sites it has open through its own objects, and of every site only
// when it runs as the server's own user. The signals go to each watcher alone, never broadcast.
#pragma once

#include <systemd/sd-bus.h>

#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/DriverRegistry.h"
#include "host/bus/BusConversion.h"
#include "host/bus/BusIntrospection.h"
#include "host/bus/TypedBus.h"
#include "platform/MessageLoop.h"
#include "sites/EngineRegistry.h"

namespace qmb {

struct SdBusClose {
  void operator()(sd_bus* bus) const;
};
using SdBusConnection = std::unique_ptr<sd_bus, SdBusClose>;

// address: empty or "session" for the session bus, "system", or a D-Bus address. Null with a
// reason when the bus cannot be reached.
SdBusConnection ConnectSdBus(const QString& address, QString& error);

class BusServer {
 public:
  BusServer(TMainForm& mainForm, MessageLoop& loop, SdBusConnection connection);
  ~BusServer();
  BusServer(const BusServer&) = delete;
  BusServer& operator=(const BusServer&) = delete;

  // The objects first, then the well-known name: a host whose call started this server finds
  // them as soon as the name is ours.
  bool Start(QString& error);
  // The objects alone, on a peer-to-peer connection: there is no bus daemon to take a name from
  // (the fuzz target serves its client this way).
  bool StartOnPeer(QString& error);
  void ReleaseName();

  DriverRegistry& Registry() { return registry_; }
  // The typed interface; there once the server serves.
  TypedBus& Typed() { return *typed_; }

  std::function<void(size_t objectCount)> OnObjectCountChanged;
  // The bus connection went; called once, from the event loop.
  std::function<void()> OnDisconnected;

 private:
  friend struct BusTables;

  bool Serve(QString& error, bool takeName);
  void Process();
  void ProcessSoon();
  void WatchEvents();

  int CreateInstance(sd_bus_message* m, sd_bus_error* error);
  int WatchFrames(sd_bus_message* m);
  int TracedSites(sd_bus_message* m);
  int Driver(sd_bus_message* m, DriverCall call, sd_bus_error* error);
  int Release(sd_bus_message* m, sd_bus_error* error);
  int LastErrorDetail(sd_bus_message* m, sd_bus_error* error);
  // The caller's object at the call's path, or null with the error set (gone, or another
  // client's).
  std::shared_ptr<TQorModBusCom> Acquire(sd_bus_message* m, uint64_t& id, sd_bus_error* error);

  // A client is watched while it holds objects, typed sites or a frame watch (one call per
  // hold taken, one per hold let go); its leaving ends them all.
  void WatchClient(const std::string& client);
  void UnwatchClient(const std::string& client);
  void ClientLeft(const std::string& client);
  static int OnClientGone(sd_bus_track* track, void* userdata);
  static int OnWatcherUser(sd_bus_message* m, void* userdata, sd_bus_error* error);

  void ReplyWatching(sd_bus_message* call, bool allSites);
  void StartFrames(const std::string& client, bool allSites);
  void StopFrames(const std::string& client, const char* why);
  void SendFrame(const void* site, const std::string& description, bool outgoing,
                 std::string_view bytes);

  SdBusConnection bus_;
  TMainForm& mainForm_;
  MessageLoop& loop_;
  DriverRegistry registry_;
  std::unique_ptr<TypedBus> typed_;
  std::unique_ptr<QSocketNotifier> read_;
  std::unique_ptr<QSocketNotifier> write_;
  QTimer timeout_;
  std::vector<sd_bus_slot*> tables_;             // the object tables and the node enumerator
  std::map<std::string, sd_bus_track*> tracks_;  // the clients watched
  std::map<std::string, bool> frameWatchers_;    // client -> sees every site
  // WatchFrames(true) calls waiting for the bus to say which user the client runs as; a later
  // WatchFrames of the same client meanwhile supersedes the watch (not the answer to the call).
  struct WatcherQuestion {
    sd_bus_message* call = nullptr;
    std::string client;
    bool superseded = false;
  };
  std::map<sd_bus_slot*, WatcherQuestion> watcherQuestions_;
  bool nameOwned_ = false;
  bool disconnected_ = false;
  bool processing_ = false;
};

}  // namespace qmb
