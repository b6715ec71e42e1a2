// The bus server in this process against a private dbus-daemon, with hosts on connections of
// their own (QtDBus clients): calls sent back to back without waiting for their answers, and
// clients that leave at awkward moments.
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
#include "platform/Log.h"
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

class BusServerTest : public ::testing::Test {
 protected:
  BusServerTest() : main(loop, loop, serialPorts, tcpClients, "/usr/bin/qormodbus") {}

  void SetUp() override {
    ASSERT_FALSE(bus.Address().isEmpty()) << "dbus-daemon did not start";
    QString error;
    SdBusConnection connection = ConnectSdBus(bus.Address(), error);
    ASSERT_TRUE(connection) << error.toStdString();
    server = std::make_unique<BusServer>(main, loop, std::move(connection));
    ASSERT_TRUE(server->Start(error)) << error.toStdString();
  }
  void TearDown() override {
    server.reset();
    for (const QString& name : clients) QDBusConnection::disconnectFromBus(name);
  }

  DriverRegistry& Registry() { return server->Registry(); }

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
  std::unique_ptr<BusServer> server;
  QStringList clients;
};

TEST_F(BusServerTest, CallsSentBackToBackAreAnsweredInTheirOrderAroundARelease) {
  QDBusConnection host = Client(QStringLiteral("host"));
  const QString path = CreateInstance(host);
  ASSERT_FALSE(path.isEmpty());
  // Each call is carried out and answered inside its handler, in the order the host sent them:
  // the command before the release is answered by the object, the one after it finds none.
  const auto driverCall = [&](const char* member, const QStringList& params) {
    return host.asyncCall(
        Call(path, QStringLiteral("QorDevice.IQorDeviceDriver"), member, {List(params)}));
  };
  const QDBusPendingCall option = driverCall("SetDriverOption", {"VERSIONCHECK=1.8"});
  const QDBusPendingCall open = driverCall("OpenSite", {"DESCRIPTION=Ordered", "OFFLINE=TRUE"});
  const QDBusPendingCall collect = driverCall("ExecuteCommand", {"COMMAND=COMMANDSTATUS"});
  const QDBusPendingCall before = driverCall("ExecuteCommand", {"COMMAND=COMMANDSTATUS"});
  const QDBusPendingCall release =
      host.asyncCall(Call(path, QStringLiteral("QorModBus.IQorModBusCom"), "Release"));
  const QDBusPendingCall after = driverCall("ExecuteCommand", {"COMMAND=COMMANDSTATUS"});

  EXPECT_EQ(Wait(option).arguments().value(0), QVariant(true));
  EXPECT_EQ(Wait(open).arguments().value(0), QVariant(true));
  EXPECT_EQ(Wait(collect).type(), QDBusMessage::ReplyMessage);  // the open's outcome
  const QDBusMessage status = Wait(before);
  ASSERT_EQ(status.type(), QDBusMessage::ReplyMessage) << status.errorMessage().toStdString();
  EXPECT_EQ(status.arguments().value(0).value<QDBusVariant>().variant().toStringList().value(0),
            QStringLiteral("COMMANDSTATUS=FALSE"));
  EXPECT_EQ(Wait(release).type(), QDBusMessage::ReplyMessage);
  EXPECT_EQ(Wait(after).errorName(), QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"));
  EXPECT_TRUE(SpinUntil([&] { return Registry().ObjectCount() == 0; }));
  EXPECT_TRUE(SpinUntil([&] { return main.ChildCount() == 0; }));
}

TEST_F(BusServerTest, AClientLeavingRightAfterItsCallsLosesItsObjects) {
  // The connection closes only once no handle of it is left, so the host's handle is dropped
  // before it disconnects.
  std::optional<QDBusConnection> host = Client(QStringLiteral("leaver"));
  const QString first = CreateInstance(*host);
  const QString second = CreateInstance(*host);
  ASSERT_FALSE(first.isEmpty());
  ASSERT_FALSE(second.isEmpty());
  const std::string owner = host->baseService().toStdString();
  host->asyncCall(Call(first, QStringLiteral("QorDevice.IQorDeviceDriver"),
                       QStringLiteral("SetDriverOption"), {List({"VERSIONCHECK=1.8"})}));
  host.reset();
  QDBusConnection::disconnectFromBus(QStringLiteral("leaver"));
  EXPECT_TRUE(SpinUntil([&] { return !Registry().HasClient(owner); }));
  EXPECT_TRUE(SpinUntil([&] { return Registry().ObjectCount() == 0; }));
  EXPECT_TRUE(Registry().Objects().empty());
}

TEST_F(BusServerTest, AClientGoneBeforeItsObjectWasMadeDoesNotLeaveTheObjectBehind) {
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

// A client's holds are counted one by one: letting one go leaves the watch on the others, and the
// watch taken down with the last is taken up again by the next.
TEST_F(BusServerTest, WhatAClientStillHoldsGoesWhenItLeaves) {
  struct Row {
    const char* name;
    bool releaseObject;
    bool stopFrames;
    bool createAgain;
  };
  const Row rows[] = {{"objectLetGo", true, false, false},
                      {"framesLetGo", false, true, false},
                      {"allLetGoThenAnObjectAgain", true, true, true}};
  const QString factory = QString::fromLatin1(kFactoryPath);
  const QString trace = QStringLiteral("QorModBus.IQorModBusTrace");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const QString name = QString::fromLatin1(row.name);
    std::optional<QDBusConnection> host = Client(name);
    const QString path = CreateInstance(*host);
    ASSERT_FALSE(path.isEmpty());
    Wait(host->asyncCall(Call(factory, trace, QStringLiteral("WatchFrames"), {true})));
    ASSERT_TRUE(FramesWatched());
    if (row.releaseObject)
      Wait(host->asyncCall(Call(path, QStringLiteral("QorModBus.IQorModBusCom"), "Release")));
    if (row.stopFrames)
      Wait(host->asyncCall(Call(factory, trace, QStringLiteral("WatchFrames"), {false})));
    if (row.createAgain) {
      ASSERT_FALSE(CreateInstance(*host).isEmpty());
    }
    const std::string owner = host->baseService().toStdString();
    host.reset();
    QDBusConnection::disconnectFromBus(name);
    EXPECT_TRUE(SpinUntil([&] { return !Registry().HasClient(owner) && !FramesWatched(); }));
  }
}

TEST_F(BusServerTest, ObjectCountReportsEveryDestruction) {
  QDBusConnection host = Client(QStringLiteral("counter"));
  std::vector<size_t> counts;
  server->OnObjectCountChanged = [&](size_t n) { counts.push_back(n); };
  const QString first = CreateInstance(host);
  const QString second = CreateInstance(host);
  ASSERT_NE(first, second);
  Wait(host.asyncCall(Call(first, QStringLiteral("QorModBus.IQorModBusCom"), "Release")));
  EXPECT_TRUE(SpinUntil([&] { return counts.size() == 1; }));
  Wait(host.asyncCall(Call(second, QStringLiteral("QorModBus.IQorModBusCom"), "Release")));
  EXPECT_TRUE(SpinUntil([&] { return counts.size() == 2; }));
  EXPECT_EQ(counts, (std::vector<size_t>{1, 0}));
}

}  // namespace
}  // namespace qmb
