// The driver on the bus: the factory object /QorModBus/QorModBusCom and the driver objects
// /QorModBus/QorModBusCom/<n> below it, served by one virtual object so that no bus object is
// registered or removed while calls are being handled (a host call can be served inside another
// one that waits in an engine's Delay). Every call is answered: with the operation's result, or
// with a D-Bus error that says what was wrong. No exception leaves a handler.
#pragma once

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QString>
#include <functional>
#include <memory>

#include "host/DriverRegistry.h"
#include "host/bus/BusIntrospection.h"
#include "host/bus/FrameWatch.h"
#include "platform/MessageLoop.h"
#include "sites/EngineRegistry.h"

namespace qmb {

class BusServer : public QDBusVirtualObject {
 public:
  // introspectionXml: the server's interface description (the installed XML document).
  BusServer(TMainForm& mainForm, MessageLoop& loop, QDBusConnection connection,
            const QString& introspectionXml);
  ~BusServer() override;

  // Publishes the objects, then takes the well-known name. False with a reason when either fails
  // (another server already holds the name, for one).
  bool Start(QString& error);
  // Gives up the well-known name, so that the next host call starts a new server; the objects
  // keep serving the clients that already have them.
  void ReleaseName();

  DriverRegistry& Registry() { return registry_; }
  const QDBusConnection& Connection() const { return connection_; }

  // An object was destroyed; the number still alive.
  std::function<void(size_t objectCount)> OnObjectCountChanged;
  // Called before every driver-object operation once access is granted (tests use it to run a
  // nested event loop inside a call, as an engine's Delay does).
  std::function<void(const QString& member)> BeforeDriverCall;

  QString introspect(const QString& path) const override;
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

 private:
  void Dispatch(const QDBusMessage& message);
  void HandleFactoryCall(const QDBusMessage& message);
  void HandleDriverCall(const QDBusMessage& message, uint64_t id);
  void Reply(const QDBusMessage& message, const QList<QVariant>& arguments);
  void ReplyError(const QDBusMessage& message, QDBusError::ErrorType type, const QString& text);
  QString IntrospectionDocument(const QString& path) const;
  void WatchClient(const QString& client);
  void ClientLeft(const QString& client);

  QDBusConnection connection_;
  BusIntrospection introspection_;
  DriverRegistry registry_;
  FrameWatch frames_;
  QDBusServiceWatcher watcher_;
  bool published_ = false;
  bool nameOwned_ = false;
};

}  // namespace qmb
