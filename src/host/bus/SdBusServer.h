// The driver on the bus through sd-bus instead of QtDBus (qormodbus --bus-library=sd-bus): the
// same objects, interfaces, errors and log lines as BusServer, with the bus socket as one more
// descriptor of the main loop. QtDBus reads and writes its socket in a thread of its own, which
// costs two thread switches and two wake-ups per call; here the loop reads the call, the driver
// object answers and the reply is written in one thread.
//
// Calls are taken off the bus inside sd_bus_process and carried out after it has returned: sd-bus
// must not be entered again from its own handlers, and an engine's Delay runs a nested event loop
// in which the next call (another host's, or the same host's on another object) must be read.
#pragma once

#include <systemd/sd-bus.h>

#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "host/DriverRegistry.h"
#include "host/bus/BusIntrospection.h"
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

class SdBusServer {
 public:
  SdBusServer(TMainForm& mainForm, MessageLoop& loop, SdBusConnection connection,
              const QString& introspectionXml);
  ~SdBusServer();
  SdBusServer(const SdBusServer&) = delete;
  SdBusServer& operator=(const SdBusServer&) = delete;

  // As BusServer::Start: the objects first, then the well-known name.
  bool Start(QString& error);
  // The objects alone, on a peer-to-peer connection: there is no bus daemon to take a name from
  // (the fuzz target serves its client this way).
  bool StartOnPeer(QString& error);
  void ReleaseName();

  DriverRegistry& Registry() { return registry_; }

  std::function<void(size_t objectCount)> OnObjectCountChanged;
  std::function<void(const QString& member)> BeforeDriverCall;
  // The bus connection went; called once, from the event loop.
  std::function<void()> OnDisconnected;

 private:
  bool Serve(QString& error, bool takeName);
  void Process();
  void ProcessSoon();
  void WatchEvents();
  void RunQueued();
  static int OnMessage(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int OnNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int OnHasOwner(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int OnWatcherUser(sd_bus_message* m, void* userdata, sd_bus_error* error);

  void Dispatch(sd_bus_message* m);
  void HandleFactoryCall(sd_bus_message* m);
  void HandleDriverCall(sd_bus_message* m, uint64_t id);
  void HandleWatchFrames(sd_bus_message* m);
  void ReplyWatching(sd_bus_message* call, bool allSites);
  void Reply(sd_bus_message* m, sd_bus_message* reply);
  void ReplyError(sd_bus_message* m, const char* name, const QString& text);

  // A client is watched while it holds objects or watches frames; its leaving ends both.
  void WatchClient(const std::string& client, bool frames);
  void UnwatchClient(const std::string& client, bool frames);
  void ClientLeft(const std::string& client);

  void StartFrames(const std::string& client, bool allSites);
  void StopFrames(const std::string& client, const char* why);
  void SendFrame(const void* site, const std::string& description, bool outgoing,
                 std::string_view bytes);

  struct ClientWatch {
    sd_bus_slot* match = nullptr;
    bool objects = false;
    bool frames = false;
  };

  SdBusConnection bus_;
  BusIntrospection introspection_;
  DriverRegistry registry_;
  std::unique_ptr<QSocketNotifier> read_;
  std::unique_ptr<QSocketNotifier> write_;
  QTimer timeout_;
  sd_bus_slot* objects_ = nullptr;
  std::deque<sd_bus_message*> queued_;
  std::deque<std::string> left_;  // clients gone, noticed inside sd_bus_process
  std::map<std::string, ClientWatch> clients_;
  std::map<sd_bus_slot*, std::string> checks_;  // NameHasOwner questions not yet answered
  std::map<std::string, bool> frameWatchers_;   // client -> sees every site
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
};

}  // namespace qmb
