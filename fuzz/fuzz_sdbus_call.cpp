// The bus boundary as the adaptor serves it: any message a bus client can send reaches
// BusServer through sd-bus's own decoding and object tables, over a socket pair in this process (a
// client and a server connection, no bus daemon). The fuzz bytes choose the object, interface and
// member (the real ones most of the time) and draw the arguments' types and values: basic types,
// strings of any code point, variants nested in variants, arrays (now and then huge), structures,
// dictionaries, and parameter lists built from the keys hosts use. Every call must be answered,
// with a reply or an error; the engines run on a virtual clock that advances with each call.
// Everything runs in one thread: the loop reads the client's calls, the adaptor answers, and the
// client reads the answers.
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "FuzzDraw.h"
#include "host/bus/BusServer.h"
#include "sites/EngineRegistry.h"
#include "support/FakeLinks.h"
#include "support/VirtualLoop.h"

namespace {

// The fuzz bytes, and the texts this target draws from them.
class Draw : public qmb::fuzz::DrawBytes {
 public:
  using DrawBytes::DrawBytes;
  // UTF-8 (sd-bus refuses anything else when a string is appended): mostly printable ASCII,
  // sometimes any code point but the surrogates, the noncharacters and the null that would end
  // the string.
  std::string Text(uint32_t maxLength) {
    const uint32_t length = Below(maxLength + 1);
    std::string text;
    for (uint32_t i = 0; i < length && Left(); ++i) {
      const uint8_t kind = Byte();
      if (kind < 200) {
        text += static_cast<char>(0x20 + kind % 95);
        continue;
      }
      uint32_t code = Word() % 0x10F800;
      if (code >= 0xD800) code += 0x800;
      // sd-bus refuses the noncharacters too (U+FDD0..U+FDEF, U+xFFFE, U+xFFFF).
      if (code == 0 || (code >= 0xFDD0 && code <= 0xFDEF) || (code & 0xFFFE) == 0xFFFE)
        code = 0xFFFD;
      if (code < 0x80) {
        text += static_cast<char>(code);
      } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | code >> 6);
        text += static_cast<char>(0x80 | (code & 0x3F));
      } else if (code < 0x10000) {
        text += static_cast<char>(0xE0 | code >> 12);
        text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
      } else {
        text += static_cast<char>(0xF0 | code >> 18);
        text += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
      }
    }
    return text;
  }
};

using qmb::fuzz::kKeys;
using qmb::fuzz::kValues;

// A drawn argument: its type code, its value, and for containers what they hold. An array's
// elements all have the signature `element`.
struct Value {
  char type = 'i';
  uint64_t number = 0;
  double real = 0;
  std::string text;
  std::string element;
  std::vector<Value> items;
  // A huge array's tail, written straight into the message (variants holding 6, 7, ...) rather
  // than drawn: building thousands of values here cost more than the adaptor decoding them.
  uint32_t counted = 0;
};

std::string Signature(const Value& value) {
  switch (value.type) {
    case 'v':
      return "v";
    case 'a':
      return "a" + value.element;
    case 'r':
    case 'e': {
      std::string inner;
      for (const Value& item : value.items) inner += Signature(item);
      return value.type == 'r' ? "(" + inner + ")" : "{" + inner + "}";
    }
    default:
      return std::string(1, value.type);
  }
}

Value Basic(char type, uint64_t number) {
  Value value;
  value.type = type;
  value.number = number;
  return value;
}

Value Text(char type, std::string text) {
  Value value;
  value.type = type;
  value.text = std::move(text);
  return value;
}

Value Variant(Value inner) {
  Value value;
  value.type = 'v';
  value.items.push_back(std::move(inner));
  return value;
}

Value Array(std::string element) {
  Value value;
  value.type = 'a';
  value.element = std::move(element);
  return value;
}

// A parameter list as hosts send it: KEY=VALUE texts from the keys hosts use.
std::vector<std::string> ParamTexts(Draw& draw) {
  std::vector<std::string> texts;
  const uint32_t count = draw.Below(8);
  for (uint32_t i = 0; i < count; ++i) {
    const std::string key = kKeys[draw.Below(std::size(kKeys))];
    const std::string value =
        draw.Byte() < 200 ? std::string(kValues[draw.Below(std::size(kValues))]) : draw.Text(24);
    texts.push_back(key + "=" + value);
  }
  return texts;
}

Value TextList(Draw& draw) {
  Value list = Array("s");
  for (std::string& text : ParamTexts(draw)) list.items.push_back(Text('s', std::move(text)));
  return list;
}

Value Any(Draw& draw, int depth);

