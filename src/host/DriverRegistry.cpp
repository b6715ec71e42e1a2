#include "host/DriverRegistry.h"

#include <set>

#include "platform/Log.h"

namespace qmb {

// State the objects' deleters share with the registry; it outlives the registry when a handle
// does, and then frees without posting (the loop may be gone too).
struct DriverRegistry::Shared {
  MessageLoop* loop = nullptr;
  DriverRegistry* registry = nullptr;  // null once the registry is destroyed
  std::set<TQorModBusCom*> awaiting;   // dropped, destruction posted but not run yet
  size_t live = 0;
};

DriverRegistry::DriverRegistry(MessageLoop& loop, Factory factory)
    : factory_(std::move(factory)), shared_(std::make_shared<Shared>()) {
  shared_->loop = &loop;
  shared_->registry = this;
}

DriverRegistry::~DriverRegistry() {
  // Posted destructions will not run any more: whatever waits for one is destroyed here, with no
  // call on the stack (the loop has ended).
  objects_.clear();
  clients_.clear();
  shared_->registry = nullptr;
  auto awaiting = std::move(shared_->awaiting);
  shared_->awaiting.clear();
  for (TQorModBusCom* object : awaiting) {
    delete object;
    --shared_->live;
  }
}

uint64_t DriverRegistry::Create(const std::string& client) {
  const auto known = clients_.find(client);
  if (known != clients_.end() && known->second.objects >= kMaxObjectsPerClient) return 0;
  std::unique_ptr<TQorModBusCom> made = factory_();
  Client& account = clients_[client];
  // All the client's objects count against one allowance of sites.
  made->ShareSites(account.sites);
  const uint64_t id = nextId_++;
  std::shared_ptr<Shared> shared = shared_;
  std::shared_ptr<TQorModBusCom> object(made.release(), [shared](TQorModBusCom* dropped) {
    if (!shared->registry) {
      delete dropped;
      --shared->live;
      return;
    }
    shared->awaiting.insert(dropped);
    shared->loop->Post([shared, dropped] {
      if (shared->awaiting.erase(dropped) == 0) return;  // the registry's destructor took it
      delete dropped;
      --shared->live;
      DriverRegistry* registry = shared->registry;
      if (registry && registry->OnObjectDestroyed) registry->OnObjectDestroyed(shared->live);
    });
  });
  ++shared_->live;
  objects_.emplace(id, Entry{client, std::move(object)});
  if (++account.objects == 1 && OnClientAdded) OnClientAdded(client);
  return id;
}

std::shared_ptr<TQorModBusCom> DriverRegistry::Acquire(uint64_t id, const std::string& caller,
                                                       Access& access) const {
  const auto entry = objects_.find(id);
  if (entry == objects_.end()) {
    access = Access::NoSuchObject;
    return nullptr;
  }
  if (entry->second.owner != caller) {
    access = Access::Denied;
    return nullptr;
  }
  access = Access::Granted;
  return entry->second.object;
}

DriverRegistry::Access DriverRegistry::Release(uint64_t id, const std::string& caller) {
  const auto entry = objects_.find(id);
  if (entry == objects_.end()) return Access::NoSuchObject;
  if (entry->second.owner != caller) return Access::Denied;
  Drop(entry);
  return Access::Granted;
}

size_t DriverRegistry::ReleaseClient(const std::string& client) {
  size_t released = 0;
  for (auto entry = objects_.begin(); entry != objects_.end();) {
    auto next = std::next(entry);
    if (entry->second.owner == client) {
      Drop(entry);
      ++released;
    }
    entry = next;
  }
  return released;
}

void DriverRegistry::Drop(std::map<uint64_t, Entry>::iterator entry) {
  const std::string owner = entry->second.owner;
  // Erasing drops the registry's handle; the deleter posts the destruction (or a running call
  // still holds the object and drops it when it returns).
  objects_.erase(entry);
  const auto client = clients_.find(owner);
  if (client != clients_.end() && --client->second.objects == 0) {
    clients_.erase(client);
    if (OnClientRemoved) OnClientRemoved(owner);
  }
}

bool DriverRegistry::HasClient(const std::string& client) const {
  return clients_.count(client) != 0;
}

bool DriverRegistry::ClientHoldsSite(const std::string& client, const void* site) const {
  const auto entry = clients_.find(client);
  return entry != clients_.end() && site &&
         entry->second.sites->ObjectsOn(static_cast<const TModBusForm*>(site)) > 0;
}

std::vector<uint64_t> DriverRegistry::Objects() const {
  std::vector<uint64_t> ids;
  ids.reserve(objects_.size());
  for (const auto& [id, entry] : objects_) ids.push_back(id);
  return ids;
}

size_t DriverRegistry::ObjectCount() const {
  return shared_->live;
}

}  // namespace qmb
