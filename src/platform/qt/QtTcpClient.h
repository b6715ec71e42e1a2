// The TCP client on QTcpSocket: one connection at a time, asynchronous, its events delivered on
// the thread that owns it.
#pragma once

#include <QObject>
#include <QTcpSocket>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/TcpClient.h"

namespace qmb {

class QtTcpClient : public TcpClient {
 public:
  QtTcpClient();
  ~QtTcpClient() override;
  QtTcpClient(const QtTcpClient&) = delete;
  QtTcpClient& operator=(const QtTcpClient&) = delete;

  // A host name, an IPv4 address or an IPv6 address, with or without its brackets.
  void SetRemoteHost(const std::string& host) override { host_ = host; }
  const std::string& RemoteHost() const override { return host_; }
  void SetRemotePort(uint16_t port) override { port_ = port; }
  uint16_t RemotePort() const override { return port_; }

  bool Connected() const override;
  void SetConnected(bool connected) override;
  void Send(const std::string& bytes) override;
  void SetReadNotification(bool on) override;
  void ReadNow() override;

  // Whether the connection sends small writes at once (Nagle off); for tests.
  bool LowDelay();

 private:
  std::string Endpoint() const;
  void SocketConnected();
  void SocketError(QAbstractSocket::SocketError error);
  void SocketUnconnected();
  void ReportDisconnected();
  void DataArrived();
  // Hands the size bytes read to OnDataIn; false when the handler closed or destroyed the client,
  // so what was read after must not be acted on.
  bool Deliver(size_t size);
  // Asks the loop to wake for this connection's bytes or not, as readNotification_ says.
  void ApplyReadNotification();

  // Declared first so it is destroyed last: the context below drops its connections first.
  QTcpSocket socket_;
  QObject context_;

  std::string host_;
  uint16_t port_ = 502;
  // An attempt or a connection whose end has not been reported yet.
  bool open_ = false;
  // Counts attempts, so that a deferred report of an old one's end never lands on a new one.
  uint64_t attempt_ = 0;
  std::string lastError_;
  // Room for what one readable event brings (a Modbus/TCP frame is at most 260 bytes).
  static constexpr size_t kReadChunk = 1024;
  std::string received_;
  bool readNotification_ = true;

  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

class QtTcpClientFactory : public TcpClientFactory {
 public:
  std::unique_ptr<TcpClient> CreateClient() override;
};

}  // namespace qmb
