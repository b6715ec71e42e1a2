#include "host/bus/BusServer.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <exception>
#include <utility>

#include "host/Registration.h"
#include "host/bus/BusConversion.h"
#include "platform/Log.h"

namespace qmb {

namespace {

const QString kFactoryInterface = QLatin1String(kFactoryInterfaceName);
const QString kDriverInterface = QLatin1String(kDriverInterfaceName);
const QString kObjectInterface = QLatin1String(kObjectInterfaceName);
const QString kDiagnosticsInterface = QLatin1String(kDiagnosticsInterfaceName);
const QString kTraceInterface = QLatin1String(kTraceInterfaceName);
const QString kIntrospectable = QStringLiteral("org.freedesktop.DBus.Introspectable");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

bool IsInterface(const QDBusMessage& message, const QString& name) {
  // A call may leave the interface out; the member name alone then decides.
  return message.interface().isEmpty() || message.interface() == name;
}

}  // namespace

BusServer::BusServer(TMainForm& mainForm, MessageLoop& loop, QDBusConnection connection,
                     const QString& introspectionXml)
    : connection_(std::move(connection)),
      introspection_(introspectionXml),
      registry_(loop, [&mainForm] { return std::make_unique<TQorModBusCom>(mainForm); }),
      frames_(connection_, registry_) {
  watcher_.setConnection(connection_);
  watcher_.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
  QObject::connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this,
                   [this](const QString& client) { ClientLeft(client); });
  registry_.OnClientAdded = [this](const std::string& client) {
    WatchClient(QString::fromStdString(client));
  };
  registry_.OnClientRemoved = [this](const std::string& client) {
    watcher_.removeWatchedService(QString::fromStdString(client));
  };
  registry_.OnObjectDestroyed = [this](size_t count) {
    LogDebug("Driver objects alive: " + std::to_string(count));
    if (OnObjectCountChanged) OnObjectCountChanged(count);
  };
}

BusServer::~BusServer() {
  ReleaseName();
  if (published_) connection_.unregisterObject(QString::fromLatin1(kFactoryPath));
}

bool BusServer::Start(QString& error) {
  if (!connection_.isConnected()) {
    error = QStringLiteral("not connected to the bus");
    return false;
  }
  // Objects first: a host whose call started this server finds them as soon as the name is ours.
  if (!connection_.registerVirtualObject(QString::fromLatin1(kFactoryPath), this,
                                         QDBusConnection::SubPath)) {
    error = QStringLiteral("cannot publish %1: %2")
                .arg(QString::fromLatin1(kFactoryPath), connection_.lastError().message());
    return false;
  }
  published_ = true;
  QDBusConnectionInterface* bus = connection_.interface();
  const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus->registerService(
      QString::fromLatin1(kBusName), QDBusConnectionInterface::DontQueueService,
      QDBusConnectionInterface::DontAllowReplacement);
  if (!reply.isValid()) {
    error = QStringLiteral("cannot take the name %1: %2")
                .arg(QString::fromLatin1(kBusName), reply.error().message());
    return false;
  }
  if (reply.value() != QDBusConnectionInterface::ServiceRegistered) {
    error = QStringLiteral("the name %1 is already taken on this bus (another server runs)")
                .arg(QString::fromLatin1(kBusName));
    return false;
  }
  nameOwned_ = true;
  LogInfo("Serving " + std::string(kBusName) + " as " + connection_.baseService().toStdString());
  return true;
}

void BusServer::ReleaseName() {
  if (!nameOwned_) return;
  nameOwned_ = false;
  if (connection_.isConnected()) connection_.interface()->unregisterService(kBusName);
}

QString BusServer::introspect(const QString& path) const {
  return introspection_.Interfaces(path);
}

QString BusServer::IntrospectionDocument(const QString& path) const {
  return introspection_.Document(
      path, path == QLatin1String(kFactoryPath) ? registry_.Objects() : std::vector<uint64_t>());
}

