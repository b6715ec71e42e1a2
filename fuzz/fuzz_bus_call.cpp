// The bus boundary: any message a bus client can send reaches the driver's adaptor through the
// bus library's own decoding, over a real peer-to-peer connection in this process. The fuzz bytes
// choose the object, interface and member (the real ones most of the time), and draw the
// arguments' types and values: basic types, strings with any code point, variants nested in
// variants, arrays (now and then huge), structures and dictionaries, and parameter lists built
// from the keys hosts use. Every call must be answered, with a reply or an error; the engines run
// on a virtual clock that advances with each call, so commands are carried out too.
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusServer>
#include <QDBusSignature>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include <sanitizer/allocator_interface.h>

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
  QString Text(uint32_t maxLength) {
    const uint32_t length = Below(maxLength + 1);
    QString text;
    for (uint32_t i = 0; i < length && Left(); ++i) {
      // Mostly printable ASCII, sometimes any UTF-16 unit (surrogates and nulls included).
      const uint8_t kind = Byte();
      text += kind < 200 ? QChar(0x20 + kind % 95) : QChar(static_cast<char16_t>(Word()));
    }
    return text;
  }
};

using qmb::fuzz::kKeys;
using qmb::fuzz::kValues;

// A parameter list as hosts send it: KEY=VALUE texts from the keys hosts use.
QStringList ParamTexts(Draw& draw) {
  QStringList texts;
  const uint32_t count = draw.Below(8);
  for (uint32_t i = 0; i < count; ++i) {
    const QString key = QString::fromLatin1(kKeys[draw.Below(std::size(kKeys))]);
    const QString value = draw.Byte() < 200
                              ? QString::fromLatin1(kValues[draw.Below(std::size(kValues))])
                              : draw.Text(24);
    texts << key + QLatin1Char('=') + value;
  }
  return texts;
}

QVariant Value(Draw& draw, int depth);

// An array of variants (av), each element anything; now and then a huge one, whose elements past
// the first few share one value: a variant built for each of them cost more than the call.
QVariant VariantArray(Draw& draw, int depth) {
  QVariantList items;
  const uint32_t count = draw.ArrayLength();
  items.reserve(count);
  const QVariant filler = QVariant::fromValue(QDBusVariant(QVariant(int(count))));
  for (uint32_t i = 0; i < count; ++i)
    items << (i < 6 ? QVariant::fromValue(QDBusVariant(Value(draw, depth + 1))) : filler);
  return items;
}

// A structure or dictionary written through the marshaller, for shapes no Qt type names.
QVariant Composite(Draw& draw, int depth) {
  QDBusArgument argument;
  if (draw.Byte() % 2) {
    argument.beginStructure();
    const uint32_t fields = 1 + draw.Below(4);
    for (uint32_t i = 0; i < fields; ++i) argument << QDBusVariant(Value(draw, depth + 1));
    argument.endStructure();
  } else {
    argument.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QDBusVariant>());
    const uint32_t entries = draw.Below(4);
    for (uint32_t i = 0; i < entries; ++i) {
      argument.beginMapEntry();
      argument << draw.Text(8) << QDBusVariant(Value(draw, depth + 1));
      argument.endMapEntry();
    }
    argument.endMap();
  }
  return QVariant::fromValue(argument);
}

