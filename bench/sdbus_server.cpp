// qmb_sdbus_server: the driver's bus objects served through sd-bus (libsystemd) on the server's
// own event loop, beside the QtDBus adaptor, to see what the bus path costs without QtDBus's I/O
// thread (bench/bus_bench.py runs both in one run, each on a private bus of its own).
//
// QtDBus reads and writes the bus socket in a thread of its own: every call is handed from that
// thread to the main loop and its reply back, two thread switches and two wake-ups per call.
// Here the bus socket is one more descriptor of the main loop: the loop reads the call, the driver
// object answers it, the reply is written, all in one thread.
//
// What it serves: CreateInstance on the factory object; OpenSite, CloseSite, SetDriverOption,
// ExecuteCommand, ExecuteImmediate, Release and LastErrorDetail on the driver objects below it,
// each only for the client that created it; a client that leaves the bus has its objects
// released; Peer.Ping is the bus library's own. Parameter lists as the real adaptor takes them
// (a variant holding as, av or s). What it leaves out: the introspection document with its
// annotations (the library answers Introspect with a bare one), the windows, the registration,
// the start modes and the log file.
//
// Calls are taken off the bus inside sd_bus_process and carried out after it has returned: an
// engine's Delay runs a nested event loop, and sd-bus cannot be entered again from one of its own
// handlers, so a call that arrives while another waits would otherwise never be read.
//
// Usage: qmb_sdbus_server [--bus ADDRESS] [--no-window]   (session bus without --bus)
#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/DriverRegistry.h"
#include "host/Registration.h"
#include "platform/Log.h"
#include "platform/qt/QtMessageLoop.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtTcpClient.h"
#include "sites/EngineRegistry.h"

namespace {

using namespace qmb;

const char* const kDriverInterface = "QorDevice.IQorDeviceDriver";
const char* const kObjectInterface = "QorModBus.IQorModBusCom";
const char* const kDiagnosticsInterface = "QorModBus.IQorModBusDiagnostics";
const char* const kFactoryInterface = "QorModBus.ClassFactory";

// Bus strings are UTF-8 (the bus checks them); the driver's texts hold one character per byte.
std::string TextFromBus(const char* text, bool& lossy) {
  std::string bytes;
  bytes.reserve(std::strlen(text));
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p;) {
    uint32_t code = *p;
    int extra = 0;
    if (code >= 0xF0) {
      code &= 0x07, extra = 3;
    } else if (code >= 0xE0) {
      code &= 0x0F, extra = 2;
    } else if (code >= 0xC0) {
      code &= 0x1F, extra = 1;
    }
    ++p;
    for (int i = 0; i < extra && (*p & 0xC0) == 0x80; ++i) code = code << 6 | (*p++ & 0x3F);
    if (code > 0xFF) lossy = true;
    bytes += code <= 0xFF ? static_cast<char>(code) : '?';
  }
  return bytes;
}

std::string TextToBus(const std::string& bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      text += c;
    } else {
      text += static_cast<char>(0xC0 | byte >> 6);
      text += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return text;
}

// One element of an `av` list; anything but a string, a number or a boolean stands unsupported.
Variant ElementFromBus(sd_bus_message* m, bool& lossy) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, &type, &contents) <= 0) return Variant::Unsupported();
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
  if (!std::strchr("ybnqiuxtds", type)) {
    sd_bus_message_skip(m, nullptr);
    return Variant::Unsupported();
  }
  if (sd_bus_message_read_basic(m, type, &value) <= 0) return Variant::Unsupported();
  auto number = [](auto n) {
    if (n >= std::numeric_limits<int32_t>::min() && n <= std::numeric_limits<int32_t>::max())
      return Variant(static_cast<int32_t>(n));
    return Variant(static_cast<double>(n));
  };
  switch (type) {
    case 'y':
      return Variant(static_cast<int32_t>(value.y));
    case 'b':
      return Variant::FromBool(value.b != 0);
    case 'n':
      return Variant(static_cast<int32_t>(value.n));
    case 'q':
      return Variant(static_cast<int32_t>(value.q));
    case 'i':
      return Variant(value.i);
    case 'u':
      return number(static_cast<int64_t>(value.u));
    case 'x':
      return number(value.x);
    case 't':
      return value.t <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
                 ? Variant(static_cast<int32_t>(value.t))
                 : Variant(static_cast<double>(value.t));
    case 'd':
      return Variant(value.d);
    default:
      return Variant(TextFromBus(value.s, lossy));
  }
}

