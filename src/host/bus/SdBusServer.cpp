#include "host/bus/SdBusServer.h"

#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <QByteArray>
#include <QStringList>
#include <QVariantList>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <map>
#include <utility>

#include "host/Registration.h"
#include "host/bus/BusConversion.h"
#include "platform/Log.h"
#include "platform/TextHelpers.h"

namespace qmb {

namespace {

const char* const kBusDaemon = "org.freedesktop.DBus";
const char* const kBusDaemonPath = "/org/freedesktop/DBus";

QString Utf8(const char* text) {
  return QString::fromUtf8(text ? text : "");
}

bool IsInterface(sd_bus_message* m, const char* name) {
  // A call may leave the interface out; the member name alone then decides.
  const char* interface = sd_bus_message_get_interface(m);
  return !interface || std::strcmp(interface, name) == 0;
}

bool Is(const char* text, const char* expected) {
  return text && std::strcmp(text, expected) == 0;
}

// What Qt would hand over for a variant of this signature, by the name ParamListFromBus gives
// when it refuses it: a host sees the same error through either library.
QString QtTypeName(const char* signature) {
  static const std::map<std::string, const char*> names = {{"y", "uchar"},
                                                           {"b", "bool"},
                                                           {"n", "short"},
                                                           {"q", "ushort"},
                                                           {"i", "int"},
                                                           {"u", "uint"},
                                                           {"x", "qlonglong"},
                                                           {"t", "qulonglong"},
                                                           {"d", "double"},
                                                           {"o", "QDBusObjectPath"},
                                                           {"g", "QDBusSignature"},
                                                           {"h", "QDBusUnixFileDescriptor"},
                                                           {"v", "QDBusVariant"},
                                                           {"ay", "QByteArray"}};
  const auto name = names.find(signature);
  return name != names.end() ? QString::fromLatin1(name->second) : Utf8(signature);
}

// One element of an `av` list as Qt would hand it to ElementFromBus; an invalid QVariant for
// anything that has no place in a list (it then stands unsupported).
QVariant ElementAsQt(sd_bus_message* m, const char* type) {
  if (!type || std::strlen(type) != 1 || !std::strchr("ybnqiuxtds", type[0])) {
    sd_bus_message_skip(m, type);
    return {};
  }
  union {
    uint8_t y;
    int b;
    int16_t n;
    uint16_t q;
    int32_t i;
    uint32_t u;
    int64_t x;
    uint64_t t;
    double d;
    const char* s;
  } value{};
  if (sd_bus_message_read_basic(m, type[0], &value) <= 0) return {};
  switch (type[0]) {
    case 'y':
      return QVariant::fromValue(static_cast<uchar>(value.y));
    case 'b':
      return value.b != 0;
    case 'n':
      return QVariant::fromValue(static_cast<short>(value.n));
    case 'q':
      return QVariant::fromValue(static_cast<ushort>(value.q));
    case 'i':
      return static_cast<int>(value.i);
    case 'u':
      return static_cast<uint>(value.u);
    case 'x':
      return static_cast<qlonglong>(value.x);
    case 't':
      return static_cast<qulonglong>(value.t);
    case 'd':
      return value.d;
    default:
      return Utf8(value.s);
  }
}

// The `v` argument as a parameter list, read with the same rules as the QtDBus adaptor's.
std::optional<Variant> ParamListFromMessage(sd_bus_message* m, QString& error,
                                            std::vector<int32_t>& unrepresentable) {
  // The variant's contents, named by their whole signature ("aas" for a list of lists).
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || type != 'v' || !contents ||
      sd_bus_message_enter_container(m, 'v', contents) <= 0) {
    error = ParamListRefusal(QStringLiteral("nothing"));
    return std::nullopt;
  }
  const std::string inner = contents;
  bool lossy = false;
  // A text sd-bus cannot read (it refuses the noncharacters U+FDD0-U+FDEF and U+xFFFE/U+xFFFF
  // that the daemon lets through) fails the call: a list cut short at it would run the host's
  // command without the parameters that came after.
  const auto unreadable = [&error](size_t index, int r) {
    error = QStringLiteral("element %1 of the parameter list cannot be read (%2)")
                .arg(index)
                .arg(QString::fromLocal8Bit(std::strerror(-r)));
    return std::nullopt;
  };
  if (inner == "s") {
    const char* text = nullptr;
    if (const int r = sd_bus_message_read_basic(m, 's', &text); r <= 0) return unreadable(0, r);
    Variant value(TextFromBus(Utf8(text), &lossy));
    if (lossy) unrepresentable.push_back(0);
    return value;
  }
  if (inner != "as" && inner != "av") {
    error = ParamListRefusal(QtTypeName(inner.c_str()));
    return std::nullopt;
  }
  const bool texts = inner == "as";
  if (sd_bus_message_enter_container(m, 'a', texts ? "s" : "v") <= 0) return std::nullopt;
  std::vector<Variant> elements;
  for (;;) {
    lossy = false;
    if (texts) {
      const char* text = nullptr;
      const int r = sd_bus_message_read_basic(m, 's', &text);
      if (r == 0) break;  // the end of the list
      if (r < 0) return unreadable(elements.size(), r);
      elements.emplace_back(TextFromBus(Utf8(text), &lossy));
    } else {
      const char* type = nullptr;
      int r = sd_bus_message_peek_type(m, nullptr, &type);
      if (r == 0) break;
      if (r > 0) r = sd_bus_message_enter_container(m, 'v', type);
      if (r <= 0) return unreadable(elements.size(), r < 0 ? r : -EBADMSG);
      elements.push_back(ElementFromBus(ElementAsQt(m, type), lossy));
      sd_bus_message_exit_container(m);
    }
    if (lossy) unrepresentable.push_back(static_cast<int32_t>(elements.size()) - 1);
  }
  return ListFromBus(texts ? ElementType::Text : ElementType::Variant, std::move(elements));
}

// The bus form ReplyToBus chose, written as a variant: the same reply through either library.
int AppendVariant(sd_bus_message* m, const QVariant& value) {
  int r = 0;
  switch (value.metaType().id()) {
    case QMetaType::QStringList: {
      if ((r = sd_bus_message_open_container(m, 'v', "as")) < 0) return r;
      if ((r = sd_bus_message_open_container(m, 'a', "s")) < 0) return r;
      for (const QString& text : value.toStringList())
        if ((r = sd_bus_message_append_basic(m, 's', text.toUtf8().constData())) < 0) return r;
      if ((r = sd_bus_message_close_container(m)) < 0) return r;
      return sd_bus_message_close_container(m);
    }
    case QMetaType::QVariantList: {
      if ((r = sd_bus_message_open_container(m, 'v', "av")) < 0) return r;
      if ((r = sd_bus_message_open_container(m, 'a', "v")) < 0) return r;
      for (const QVariant& element : value.toList())
        if ((r = AppendVariant(m, element)) < 0) return r;
      if ((r = sd_bus_message_close_container(m)) < 0) return r;
      return sd_bus_message_close_container(m);
    }
    case QMetaType::QByteArray: {
      const QByteArray bytes = value.toByteArray();
      if ((r = sd_bus_message_open_container(m, 'v', "ay")) < 0) return r;
      if ((r = sd_bus_message_append_array(m, 'y', bytes.constData(),
                                           static_cast<size_t>(bytes.size()))) < 0)
        return r;
      return sd_bus_message_close_container(m);
    }
    case QMetaType::Int:
      return sd_bus_message_append(m, "v", "i", static_cast<int32_t>(value.toInt()));
    case QMetaType::Double:
      return sd_bus_message_append(m, "v", "d", value.toDouble());
    case QMetaType::Bool:
      return sd_bus_message_append(m, "v", "b", static_cast<int>(value.toBool()));
    case QMetaType::UChar:
      return sd_bus_message_append(m, "v", "y", static_cast<uint8_t>(value.value<uchar>()));
    default:
      return sd_bus_message_append(m, "v", "s", value.toString().toUtf8().constData());
  }
}

uint64_t MonotonicMicros() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

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

SdBusServer::SdBusServer(TMainForm& mainForm, MessageLoop& loop, SdBusConnection connection,
                         const QString& introspectionXml)
    : bus_(std::move(connection)),
      introspection_(introspectionXml),
      registry_(loop, [&mainForm] { return std::make_unique<TQorModBusCom>(mainForm); }) {
  registry_.OnClientAdded = [this](const std::string& client) { WatchClient(client, false); };
  registry_.OnClientRemoved = [this](const std::string& client) { UnwatchClient(client, false); };
  registry_.OnObjectDestroyed = [this](size_t count) {
    LogDebug("Driver objects alive: " + std::to_string(count));
    if (OnObjectCountChanged) OnObjectCountChanged(count);
  };
  timeout_.setSingleShot(true);
  QObject::connect(&timeout_, &QTimer::timeout, [this] { Process(); });
}

SdBusServer::~SdBusServer() {
  if (!frameWatchers_.empty()) SetFrameWatcher(nullptr);
  ReleaseName();
  // The objects may outlive the bus; the watches and questions about their clients do not.
  registry_.OnClientAdded = nullptr;
  registry_.OnClientRemoved = nullptr;
  for (auto& [client, watch] : clients_) sd_bus_slot_unref(watch.match);
  for (auto& [slot, client] : checks_) sd_bus_slot_unref(slot);
  for (auto& [slot, question] : watcherQuestions_) {
    sd_bus_slot_unref(slot);
    sd_bus_message_unref(question.call);
  }
  watcherQuestions_.clear();
  for (sd_bus_message* m : queued_) sd_bus_message_unref(m);
  sd_bus_slot_unref(objects_);
  clients_.clear();
  checks_.clear();
  queued_.clear();
}

bool SdBusServer::Start(QString& error) {
  return Serve(error, true);
}

bool SdBusServer::StartOnPeer(QString& error) {
  return Serve(error, false);
}

bool SdBusServer::Serve(QString& error, bool takeName) {
  if (!bus_ || !sd_bus_is_open(bus_.get())) {
    error = QStringLiteral("not connected to the bus");
    return false;
  }
  // Objects first: a host whose call started this server finds them as soon as the name is ours.
  int r = sd_bus_add_fallback(bus_.get(), &objects_, kFactoryPath, &SdBusServer::OnMessage, this);
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

void SdBusServer::ReleaseName() {
  if (!nameOwned_) return;
  nameOwned_ = false;
  if (disconnected_ || !sd_bus_is_open(bus_.get())) return;
  sd_bus_release_name(bus_.get(), kBusName);
  // The wait for the answer may have read calls that the socket no longer announces.
  ProcessSoon();
}

// Runs the bus until it has nothing more to do, then the calls it took off; again while those
// left more to read (sd-bus reads ahead) or to write. The loop then watches what sd-bus waits for.
void SdBusServer::Process() {
  if (disconnected_) return;
  for (;;) {
    int r = 0;
    while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
    }
    if (r < 0 || !sd_bus_is_open(bus_.get())) {
      disconnected_ = true;
      read_.reset();
      write_.reset();
      timeout_.stop();
      if (OnDisconnected) OnDisconnected();
      return;
    }
    if (queued_.empty() && left_.empty()) break;
    RunQueued();
    if (disconnected_) return;
  }
  WatchEvents();
}

void SdBusServer::ProcessSoon() {
  if (!disconnected_) timeout_.start(0);
}

void SdBusServer::WatchEvents() {
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

void SdBusServer::RunQueued() {
  while (!left_.empty()) {
    const std::string client = std::move(left_.front());
    left_.pop_front();
    ClientLeft(client);
  }
  while (!queued_.empty()) {
    sd_bus_message* m = queued_.front();
    queued_.pop_front();
    try {
      Dispatch(m);
    } catch (const std::exception& e) {
      LogError("Bus call " + std::string(sd_bus_message_get_member(m)) + " on " +
               sd_bus_message_get_path(m) + " failed: " + e.what());
      ReplyError(m, SD_BUS_ERROR_FAILED,
                 QStringLiteral("internal error: %1").arg(QString::fromLocal8Bit(e.what())));
    } catch (...) {
      LogError("Bus call " + std::string(sd_bus_message_get_member(m)) + " failed");
      ReplyError(m, SD_BUS_ERROR_FAILED, QStringLiteral("internal error"));
    }
    sd_bus_message_unref(m);
  }
}

int SdBusServer::OnMessage(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  if (!sd_bus_message_is_method_call(m, nullptr, nullptr)) return 0;
  // Property calls go to the library's own handler: these objects have no properties.
  if (Is(sd_bus_message_get_interface(m), "org.freedesktop.DBus.Properties")) return 0;
  static_cast<SdBusServer*>(userdata)->queued_.push_back(sd_bus_message_ref(m));
  return 1;
}

void SdBusServer::Dispatch(sd_bus_message* m) {
  const QString path = Utf8(sd_bus_message_get_path(m));
  if (Is(sd_bus_message_get_interface(m), "org.freedesktop.DBus.Introspectable") &&
      Is(sd_bus_message_get_member(m), "Introspect")) {
    if (path != QLatin1String(kFactoryPath) && !registry_.Exists(ObjectNumber(path))) {
      ReplyError(m, SD_BUS_ERROR_UNKNOWN_OBJECT, QStringLiteral("no object at %1").arg(path));
      return;
    }
    const QString xml = introspection_.Document(
        path, path == QLatin1String(kFactoryPath) ? registry_.Objects() : std::vector<uint64_t>());
    sd_bus_message* reply = nullptr;
    if (sd_bus_message_new_method_return(m, &reply) >= 0 &&
        sd_bus_message_append_basic(reply, 's', xml.toUtf8().constData()) >= 0)
      Reply(m, reply);
    sd_bus_message_unref(reply);
    return;
  }
  if (path == QLatin1String(kFactoryPath)) {
    HandleFactoryCall(m);
    return;
  }
  const uint64_t id = ObjectNumber(path);
  if (id == 0) {
    ReplyError(m, SD_BUS_ERROR_UNKNOWN_OBJECT, QStringLiteral("no object at %1").arg(path));
    return;
  }
  HandleDriverCall(m, id);
}

void SdBusServer::HandleFactoryCall(sd_bus_message* m) {
  const char* member = sd_bus_message_get_member(m);
  if (Is(member, "WatchFrames") && IsInterface(m, kTraceInterfaceName)) {
    HandleWatchFrames(m);
    return;
  }
  if (!Is(member, "CreateInstance") || !IsInterface(m, kFactoryInterfaceName)) {
    ReplyError(m, SD_BUS_ERROR_UNKNOWN_METHOD,
               QStringLiteral("%1 has no method %2.%3 (it offers %4.CreateInstance and "
                              "%5.WatchFrames)")
                   .arg(Utf8(sd_bus_message_get_path(m)), Utf8(sd_bus_message_get_interface(m)),
                        Utf8(member), QLatin1String(kFactoryInterfaceName),
                        QLatin1String(kTraceInterfaceName)));
    return;
  }
  const char* signature = sd_bus_message_get_signature(m, 1);
  if (signature && *signature) {
    ReplyError(
        m, SD_BUS_ERROR_INVALID_ARGS,
        QStringLiteral("CreateInstance takes no arguments, got \"%1\"").arg(Utf8(signature)));
    return;
  }
  const std::string client = sd_bus_message_get_sender(m) ? sd_bus_message_get_sender(m) : "";
  const uint64_t id = registry_.Create(client);
  if (id == 0) {
    const std::string why = "client " + client + " already holds " +
                            std::to_string(DriverRegistry::kMaxObjectsPerClient) +
                            " driver objects, the most one client may hold; release one first";
    LogWarning("CreateInstance refused: " + why);
    ReplyError(m, SD_BUS_ERROR_LIMITS_EXCEEDED, QString::fromStdString(why));
    return;
  }
  LogInfo("Client " + client + ": driver object " + std::to_string(id) + " created (" +
          std::to_string(registry_.ObjectCount()) + " alive)");
  sd_bus_message* reply = nullptr;
  if (sd_bus_message_new_method_return(m, &reply) >= 0 &&
      sd_bus_message_append_basic(reply, 'o', ObjectPath(id).toLatin1().constData()) >= 0)
    Reply(m, reply);
  sd_bus_message_unref(reply);
}

void SdBusServer::HandleDriverCall(sd_bus_message* m, uint64_t id) {
  const std::string caller = sd_bus_message_get_sender(m) ? sd_bus_message_get_sender(m) : "";
  const QString path = Utf8(sd_bus_message_get_path(m));
  const QString member = Utf8(sd_bus_message_get_member(m));
  const QString signature = Utf8(sd_bus_message_get_signature(m, 1));
  DriverRegistry::Access access = DriverRegistry::Access::Granted;
  // The handle keeps the object alive to the end of this call, whatever happens meanwhile.
  const std::shared_ptr<TQorModBusCom> object = registry_.Acquire(id, caller, access);
  if (access == DriverRegistry::Access::NoSuchObject) {
    ReplyError(m, SD_BUS_ERROR_UNKNOWN_OBJECT,
               QStringLiteral("no driver object at %1 (released, or never created)").arg(path));
    return;
  }
  if (access == DriverRegistry::Access::Denied) {
    LogWarning("Client " + caller + " was refused " + member.toStdString() + " on " +
               path.toStdString() + ", which belongs to another client");
    ReplyError(m, SD_BUS_ERROR_ACCESS_DENIED,
               QStringLiteral("%1 belongs to another bus client; only the client that created it "
                              "may call it")
                   .arg(path));
    return;
  }

  if (member == QLatin1String("Release") && IsInterface(m, kObjectInterfaceName)) {
    if (!signature.isEmpty()) {
      ReplyError(m, SD_BUS_ERROR_INVALID_ARGS,
                 QStringLiteral("Release takes no arguments, got \"%1\"").arg(signature));
      return;
    }
    if (BeforeDriverCall) BeforeDriverCall(member);
    registry_.Release(id, caller);
    LogInfo("Client " + caller + ": driver object " + std::to_string(id) + " released");
    sd_bus_message* reply = nullptr;
    if (sd_bus_message_new_method_return(m, &reply) >= 0) Reply(m, reply);
    sd_bus_message_unref(reply);
    return;
  }

  if (member == QLatin1String("LastErrorDetail") && IsInterface(m, kDiagnosticsInterfaceName)) {
    if (!signature.isEmpty()) {
      ReplyError(m, SD_BUS_ERROR_INVALID_ARGS,
                 QStringLiteral("LastErrorDetail takes no arguments, got \"%1\"").arg(signature));
      return;
    }
    const QByteArray detail = TextToBus(object->LastErrorDetail()).toUtf8();
    sd_bus_message* reply = nullptr;
    if (sd_bus_message_new_method_return(m, &reply) >= 0 &&
        sd_bus_message_append_basic(reply, 's', detail.constData()) >= 0)
      Reply(m, reply);
    sd_bus_message_unref(reply);
    return;
  }

  const DriverCall call =
      IsInterface(m, kDriverInterfaceName) ? DriverCallOf(member) : DriverCall::None;
  if (call == DriverCall::None) {
    ReplyError(m, SD_BUS_ERROR_UNKNOWN_METHOD,
               QStringLiteral("driver objects have no method %1.%2")
                   .arg(Utf8(sd_bus_message_get_interface(m)), member));
    return;
  }
  if (signature != QLatin1String("v")) {
    ReplyError(m, SD_BUS_ERROR_INVALID_ARGS,
               QStringLiteral("%1 takes one variant (a parameter list), got \"%2\"")
                   .arg(member, signature));
    return;
  }
  QString error;
  std::vector<int32_t> unrepresentable;
  std::optional<Variant> params = ParamListFromMessage(m, error, unrepresentable);
  if (!params) {
    ReplyError(m, SD_BUS_ERROR_INVALID_ARGS, member + QStringLiteral(": ") + error);
    return;
  }

  if (BeforeDriverCall) BeforeDriverCall(member);
  const DriverAnswer answer =
      CarryOut(*object, call, std::move(*params), unrepresentable,
               "Client " + caller + " object " + std::to_string(id) + " " + member.toStdString());
  sd_bus_message* reply = nullptr;
  const int flag = answer.flag ? 1 : 0;
  if (sd_bus_message_new_method_return(m, &reply) >= 0 &&
      (answer.list ? AppendVariant(reply, ReplyToBus(*answer.list).variant())
                   : sd_bus_message_append_basic(reply, 'b', &flag)) >= 0)
    Reply(m, reply);
  sd_bus_message_unref(reply);
}

void SdBusServer::Reply(sd_bus_message* m, sd_bus_message* reply) {
  if (!sd_bus_message_get_expect_reply(m) || disconnected_) return;
  sd_bus_send(bus_.get(), reply, nullptr);
}

void SdBusServer::ReplyError(sd_bus_message* m, const char* name, const QString& text) {
  if (!sd_bus_message_get_expect_reply(m) || disconnected_) return;
  const QByteArray message = text.toUtf8();
  const sd_bus_error error = {name, message.constData(), 0};
  sd_bus_reply_method_error(m, &error);
}

// A client's objects and frame watch go when it leaves the bus. The bus is asked whether the
// client is still there after the match is in place, so that a client gone in between is not
// missed.
void SdBusServer::WatchClient(const std::string& client, bool frames) {
  ClientWatch& watch = clients_[client];
  (frames ? watch.frames : watch.objects) = true;
  if (watch.match || disconnected_) return;
  const std::string rule =
      "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
      "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
      client + "'";
  if (sd_bus_add_match_async(bus_.get(), &watch.match, rule.c_str(),
                             &SdBusServer::OnNameOwnerChanged, nullptr, this) < 0)
    return;
  sd_bus_slot* check = nullptr;
  if (sd_bus_call_method_async(bus_.get(), &check, kBusDaemon, kBusDaemonPath, kBusDaemon,
                               "NameHasOwner", &SdBusServer::OnHasOwner, this, "s",
                               client.c_str()) >= 0)
    checks_[check] = client;
  WatchEvents();
}

void SdBusServer::UnwatchClient(const std::string& client, bool frames) {
  const auto watch = clients_.find(client);
  if (watch == clients_.end()) return;
  (frames ? watch->second.frames : watch->second.objects) = false;
  if (watch->second.frames || watch->second.objects) return;
  sd_bus_slot_unref(watch->second.match);
  clients_.erase(watch);
}

int SdBusServer::OnNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
  const char *name = nullptr, *before = nullptr, *after = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &before, &after) >= 0 && after && !*after)
    static_cast<SdBusServer*>(userdata)->left_.emplace_back(name);
  return 0;
}