QVariant Value(Draw& draw, int depth) {
  switch (draw.Below(depth > 3 ? 12 : 16)) {
    case 0:
      return QVariant::fromValue(static_cast<uchar>(draw.Byte()));
    case 1:
      return QVariant(draw.Byte() % 2 == 0);
    case 2:
      return QVariant::fromValue(static_cast<short>(draw.Word()));
    case 3:
      return QVariant::fromValue(static_cast<ushort>(draw.Word()));
    case 4:
      return QVariant(static_cast<int>(draw.Word()));
    case 5:
      return QVariant(draw.Word());
    case 6:
      return QVariant(static_cast<qlonglong>(draw.Word()) << 32 | draw.Word());
    case 7: {
      const uint64_t bits = static_cast<uint64_t>(draw.Word()) << 32 | draw.Word();
      double real;
      std::memcpy(&real, &bits, sizeof real);
      return QVariant(real);
    }
    case 8:
      return QVariant(draw.Text(64));
    case 9:
      return QVariant(ParamTexts(draw));
    case 10:
      return QVariant(draw.Text(16).toLatin1());
    case 11:
      return QVariant::fromValue(QDBusObjectPath(QStringLiteral("/QorModBus/QorModBusCom")));
    case 12:
      return QVariant::fromValue(QDBusVariant(Value(draw, depth + 1)));
    case 13:
      return VariantArray(draw, depth);
    case 14:
      return Composite(draw, depth);
    default:
      return QVariant::fromValue(QDBusSignature(QStringLiteral("a{sv}")));
  }
}

// The argument of a driver call: mostly the variant holding a parameter list that hosts send.
QVariant DriverArgument(Draw& draw) {
  switch (draw.Below(4)) {
    case 0:
      return QVariant::fromValue(QDBusVariant(QVariant(ParamTexts(draw))));
    case 1: {
      QVariantList list;
      for (const QString& text : ParamTexts(draw)) list << QVariant::fromValue(QDBusVariant(text));
      if (draw.Byte() % 4 == 0) list << QVariant::fromValue(QDBusVariant(Value(draw, 1)));
      return QVariant::fromValue(QDBusVariant(QVariant(list)));
    }
    case 2:
      return QVariant::fromValue(QDBusVariant(Value(draw, 1)));
    default:
      return Value(draw, 0);
  }
}

// What the bus daemon would answer the adaptor about its client: a peer connection has no daemon,
// and without an answer the adaptor would take the client for gone and release its objects at a
// moment that depends on the threads (an input would not run the same way twice).
class ClientStillThere : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() == QLatin1String("NameHasOwner")) {
      connection.send(message.createReply(QVariantList{true}));
      return true;
    }
    if (message.member() == QLatin1String("GetConnectionUnixUser")) {
      connection.send(message.createReply(QVariantList{static_cast<uint>(getuid())}));
      return true;
    }
    return false;
  }
};

struct Harness {
  Harness()
      : serialPorts(loop),
        tcpClients(loop),
        mainForm(loop, loop, serialPorts, tcpClients, "/usr/bin/qormodbus"),
        server(QStringLiteral("unix:tmpdir=/tmp")) {
    QObject::connect(&server, &QDBusServer::newConnection, [this](const QDBusConnection& peer) {
      adaptor =
          std::make_unique<qmb::BusServer>(mainForm, loop, peer, qmb::BuiltInIntrospectionXml());
      QDBusConnection(peer).registerVirtualObject(QStringLiteral("/QorModBus/QorModBusCom"),
                                                  adaptor.get(), QDBusConnection::SubPath);
    });
    client = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToPeer(server.address(), QStringLiteral("fuzz-client")));
    client->registerVirtualObject(QStringLiteral("/org/freedesktop/DBus"), &daemon);
    QElapsedTimer clock;
    clock.start();
    while (!adaptor && clock.elapsed() < 10000) QCoreApplication::processEvents();
    if (!client->isConnected() || !adaptor) {
      std::fprintf(stderr, "fuzz_bus_call: no peer connection\n");
      std::abort();
    }
  }

  qmb::test::VirtualLoop loop;
  qmb::test::FakeSerialPortFactory serialPorts;
  qmb::test::FakeTcpClientFactory tcpClients;
  qmb::TMainForm mainForm;
  QDBusServer server;
  std::unique_ptr<qmb::BusServer> adaptor;
  ClientStillThere daemon;
  std::unique_ptr<QDBusConnection> client;
};

Harness* harness = nullptr;

