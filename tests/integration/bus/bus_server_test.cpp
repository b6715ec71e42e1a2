// The bus server in this process against a private dbus-daemon, with hosts on connections of
// their own: calls that arrive while another call of the same object waits in a nested event
// loop (as an engine's Delay does), and clients that leave at awkward moments. Each case runs
// with either bus library serving (QtDBus, and sd-bus where it is built).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <memory>
#include <optional>

#include "host/Registration.h"
#include "host/bus/BusServer.h"
#ifdef QMB_HAVE_SDBUS
#include "host/bus/SdBusServer.h"
#endif
#include "platform/qt/QtMessageLoop.h"
#include "sites/EngineRegistry.h"
#include "support/FakeLinks.h"
#include "support/VirtualLoop.h"

namespace qmb {
namespace {

// Runs the event loop until the condition holds or the time is up.
bool SpinUntil(const std::function<bool()>& condition, int limitMs = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!condition()) {
    if (timer.elapsed() > limitMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

class PrivateBus {
 public:
  PrivateBus() {
    QFile config(dir_.filePath(QStringLiteral("bus.conf")));
    if (!config.open(QIODevice::WriteOnly)) return;
    config.write(QStringLiteral(
                     "<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                     "<auth>EXTERNAL</auth><policy context=\"default\">"
                     "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                     "<allow own=\"*\"/></policy></busconfig>")
                     .arg(dir_.path())
                     .toUtf8());
    config.close();
    daemon_.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                   QStringLiteral("--print-address=1")});
    if (daemon_.waitForStarted(5000) && daemon_.waitForReadyRead(5000))
      address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
  }
  ~PrivateBus() {
    daemon_.terminate();  // SIGTERM to the daemon's own process id
    if (!daemon_.waitForFinished(5000)) daemon_.kill();
  }
  const QString& Address() const { return address_; }

 private:
  QTemporaryDir dir_;
  QProcess daemon_;
  QString address_;
};

enum class Library { QtDBus, SdBus };

class BusServerTest : public ::testing::TestWithParam<Library> {
 protected:
  BusServerTest() : main(loop, loop, serialPorts, tcpClients, "/usr/bin/qormodbus") {}

  void SetUp() override {
    ASSERT_FALSE(bus.Address().isEmpty()) << "dbus-daemon did not start";
    QString error;
#ifdef QMB_HAVE_SDBUS
    if (GetParam() == Library::SdBus) {
      SdBusConnection connection = ConnectSdBus(bus.Address(), error);
      ASSERT_TRUE(connection) << error.toStdString();
      sdServer = std::make_unique<SdBusServer>(main, loop, std::move(connection),
                                               BuiltInIntrospectionXml());
      ASSERT_TRUE(sdServer->Start(error)) << error.toStdString();
      return;
    }
#endif
    serverConnection = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(bus.Address(), QStringLiteral("server")));
    ASSERT_TRUE(serverConnection->isConnected());
    server = std::make_unique<BusServer>(main, loop, *serverConnection, BuiltInIntrospectionXml());
    ASSERT_TRUE(server->Start(error)) << error.toStdString();
  }
  void TearDown() override {
    server.reset();
#ifdef QMB_HAVE_SDBUS
    sdServer.reset();
#endif
    QDBusConnection::disconnectFromBus(QStringLiteral("server"));
    for (const QString& name : clients) QDBusConnection::disconnectFromBus(name);
  }

  // What the cases reach of the server, whichever library serves.
  DriverRegistry& Registry() {
#ifdef QMB_HAVE_SDBUS
    if (sdServer) return sdServer->Registry();
#endif
    return server->Registry();
  }
  std::function<void(const QString&)>& BeforeDriverCall() {
#ifdef QMB_HAVE_SDBUS
    if (sdServer) return sdServer->BeforeDriverCall;
#endif
    return server->BeforeDriverCall;
  }
  std::function<void(size_t)>& OnObjectCountChanged() {
#ifdef QMB_HAVE_SDBUS
    if (sdServer) return sdServer->OnObjectCountChanged;
#endif
    return server->OnObjectCountChanged;
  }

