#include "host/bus/TypedBus.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "host/bus/BusConversion.h"
#include "platform/Log.h"

namespace qmb {

namespace {

constexpr uint64_t kOpen = SD_BUS_VTABLE_UNPRIVILEGED;
const std::string_view kSitePrefix = "/QorModBus/Modbus1/site";

const char* ErrorName(TypedErrorKind kind) {
  switch (kind) {
    case TypedErrorKind::InvalidArgs:
      return SD_BUS_ERROR_INVALID_ARGS;
    case TypedErrorKind::UnknownObject:
      return SD_BUS_ERROR_UNKNOWN_OBJECT;
    case TypedErrorKind::NotConnected:
      return "QorModBus.Modbus1.Error.NotConnected";
    case TypedErrorKind::Locked:
      return "QorModBus.Modbus1.Error.Locked";
    case TypedErrorKind::Timeout:
      return "QorModBus.Modbus1.Error.Timeout";
    case TypedErrorKind::Exception:
      return "QorModBus.Modbus1.Error.Exception";
    case TypedErrorKind::WriteFailed:
      return "QorModBus.Modbus1.Error.WriteFailed";
    case TypedErrorKind::AccessDenied:
      return "QorModBus.Modbus1.Error.AccessDenied";
    case TypedErrorKind::LimitsExceeded:
      return "QorModBus.Modbus1.Error.LimitsExceeded";
    default:
      return SD_BUS_ERROR_FAILED;
  }
}

int SetError(sd_bus_error* error, const TypedError& failure) {
  return sd_bus_error_set(error, ErrorName(failure.kind), TextToBus(failure.text).c_str());
}

// A variant holding one of the typed values' basic types; the bus type it held in `type` when it
// holds none of them.
// lossy: a text had characters the driver's one-byte texts cannot hold.
int ReadScalar(sd_bus_message* m, TypedScalar& value, std::string& type, bool* lossy = nullptr) {
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(m, nullptr, &contents);
  if (r < 0) return r;
  type = Text(contents);
  const char* at = type.size() == 1 ? std::strchr(kTypedScalarSignatures, type[0]) : nullptr;
  if (!at) return -EINVAL;
  r = sd_bus_message_enter_container(m, 'v', contents);
  if (r < 0) return r;
  const auto basic = [m, &r]<typename T>(char code, T initial) {
    T v = initial;
    r = sd_bus_message_read_basic(m, code, &v);
    return v;
  };
  switch (type[0]) {
    case 'b':
      value = basic('b', int{0}) != 0;
      break;
    case 'y':
      value = basic('y', uint8_t{0});
      break;
    case 'n':
      value = basic('n', int16_t{0});
      break;
    case 'q':
      value = basic('q', uint16_t{0});
      break;
    case 'i':
      value = basic('i', int32_t{0});
      break;
    case 'u':
      value = basic('u', uint32_t{0});
      break;
    case 'x':
      value = basic('x', int64_t{0});
      break;
    case 't':
      value = basic('t', uint64_t{0});
      break;
    case 'd':
      value = basic('d', 0.0);
      break;
    default:
      value = TextFromBus(Text(basic('s', static_cast<const char*>(nullptr))), lossy);
      break;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

int AppendScalar(sd_bus_message* m, const TypedScalar& value) {
  const char signature[2] = {kTypedScalarSignatures[value.index()], 0};
  int r = sd_bus_message_open_container(m, 'v', signature);
  if (r < 0) return r;
  r = std::visit(
      [m, &signature](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          return sd_bus_message_append_basic(m, 's', TextToBus(v).c_str());
        } else if constexpr (std::is_same_v<T, bool>) {
          const int flag = v ? 1 : 0;
          return sd_bus_message_append_basic(m, 'b', &flag);
        } else {
          return sd_bus_message_append_basic(m, signature[0], &v);
        }
      },
      value);
  if (r < 0) return r;
  return sd_bus_message_close_container(m);
}

// A reading's value, time, quality and error, as Read and Changed carry them.
int AppendReading(sd_bus_message* m, const TypedReading& reading) {
  int r = AppendScalar(m, reading.value);
  if (r >= 0)
    r = sd_bus_message_append(m, "tus", reading.timeUs, reading.quality,
                              TextToBus(reading.error).c_str());
  return r;
}

}  // namespace

uint32_t TypedSiteNumber(std::string_view path) {
  if (path.size() <= kSitePrefix.size() + 1 || path.substr(0, kSitePrefix.size()) != kSitePrefix ||
      path[kSitePrefix.size()] != '/')
    return 0;
  const std::string_view digits = path.substr(kSitePrefix.size() + 1);
  uint32_t number = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (ec != std::errc() || end != digits.data() + digits.size() || digits[0] == '0') return 0;
  return number;
}

std::string TypedSitePath(uint32_t site) {
  return std::string(kSitePrefix) + "/" + std::to_string(site);
}

std::string TypedSubscriptionPath(uint32_t site, uint32_t subscription) {
  return TypedSitePath(site) + "/sub/" + std::to_string(subscription);
}

std::pair<uint32_t, uint32_t> TypedSubscriptionOf(std::string_view path) {
  const size_t at = path.rfind("/sub/");
  if (at == std::string_view::npos) return {0, 0};
  const uint32_t site = TypedSiteNumber(path.substr(0, at));
  const std::string_view digits = path.substr(at + 5);
  uint32_t number = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (site == 0 || digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
      digits[0] == '0')
    return {0, 0};
  return {site, number};
}

struct TypedTables {
  static TypedBus& Bus(void* userdata) { return *static_cast<TypedBus*>(userdata); }