// The `v` argument as a parameter list (as, av or s); nullopt with a reason for anything else.
std::optional<Variant> ParamListFromBus(sd_bus_message* m, std::string& error,
                                        std::vector<int32_t>& unrepresentable) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || type != 'v' ||
      sd_bus_message_enter_container(m, 'v', contents) <= 0) {
    error = "no variant";
    return std::nullopt;
  }
  const std::string inner = contents;
  bool lossy = false;
  if (inner == "s") {
    const char* text = nullptr;
    if (sd_bus_message_read_basic(m, 's', &text) <= 0) return std::nullopt;
    Variant value(TextFromBus(text, lossy));
    if (lossy) unrepresentable.push_back(0);
    return value;
  }
  if (inner != "as" && inner != "av") {
    error = "a parameter list is a variant holding as, av or s; this one holds " + inner;
    return std::nullopt;
  }
  const bool texts = inner == "as";
  if (sd_bus_message_enter_container(m, 'a', texts ? "s" : "v") <= 0) return std::nullopt;
  std::vector<Variant> elements;
  for (;;) {
    lossy = false;
    if (texts) {
      const char* text = nullptr;
      if (sd_bus_message_read_basic(m, 's', &text) <= 0) break;
      elements.emplace_back(TextFromBus(text, lossy));
    } else {
      const char* elementType = nullptr;
      if (sd_bus_message_peek_type(m, nullptr, &elementType) <= 0 ||
          sd_bus_message_enter_container(m, 'v', elementType) <= 0)
        break;
      elements.push_back(ElementFromBus(m, lossy));
      sd_bus_message_exit_container(m);
    }
    if (lossy) unrepresentable.push_back(static_cast<int32_t>(elements.size()) - 1);
  }
  SafeArray list(texts ? ElementType::Text : ElementType::Variant, 0,
                 static_cast<int32_t>(elements.size()) - 1);
  for (size_t i = 0; i < elements.size(); ++i)
    list.Put(static_cast<int32_t>(i), std::move(elements[i]));
  return Variant(std::move(list));
}

int AppendElement(sd_bus_message* reply, const Variant& value);

int AppendArray(sd_bus_message* reply, const SafeArray& array) {
  int r = 0;
  switch (array.ElemType()) {
    case ElementType::Byte: {
      const std::string bytes = array.Bytes();
      return sd_bus_message_append_array(reply, 'y', bytes.data(), bytes.size());
    }
    case ElementType::Text:
      if ((r = sd_bus_message_open_container(reply, 'a', "s")) < 0) return r;
      for (int32_t i = array.LowerBound(); i <= array.UpperBound(); ++i) {
        const Variant& element = array.Get(i);
        const std::string text =
            element.Type() == VarType::Text ? TextToBus(element.AsText()) : std::string();
        if ((r = sd_bus_message_append_basic(reply, 's', text.c_str())) < 0) return r;
      }
      return sd_bus_message_close_container(reply);
    case ElementType::Variant:
      break;
  }
  if ((r = sd_bus_message_open_container(reply, 'a', "v")) < 0) return r;
  for (int32_t i = array.LowerBound(); i <= array.UpperBound(); ++i)
    if ((r = AppendElement(reply, array.Get(i))) < 0) return r;
  return sd_bus_message_close_container(reply);
}

const char* ArraySignature(const SafeArray& array) {
  switch (array.ElemType()) {
    case ElementType::Byte:
      return "ay";
    case ElementType::Text:
      return "as";
    case ElementType::Variant:
      break;
  }
  return "av";
}

// One element of a reply list as a variant; an empty one as the empty string, as hosts expect.
int AppendElement(sd_bus_message* reply, const Variant& value) {
  int r = 0;
  switch (value.Type()) {
    case VarType::Int32:
      return sd_bus_message_append(reply, "v", "i", value.AsInt32());
    case VarType::Double:
      return sd_bus_message_append(reply, "v", "d", value.AsDouble());
    case VarType::Bool:
      return sd_bus_message_append(reply, "v", "b", static_cast<int>(value.AsBool()));
    case VarType::Byte:
      return sd_bus_message_append(reply, "v", "y", static_cast<uint8_t>(value.AsByte()));
    case VarType::Text:
      return sd_bus_message_append(reply, "v", "s", TextToBus(value.AsText()).c_str());
    case VarType::Array:
      if ((r = sd_bus_message_open_container(reply, 'v', ArraySignature(value.AsArray()))) < 0)
        return r;
      if ((r = AppendArray(reply, value.AsArray())) < 0) return r;
      return sd_bus_message_close_container(reply);
    default:
      return sd_bus_message_append(reply, "v", "s", "");
  }
}

