#include "host/bus/BusServer.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <span>
#include <utility>

#include "host/Registration.h"
#include "platform/Log.h"
#include "platform/TextHelpers.h"

namespace qmb {

namespace {

const char* const kBusDaemon = "org.freedesktop.DBus";
const char* const kBusDaemonPath = "/org/freedesktop/DBus";

uint64_t MonotonicMicros() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

// The object tables and the callbacks they name. Every member is open to every client of the bus
// (SD_BUS_VTABLE_UNPRIVILEGED): which client may call which object is the server's own rule.
struct BusTables {
  static BusServer& Server(void* userdata) { return *static_cast<BusServer*>(userdata); }

  static int CreateInstance(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    return Guarded(m, error, [&] { return Server(userdata).CreateInstance(m, error); });
  }
  static int WatchFrames(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    return Guarded(m, error, [&] { return Server(userdata).WatchFrames(m); });
  }
  static int TracedSites(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    return Guarded(m, error, [&] { return Server(userdata).TracedSites(m); });
  }
  template <DriverCall call>
  static int Driver(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    return Guarded(m, error, [&] { return Server(userdata).Driver(m, call, error); });
  }
  static int Release(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    return Guarded(m, error, [&] { return Server(userdata).Release(m, error); });
  }
  static int LastErrorDetail(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    return Guarded(m, error, [&] { return Server(userdata).LastErrorDetail(m, error); });
  }

  // A call may leave the interface out (D-Bus allows it, and some hosts' proxies do); sd-bus
  // looks methods up by interface, so such a call is taken here, before it reaches the tables,
  // and goes to the member of that name in the tables of the object it names.
  static int WithoutInterface(sd_bus_message* m, void* userdata, sd_bus_error* error);