// An array of variants (av), each element anything; now and then a huge one.
Value VariantArray(Draw& draw, int depth) {
  Value list = Array("v");
  const uint32_t count = draw.ArrayLength();
  for (uint32_t i = 0; i < count && i < 6; ++i) list.items.push_back(Variant(Any(draw, depth + 1)));
  if (count > 6) list.counted = count - 6;
  return list;
}

// A structure of any fields, or a dictionary of texts to variants.
Value Composite(Draw& draw, int depth) {
  if (draw.Byte() % 2) {
    Value structure;
    structure.type = 'r';
    const uint32_t fields = 1 + draw.Below(4);
    for (uint32_t i = 0; i < fields; ++i) structure.items.push_back(Any(draw, depth + 1));
    return structure;
  }
  Value map = Array("{sv}");
  const uint32_t entries = draw.Below(4);
  for (uint32_t i = 0; i < entries; ++i) {
    Value entry;
    entry.type = 'e';
    entry.items.push_back(Text('s', draw.Text(8)));
    entry.items.push_back(Variant(Any(draw, depth + 1)));
    map.items.push_back(std::move(entry));
  }
  return map;
}

Value Any(Draw& draw, int depth) {
  switch (draw.Below(depth > 3 ? 12 : 16)) {
    case 0:
      return Basic('y', draw.Byte());
    case 1:
      return Basic('b', draw.Byte() % 2);
    case 2:
      return Basic('n', draw.Word());
    case 3:
      return Basic('q', draw.Word());
    case 4:
      return Basic('i', draw.Word());
    case 5:
      return Basic('u', draw.Word());
    case 6:
      return Basic(draw.Byte() % 2 ? 'x' : 't',
                   static_cast<uint64_t>(draw.Word()) << 32 | draw.Word());
    case 7: {
      const uint64_t bits = static_cast<uint64_t>(draw.Word()) << 32 | draw.Word();
      Value real = Basic('d', 0);
      std::memcpy(&real.real, &bits, sizeof real.real);
      return real;
    }
    case 8:
      return Text('s', draw.Text(64));
    case 9:
      return TextList(draw);
    case 10: {
      Value bytes = Array("y");
      for (char c : draw.Text(16)) bytes.items.push_back(Basic('y', static_cast<uint8_t>(c)));
      return bytes;
    }
    case 11:
      return Text('o', "/QorModBus/QorModBusCom");
    case 12:
      return Variant(Any(draw, depth + 1));
    case 13:
      return VariantArray(draw, depth);
    case 14:
      return Composite(draw, depth);
    default:
      return Text('g', "a{sv}");
  }
}

// The argument of a driver call: mostly the variant holding a parameter list that hosts send.
Value DriverArgument(Draw& draw) {
  switch (draw.Below(4)) {
    case 0:
      return Variant(TextList(draw));
    case 1: {
      Value list = Array("v");
      for (std::string& text : ParamTexts(draw))
        list.items.push_back(Variant(Text('s', std::move(text))));
      if (draw.Byte() % 4 == 0) list.items.push_back(Variant(Any(draw, 1)));
      return Variant(std::move(list));
    }
    case 2:
      return Variant(Any(draw, 1));
    default:
      return Any(draw, 0);
  }
}

int Append(sd_bus_message* m, const Value& value) {
  int r = 0;
  switch (value.type) {
    case 'y': {
      const uint8_t byte = static_cast<uint8_t>(value.number);
      return sd_bus_message_append_basic(m, 'y', &byte);
    }
    case 'b': {
      const int flag = static_cast<int>(value.number);
      return sd_bus_message_append_basic(m, 'b', &flag);
    }
    case 'n':
    case 'q': {
      const uint16_t word = static_cast<uint16_t>(value.number);
      return sd_bus_message_append_basic(m, value.type, &word);
    }
    case 'i':
    case 'u': {
      const uint32_t word = static_cast<uint32_t>(value.number);
      return sd_bus_message_append_basic(m, value.type, &word);
    }
    case 'x':
    case 't':
      return sd_bus_message_append_basic(m, value.type, &value.number);
    case 'd':
      return sd_bus_message_append_basic(m, 'd', &value.real);
    case 's':
    case 'o':
    case 'g':
      return sd_bus_message_append_basic(m, value.type, value.text.c_str());
    default:
      break;
  }
  std::string contents;
  if (value.type == 'v') contents = Signature(value.items.front());
  if (value.type == 'a') contents = value.element;
  if (value.type == 'r' || value.type == 'e') {
    contents = Signature(value);
    contents = contents.substr(1, contents.size() - 2);
  }
  if ((r = sd_bus_message_open_container(m, value.type, contents.c_str())) < 0) return r;
  for (const Value& item : value.items)
    if ((r = Append(m, item)) < 0) return r;
  for (uint32_t i = 0; i < value.counted; ++i) {
    const int32_t number = static_cast<int32_t>(value.items.size() + i);
    if ((r = sd_bus_message_append(m, "v", "i", number)) < 0) return r;
  }
  return sd_bus_message_close_container(m);
}