  static int OpenSite(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    return Guarded(m, error, [&] { return Bus(userdata).OpenSite(m, error); });
  }
  static int Read(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    return Guarded(m, error, [&] { return Bus(userdata).Read(m, error); });
  }
  static int Write(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    return Guarded(m, error, [&] { return Bus(userdata).Write(m, error); });
  }
  static int Close(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    return Guarded(m, error, [&] { return Bus(userdata).Close(m, error); });
  }
  static int Subscribe(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    return Guarded(m, error, [&] { return Bus(userdata).Subscribe(m, error); });
  }
  static int CloseSubscription(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    return Guarded(m, error, [&] { return Bus(userdata).CloseSubscription(m, error); });
  }
  static int FindSubscription(sd_bus*, const char* path, const char*, void* userdata, void** found,
                              sd_bus_error*) {
    const auto [site, subscription] = TypedSubscriptionOf(Text(path));
    if (!Bus(userdata).sites_.SubscriptionExists(site, subscription)) return 0;
    *found = userdata;
    return 1;
  }
  static int Property(sd_bus*, const char* path, const char*, const char* property,
                      sd_bus_message* reply, void* userdata, sd_bus_error* error) {
    return Bus(userdata).Property(TypedSiteNumber(Text(path)), Text(property), reply, error);
  }
  static int Find(sd_bus*, const char* path, const char*, void* userdata, void** found,
                  sd_bus_error*) {
    if (!Bus(userdata).sites_.Exists(TypedSiteNumber(Text(path)))) return 0;
    *found = userdata;
    return 1;
  }
  static int Enumerate(sd_bus*, const char* path, void* userdata, char*** nodes, sd_bus_error*) {
    std::vector<std::string> paths;
    if (Text(path) == kTypedManagerPath)
      for (const uint32_t site : Bus(userdata).sites_.Sites()) paths.push_back(TypedSitePath(site));
    return NodeList(paths, nodes);
  }
};

namespace {

const sd_bus_vtable kManagerTable[] = {
    SD_BUS_VTABLE_START(kOpen),
    SD_BUS_METHOD_WITH_NAMES("OpenSite", "a{sv}", SD_BUS_PARAM(options), "o", SD_BUS_PARAM(site),
                             &TypedTables::OpenSite, kOpen),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kSiteTable[] = {
    SD_BUS_VTABLE_START(kOpen),
    SD_BUS_PROPERTY("Description", "s", &TypedTables::Property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Transport", "s", &TypedTables::Property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Endpoint", "s", &TypedTables::Property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("State", "s", &TypedTables::Property, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("LastError", "s", &TypedTables::Property, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Clients", "u", &TypedTables::Property, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Counters", "a{st}", &TypedTables::Property, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_INVALIDATION),
    SD_BUS_METHOD_WITH_NAMES("Read", "asu", SD_BUS_PARAM(points) SD_BUS_PARAM(max_age_ms),
                             "a(vtus)", SD_BUS_PARAM(values), &TypedTables::Read, kOpen),
    SD_BUS_METHOD_WITH_NAMES("Write", "a(sv)", SD_BUS_PARAM(values), "", "", &TypedTables::Write,
                             kOpen),
    SD_BUS_METHOD_WITH_NAMES("Subscribe", "asa{sv}", SD_BUS_PARAM(points) SD_BUS_PARAM(options),
                             "o", SD_BUS_PARAM(subscription), &TypedTables::Subscribe, kOpen),
    SD_BUS_METHOD_WITH_NAMES("Close", "", "", "", "", &TypedTables::Close, kOpen),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kSubscriptionTable[] = {
    SD_BUS_VTABLE_START(kOpen),
    SD_BUS_METHOD_WITH_NAMES("Close", "", "", "", "", &TypedTables::CloseSubscription, kOpen),
    SD_BUS_SIGNAL_WITH_NAMES("Changed", "a(uvtus)", SD_BUS_PARAM(values), 0), SD_BUS_VTABLE_END};

}  // namespace

TypedBus::TypedBus(sd_bus* bus, TMainForm& mainForm, MessageLoop& loop)
    : bus_(bus), sites_(mainForm, loop) {
  sites_.OnSiteAdded = [this](uint32_t site) {
    sd_bus_emit_object_added(bus_, TypedSitePath(site).c_str());
    if (!watch_.isActive()) watch_.start();
    if (OnSent) OnSent();
  };
  sites_.OnSiteRemoved = [this](uint32_t site) {
    sd_bus_emit_object_removed(bus_, TypedSitePath(site).c_str());
    shown_.erase(site);
    countersShown_.erase(site);
    if (OnSent) OnSent();
  };
  sites_.OnChanged = [this](uint32_t site, uint32_t subscription, const std::string& client,
                            const TypedSites::Changes& changes) {
    SendChanged(site, subscription, client, changes);
  };
  // The sites' state comes from their engines, which announce nothing: it is looked at a few
  // times a second while there are sites, and only what changed is sent.
  watch_.setInterval(200);
  QObject::connect(&watch_, &QTimer::timeout, [this] { EmitChanges(); });
}

TypedBus::~TypedBus() {
  *alive_ = false;
  sites_.OnSiteAdded = nullptr;
  sites_.OnSiteRemoved = nullptr;
  sites_.OnChanged = nullptr;
  for (sd_bus_slot* slot : slots_) sd_bus_slot_unref(slot);
}

int TypedBus::Publish() {
  sd_bus_slot* slot = nullptr;
  int r = sd_bus_add_object_vtable(bus_, &slot, kTypedManagerPath, kTypedManagerInterfaceName,
                                   kManagerTable, this);
  if (r >= 0) slots_.push_back(slot);
  if (r >= 0) r = sd_bus_add_object_manager(bus_, &slot, kTypedManagerPath);
  if (r >= 0) slots_.push_back(slot);
  if (r >= 0)
    r = sd_bus_add_fallback_vtable(bus_, &slot, std::string(kSitePrefix).c_str(),
                                   kTypedSiteInterfaceName, kSiteTable, &TypedTables::Find, this);
  if (r >= 0) slots_.push_back(slot);
  if (r >= 0)
    r = sd_bus_add_fallback_vtable(bus_, &slot, std::string(kSitePrefix).c_str(),
                                   kTypedSubscriptionInterfaceName, kSubscriptionTable,
                                   &TypedTables::FindSubscription, this);
  if (r >= 0) slots_.push_back(slot);
  if (r >= 0)
    r = sd_bus_add_node_enumerator(bus_, &slot, kTypedManagerPath, &TypedTables::Enumerate, this);
  if (r >= 0) slots_.push_back(slot);
  return r;
}

int TypedBus::OpenSite(sd_bus_message* m, sd_bus_error* error) {
  const std::string client = Text(sd_bus_message_get_sender(m));
  TypedOptions options;
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read_basic(m, 's', &key)) < 0) break;
    std::string type;
    TypedScalar value;
    bool lossy = false;
    if (ReadScalar(m, value, type, &lossy) < 0)
      return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS,
                               "option %s: a value of type %s is none an option takes", key,
                               type.c_str());
    // Two descriptions that differ only there would read alike and share one site.
    if (lossy && Text(key) == "Description")
      return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS,
                              "option Description has characters above U+00FF, which site "
                              "descriptions cannot hold");
    options[Text(key)] = std::move(value);
    r = sd_bus_message_exit_container(m);
  }
  if (r < 0) return r;
  sd_bus_message_ref(m);
  const TypedError refused =
      sites_.Open(client, options, [this, m, alive = alive_](uint32_t site, const TypedError& e) {
        if (*alive) {
          if (e)
            sd_bus_reply_method_errorf(m, ErrorName(e.kind), "%s", TextToBus(e.text).c_str());
          else
            sd_bus_reply_method_return(m, "o", TypedSitePath(site).c_str());
          if (OnSent) OnSent();
        }
        sd_bus_message_unref(m);
      });
  if (refused) {
    sd_bus_message_unref(m);
    LogInfo("Client " + client + ": OpenSite refused: " + refused.text);
    return SetError(error, refused);
  }
  if (OnClient) OnClient(client);
  return 1;
}

int TypedBus::Read(sd_bus_message* m, sd_bus_error* error) {
  char** strv = nullptr;
  int r = sd_bus_message_read_strv(m, &strv);
  if (r < 0) return r;
  std::vector<std::string> points;
  for (char** at = strv; at && *at; ++at) {
    points.emplace_back(*at);
    std::free(*at);
  }
  std::free(strv);
  uint32_t maxAgeMs = 0;
  if ((r = sd_bus_message_read_basic(m, 'u', &maxAgeMs)) < 0) return r;
  const uint32_t site = TypedSiteNumber(Text(sd_bus_message_get_path(m)));
  sd_bus_message_ref(m);
  const TypedError refused = sites_.Read(
      site, Text(sd_bus_message_get_sender(m)), points, maxAgeMs,
      [this, m, alive = alive_](std::vector<TypedReading> readings, const TypedError& e) {
        if (*alive) {
          sd_bus_message* reply = nullptr;
          int q =
              e ? sd_bus_reply_method_errorf(m, ErrorName(e.kind), "%s", TextToBus(e.text).c_str())
                : sd_bus_message_new_method_return(m, &reply);
          if (!e && q >= 0) q = sd_bus_message_open_container(reply, 'a', "(vtus)");
          for (size_t i = 0; !e && q >= 0 && i < readings.size(); ++i) {
            const TypedReading& reading = readings[i];
            q = sd_bus_message_open_container(reply, 'r', "vtus");
            if (q >= 0) q = AppendReading(reply, reading);
            if (q >= 0) q = sd_bus_message_close_container(reply);
          }
          if (!e && q >= 0) q = sd_bus_message_close_container(reply);
          if (!e && q >= 0) q = sd_bus_send(nullptr, reply, nullptr);
          if (q < 0) LogWarning("Read: the reply could not be sent: " + Text(std::strerror(-q)));
          sd_bus_message_unref(reply);
          if (OnSent) OnSent();
        }
        sd_bus_message_unref(m);
      });
  if (refused) {
    sd_bus_message_unref(m);
    return SetError(error, refused);
  }
  return 1;
}

int TypedBus::Write(sd_bus_message* m, sd_bus_error* error) {
  std::vector<std::pair<std::string, TypedScalar>> values;
  int r = sd_bus_message_enter_container(m, 'a', "(sv)");
  while (r >= 0 && (r = sd_bus_message_enter_container(m, 'r', "sv")) > 0) {
    const char* point = nullptr;
    if ((r = sd_bus_message_read_basic(m, 's', &point)) < 0) break;
    std::string type;
    TypedScalar value;
    if (ReadScalar(m, value, type) < 0)
      return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS,
                               "point \"%s\": a value of type %s is none a point takes; nothing "
                               "was written",
                               point, type.c_str());
    values.emplace_back(Text(point), std::move(value));
    r = sd_bus_message_exit_container(m);
  }
  if (r < 0) return r;
  const uint32_t site = TypedSiteNumber(Text(sd_bus_message_get_path(m)));
  sd_bus_message_ref(m);
  const TypedError refused = sites_.Write(
      site, Text(sd_bus_message_get_sender(m)), values,
      [this, m, alive = alive_](const TypedError& e) {
        if (*alive) {
          if (e)
            sd_bus_reply_method_errorf(m, ErrorName(e.kind), "%s", TextToBus(e.text).c_str());
          else
            sd_bus_reply_method_return(m, nullptr);
          if (OnSent) OnSent();
        }
        sd_bus_message_unref(m);
      });
  if (refused) {
    sd_bus_message_unref(m);
    return SetError(error, refused);
  }
  return 1;
}