// A command's reply as the content of a `v`: arrays as they are, one byte as `ay`, any other
// single value as a one-element `as`.
int AppendReply(sd_bus_message* reply, const Variant& value) {
  if (value.IsArray()) {
    int r = sd_bus_message_open_container(reply, 'v', ArraySignature(value.AsArray()));
    if (r < 0) return r;
    if ((r = AppendArray(reply, value.AsArray())) < 0) return r;
    return sd_bus_message_close_container(reply);
  }
  if (value.Type() == VarType::Byte) {
    const auto byte = static_cast<uint8_t>(value.AsByte());
    return sd_bus_message_append(reply, "v", "ay", 1, byte);
  }
  std::string text;
  try {
    text = TextToBus(value.ToText());
  } catch (const VariantError&) {
  }
  return sd_bus_message_append(reply, "v", "as", 1, text.c_str());
}

class SdBusServer {
 public:
  SdBusServer(TMainForm& mainForm, MessageLoop& loop)
      : registry_(loop, [&mainForm] { return std::make_unique<TQorModBusCom>(mainForm); }) {
    registry_.OnClientAdded = [this](const std::string& client) { WatchClient(client); };
    registry_.OnClientRemoved = [this](const std::string& client) {
      const auto watch = watches_.find(client);
      if (watch == watches_.end()) return;
      sd_bus_slot_unref(watch->second);
      watches_.erase(watch);
    };
  }
  ~SdBusServer() {
    registry_.OnClientRemoved = nullptr;  // the objects outlive the bus; their watches do not
    for (auto& [client, slot] : watches_) sd_bus_slot_unref(slot);
    for (auto& [slot, client] : checks_) sd_bus_slot_unref(slot);
    for (sd_bus_message* m : queued_) sd_bus_message_unref(m);
    watches_.clear();
    checks_.clear();
    queued_.clear();
    sd_bus_flush_close_unref(bus_);
  }

  bool Start(const std::string& address, std::string& error) {
    int r = sd_bus_new(&bus_);
    if (r >= 0 && !address.empty()) r = sd_bus_set_address(bus_, address.c_str());
    if (r >= 0 && address.empty()) {
      sd_bus_unref(bus_);
      bus_ = nullptr;
      r = sd_bus_open_user(&bus_);
    } else if (r >= 0) {
      if ((r = sd_bus_set_bus_client(bus_, 1)) >= 0) r = sd_bus_start(bus_);
    }
    if (r >= 0) r = sd_bus_add_fallback(bus_, nullptr, kFactoryPath, &SdBusServer::OnCall, this);
    if (r >= 0) r = sd_bus_request_name(bus_, kBusName, 0);
    if (r < 0) {
      error = std::strerror(-r);
      return false;
    }
    read_ = std::make_unique<QSocketNotifier>(sd_bus_get_fd(bus_), QSocketNotifier::Read);
    write_ = std::make_unique<QSocketNotifier>(sd_bus_get_fd(bus_), QSocketNotifier::Write);
    QObject::connect(read_.get(), &QSocketNotifier::activated, [this] { Process(); });
    QObject::connect(write_.get(), &QSocketNotifier::activated, [this] { Process(); });
    timeout_.setSingleShot(true);
    QObject::connect(&timeout_, &QTimer::timeout, [this] { Process(); });
    Process();
    return true;
  }