bool BusServer::handleMessage(const QDBusMessage& message, const QDBusConnection& /*unused*/) {
  if (message.type() != QDBusMessage::MethodCallMessage) return false;
  // Property calls go to the bus library's own handler: these objects have no properties.
  if (message.interface() == kProperties) return false;
  try {
    Dispatch(message);
  } catch (const std::exception& e) {
    LogError("Bus call " + message.member().toStdString() + " on " + message.path().toStdString() +
             " failed: " + e.what());
    ReplyError(message, QDBusError::Failed,
               QStringLiteral("internal error: %1").arg(QString::fromLocal8Bit(e.what())));
  } catch (...) {
    LogError("Bus call " + message.member().toStdString() + " failed");
    ReplyError(message, QDBusError::Failed, QStringLiteral("internal error"));
  }
  return true;
}

void BusServer::Dispatch(const QDBusMessage& message) {
  const QString path = message.path();
  if (message.interface() == kIntrospectable && message.member() == QLatin1String("Introspect")) {
    if (path != QLatin1String(kFactoryPath) && !registry_.Exists(ObjectNumber(path))) {
      ReplyError(message, QDBusError::UnknownObject, QStringLiteral("no object at %1").arg(path));
      return;
    }
    Reply(message, {IntrospectionDocument(path)});
    return;
  }
  if (path == QLatin1String(kFactoryPath)) {
    HandleFactoryCall(message);
    return;
  }
  const uint64_t id = ObjectNumber(path);
  if (id == 0) {
    ReplyError(message, QDBusError::UnknownObject, QStringLiteral("no object at %1").arg(path));
    return;
  }
  HandleDriverCall(message, id);
}

void BusServer::HandleFactoryCall(const QDBusMessage& message) {
  if (message.member() == QLatin1String("WatchFrames") && IsInterface(message, kTraceInterface)) {
    frames_.HandleWatchFrames(message);
    return;
  }
  if (message.member() != QLatin1String("CreateInstance") ||
      !IsInterface(message, kFactoryInterface)) {
    ReplyError(message, QDBusError::UnknownMethod,
               QStringLiteral("%1 has no method %2.%3 (it offers %4.CreateInstance and "
                              "%5.WatchFrames)")
                   .arg(message.path(), message.interface(), message.member(), kFactoryInterface,
                        kTraceInterface));
    return;
  }
  if (!message.signature().isEmpty()) {
    ReplyError(
        message, QDBusError::InvalidArgs,
        QStringLiteral("CreateInstance takes no arguments, got \"%1\"").arg(message.signature()));
    return;
  }
  const std::string client = message.service().toStdString();
  const uint64_t id = registry_.Create(client);
  if (id == 0) {
    const std::string why = "client " + client + " already holds " +
                            std::to_string(DriverRegistry::kMaxObjectsPerClient) +
                            " driver objects, the most one client may hold; release one first";
    LogWarning("CreateInstance refused: " + why);
    ReplyError(message, QDBusError::LimitsExceeded, QString::fromStdString(why));
    return;
  }
  LogInfo("Client " + client + ": driver object " + std::to_string(id) + " created (" +
          std::to_string(registry_.ObjectCount()) + " alive)");
  Reply(message, {QVariant::fromValue(QDBusObjectPath(ObjectPath(id)))});
}

