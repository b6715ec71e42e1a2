#include "host/bus/FrameWatch.h"

#include <unistd.h>

#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <chrono>
#include <utility>

#include "host/Registration.h"
#include "platform/Log.h"
#include "platform/TextHelpers.h"

namespace qmb {

namespace {
const QString kTraceInterface = QStringLiteral("QorModBus.IQorModBusTrace");
}  // namespace

FrameWatch::FrameWatch(QDBusConnection connection, const DriverRegistry& registry)
    : connection_(std::move(connection)), registry_(registry) {
  leaving_.setConnection(connection_);
  leaving_.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
  QObject::connect(&leaving_, &QDBusServiceWatcher::serviceUnregistered, &leaving_,
                   [this](const QString& client) { Stop(client, "left the bus"); });
}

FrameWatch::~FrameWatch() {
  if (!watchers_.empty()) SetFrameWatcher(nullptr);
}

void FrameWatch::HandleWatchFrames(const QDBusMessage& message) {
  if (message.signature() != QLatin1String("b")) {
    if (message.isReplyRequired())
      connection_.send(message.createErrorReply(
          QDBusError::InvalidArgs,
          QStringLiteral("WatchFrames takes one boolean, got \"%1\"").arg(message.signature())));
    return;
  }
  const QString client = message.service();
  const bool on = message.arguments().value(0).toBool();
  // The client's last word counts, whatever the bus answers about its earlier ones.
  const auto [first, last] = questions_.equal_range(client);
  for (auto question = first; question != last; ++question) *question->second = true;
  if (!on) {
    Stop(client, "asked to stop");
    if (message.isReplyRequired()) connection_.send(message.createReply(QVariantList{false}));
    return;
  }
  // Asked of the bus, which saw the client's credentials when it connected; the answer comes
  // through the loop, so a slow bus holds up this call alone.
  message.setDelayedReply(true);
  QDBusMessage ask = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixUser"));
  ask << client;
  const auto superseded = std::make_shared<bool>(false);
  questions_.emplace(client, superseded);
  auto* pending = new QDBusPendingCallWatcher(connection_.asyncCall(ask), &leaving_);
  QObject::connect(pending, &QDBusPendingCallWatcher::finished, &leaving_,
                   [this, client, superseded, message](QDBusPendingCallWatcher* call) {
                     call->deleteLater();
                     const auto [from, to] = questions_.equal_range(client);
                     for (auto question = from; question != to; ++question)
                       if (question->second == superseded) {
                         questions_.erase(question);
                         break;
                       }
                     const QDBusPendingReply<uint> uid = *call;
                     const bool allSites =
                         !uid.isError() && uid.value() == static_cast<uint>(getuid());
                     if (!*superseded) Start(client, allSites);
                     if (message.isReplyRequired())
                       connection_.send(message.createReply(QVariantList{allSites}));
                   });
}

void FrameWatch::Start(const QString& client, bool allSites) {
  const bool known = watchers_.count(client) != 0;
  watchers_[client] = allSites;
  if (known) return;
  LogInfo("Client " + client.toStdString() + " watches the frames of " +
          (allSites ? "every site" : "the sites it has open"));
  leaving_.addWatchedService(client);
  InstallOrRemove();
  // The client may have left before the watch was in place; the bus answers this after it has
  // taken the watch, so between the two nothing is missed.
  QDBusMessage check = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
  check << client;
  auto* pending = new QDBusPendingCallWatcher(connection_.asyncCall(check), &leaving_);
  QObject::connect(pending, &QDBusPendingCallWatcher::finished, &leaving_,
                   [this, client](QDBusPendingCallWatcher* call) {
                     call->deleteLater();
                     const QDBusPendingReply<bool> reply = *call;
                     if (reply.isError() || !reply.value()) Stop(client, "left the bus");
                   });
}

void FrameWatch::Stop(const QString& client, const char* why) {
  if (watchers_.erase(client) == 0) return;
  leaving_.removeWatchedService(client);
  LogInfo("Client " + client.toStdString() + " stopped watching frames (" + why + ")");
  InstallOrRemove();
}

void FrameWatch::InstallOrRemove() {
  if (watchers_.empty()) {
    SetFrameWatcher(nullptr);
    return;
  }
  if (FramesWatched()) return;
  SetFrameWatcher([this](const void* site, const std::string& description, bool outgoing,
                         std::string_view bytes) { Send(site, description, outgoing, bytes); });
}

void FrameWatch::Send(const void* site, const std::string& description, bool outgoing,
                      std::string_view bytes) {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  const auto micros =
      static_cast<qulonglong>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
  QVariantList arguments;
  for (const auto& [client, allSites] : watchers_) {
    if (!allSites && !registry_.ClientHoldsSite(client.toStdString(), site)) continue;
    if (arguments.isEmpty())
      arguments = {
          QString::fromLatin1(description.data(), static_cast<qsizetype>(description.size())),
          QString::fromLatin1(outgoing ? ">" : "<"), QString::fromLatin1(BytesToSpacedHex(bytes)),
          micros};
    QDBusMessage signal = QDBusMessage::createTargetedSignal(
        client, QString::fromLatin1(kFactoryPath), kTraceInterface, QStringLiteral("Frame"));
    signal.setArguments(arguments);
    connection_.send(signal);
  }
}

}  // namespace qmb