 private:
  // Runs the bus until it has nothing more to do, then the calls it took off; again while those
  // left more to read (sd-bus reads ahead) or to write. The loop watches what sd-bus waits for.
  void Process() {
    for (;;) {
      int r = 0;
      while ((r = sd_bus_process(bus_, nullptr)) > 0) {
      }
      if (r < 0) {
        LogError("The bus connection was lost: " + std::string(std::strerror(-r)));
        QCoreApplication::exit(1);
        return;
      }
      if (queued_.empty() && deferred_.empty()) break;
      RunQueued();
    }
    write_->setEnabled((sd_bus_get_events(bus_) & POLLOUT) != 0);
    uint64_t until = 0;
    if (sd_bus_get_timeout(bus_, &until) < 0 || until == UINT64_MAX) {
      timeout_.stop();
      return;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t nowUs = static_cast<uint64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    timeout_.start(until > nowUs ? static_cast<int>((until - nowUs + 999) / 1000) : 0);
  }

  void RunQueued() {
    while (!deferred_.empty()) {
      const std::function<void()> call = std::move(deferred_.front());
      deferred_.pop_front();
      call();
    }
    while (!queued_.empty()) {
      sd_bus_message* m = queued_.front();
      queued_.pop_front();
      try {
        Dispatch(m);
      } catch (const std::exception& e) {
        sd_bus_reply_method_errorf(m, SD_BUS_ERROR_FAILED, "internal error: %s", e.what());
      }
      sd_bus_message_unref(m);
    }
  }

  static int OnCall(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* interface = sd_bus_message_get_interface(m);
    // Introspection and properties: the library's own answers.
    if (interface && (std::strcmp(interface, "org.freedesktop.DBus.Introspectable") == 0 ||
                      std::strcmp(interface, "org.freedesktop.DBus.Properties") == 0))
      return 0;
    static_cast<SdBusServer*>(userdata)->queued_.push_back(sd_bus_message_ref(m));
    return 1;
  }

  static bool IsInterface(sd_bus_message* m, const char* name) {
    const char* interface = sd_bus_message_get_interface(m);
    return !interface || std::strcmp(interface, name) == 0;
  }

  void Dispatch(sd_bus_message* m) {
    const std::string path = sd_bus_message_get_path(m);
    const char* member = sd_bus_message_get_member(m);
    const std::string caller = sd_bus_message_get_sender(m) ? sd_bus_message_get_sender(m) : "";
    const char* signature = sd_bus_message_get_signature(m, 1);
    if (path == kFactoryPath) {
      if (std::strcmp(member, "CreateInstance") != 0 || !IsInterface(m, kFactoryInterface)) {
        sd_bus_reply_method_errorf(m, SD_BUS_ERROR_UNKNOWN_METHOD, "no method %s", member);
        return;
      }
      if (*signature) {
        sd_bus_reply_method_errorf(m, SD_BUS_ERROR_INVALID_ARGS, "CreateInstance takes none");
        return;
      }
      const uint64_t id = registry_.Create(caller);
      if (id == 0) {
        sd_bus_reply_method_errorf(m, SD_BUS_ERROR_LIMITS_EXCEEDED, "too many objects");
        return;
      }
      const std::string object = std::string(kFactoryPath) + "/" + std::to_string(id);
      sd_bus_reply_method_return(m, "o", object.c_str());
      return;
    }
    const std::string prefix = std::string(kFactoryPath) + "/";
    uint64_t id = 0;
    if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
        path[prefix.size()] != '0' && path.size() - prefix.size() <= 19) {
      for (size_t i = prefix.size(); i < path.size(); ++i) {
        if (path[i] < '0' || path[i] > '9') {
          id = 0;
          break;
        }
        id = id * 10 + static_cast<uint64_t>(path[i] - '0');
      }
    }
    DriverRegistry::Access access = DriverRegistry::Access::NoSuchObject;
    const std::shared_ptr<TQorModBusCom> object =
        id ? registry_.Acquire(id, caller, access) : nullptr;
    if (access == DriverRegistry::Access::NoSuchObject) {
      sd_bus_reply_method_errorf(m, SD_BUS_ERROR_UNKNOWN_OBJECT, "no driver object at %s",
                                 path.c_str());
      return;
    }
    if (access == DriverRegistry::Access::Denied) {
      sd_bus_reply_method_errorf(m, SD_BUS_ERROR_ACCESS_DENIED, "%s belongs to another bus client",
                                 path.c_str());
      return;
    }
    const std::string name = member;
    if (name == "Release" && IsInterface(m, kObjectInterface) && !*signature) {
      registry_.Release(id, caller);
      sd_bus_reply_method_return(m, "");
      return;
    }
    if (name == "LastErrorDetail" && IsInterface(m, kDiagnosticsInterface) && !*signature) {
      sd_bus_reply_method_return(m, "s", TextToBus(object->LastErrorDetail()).c_str());
      return;
    }
    const bool known = name == "OpenSite" || name == "CloseSite" || name == "SetDriverOption" ||
                       name == "ExecuteCommand" || name == "ExecuteImmediate";
    if (!known || !IsInterface(m, kDriverInterface)) {
      sd_bus_reply_method_errorf(m, SD_BUS_ERROR_UNKNOWN_METHOD, "no method %s", member);
      return;
    }
    std::string error;
    std::vector<int32_t> unrepresentable;
    std::optional<Variant> params;
    if (std::strcmp(signature, "v") == 0) params = ParamListFromBus(m, error, unrepresentable);
    if (!params) {
      sd_bus_reply_method_errorf(m, SD_BUS_ERROR_INVALID_ARGS, "%s: %s", member, error.c_str());
      return;
    }
    if (name == "ExecuteCommand" || name == "ExecuteImmediate") {
      const Variant reply = name == "ExecuteCommand" ? object->ExecuteCommand(std::move(*params))
                                                     : object->ExecuteImmediate(std::move(*params));
      sd_bus_message* answer = nullptr;
      if (sd_bus_message_new_method_return(m, &answer) >= 0) {
        if (AppendReply(answer, reply) >= 0) sd_bus_send(bus_, answer, nullptr);
        sd_bus_message_unref(answer);
      }
      return;
    }
    bool ok = false;
    if (name == "OpenSite") ok = object->OpenSite(std::move(*params), unrepresentable);
    if (name == "CloseSite") ok = object->CloseSite(std::move(*params));
    if (name == "SetDriverOption") ok = object->SetDriverOption(std::move(*params));
    sd_bus_reply_method_return(m, "b", static_cast<int>(ok));
  }