int TypedBus::Close(sd_bus_message* m, sd_bus_error* error) {
  const TypedError refused = sites_.Close(TypedSiteNumber(Text(sd_bus_message_get_path(m))),
                                          Text(sd_bus_message_get_sender(m)));
  if (refused) return SetError(error, refused);
  return sd_bus_reply_method_return(m, nullptr);
}

int TypedBus::Subscribe(sd_bus_message* m, sd_bus_error* error) {
  char** strv = nullptr;
  int r = sd_bus_message_read_strv(m, &strv);
  if (r < 0) return r;
  std::vector<std::string> points;
  for (char** at = strv; at && *at; ++at) {
    points.emplace_back(*at);
    std::free(*at);
  }
  std::free(strv);
  TypedSites::SubscribeOptions options;
  r = sd_bus_message_enter_container(m, 'a', "{sv}");
  while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read_basic(m, 's', &key)) < 0) break;
    std::string type;
    TypedScalar value;
    const std::string name = Text(key);
    const bool read = ReadScalar(m, value, type) >= 0;
    if (read && name == "IntervalMs" && std::holds_alternative<uint32_t>(value))
      options.intervalMs = std::get<uint32_t>(value);
    else if (read && name == "Deadband" && std::holds_alternative<double>(value))
      options.deadband = std::get<double>(value);
    else
      return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS,
                               "option %s of type %s is none a subscription takes (IntervalMs "
                               "u, Deadband d)",
                               key, type.c_str());
    r = sd_bus_message_exit_container(m);
  }
  if (r < 0) return r;
  const uint32_t site = TypedSiteNumber(Text(sd_bus_message_get_path(m)));
  uint32_t subscription = 0;
  const TypedError refused =
      sites_.Subscribe(site, Text(sd_bus_message_get_sender(m)), points, options, subscription);
  if (refused) return SetError(error, refused);
  return sd_bus_reply_method_return(m, "o", TypedSubscriptionPath(site, subscription).c_str());
}