  QDBusConnection Client(const QString& name) {
    clients.push_back(name);
    return QDBusConnection::connectToBus(bus.Address(), name);
  }
  static QDBusMessage Call(const QString& path, const QString& interface, const QString& member,
                           const QVariantList& arguments = {}) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(kBusName), path, interface, member);
    call.setArguments(arguments);
    return call;
  }
  static QVariant List(const QStringList& elements) {
    return QVariant::fromValue(QDBusVariant(elements));
  }
  // A blocking call would stall this thread, which also serves the server: wait in the loop.
  static QDBusMessage Wait(const QDBusPendingCall& pending) {
    SpinUntil([&] { return pending.isFinished(); });
    return pending.reply();
  }
  QString CreateInstance(QDBusConnection& client) {
    const QDBusMessage reply = Wait(client.asyncCall(Call(QString::fromLatin1(kFactoryPath),
                                                          QStringLiteral("QorModBus.ClassFactory"),
                                                          QStringLiteral("CreateInstance"))));
    if (reply.type() != QDBusMessage::ReplyMessage) return {};
    return reply.arguments().value(0).value<QDBusObjectPath>().path();
  }
  QDBusMessage Driver(QDBusConnection& client, const QString& path, const QString& member,
                      const QStringList& params) {
    return Wait(client.asyncCall(
        Call(path, QStringLiteral("QorDevice.IQorDeviceDriver"), member, {List(params)})));
  }

  PrivateBus bus;
  QtMessageLoop loop;
  // The sites here are offline: no port or socket is ever made (the doubles' clock never runs).
  test::VirtualLoop unusedClock;
  test::FakeSerialPortFactory serialPorts{unusedClock};
  test::FakeTcpClientFactory tcpClients{unusedClock};
  TMainForm main;
  std::unique_ptr<QDBusConnection> serverConnection;
  std::unique_ptr<BusServer> server;
#ifdef QMB_HAVE_SDBUS
  std::unique_ptr<SdBusServer> sdServer;
#endif
  QStringList clients;
};

