// The driver objects the bus server has handed out: one per CreateInstance, each tied to the bus
// client that created it. Only that client may call or release it; when the client leaves the bus
// all its objects go. The registry lets go of a released object at once, but the last holder's
// drop posts its destruction to the loop rather than doing it in place, so that nothing further
// up the stack (the handler that answered the release, a log line about it) is left holding a
// freed object.
// No Qt here.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/QorModBusCom.h"
#include "platform/MessageLoop.h"

namespace qmb {

class DriverRegistry {
 public:
  using Factory = std::function<std::unique_ptr<TQorModBusCom>()>;
  DriverRegistry(MessageLoop& loop, Factory factory);
  ~DriverRegistry();
  DriverRegistry(const DriverRegistry&) = delete;
  DriverRegistry& operator=(const DriverRegistry&) = delete;

  enum class Access { Granted, NoSuchObject, Denied };

  // The most objects one client may hold at a time: each is memory and a place in every engine
  // it opens, and a host needs one per site it works with, not thousands.
  static constexpr size_t kMaxObjectsPerClient = 4096;

  // A new object for the client; its number (never reused within the process). 0, and nothing
  // created, when the client already holds kMaxObjectsPerClient.
  uint64_t Create(const std::string& client);
  // The object for one call by the caller; empty unless access is granted. The object stays
  // alive while the handle is held, also if it is released meanwhile.
  std::shared_ptr<TQorModBusCom> Acquire(uint64_t id, const std::string& caller,
                                         Access& access) const;
  // Release by the owner: the object leaves the registry now and is destroyed from the loop.
  Access Release(uint64_t id, const std::string& caller);
  // The client has left the bus: every object it owns is released. Returns how many.
  size_t ReleaseClient(const std::string& client);

  bool Exists(uint64_t id) const { return objects_.count(id) != 0; }
  bool HasClient(const std::string& client) const;
  // Whether one of the client's objects has the site open (site: the engine's address).
  bool ClientHoldsSite(const std::string& client, const void* site) const;
  std::vector<uint64_t> Objects() const;
  // Objects created and not yet destroyed (released ones wait for their destruction).
  size_t ObjectCount() const;
  uint64_t CreatedCount() const { return nextId_ - 1; }

  // The client's first object was created: start watching whether it leaves the bus.
  std::function<void(const std::string& client)> OnClientAdded;
  // The client has no objects left: stop watching it.
  std::function<void(const std::string& client)> OnClientRemoved;
  // An object was destroyed; the object count after it.
  std::function<void(size_t objectCount)> OnObjectDestroyed;

 private:
  struct Entry {
    std::string owner;
    std::shared_ptr<TQorModBusCom> object;
  };
  struct Shared;

  void Drop(std::map<uint64_t, Entry>::iterator entry);

  Factory factory_;
  std::shared_ptr<Shared> shared_;
  std::map<uint64_t, Entry> objects_;
  struct Client {
    size_t objects = 0;  // registered objects
    std::shared_ptr<ClientSites> sites = std::make_shared<ClientSites>();
  };
  std::map<std::string, Client> clients_;
  uint64_t nextId_ = 1;
};

}  // namespace qmb