int TypedBus::CloseSubscription(sd_bus_message* m, sd_bus_error* error) {
  const auto [site, subscription] = TypedSubscriptionOf(Text(sd_bus_message_get_path(m)));
  const TypedError refused =
      sites_.Unsubscribe(site, subscription, Text(sd_bus_message_get_sender(m)));
  if (refused) return SetError(error, refused);
  return sd_bus_reply_method_return(m, nullptr);
}

// To the subscriber alone (a signal with a destination): no other client sees it, and it needs
// no match rule.
void TypedBus::SendChanged(uint32_t site, uint32_t subscription, const std::string& client,
                           const TypedSites::Changes& changes) {
  sd_bus_message* signal = nullptr;
  int r =
      sd_bus_message_new_signal(bus_, &signal, TypedSubscriptionPath(site, subscription).c_str(),
                                kTypedSubscriptionInterfaceName, "Changed");
  if (r >= 0) r = sd_bus_message_set_destination(signal, client.c_str());
  if (r >= 0) r = sd_bus_message_open_container(signal, 'a', "(uvtus)");
  for (const auto& [index, reading] : changes) {
    if (r >= 0) r = sd_bus_message_open_container(signal, 'r', "uvtus");
    if (r >= 0) r = sd_bus_message_append_basic(signal, 'u', &index);
    if (r >= 0) r = AppendReading(signal, reading);
    if (r >= 0) r = sd_bus_message_close_container(signal);
  }
  if (r >= 0) r = sd_bus_message_close_container(signal);
  if (r >= 0) r = sd_bus_send(bus_, signal, nullptr);
  if (r < 0) LogWarning("Changed: the signal could not be sent: " + Text(std::strerror(-r)));
  sd_bus_message_unref(signal);
  if (OnSent) OnSent();
}