// What the bus daemon would answer the adaptor about its client: a peer connection has no
// daemon, and without an answer the frames watch would wait. (Nor does the adaptor watch for the
// client leaving there: there are no bus names to track.)
int AnswerAsDaemon(sd_bus_message* m, void*, sd_bus_error*) {
  if (sd_bus_message_is_method_call(m, "org.freedesktop.DBus", "GetConnectionUnixUser"))
    return sd_bus_reply_method_return(m, "u", static_cast<uint32_t>(getuid()));
  return 0;
}

struct Call {
  bool answered = false;
  bool timedOut = false;
};

int OnAnswer(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* call = static_cast<Call*>(userdata);
  call->answered = true;
  // sd-bus makes its own error message when the answer does not come in time.
  call->timedOut = sd_bus_message_is_method_error(m, SD_BUS_ERROR_NO_REPLY) ||
                   sd_bus_message_is_method_error(m, "org.freedesktop.DBus.Error.Timeout");
  return 1;
}

sd_bus* Open(int fd, bool server) {
  sd_bus* bus = nullptr;
  sd_id128_t id{};
  if (sd_bus_new(&bus) < 0 || sd_bus_set_fd(bus, fd, fd) < 0) std::abort();
  if (server && (sd_id128_randomize(&id) < 0 || sd_bus_set_server(bus, 1, id) < 0)) std::abort();
  if (sd_bus_set_anonymous(bus, 1) < 0 || sd_bus_start(bus) < 0) std::abort();
  return bus;
}

struct Harness {
  Harness()
      : serialPorts(loop),
        tcpClients(loop),
        mainForm(loop, loop, serialPorts, tcpClients, "/usr/bin/qormodbus") {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) < 0) std::abort();
    client = Open(fds[0], false);
    adaptor =
        std::make_unique<qmb::BusServer>(mainForm, loop, qmb::SdBusConnection(Open(fds[1], true)));
    if (sd_bus_add_filter(client, nullptr, &AnswerAsDaemon, nullptr) < 0) std::abort();
    QString error;
    if (!adaptor->StartOnPeer(error)) {
      std::fprintf(stderr, "fuzz_sdbus_call: %s\n", qPrintable(error));
      std::abort();
    }
  }

  // Runs both ends until every call has its answer. A call the adaptor never answers keeps this
  // loop spinning: it is caught by the processor time spent here, which a busy machine does not
  // run down as it would wall-clock time (a campaign runs at the lowest priority).
  void Answer(const std::deque<Call>& calls) {
    const std::clock_t start = std::clock();
    for (const Call& call : calls) {
      while (!call.answered) {
        int r = 0;
        while ((r = sd_bus_process(client, nullptr)) > 0) {
        }
        if (r < 0) {
          std::fprintf(stderr, "fuzz_sdbus_call: the client's connection failed\n");
          std::abort();
        }
        if (call.answered) break;
        if (std::clock() - start > 20 * CLOCKS_PER_SEC) {
          std::fprintf(stderr, "fuzz_sdbus_call: a call was never answered\n");
          std::abort();
        }
        // The typed interface answers once its exchange or its link is done: virtual time
        // moves on while a call waits.
        loop.RunFor(5);
        QCoreApplication::processEvents();
      }
      if (call.timedOut) {
        std::fprintf(stderr, "fuzz_sdbus_call: the client gave up on a call\n");
        std::abort();
      }
    }
  }

  qmb::test::VirtualLoop loop;
  qmb::test::FakeSerialPortFactory serialPorts;
  qmb::test::FakeTcpClientFactory tcpClients;
  qmb::TMainForm mainForm;
  std::unique_ptr<qmb::BusServer> adaptor;
  sd_bus* client = nullptr;
};

Harness* harness = nullptr;

const char* const kInterfaces[] = {"QorModBus.ClassFactory",
                                   "QorDevice.IQorDeviceDriver",
                                   "QorModBus.IQorModBusCom",
                                   "QorModBus.IQorModBusDiagnostics",
                                   "QorModBus.IQorModBusTrace",
                                   "org.freedesktop.DBus.Introspectable",
                                   "org.freedesktop.DBus.Peer",
                                   "org.freedesktop.DBus.Properties",
                                   "QorModBus.Modbus1.Manager",
                                   "QorModBus.Modbus1.Site",
                                   "QorModBus.Modbus1.Subscription",
                                   "org.freedesktop.DBus.ObjectManager",
                                   "Other.Interface"};