// Allocations less frees during the current input, in every thread. The bus library's thread
// frees its part of a call (the pending reply's record, the sent message) a moment after the
// answer has come; an input that ended before that would look to the fuzzer as if it had kept
// memory, and the fuzzer would run it again and scan the heap for a leak, which costs more than
// the input itself. Counted as the fuzzer counts, so that the input can wait for those frees.
std::atomic<bool> counting{false};
std::atomic<int64_t> unfreed{0};
void CountAllocation(const volatile void*, size_t) {
  if (counting.load(std::memory_order_relaxed)) unfreed.fetch_add(1, std::memory_order_relaxed);
}
void CountFree(const volatile void*) {
  if (counting.load(std::memory_order_relaxed)) unfreed.fetch_sub(1, std::memory_order_relaxed);
}

const char* const kInterfaces[] = {
    "QorModBus.ClassFactory",    "QorDevice.IQorDeviceDriver",
    "QorModBus.IQorModBusCom",   "QorModBus.IQorModBusDiagnostics",
    "QorModBus.IQorModBusTrace", "org.freedesktop.DBus.Introspectable",
    "org.freedesktop.DBus.Peer", "Other.Interface"};
const char* const kMembers[] = {
    "CreateInstance",   "OpenSite", "CloseSite",       "SetDriverOption", "ExecuteCommand",
    "ExecuteImmediate", "Release",  "LastErrorDetail", "Introspect",      "Ping",
    "WatchFrames",      "Other"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  qputenv("QORMODBUS_LOGLEVEL", "error");
  harness = new Harness();  // lives for the process; the fuzzer never returns from its loop
  __sanitizer_install_malloc_and_free_hooks(CountAllocation, CountFree);
  return 0;
}

// Long enough that a campaign at the lowest priority on a busy machine never runs it down; a call
// really never answered ends the input as the fuzzer's own time-out (-timeout) first.
constexpr int kCallTimeoutMs = 600000;

bool watched = false;  // the input called WatchFrames: its watch ends with it