TEST_P(BusServerTest, ReleaseArrivingDuringAWaitingCallDestroysTheObjectOnlyAfterIt) {
  QDBusConnection host = Client(QStringLiteral("host"));
  const QString path = CreateInstance(host);
  ASSERT_FALSE(path.isEmpty());
  ASSERT_EQ(Driver(host, path, "SetDriverOption", {"VERSIONCHECK=1.8"}).arguments().value(0),
            QVariant(true));
  ASSERT_EQ(
      Driver(host, path, "OpenSite", {"DESCRIPTION=Nested", "OFFLINE=TRUE"}).arguments().value(0),
      QVariant(true));
  ASSERT_EQ(Driver(host, path, "ExecuteCommand", {"COMMAND=COMMANDSTATUS"}).type(),
            QDBusMessage::ReplyMessage);  // collects the open's outcome

  // ExecuteCommand waits in a nested loop, as a handler waiting for its device would; the host
  // releases the object meanwhile.
  std::optional<QDBusPendingCall> release;
  size_t aliveDuringCall = 0;
  bool releaseAnswered = false;
  BeforeDriverCall() = [&](const QString& member) {
    if (member != QLatin1String("ExecuteCommand")) return;
    release = host.asyncCall(
        Call(path, QStringLiteral("QorModBus.IQorModBusCom"), QStringLiteral("Release")));
    releaseAnswered = SpinUntil([&] { return release->isFinished(); });
    SpinUntil([] { return false; }, 200);  // posted work gets its chance to run
    aliveDuringCall = Registry().ObjectCount();
  };
  const QDBusMessage reply = Driver(host, path, "ExecuteCommand", {"COMMAND=COMMANDSTATUS"});
  BeforeDriverCall() = nullptr;

  EXPECT_TRUE(releaseAnswered);
  ASSERT_TRUE(release.has_value());
  EXPECT_EQ(release->reply().type(), QDBusMessage::ReplyMessage);
  EXPECT_EQ(aliveDuringCall, 1u);
  ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
  EXPECT_EQ(reply.arguments().value(0).value<QDBusVariant>().variant().toStringList().value(0),
            QStringLiteral("COMMANDSTATUS=FALSE"));
  EXPECT_TRUE(SpinUntil([&] { return Registry().ObjectCount() == 0; }));
  EXPECT_TRUE(SpinUntil([&] { return main.ChildCount() == 0; }));
  // Gone means gone: the path now names no object.
  EXPECT_EQ(Driver(host, path, "ExecuteCommand", {"COMMAND=COMMANDSTATUS"}).errorName(),
            QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"));
}

TEST_P(BusServerTest, AClientLeavingDuringItsOwnWaitingCallIsCleanedUpAfterIt) {
  // The connection closes only once no handle of it is left, so the host's handle is dropped
  // before it disconnects.
  std::optional<QDBusConnection> host = Client(QStringLiteral("leaver"));
  const QString path = CreateInstance(*host);
  ASSERT_FALSE(path.isEmpty());
  const std::string owner = host->baseService().toStdString();
  size_t aliveDuringCall = 0;
  bool releasedDuringCall = false;
  BeforeDriverCall() = [&](const QString&) {
    QDBusConnection::disconnectFromBus(QStringLiteral("leaver"));
    releasedDuringCall = SpinUntil([&] { return !Registry().HasClient(owner); });
    aliveDuringCall = Registry().ObjectCount();
  };
  host->asyncCall(Call(path, QStringLiteral("QorDevice.IQorDeviceDriver"),
                       QStringLiteral("SetDriverOption"), {List({"VERSIONCHECK=1.8"})}));
  host.reset();
  EXPECT_TRUE(SpinUntil([&] { return aliveDuringCall != 0; }));
  BeforeDriverCall() = nullptr;
  EXPECT_TRUE(releasedDuringCall);
  EXPECT_EQ(aliveDuringCall, 1u);
  EXPECT_TRUE(SpinUntil([&] { return Registry().ObjectCount() == 0; }));
  EXPECT_TRUE(Registry().Objects().empty());
}

TEST_P(BusServerTest, AClientGoneBeforeItsObjectWasMadeDoesNotLeaveTheObjectBehind) {
  {
    QDBusConnection host = Client(QStringLiteral("hasty"));
    host.asyncCall(Call(QString::fromLatin1(kFactoryPath), QStringLiteral("QorModBus.ClassFactory"),
                        QStringLiteral("CreateInstance")));
  }
  // This thread does not serve the server meanwhile: the call waits in its queue while the client
  // sends it and leaves, and the bus announces the departure before the watch exists.
  QThread::msleep(200);
  QDBusConnection::disconnectFromBus(QStringLiteral("hasty"));
  QThread::msleep(200);
  EXPECT_TRUE(SpinUntil([&] { return Registry().CreatedCount() == 1; }));
  EXPECT_TRUE(SpinUntil([&] { return Registry().ObjectCount() == 0; }));
}

TEST_P(BusServerTest, ObjectCountReportsEveryDestruction) {
  QDBusConnection host = Client(QStringLiteral("counter"));
  std::vector<size_t> counts;
  OnObjectCountChanged() = [&](size_t n) { counts.push_back(n); };
  const QString first = CreateInstance(host);
  const QString second = CreateInstance(host);
  ASSERT_NE(first, second);
  Wait(host.asyncCall(Call(first, QStringLiteral("QorModBus.IQorModBusCom"), "Release")));
  EXPECT_TRUE(SpinUntil([&] { return counts.size() == 1; }));
  Wait(host.asyncCall(Call(second, QStringLiteral("QorModBus.IQorModBusCom"), "Release")));
  EXPECT_TRUE(SpinUntil([&] { return counts.size() == 2; }));
  EXPECT_EQ(counts, (std::vector<size_t>{1, 0}));
}

#ifdef QMB_HAVE_SDBUS
INSTANTIATE_TEST_SUITE_P(Libraries, BusServerTest,
                         ::testing::Values(Library::QtDBus, Library::SdBus), [](const auto& info) {
                           return info.param == Library::SdBus ? "SdBus" : "QtDBus";
                         });
#else
INSTANTIATE_TEST_SUITE_P(Libraries, BusServerTest, ::testing::Values(Library::QtDBus),
                         [](const auto&) { return "QtDBus"; });
#endif

}  // namespace
}  // namespace qmb