const char* const kMembers[] = {"CreateInstance", "OpenSite",
                                "CloseSite",      "SetDriverOption",
                                "ExecuteCommand", "ExecuteImmediate",
                                "Release",        "LastErrorDetail",
                                "Introspect",     "Ping",
                                "WatchFrames",    "Get",
                                "Read",           "Write",
                                "Subscribe",      "Close",
                                "GetAll",         "GetManagedObjects",
                                "Other"};

// The typed interface's arguments as its hosts send them: options and points mostly from the
// names and addresses it knows, values of every basic type.
const char* const kOptions[] = {"Description", "Transport",  "Host",     "Port",  "ComPort",
                                "Baud",        "Parity",     "StopBits", "RS485", "PhoneNumber",
                                "Poll",        "IntervalMs", "Deadband", "Other"};
const char* const kOptionTexts[] = {"Pump", "tcp",  "rtu",  "ascii", "modem", "127.0.0.1",
                                    "none", "even", "fast", "tick",  ""};
const char* const kPoints[] = {"HREG4",
                               "1-HREG4",
                               "IN1",
                               "1-OUT2",
                               "HREG100,0,32,FLOAT,CDAB",
                               "1-HREG5,0,64,STRING",
                               "HREG1,0,16,FLOAT",
                               "IREG3,8,8,BYTE",
                               "[10.0.0.7]-HREG1",
                               "HREG65535,0,64,LINT",
                               "bad"};

Value TypedScalar(Draw& draw) {
  if (draw.Byte() < 40) return Any(draw, 2);
  const char types[] = "bynqiuxtds";
  const char type = types[draw.Below(10)];
  if (type == 's')
    return Text('s', draw.Byte() < 128 ? kOptionTexts[draw.Below(11)] : draw.Text(16));
  if (type == 'd') {
    Value real = Basic('d', 0);
    real.real = static_cast<double>(static_cast<int32_t>(draw.Word())) / 8;
    return real;
  }
  return Basic(type,
               static_cast<uint64_t>(draw.Word()) << (draw.Byte() % 2 ? 32 : 0) | draw.Word() % 50);
}

Value Points(Draw& draw) {
  Value list = Array("s");
  const uint32_t count = draw.Below(6);
  for (uint32_t i = 0; i < count; ++i)
    list.items.push_back(
        Text('s', draw.Byte() < 220 ? kPoints[draw.Below(std::size(kPoints))] : draw.Text(24)));
  return list;
}

Value Options(Draw& draw) {
  Value map = Array("{sv}");
  const uint32_t entries = draw.Below(7);
  for (uint32_t i = 0; i < entries; ++i) {
    Value entry;
    entry.type = 'e';
    entry.items.push_back(Text('s', kOptions[draw.Below(std::size(kOptions))]));
    entry.items.push_back(Variant(TypedScalar(draw)));
    map.items.push_back(std::move(entry));
  }
  return map;
}

std::vector<Value> TypedArguments(Draw& draw, const std::string& member) {
  if (member == "OpenSite") return {Options(draw)};
  if (member == "Read") return {Points(draw), Basic('u', draw.Byte() < 128 ? 0 : draw.Word())};
  if (member == "Subscribe") return {Points(draw), Options(draw)};
  if (member == "Write") {
    Value values = Array("(sv)");
    const uint32_t count = draw.Below(4);
    for (uint32_t i = 0; i < count; ++i) {
      Value pair;
      pair.type = 'r';
      pair.items.push_back(Text('s', kPoints[draw.Below(std::size(kPoints))]));
      pair.items.push_back(Variant(TypedScalar(draw)));
      values.items.push_back(std::move(pair));
    }
    return {values};
  }
  if (member == "GetAll") return {Text('s', "QorModBus.Modbus1.Site")};
  return {};
}

bool Send(sd_bus_message* m, std::deque<Call>& calls) {
  calls.emplace_back();
  // No time-out of the client's own: Answer judges by processor time.
  return sd_bus_call_async(harness->client, nullptr, m, &OnAnswer, &calls.back(), UINT64_MAX) >= 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  qputenv("QORMODBUS_LOGLEVEL", "error");
  harness = new Harness();  // lives for the process; the fuzzer never returns from its loop
  return 0;
}