int TypedBus::Property(uint32_t site, const std::string& name, sd_bus_message* reply,
                       sd_bus_error* error) {
  const auto view = sites_.View(site);
  if (!view) return sd_bus_error_setf(error, SD_BUS_ERROR_UNKNOWN_OBJECT, "no site %u", site);
  if (name == "Clients") return sd_bus_message_append(reply, "u", view->clients);
  if (name == "Counters") {
    int r = sd_bus_message_open_container(reply, 'a', "{st}");
    for (const auto& [key, count] : sites_.Counters(site))
      if (r >= 0) r = sd_bus_message_append(reply, "{st}", key.c_str(), count);
    if (r >= 0) r = sd_bus_message_close_container(reply);
    return r;
  }
  const std::string& text = name == "Description" ? view->description
                            : name == "Transport" ? view->transport
                            : name == "Endpoint"  ? view->endpoint
                            : name == "State"     ? view->state
                                                  : view->lastError;
  return sd_bus_message_append(reply, "s", TextToBus(text).c_str());
}

void TypedBus::EmitChanges() {
  const std::vector<uint32_t> sites = sites_.Sites();
  if (sites.empty()) watch_.stop();
  bool sent = false;
  for (const uint32_t site : sites) {
    const auto view = sites_.View(site);
    if (!view) continue;
    const auto shown = shown_.find(site);
    std::vector<const char*> changed;
    if (shown == shown_.end() || shown->second.state != view->state) changed.push_back("State");
    if (shown == shown_.end() || shown->second.lastError != view->lastError)
      changed.push_back("LastError");
    if (shown == shown_.end() || shown->second.clients != view->clients)
      changed.push_back("Clients");
    // Counters move with every exchange: hosts are told they changed, and ask when they care.
    auto counters = sites_.Counters(site);
    if (countersShown_[site] != counters) {
      countersShown_[site] = std::move(counters);
      changed.push_back("Counters");
    }
    const bool first = shown == shown_.end();
    shown_[site] = *view;
    // A site's first look sets what later ones compare with; its object was just announced.
    if (first || changed.empty()) continue;
    changed.push_back(nullptr);
    sd_bus_emit_properties_changed_strv(bus_, TypedSitePath(site).c_str(), kTypedSiteInterfaceName,
                                        const_cast<char**>(changed.data()));
    sent = true;
  }
  if (sent && OnSent) OnSent();
}

}  // namespace qmb