int SdBusServer::OnHasOwner(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<SdBusServer*>(userdata);
  const auto check = self->checks_.find(sd_bus_get_current_slot(self->bus_.get()));
  if (check == self->checks_.end()) return 0;
  int has = 0;
  if (sd_bus_message_is_method_error(m, nullptr) || sd_bus_message_read(m, "b", &has) < 0) has = 0;
  if (!has) self->left_.push_back(check->second);
  sd_bus_slot_unref(check->first);
  self->checks_.erase(check);
  return 0;
}

void SdBusServer::ClientLeft(const std::string& client) {
  StopFrames(client, "left the bus");
  const size_t released = registry_.ReleaseClient(client);
  if (released)
    LogInfo("Client " + client + " left the bus: " + std::to_string(released) +
            " driver object(s) released");
}

void SdBusServer::HandleWatchFrames(sd_bus_message* m) {
  const QString signature = Utf8(sd_bus_message_get_signature(m, 1));
  if (signature != QLatin1String("b")) {
    ReplyError(m, SD_BUS_ERROR_INVALID_ARGS,
               QStringLiteral("WatchFrames takes one boolean, got \"%1\"").arg(signature));
    return;
  }
  const std::string client = sd_bus_message_get_sender(m) ? sd_bus_message_get_sender(m) : "";
  int on = 0;
  sd_bus_message_read_basic(m, 'b', &on);
  // The client's last word counts, whatever the bus answers about its earlier ones.
  for (auto& [slot, question] : watcherQuestions_)
    if (question.client == client) question.superseded = true;
  if (!on) {
    StopFrames(client, "asked to stop");
    ReplyWatching(m, false);
    return;
  }
  // Asked of the bus, which saw the client's credentials when it connected; the answer comes
  // through the loop, so a slow bus holds up this call alone.
  sd_bus_slot* slot = nullptr;
  if (disconnected_ ||
      sd_bus_call_method_async(bus_.get(), &slot, kBusDaemon, kBusDaemonPath, kBusDaemon,
                               "GetConnectionUnixUser", &SdBusServer::OnWatcherUser, this, "s",
                               client.c_str()) < 0) {
    StartFrames(client, false);
    ReplyWatching(m, false);
    return;
  }
  watcherQuestions_[slot] = {sd_bus_message_ref(m), client, false};
  WatchEvents();
}