// The calls of one input, sent and answered. A few per input, so that sequences (create, open,
// command, status) are reached.
void RunCalls(Draw& draw) {
  // They go out together and are answered in their order: a call crosses the bus library's thread
  // twice each way, and one round of hand-overs for all of them costs a fraction of one round per
  // call. The objects they name are the ones this input's CreateInstance calls will make
  // (numbers are never reused, so they are known beforehand).
  const uint64_t firstObject = harness->adaptor->Registry().CreatedCount() + 1;
  uint64_t creates = 0;
  std::deque<int64_t> pauses;  // virtual time the engines run before each driver operation
  std::vector<std::unique_ptr<QDBusPendingCallWatcher>> pending;
  const uint32_t calls = 1 + draw.Below(4);
  for (uint32_t call = 0; call < calls; ++call) {
    QString path = QStringLiteral("/QorModBus/QorModBusCom");
    const uint8_t pathKind = draw.Byte();
    if (pathKind < 160) {
      if (creates != 0)
        path += QLatin1Char('/') + QString::number(firstObject + draw.Below(creates));
    } else if (pathKind < 200) {
      path += QLatin1Char('/') + QString::number(draw.Below(5));
    } else if (pathKind < 220) {
      path = QStringLiteral("/");
    }
    const uint8_t interfaceKind = draw.Byte();
    const QString interface =
        interfaceKind < 240 ? QString::fromLatin1(kInterfaces[draw.Below(std::size(kInterfaces))])
                            : QString();
    const QString member = QString::fromLatin1(kMembers[draw.Below(std::size(kMembers))]);
    QDBusMessage message = QDBusMessage::createMethodCall(QString(), path, interface, member);
    QList<QVariant> arguments;
    const uint32_t count = draw.Byte() < 200 ? 1 : draw.Below(4);
    for (uint32_t i = 0; i < count; ++i)
      arguments << (i == 0 ? DriverArgument(draw) : Value(draw, 0));
    if (member == QLatin1String("CreateInstance") || member == QLatin1String("Release") ||
        member == QLatin1String("LastErrorDetail") || member == QLatin1String("Introspect") ||
        member == QLatin1String("Ping")) {
      if (draw.Byte() < 200) arguments.clear();
    }
    // The frames watch takes one boolean; now and then something else.
    if (member == QLatin1String("WatchFrames")) {
      watched = true;
      if (draw.Byte() < 200) arguments = {QVariant(draw.Byte() % 2 == 0)};
    }
    message.setArguments(arguments);
    if (member == QLatin1String("CreateInstance") &&
        path == QLatin1String("/QorModBus/QorModBusCom"))
      ++creates;
    pauses.push_back(draw.Below(4) * 100);
    pending.push_back(std::make_unique<QDBusPendingCallWatcher>(
        harness->client->asyncCall(message, kCallTimeoutMs)));
  }
  // The engines go on between a host's calls: each driver operation first lets the virtual clock
  // run (inside the call, as an engine's Delay runs the loop).
  harness->adaptor->BeforeDriverCall = [&pauses](const QString&) {
    if (pauses.empty()) return;
    const int64_t pause = pauses.front();
    pauses.pop_front();
    harness->loop.RunFor(pause);
  };
  // The loop sleeps until the next hand-over instead of spinning, which would take the processor
  // from the bus library's thread. A call the adaptor never answers ends with the bus library's
  // time-out error, which wakes the loop too.
  for (const auto& watcher : pending) {
    while (!watcher->isFinished()) {
      harness->loop.RunFor(0);
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    const QDBusMessage reply = watcher->reply();
    if (reply.type() == QDBusMessage::ErrorMessage &&
        reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")) {
      std::fprintf(stderr, "fuzz_bus_call: a call was never answered\n");
      std::abort();
    }
    if (reply.type() != QDBusMessage::ReplyMessage && reply.type() != QDBusMessage::ErrorMessage)
      std::abort();
  }
  harness->adaptor->BeforeDriverCall = nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Draw draw(data, size);
  unfreed = 0;
  counting = true;
  RunCalls(draw);
  // Every object goes at the end, as when the client leaves, so inputs do not pile them up.
  // (A peer connection has no bus names: every call comes from the client without a name.)
  if (std::exchange(watched, false)) {
    QDBusMessage unwatch = QDBusMessage::createMethodCall(
        QString(), QStringLiteral("/QorModBus/QorModBusCom"),
        QStringLiteral("QorModBus.IQorModBusTrace"), QStringLiteral("WatchFrames"));
    unwatch << false;
    const QDBusPendingCallWatcher last(harness->client->asyncCall(unwatch, kCallTimeoutMs));
    while (!last.isFinished())
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  harness->adaptor->Registry().ReleaseClient(std::string());
  harness->loop.RunFor(200);
  // An input ends when the adaptor has nothing outstanding: its own calls answered (the question
  // whether a client is still there) and the objects it gave up deleted. What an input leaves to
  // the next one counts as memory it did not free, and the fuzzer then runs the input again and
  // scans the whole heap for a leak, which costs more than the input itself.
  while (!harness->adaptor->findChildren<QDBusPendingCallWatcher*>().isEmpty())
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  QCoreApplication::sendPostedEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  // The bus library's thread has a moment to finish with the calls (5 ms at most: memory the
  // input really kept is left for the fuzzer's leak check to find).
  for (int wait = 0; wait < 100 && unfreed.load() > 0; ++wait) QThread::usleep(50);
  counting = false;
  // Nothing is left behind: no driver object, and no engine once its last client has gone.
  if (harness->adaptor->Registry().ObjectCount() != 0 || harness->mainForm.ChildCount() != 0) {
    std::fprintf(stderr, "fuzz_bus_call: %zu objects and %zu engines left after the client\n",
                 harness->adaptor->Registry().ObjectCount(), harness->mainForm.ChildCount());
    std::abort();
  }
  return 0;
}