void BusServer::HandleDriverCall(const QDBusMessage& message, uint64_t id) {
  const std::string caller = message.service().toStdString();
  DriverRegistry::Access access = DriverRegistry::Access::Granted;
  // The handle keeps the object alive to the end of this call, whatever happens meanwhile.
  const std::shared_ptr<TQorModBusCom> object = registry_.Acquire(id, caller, access);
  if (access == DriverRegistry::Access::NoSuchObject) {
    ReplyError(
        message, QDBusError::UnknownObject,
        QStringLiteral("no driver object at %1 (released, or never created)").arg(message.path()));
    return;
  }
  if (access == DriverRegistry::Access::Denied) {
    LogWarning("Client " + caller + " was refused " + message.member().toStdString() + " on " +
               message.path().toStdString() + ", which belongs to another client");
    ReplyError(message, QDBusError::AccessDenied,
               QStringLiteral("%1 belongs to another bus client; only the client that created it "
                              "may call it")
                   .arg(message.path()));
    return;
  }

  const QString member = message.member();
  if (member == QLatin1String("Release") && IsInterface(message, kObjectInterface)) {
    if (!message.signature().isEmpty()) {
      ReplyError(message, QDBusError::InvalidArgs,
                 QStringLiteral("Release takes no arguments, got \"%1\"").arg(message.signature()));
      return;
    }
    if (BeforeDriverCall) BeforeDriverCall(member);
    registry_.Release(id, caller);
    LogInfo("Client " + caller + ": driver object " + std::to_string(id) + " released");
    Reply(message, {});
    return;
  }

  if (member == QLatin1String("LastErrorDetail") && IsInterface(message, kDiagnosticsInterface)) {
    if (!message.signature().isEmpty()) {
      ReplyError(message, QDBusError::InvalidArgs,
                 QStringLiteral("LastErrorDetail takes no arguments, got \"%1\"")
                     .arg(message.signature()));
      return;
    }
    Reply(message, {QString::fromStdString(object->LastErrorDetail())});
    return;
  }

  const DriverCall call =
      IsInterface(message, kDriverInterface) ? DriverCallOf(member) : DriverCall::None;
  if (call == DriverCall::None) {
    ReplyError(
        message, QDBusError::UnknownMethod,
        QStringLiteral("driver objects have no method %1.%2").arg(message.interface(), member));
    return;
  }
  if (message.signature() != QLatin1String("v")) {
    ReplyError(message, QDBusError::InvalidArgs,
               QStringLiteral("%1 takes one variant (a parameter list), got \"%2\"")
                   .arg(member, message.signature()));
    return;
  }
  QString error;
  const QVariant argument = message.arguments().value(0);
  std::vector<int32_t> unrepresentable;
  std::optional<Variant> params =
      ParamListFromBus(argument.value<QDBusVariant>().variant(), error, &unrepresentable);
  if (!params) {
    ReplyError(message, QDBusError::InvalidArgs, member + QStringLiteral(": ") + error);
    return;
  }

  if (BeforeDriverCall) BeforeDriverCall(member);
  const DriverAnswer answer =
      CarryOut(*object, call, std::move(*params), unrepresentable,
               "Client " + caller + " object " + std::to_string(id) + " " + member.toStdString());
  if (answer.list)
    Reply(message, {QVariant::fromValue(ReplyToBus(*answer.list))});
  else
    Reply(message, {answer.flag});
}

void BusServer::Reply(const QDBusMessage& message, const QList<QVariant>& arguments) {
  if (!message.isReplyRequired()) return;
  connection_.send(message.createReply(arguments));
}

void BusServer::ReplyError(const QDBusMessage& message, QDBusError::ErrorType type,
                           const QString& text) {
  if (!message.isReplyRequired()) return;
  connection_.send(message.createErrorReply(type, text));
}

void BusServer::WatchClient(const QString& client) {
  watcher_.addWatchedService(client);
  // The client may have left before the watch was in place; the bus answers this question after
  // it has taken the watch, so between the two nothing is missed.
  QDBusMessage check = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
  check << client;
  auto* pending = new QDBusPendingCallWatcher(connection_.asyncCall(check), this);
  QObject::connect(pending, &QDBusPendingCallWatcher::finished, this,
                   [this, client](QDBusPendingCallWatcher* call) {
                     call->deleteLater();
                     const QDBusPendingReply<bool> reply = *call;
                     if (reply.isError() || !reply.value()) ClientLeft(client);
                   });
}

void BusServer::ClientLeft(const QString& client) {
  const size_t released = registry_.ReleaseClient(client.toStdString());
  if (released)
    LogInfo("Client " + client.toStdString() + " left the bus: " + std::to_string(released) +
            " driver object(s) released");
}

}  // namespace qmb
