#include "platform/qt/QtTcpClient.h"

#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "platform/Log.h"
#include "platform/qt/EpollEventDispatcher.h"

namespace qmb {

namespace {

// An exception must not unwind through Qt's event loop: it ends here, logged.
template <typename Handler, typename... Args>
void Invoke(const char* event, const Handler& handler, Args&&... args) {
  if (!handler) return;
  try {
    handler(std::forward<Args>(args)...);
  } catch (const std::exception& e) {
    LogError(std::string("TCP client: the ") + event + " handler failed: " + e.what());
  } catch (...) {
    LogError(std::string("TCP client: the ") + event + " handler failed");
  }
}

QString HostForSocket(const std::string& host) {
  // "[::1]" is how users write an IPv6 address next to a port; the socket wants it bare.
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    return QString::fromStdString(host.substr(1, host.size() - 2));
  return QString::fromStdString(host);
}

}  // namespace

QtTcpClient::QtTcpClient() {
  QObject::connect(&socket_, &QTcpSocket::connected, &context_, [this] { SocketConnected(); });
  QObject::connect(&socket_, &QTcpSocket::errorOccurred, &context_,
                   [this](QAbstractSocket::SocketError error) { SocketError(error); });
  QObject::connect(&socket_, &QTcpSocket::stateChanged, &context_,
                   [this](QAbstractSocket::SocketState state) {
                     if (state == QAbstractSocket::UnconnectedState) SocketUnconnected();
                   });
  QObject::connect(&socket_, &QTcpSocket::readyRead, &context_, [this] { DataArrived(); });
}

QtTcpClient::~QtTcpClient() {
  QObject::disconnect(&socket_, nullptr, &context_, nullptr);
  socket_.abort();
}

std::string QtTcpClient::Endpoint() const {
  if (host_.empty()) return ":" + std::to_string(port_);
  const bool v6 = host_.find(':') != std::string::npos && host_.front() != '[';  // bare IPv6
  return (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
}

bool QtTcpClient::Connected() const {
  return socket_.state() != QAbstractSocket::UnconnectedState;
}

void QtTcpClient::SetConnected(bool connected) {
  if (!connected) {
    if (socket_.state() != QAbstractSocket::UnconnectedState) socket_.abort();
    // Our own close is reported at once, before the caller goes on to connect elsewhere.
    ReportDisconnected();
    return;
  }
  if (socket_.state() != QAbstractSocket::UnconnectedState) return;  // up or on its way
  ReportDisconnected();  // an earlier end whose deferred report has not run yet
  if (host_.empty()) throw TcpError("No remote host to connect to");
  if (port_ == 0) throw TcpError("No remote port to connect to (" + host_ + ")");
  ++attempt_;
  open_ = true;
  lastError_.clear();
  // Names are looked up asynchronously by the socket; addresses of either family go straight.
  // Unbuffered: a request goes to the kernel in one write, and a reply comes out of it in one
  // read, with no ring buffer, size query or write notifier switched on and off per exchange.
  socket_.connectToHost(HostForSocket(host_), port_, QIODevice::ReadWrite | QIODevice::Unbuffered);
}

bool QtTcpClient::LowDelay() {
  return socket_.socketOption(QAbstractSocket::LowDelayOption).toInt() != 0;
}

void QtTcpClient::Send(const std::string& bytes) {
  if (socket_.state() != QAbstractSocket::ConnectedState)
    throw TcpError("Not connected to " + (host_.empty() ? std::string("a host") : Endpoint()));
  // Unbuffered, the bytes go to the kernel now; what it could not take yet is kept by the socket
  // and written when it can.
  if (socket_.write(bytes.data(), static_cast<qint64>(bytes.size())) >= 0) return;
  // A connection that broke under the write ends as one that breaks while buffered data is
  // flushed: its error, then its end (reported from the loop, as the socket's own close is).
  const std::weak_ptr<int> alive = alive_;
  SocketError(socket_.error());
  if (!alive.expired() && socket_.state() != QAbstractSocket::UnconnectedState) socket_.abort();
}

void QtTcpClient::SocketConnected() {
  // Every request is one small write that waits for its reply: Nagle's delay would only add to
  // each round trip. The option binds only once the socket exists, which is now.
  socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
  ApplyReadNotification();
  const uint64_t attempt = attempt_;
  const std::weak_ptr<int> alive = alive_;
  const auto connectedHandler = OnConnected;
  Invoke("connected", connectedHandler, 0, "Connected to " + Endpoint());
  if (alive.expired()) return;
  // Ready to send once per connection, unless the connected handler closed it again.
  if (attempt == attempt_ && socket_.state() == QAbstractSocket::ConnectedState) {
    const auto readyHandler = OnReadyToSend;
    Invoke("ready-to-send", readyHandler);
  }
}

void QtTcpClient::SocketError(QAbstractSocket::SocketError error) {
  lastError_ = socket_.errorString().toStdString();
  const uint64_t attempt = attempt_;
  const std::weak_ptr<int> alive = alive_;
  const auto handler = OnError;
  Invoke("error", handler, static_cast<int>(error), lastError_ + " (" + Endpoint() + ")");
  if (alive.expired()) return;
  // A failed attempt ends here; report its end after the error that explains it.
  if (attempt == attempt_ && socket_.state() == QAbstractSocket::UnconnectedState)
    ReportDisconnected();
}

void QtTcpClient::SocketUnconnected() {
  // Qt may announce the state before the error that caused it: defer, so the error comes first.
  const uint64_t attempt = attempt_;
  const std::weak_ptr<int> alive = alive_;
  QMetaObject::invokeMethod(
      &context_,
      [this, attempt, alive] {
        if (!alive.expired() && attempt == attempt_) ReportDisconnected();
      },
      Qt::QueuedConnection);
}

void QtTcpClient::ReportDisconnected() {
  if (!open_) return;
  open_ = false;
  std::string text = "Disconnected from " + Endpoint();
  if (!lastError_.empty()) text += ": " + lastError_;
  const auto handler = OnDisconnected;
  Invoke("disconnected", handler, 0, text);
}

bool QtTcpClient::Deliver(size_t size) {
  if (size == 0) return true;
  const uint64_t attempt = attempt_;
  const std::weak_ptr<int> alive = alive_;
  const auto handler = OnDataIn;
  Invoke("data-in", handler, std::string(received_.data(), size));
  return !alive.expired() && attempt == attempt_;
}

void QtTcpClient::DataArrived() {
  // Everything the kernel holds now, in one piece; a read that fills the space may have left more.
  size_t size = 0;
  qint64 got = 0;
  do {
    if (received_.size() < size + kReadChunk) received_.resize(size + kReadChunk);
    got = socket_.read(received_.data() + size, static_cast<qint64>(kReadChunk));
    if (got > 0) size += static_cast<size_t>(got);
  } while (got == static_cast<qint64>(kReadChunk));
  if (!Deliver(size)) return;
  // The peer closed (or the connection failed): an unbuffered socket tells only the read that
  // meets it, and goes unconnected without a signal. Reported as any other end: the error that
  // says why, then the end.
  if (got < 0 && socket_.state() == QAbstractSocket::UnconnectedState) SocketError(socket_.error());
}

void QtTcpClient::SetReadNotification(bool on) {
  if (readNotification_ == on) return;
  readNotification_ = on;
  ApplyReadNotification();
}

void QtTcpClient::ApplyReadNotification() {
  if (socket_.state() != QAbstractSocket::ConnectedState) return;  // applied once connected
  // The socket has no switch for this: its read notifier is the only way it learns of the
  // peer's close or an error too, and holding a readyRead unanswered would still wake once per
  // reply before the socket switched it off. The server's dispatcher can watch the descriptor for
  // its end alone; under another dispatcher arrivals keep waking, as they always did.
  if (auto* dispatcher = dynamic_cast<EpollEventDispatcher*>(QAbstractEventDispatcher::instance()))
    dispatcher->SetReadQuiet(socket_.socketDescriptor(), !readNotification_);
}

void QtTcpClient::ReadNow() {
  if (socket_.state() != QAbstractSocket::ConnectedState) return;
  const auto fd = static_cast<int>(socket_.socketDescriptor());
  // Straight from the descriptor, as the socket reads it: it keeps no buffer of its own here.
  size_t size = 0;
  ssize_t got = 0;
  do {
    if (received_.size() < size + kReadChunk) received_.resize(size + kReadChunk);
    got = ::recv(fd, received_.data() + size, kReadChunk, MSG_DONTWAIT);
    if (got > 0) size += static_cast<size_t>(got);
  } while (got == static_cast<ssize_t>(kReadChunk) || (got < 0 && errno == EINTR));
  const bool ended = got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  if (!Deliver(size)) return;
  // The end (or a reset, which the socket takes for one too) stays readable: the socket's own
  // read meets it and reports it as it does on a woken read.
  if (ended) DataArrived();
}

std::unique_ptr<TcpClient> QtTcpClientFactory::CreateClient() {
  return std::make_unique<QtTcpClient>();
}

}  // namespace qmb