int SdBusServer::OnWatcherUser(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<SdBusServer*>(userdata);
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

void SdBusServer::ReplyWatching(sd_bus_message* call, bool allSites) {
  const int flag = allSites ? 1 : 0;
  sd_bus_message* reply = nullptr;
  if (sd_bus_message_new_method_return(call, &reply) >= 0 &&
      sd_bus_message_append_basic(reply, 'b', &flag) >= 0)
    Reply(call, reply);
  sd_bus_message_unref(reply);
}

void SdBusServer::StartFrames(const std::string& client, bool allSites) {
  const bool known = frameWatchers_.count(client) != 0;
  frameWatchers_[client] = allSites;
  if (known) return;
  LogInfo("Client " + client + " watches the frames of " +
          (allSites ? "every site" : "the sites it has open"));
  WatchClient(client, true);
  // The engines' frames reach SendFrame only while somebody watches.
  if (!FramesWatched())
    SetFrameWatcher(
        [this](const void* site, const std::string& description, bool outgoing,
               std::string_view bytes) { SendFrame(site, description, outgoing, bytes); });
}

void SdBusServer::StopFrames(const std::string& client, const char* why) {
  if (frameWatchers_.erase(client) == 0) return;
  UnwatchClient(client, true);
  LogInfo("Client " + client + " stopped watching frames (" + why + ")");
  if (frameWatchers_.empty()) SetFrameWatcher(nullptr);
}

// To each watcher alone (a signal with a destination), never broadcast.
void SdBusServer::SendFrame(const void* site, const std::string& description, bool outgoing,
                            std::string_view bytes) {
  if (disconnected_) return;
  const uint64_t micros = MonotonicMicros();
  QByteArray text;
  QByteArray hex;
  for (const auto& [client, allSites] : frameWatchers_) {
    if (!allSites && !registry_.ClientHoldsSite(client, site)) continue;
    if (hex.isEmpty()) {
      text = TextToBus(description).toUtf8();
      hex = QByteArray::fromStdString(BytesToSpacedHex(bytes));
    }
    sd_bus_message* signal = nullptr;
    if (sd_bus_message_new_signal(bus_.get(), &signal, kFactoryPath, kTraceInterfaceName,
                                  "Frame") >= 0 &&
        sd_bus_message_set_destination(signal, client.c_str()) >= 0 &&
        sd_bus_message_append(signal, "ssst", text.constData(), outgoing ? ">" : "<",
                              hex.constData(), micros) >= 0)
      sd_bus_send(bus_.get(), signal, nullptr);
    sd_bus_message_unref(signal);
  }
  // What the socket did not take at once goes when it is writable.
  WatchEvents();
}

}  // namespace qmb