  // A driver object is there from CreateInstance to its release.
  static int Find(sd_bus*, const char* path, const char*, void* userdata, void** found,
                  sd_bus_error*) {
    if (!Server(userdata).registry_.Exists(ObjectNumber(Text(path)))) return 0;
    *found = userdata;
    return 1;
  }
  // The objects alive, below the factory when it is introspected (busctl tree). sd-bus asks for
  // every path introspected under the factory too; a driver object has no objects below it, and
  // naming it there would make an object of it that has no interfaces.
  static int Enumerate(sd_bus*, const char* path, void* userdata, char*** nodes, sd_bus_error*) {
    std::vector<std::string> paths;
    if (Text(path) == kFactoryPath)
      for (const uint64_t object : Server(userdata).registry_.Objects())
        paths.push_back(ObjectPath(object));
    return NodeList(paths, nodes);
  }
};

namespace {

constexpr uint64_t kOpen = SD_BUS_VTABLE_UNPRIVILEGED;

const sd_bus_vtable kFactoryTable[] = {
    SD_BUS_VTABLE_START(kOpen),
    SD_BUS_METHOD_WITH_NAMES("CreateInstance", "", "", "o", SD_BUS_PARAM(driver),
                             &BusTables::CreateInstance, kOpen),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kTraceTable[] = {
    SD_BUS_VTABLE_START(kOpen),
    SD_BUS_METHOD_WITH_NAMES("WatchFrames", "b", SD_BUS_PARAM(on), "b", SD_BUS_PARAM(all_sites),
                             &BusTables::WatchFrames, kOpen),
    SD_BUS_SIGNAL_WITH_NAMES(
        "Frame", "ssst",
        SD_BUS_PARAM(site) SD_BUS_PARAM(direction) SD_BUS_PARAM(hex) SD_BUS_PARAM(monotonic_us), 0),
    SD_BUS_METHOD_WITH_NAMES("TracedSites", "", "", "as", SD_BUS_PARAM(sites),
                             &BusTables::TracedSites, kOpen),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kDriverTable[] = {
    SD_BUS_VTABLE_START(kOpen),
    SD_BUS_METHOD_WITH_NAMES("OpenSite", "v", SD_BUS_PARAM(params), "b", SD_BUS_PARAM(ok),
                             &BusTables::Driver<DriverCall::OpenSite>, kOpen),
    SD_BUS_METHOD_WITH_NAMES("CloseSite", "v", SD_BUS_PARAM(params), "b", SD_BUS_PARAM(ok),
                             &BusTables::Driver<DriverCall::CloseSite>, kOpen),
    SD_BUS_METHOD_WITH_NAMES("SetDriverOption", "v", SD_BUS_PARAM(params), "b", SD_BUS_PARAM(ok),
                             &BusTables::Driver<DriverCall::SetDriverOption>, kOpen),
    SD_BUS_METHOD_WITH_NAMES("ExecuteCommand", "v", SD_BUS_PARAM(params), "v", SD_BUS_PARAM(reply),
                             &BusTables::Driver<DriverCall::ExecuteCommand>, kOpen),
    SD_BUS_METHOD_WITH_NAMES("ExecuteImmediate", "v", SD_BUS_PARAM(params), "v",
                             SD_BUS_PARAM(reply), &BusTables::Driver<DriverCall::Immediate>, kOpen),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kObjectTable[] = {
    SD_BUS_VTABLE_START(kOpen),
    SD_BUS_METHOD_WITH_NAMES("Release", "", "", "", "", &BusTables::Release, kOpen),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kDiagnosticsTable[] = {
    SD_BUS_VTABLE_START(kOpen),
    SD_BUS_METHOD_WITH_NAMES("LastErrorDetail", "", "", "s", SD_BUS_PARAM(detail),
                             &BusTables::LastErrorDetail, kOpen),
    SD_BUS_VTABLE_END};

}  // namespace

int BusTables::WithoutInterface(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  if (sd_bus_message_get_interface(m) || !sd_bus_message_is_method_call(m, nullptr, nullptr))
    return 0;
  // Nor are broadcasts answered, as sd-bus answers none.
  if (!sd_bus_message_get_destination(m) && sd_bus_is_bus_client(sd_bus_message_get_bus(m)) > 0)
    return 0;
  const std::string path = Text(sd_bus_message_get_path(m));
  const sd_bus_vtable* const factory[] = {kFactoryTable, kTraceTable};
  const sd_bus_vtable* const object[] = {kDriverTable, kObjectTable, kDiagnosticsTable};
  std::span<const sd_bus_vtable* const> tables;
  if (path == kFactoryPath)
    tables = factory;
  else if (Server(userdata).registry_.Exists(ObjectNumber(path)))
    tables = object;
  const std::string member = Text(sd_bus_message_get_member(m));
  for (const sd_bus_vtable* table : tables) {
    for (const sd_bus_vtable* entry = table; entry->type != _SD_BUS_VTABLE_END; ++entry) {
      if (entry->type != _SD_BUS_VTABLE_METHOD || member != entry->x.method.member) continue;
      const std::string signature = Text(sd_bus_message_get_signature(m, 1));
      if (signature != Text(entry->x.method.signature))
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS,
                                 "Invalid arguments '%s' to call %s(), expecting '%s'.",
                                 signature.c_str(), member.c_str(), entry->x.method.signature);
      const int r = entry->x.method.handler(m, userdata, error);
      return r < 0 ? r : 1;
    }
  }
  if (tables.empty()) return 0;  // sd-bus answers: no such object
  return sd_bus_error_setf(error, SD_BUS_ERROR_UNKNOWN_METHOD,
                           "Unknown method '%s' (the call names no interface).", member.c_str());
}

void SdBusClose::operator()(sd_bus* bus) const {
  sd_bus_flush_close_unref(bus);
}

SdBusConnection ConnectSdBus(const QString& address, QString& error) {
  sd_bus* bus = nullptr;
  int r = 0;
  if (address.isEmpty() || address == QLatin1String("session")) {
    r = sd_bus_open_user(&bus);
  } else if (address == QLatin1String("system")) {
    r = sd_bus_open_system(&bus);
  } else {
    r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_address(bus, address.toUtf8().constData());
    if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0) r = sd_bus_start(bus);
  }
  SdBusConnection connection(bus);
  // The connection is made in the background; the first question shows whether it took.
  const char* unique = nullptr;
  if (r >= 0) r = sd_bus_get_unique_name(bus, &unique);
  if (r < 0) {
    error = QString::fromLocal8Bit(std::strerror(-r));
    return nullptr;
  }
  return connection;
}

BusServer::BusServer(TMainForm& mainForm, MessageLoop& loop, SdBusConnection connection)
    : bus_(std::move(connection)),
      mainForm_(mainForm),
      loop_(loop),
      registry_(loop, [&mainForm] { return std::make_unique<TQorModBusCom>(mainForm); }) {
  registry_.OnClientAdded = [this](const std::string& client) { WatchClient(client); };
  registry_.OnClientRemoved = [this](const std::string& client) { UnwatchClient(client); };
  registry_.OnObjectDestroyed = [this](size_t count) {
    LogDebug("Driver objects alive: " + std::to_string(count));
    if (OnObjectCountChanged) OnObjectCountChanged(count);
  };
  timeout_.setSingleShot(true);
  QObject::connect(&timeout_, &QTimer::timeout, [this] { Process(); });
}

BusServer::~BusServer() {
  if (!frameWatchers_.empty()) SetFrameWatcher(nullptr);
  ReleaseName();
  // The objects may outlive the bus; the watches and questions about their clients do not.
  registry_.OnClientAdded = nullptr;
  registry_.OnClientRemoved = nullptr;
  for (auto& [client, track] : tracks_) sd_bus_track_unref(track);
  for (auto& [slot, question] : watcherQuestions_) {
    sd_bus_slot_unref(slot);
    sd_bus_message_unref(question.call);
  }
  for (sd_bus_slot* slot : tables_) sd_bus_slot_unref(slot);
  typed_.reset();
}

bool BusServer::Start(QString& error) {
  return Serve(error, true);
}

bool BusServer::StartOnPeer(QString& error) {
  return Serve(error, false);
}

bool BusServer::Serve(QString& error, bool takeName) {
  if (!bus_ || !sd_bus_is_open(bus_.get())) {
    error = QStringLiteral("not connected to the bus");
    return false;
  }
  struct Table {
    const char* interface;
    const sd_bus_vtable* vtable;
    bool perObject;
  };
  const Table tables[] = {{kFactoryInterfaceName, kFactoryTable, false},
                          {kTraceInterfaceName, kTraceTable, false},
                          {kDriverInterfaceName, kDriverTable, true},
                          {kObjectInterfaceName, kObjectTable, true},
                          {kDiagnosticsInterfaceName, kDiagnosticsTable, true}};
  // sd-bus keeps a path's tables all plain or all fallback: the driver objects' tables hang from
  // the factory's parent, and their find callback takes only the paths of live objects.
  const std::string_view factory = kFactoryPath;
  const std::string driverPrefix(factory.substr(0, factory.rfind('/')));
  int r = 0;
  for (const Table& table : tables) {
    sd_bus_slot* slot = nullptr;
    r = table.perObject
            ? sd_bus_add_fallback_vtable(bus_.get(), &slot, driverPrefix.c_str(), table.interface,
                                         table.vtable, &BusTables::Find, this)
            : sd_bus_add_object_vtable(bus_.get(), &slot, kFactoryPath, table.interface,
                                       table.vtable, this);
    if (r < 0) break;
    tables_.push_back(slot);
  }
  if (r >= 0) {
    sd_bus_slot* slot = nullptr;
    r = sd_bus_add_filter(bus_.get(), &slot, &BusTables::WithoutInterface, this);
    if (r >= 0) tables_.push_back(slot);
  }
  if (r >= 0) {
    sd_bus_slot* slot = nullptr;
    r = sd_bus_add_node_enumerator(bus_.get(), &slot, kFactoryPath, &BusTables::Enumerate, this);
    if (r >= 0) tables_.push_back(slot);
  }
  if (r >= 0) {
    typed_ = std::make_unique<TypedBus>(bus_.get(), mainForm_, loop_);
    typed_->OnClient = [this](const std::string& client) { WatchClient(client); };
    typed_->OnSent = [this] { WatchEvents(); };
    r = typed_->Publish();
  }
  if (r < 0) {
    error = QStringLiteral("cannot publish %1: %2")
                .arg(QString::fromLatin1(kFactoryPath), QString::fromLocal8Bit(strerror(-r)));
    return false;
  }
  if (takeName) {
    r = sd_bus_request_name(bus_.get(), kBusName, 0);
    if (r == -EEXIST) {
      error = QStringLiteral("the name %1 is already taken on this bus (another server runs)")
                  .arg(QString::fromLatin1(kBusName));
      return false;
    }
    if (r < 0) {
      error = QStringLiteral("cannot take the name %1: %2")
                  .arg(QString::fromLatin1(kBusName), QString::fromLocal8Bit(strerror(-r)));
      return false;
    }
    nameOwned_ = true;
    const char* unique = "";
    sd_bus_get_unique_name(bus_.get(), &unique);
    LogInfo("Serving " + std::string(kBusName) + " as " + unique);
  }

  const int fd = sd_bus_get_fd(bus_.get());
  read_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  write_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
  QObject::connect(read_.get(), &QSocketNotifier::activated, [this] { Process(); });
  QObject::connect(write_.get(), &QSocketNotifier::activated, [this] { Process(); });
  // The calls that came while the name was taken already wait in the library's queue.
  ProcessSoon();
  return true;
}

void BusServer::ReleaseName() {
  if (!nameOwned_) return;
  nameOwned_ = false;
  if (disconnected_ || !sd_bus_is_open(bus_.get())) return;
  sd_bus_release_name(bus_.get(), kBusName);
  // The wait for the answer may have read calls that the socket no longer announces.
  ProcessSoon();
}

// Runs the bus until it has nothing more to do (each call answered in its handler, each client
// that left let go), then watches what sd-bus waits for.
void BusServer::Process() {
  // sd-bus must not be entered again from its own handlers.
  if (disconnected_ || processing_) return;
  processing_ = true;
  int r = 0;
  while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
  }
  processing_ = false;
  if (r < 0 || !sd_bus_is_open(bus_.get())) {
    disconnected_ = true;
    read_.reset();
    write_.reset();
    timeout_.stop();
    if (OnDisconnected) OnDisconnected();
    return;
  }
  WatchEvents();
}

void BusServer::ProcessSoon() {
  if (!disconnected_) timeout_.start(0);
}

void BusServer::WatchEvents() {
  if (disconnected_ || !write_) return;
  write_->setEnabled((sd_bus_get_events(bus_.get()) & POLLOUT) != 0);
  uint64_t until = 0;
  if (sd_bus_get_timeout(bus_.get(), &until) < 0 || until == UINT64_MAX) {
    timeout_.stop();
    return;
  }
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t nowUs =
      static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
  timeout_.start(until > nowUs ? static_cast<int>((until - nowUs + 999) / 1000) : 0);
}

int BusServer::CreateInstance(sd_bus_message* m, sd_bus_error* error) {
  const std::string client = Text(sd_bus_message_get_sender(m));
  const uint64_t id = registry_.Create(client);
  if (id == 0) {
    const std::string why = "client " + client + " already holds " +
                            std::to_string(DriverRegistry::kMaxObjectsPerClient) +
                            " driver objects, the most one client may hold; release one first";
    LogWarning("CreateInstance refused: " + why);
    return sd_bus_error_set(error, SD_BUS_ERROR_LIMITS_EXCEEDED, why.c_str());
  }
  LogInfo("Client " + client + ": driver object " + std::to_string(id) + " created (" +
          std::to_string(registry_.ObjectCount()) + " alive)");
  return sd_bus_reply_method_return(m, "o", ObjectPath(id).c_str());
}

std::shared_ptr<TQorModBusCom> BusServer::Acquire(sd_bus_message* m, uint64_t& id,
                                                  sd_bus_error* error) {
  const std::string caller = Text(sd_bus_message_get_sender(m));
  const char* path = sd_bus_message_get_path(m);
  id = ObjectNumber(Text(path));
  DriverRegistry::Access access = DriverRegistry::Access::Granted;
  // The handle keeps the object alive to the end of this call, whatever happens meanwhile.
  std::shared_ptr<TQorModBusCom> object = registry_.Acquire(id, caller, access);
  if (access == DriverRegistry::Access::NoSuchObject) {
    sd_bus_error_setf(error, SD_BUS_ERROR_UNKNOWN_OBJECT,
                      "no driver object at %s (released, or never created)", path);
  } else if (access == DriverRegistry::Access::Denied) {
    LogWarning("Client " + caller + " was refused " + Text(sd_bus_message_get_member(m)) + " on " +
               Text(path) + ", which belongs to another client");
    sd_bus_error_setf(error, SD_BUS_ERROR_ACCESS_DENIED,
                      "%s belongs to another bus client; only the client that created it may "
                      "call it",
                      path);
  }
  return object;
}

int BusServer::Driver(sd_bus_message* m, DriverCall call, sd_bus_error* error) {
  uint64_t id = 0;
  const std::shared_ptr<TQorModBusCom> object = Acquire(m, id, error);
  if (!object) return -sd_bus_error_get_errno(error);
  const char* member = sd_bus_message_get_member(m);
  std::string why;
  std::vector<int32_t> unrepresentable;
  std::optional<Variant> params = ReadParamList(m, why, unrepresentable);
  if (!params)
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "%s: %s", member, why.c_str());