// The calls of one input, each sent and answered in turn, with the engines running on between
// them for a drawn pause of virtual time. A few per input, so that sequences (create, open,
// command, status) are reached; the objects they name are the ones this input's
// CreateInstance calls will make (numbers are never reused, so they are known beforehand).
void RunCalls(Draw& draw) {
  const uint64_t firstObject = harness->adaptor->Registry().CreatedCount() + 1;
  uint64_t creates = 0;
  std::deque<Call> calls;
  const uint32_t count = 1 + draw.Below(4);
  for (uint32_t call = 0; call < count; ++call) {
    std::string path = "/QorModBus/QorModBusCom";
    const uint8_t pathKind = draw.Byte();
    if (pathKind < 160) {
      if (creates != 0) path += "/" + std::to_string(firstObject + draw.Below(creates));
    } else if (pathKind < 200) {
      path += "/" + std::to_string(draw.Below(5));
    } else if (pathKind < 220) {
      path = "/";
    } else if (pathKind < 250) {
      // The typed objects this input makes are numbered on from those made before.
      const qmb::TypedSites& typed = harness->adaptor->Typed().Sites();
      path = "/QorModBus/Modbus1";
      if (pathKind >= 228) path += "/site/" + std::to_string(typed.SitesOpened() + draw.Below(3));
      if (pathKind >= 244)
        path += "/sub/" + std::to_string(typed.SubscriptionsMade() + draw.Below(3));
    }
    const uint8_t interfaceKind = draw.Byte();
    const char* interface =
        interfaceKind < 240 ? kInterfaces[draw.Below(std::size(kInterfaces))] : nullptr;
    const std::string member = kMembers[draw.Below(std::size(kMembers))];
    std::vector<Value> arguments;
    const uint32_t argumentCount = draw.Byte() < 200 ? 1 : draw.Below(4);
    for (uint32_t i = 0; i < argumentCount; ++i)
      arguments.push_back(i == 0 ? DriverArgument(draw) : Any(draw, 0));
    if (member == "CreateInstance" || member == "Release" || member == "LastErrorDetail" ||
        member == "Introspect" || member == "Ping") {
      if (draw.Byte() < 200) arguments.clear();
    }
    // Switching the frames watch on asks the bus who the client is: the client's filter answers
    // as the daemon would, and the watch ends with the input's last call.
    if (member == "WatchFrames") {
      arguments.clear();
      if (draw.Byte() < 200) arguments.push_back(Basic('b', draw.Byte() % 2));
    }
    if (path.starts_with("/QorModBus/Modbus1") && draw.Byte() < 220)
      arguments = TypedArguments(draw, member);
    if (member == "CreateInstance" && path == "/QorModBus/QorModBusCom") ++creates;
    const int64_t pause = draw.Below(4) * 100;
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_method_call(harness->client, &m, nullptr, path.c_str(), interface,
                                       member.c_str()) < 0)
      std::abort();
    for (const Value& argument : arguments) {
      const int r = Append(m, argument);
      if (r < 0) {
        std::fprintf(stderr, "fuzz_sdbus_call: cannot append %s: %s\n", Signature(argument).c_str(),
                     std::strerror(-r));
        std::abort();
      }
    }
    if (!Send(m, calls)) std::abort();
    sd_bus_message_unref(m);
    harness->Answer(calls);
    harness->loop.RunFor(pause);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Draw draw(data, size);
  RunCalls(draw);
  // Every object goes at the end, as when the client leaves, so inputs do not pile them up.
  // (A peer connection has no bus names: every call comes from the client without a name.)
  harness->adaptor->Registry().ReleaseClient(std::string());
  harness->adaptor->Typed().ClientLeft(std::string());
  harness->loop.RunFor(200);
  // One more call, answered after everything the client sent before it: the adaptor's question
  // about the client's user is answered by then, and the frames watch ends.
  std::deque<Call> last;
  sd_bus_message* m = nullptr;
  if (sd_bus_message_new_method_call(harness->client, &m, nullptr, "/QorModBus/QorModBusCom",
                                     "QorModBus.IQorModBusTrace", "WatchFrames") < 0 ||
      sd_bus_message_append(m, "b", 0) < 0 || !Send(m, last))
    std::abort();
  sd_bus_message_unref(m);
  harness->Answer(last);
  QCoreApplication::sendPostedEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  // Nothing is left behind: no driver object, and no engine once its last client has gone.
  if (harness->adaptor->Registry().ObjectCount() != 0 || harness->mainForm.ChildCount() != 0) {
    std::fprintf(stderr, "fuzz_sdbus_call: %zu objects and %zu engines left after the client\n",
                 harness->adaptor->Registry().ObjectCount(), harness->mainForm.ChildCount());
    std::abort();
  }
  return 0;
}