  // A client's objects go when it leaves the bus. The bus is asked whether the client is still
  // there after the match is in place, so that a client gone in between is not missed.
  void WatchClient(const std::string& client) {
    const std::string rule =
        "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
        "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
        client + "'";
    sd_bus_slot* slot = nullptr;
    if (sd_bus_add_match_async(bus_, &slot, rule.c_str(), &SdBusServer::OnNameOwnerChanged, nullptr,
                               this) < 0)
      return;
    watches_[client] = slot;
    sd_bus_slot* check = nullptr;
    if (sd_bus_call_method_async(bus_, &check, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "NameHasOwner", &SdBusServer::OnHasOwner,
                                 this, "s", client.c_str()) >= 0)
      checks_[check] = client;
  }

  static int OnNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char *name = nullptr, *before = nullptr, *after = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &before, &after) >= 0 && after && !*after)
      static_cast<SdBusServer*>(userdata)->ClientLeft(name);
    return 0;
  }

  static int OnHasOwner(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<SdBusServer*>(userdata);
    const auto check = self->checks_.find(sd_bus_get_current_slot(sd_bus_message_get_bus(m)));
    if (check == self->checks_.end()) return 0;
    int has = 0;
    if (!sd_bus_message_is_method_error(m, nullptr) && sd_bus_message_read(m, "b", &has) < 0)
      has = 0;
    if (!has) self->ClientLeft(check->second);
    sd_bus_slot_unref(check->first);
    self->checks_.erase(check);
    return 0;
  }

  // Inside sd_bus_process: the release (which may close engines) runs after it has returned.
  void ClientLeft(const std::string& client) {
    deferred_.push_back([this, client] { registry_.ReleaseClient(client); });
  }

  sd_bus* bus_ = nullptr;
  DriverRegistry registry_;
  std::unique_ptr<QSocketNotifier> read_;
  std::unique_ptr<QSocketNotifier> write_;
  QTimer timeout_;
  std::deque<sd_bus_message*> queued_;
  std::deque<std::function<void()>> deferred_;
  std::map<std::string, sd_bus_slot*> watches_;
  std::map<sd_bus_slot*, std::string> checks_;  // NameHasOwner questions not yet answered
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::string address;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--bus" && i + 1 < argc) {
      address = argv[++i];
    } else if (argument != "--no-window") {
      std::fprintf(stderr, "usage: qmb_sdbus_server [--bus ADDRESS] [--no-window]\n");
      return 2;
    }
  }
  QtMessageLoop loop;
  QtSerialPortFactory serialPorts;
  QtTcpClientFactory tcpClients;
  TMainForm mainForm(loop, loop, serialPorts, tcpClients,
                     QCoreApplication::applicationFilePath().toStdString());
  SdBusServer server(mainForm, loop);
  std::string error;
  if (!server.Start(address, error)) {
    std::fprintf(stderr, "qmb_sdbus_server: cannot serve: %s\n", error.c_str());
    return 1;
  }
  return QCoreApplication::exec();
}