  const DriverAnswer answer = CarryOut(*object, call, std::move(*params), unrepresentable,
                                       Text(sd_bus_message_get_sender(m)), id, Text(member));
  sd_bus_message* reply = nullptr;
  int r = sd_bus_message_new_method_return(m, &reply);
  if (r >= 0)
    r = answer.list ? AppendReply(reply, *answer.list)
                    : sd_bus_message_append(reply, "b", static_cast<int>(answer.flag));
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

int BusServer::Release(sd_bus_message* m, sd_bus_error* error) {
  uint64_t id = 0;
  if (!Acquire(m, id, error)) return -sd_bus_error_get_errno(error);
  const std::string caller = Text(sd_bus_message_get_sender(m));
  registry_.Release(id, caller);
  LogInfo("Client " + caller + ": driver object " + std::to_string(id) + " released");
  return sd_bus_reply_method_return(m, nullptr);
}

int BusServer::LastErrorDetail(sd_bus_message* m, sd_bus_error* error) {
  uint64_t id = 0;
  const std::shared_ptr<TQorModBusCom> object = Acquire(m, id, error);
  if (!object) return -sd_bus_error_get_errno(error);
  return sd_bus_reply_method_return(m, "s", TextToBus(object->LastErrorDetail()).c_str());
}

// A client's objects, frame watch and typed sites go when it leaves the bus. Each client has a
// track of its own, so that its handler knows who left; the track counts the client's holds (one
// for its objects, one for its frame watch, one per OpenSite, which last until it leaves). The
// first hold asks the bus whether the client is still there; when it is gone already the track is
// empty at once and its handler runs from the next sd_bus_process, as it does when the client
// leaves later. A peer connection has no bus names to track: nothing there is watched.
void BusServer::WatchClient(const std::string& client) {
  sd_bus_track*& track = tracks_[client];
  if (!track && sd_bus_track_new(bus_.get(), &track, &BusServer::OnClientGone, this) < 0) {
    tracks_.erase(client);
    return;
  }
  sd_bus_track_set_recursive(track, 1);
  sd_bus_track_add_name(track, client.c_str());
}

// The last hold let go here takes the track down before its handler could take the client for
// gone.
void BusServer::UnwatchClient(const std::string& client) {
  const auto found = tracks_.find(client);
  if (found == tracks_.end()) return;
  sd_bus_track_remove_name(found->second, client.c_str());
  if (sd_bus_track_count_name(found->second, client.c_str()) > 0) return;
  sd_bus_track_unref(found->second);
  tracks_.erase(found);
}

int BusServer::OnClientGone(sd_bus_track* track, void* userdata) {
  auto* self = static_cast<BusServer*>(userdata);
  // A closing connection empties every track: the clients did not leave, the server did.
  if (!sd_bus_is_open(self->bus_.get())) return 1;
  const auto found = std::find_if(self->tracks_.begin(), self->tracks_.end(),
                                  [track](const auto& entry) { return entry.second == track; });
  if (found == self->tracks_.end()) return 1;
  const std::string client = found->first;
  sd_bus_track_unref(track);
  self->tracks_.erase(found);
  self->ClientLeft(client);
  return 1;
}

void BusServer::ClientLeft(const std::string& client) {
  StopFrames(client, "left the bus");
  if (typed_ && typed_->HasClient(client)) {
    typed_->ClientLeft(client);
    LogInfo("Client " + client + " left the bus: its typed sites let go");
  }
  const size_t released = registry_.ReleaseClient(client);
  if (released)
    LogInfo("Client " + client + " left the bus: " + std::to_string(released) +
            " driver object(s) released");
}

int BusServer::WatchFrames(sd_bus_message* m) {
  const std::string client = Text(sd_bus_message_get_sender(m));
  int on = 0;
  if (const int r = sd_bus_message_read_basic(m, 'b', &on); r < 0) return r;
  // The client's last word counts, whatever the bus answers about its earlier ones.
  for (auto& [slot, question] : watcherQuestions_)
    if (question.client == client) question.superseded = true;
  if (!on) {
    StopFrames(client, "asked to stop");
    ReplyWatching(m, false);
    return 1;
  }
  // Asked of the bus, which saw the client's credentials when it connected; the answer comes
  // through the loop, so a slow bus holds up this call alone.
  sd_bus_slot* slot = nullptr;
  if (disconnected_ ||
      sd_bus_call_method_async(bus_.get(), &slot, kBusDaemon, kBusDaemonPath, kBusDaemon,
                               "GetConnectionUnixUser", &BusServer::OnWatcherUser, this, "s",
                               client.c_str()) < 0) {
    StartFrames(client, false);
    ReplyWatching(m, false);
    return 1;
  }
  watcherQuestions_[slot] = {sd_bus_message_ref(m), client, false};
  return 1;
}

int BusServer::OnWatcherUser(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BusServer*>(userdata);
  const auto found = self->watcherQuestions_.find(sd_bus_get_current_slot(self->bus_.get()));
  if (found == self->watcherQuestions_.end()) return 0;
  const WatcherQuestion question = found->second;
  sd_bus_slot_unref(found->first);
  self->watcherQuestions_.erase(found);
  uint32_t uid = 0;
  const bool allSites = !sd_bus_message_is_method_error(m, nullptr) &&
                        sd_bus_message_read_basic(m, 'u', &uid) > 0 &&
                        uid == static_cast<uint32_t>(getuid());
  if (!question.superseded) self->StartFrames(question.client, allSites);
  self->ReplyWatching(question.call, allSites);
  sd_bus_message_unref(question.call);
  return 0;
}

// The sites whose frames the caller sees: every open site while it watches as the server's own
// user, else those it has open through its driver objects (a trace of a site it cannot see, or
// of one that is not open, would only wait in silence).
int BusServer::TracedSites(sd_bus_message* m) {
  const std::string client = Text(sd_bus_message_get_sender(m));
  const auto watcher = frameWatchers_.find(client);
  const bool allSites = watcher != frameWatchers_.end() && watcher->second;
  std::vector<std::string> names;
  for (const auto& [description, engine] : mainForm_.Engines())
    if (allSites || registry_.ClientHoldsSite(client, engine))
      names.push_back(TextToBus(description));
  sd_bus_message* reply = nullptr;
  int r = sd_bus_message_new_method_return(m, &reply);
  if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "s");
  for (const std::string& name : names)
    if (r >= 0) r = sd_bus_message_append_basic(reply, 's', name.c_str());
  if (r >= 0) r = sd_bus_message_close_container(reply);
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

void BusServer::ReplyWatching(sd_bus_message* call, bool allSites) {
  if (!disconnected_) sd_bus_reply_method_return(call, "b", static_cast<int>(allSites));
}

void BusServer::StartFrames(const std::string& client, bool allSites) {
  const bool known = frameWatchers_.count(client) != 0;
  frameWatchers_[client] = allSites;
  if (known) return;
  LogInfo("Client " + client + " watches the frames of " +
          (allSites ? "every site" : "the sites it has open"));
  WatchClient(client);
  // The engines' frames reach SendFrame only while somebody watches.
  if (!FramesWatched())
    SetFrameWatcher(
        [this](const void* site, const std::string& description, bool outgoing,
               std::string_view bytes) { SendFrame(site, description, outgoing, bytes); });
}

void BusServer::StopFrames(const std::string& client, const char* why) {
  if (frameWatchers_.erase(client) == 0) return;
  UnwatchClient(client);
  LogInfo("Client " + client + " stopped watching frames (" + why + ")");
  if (frameWatchers_.empty()) SetFrameWatcher(nullptr);
}

// To each watcher alone (a signal with a destination), never broadcast.
void BusServer::SendFrame(const void* site, const std::string& description, bool outgoing,
                          std::string_view bytes) {
  if (disconnected_) return;
  const uint64_t micros = MonotonicMicros();
  std::string text;
  std::string hex;
  for (const auto& [client, allSites] : frameWatchers_) {
    if (!allSites && !registry_.ClientHoldsSite(client, site)) continue;
    if (hex.empty()) {
      text = TextToBus(description);
      hex = BytesToSpacedHex(bytes);
    }
    sd_bus_message* signal = nullptr;
    if (sd_bus_message_new_signal(bus_.get(), &signal, kFactoryPath, kTraceInterfaceName,
                                  "Frame") >= 0 &&
        sd_bus_message_set_destination(signal, client.c_str()) >= 0 &&
        sd_bus_message_append(signal, "ssst", text.c_str(), outgoing ? ">" : "<", hex.c_str(),
                              micros) >= 0)
      sd_bus_send(bus_.get(), signal, nullptr);
    sd_bus_message_unref(signal);
  }
  // What the socket did not take at once goes when it is writable.
  WatchEvents();
}

}  // namespace qmb
