// The TCP client as the engine needs it: one connection at a time to a remote host and port,
// asynchronous, with its events delivered on the loop's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace qmb {

// Raised when the client refuses an operation (for example sending while not connected).
class TcpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TcpClient {
 public:
  virtual ~TcpClient() = default;

  virtual void SetRemoteHost(const std::string& host) = 0;
  virtual const std::string& RemoteHost() const = 0;
  virtual void SetRemotePort(uint16_t port) = 0;
  virtual uint16_t RemotePort() const = 0;

  // Connected (read): whether a connection is up or being set up.
  virtual bool Connected() const = 0;
  // true: starts connecting (completion comes as OnConnected then OnReadyToSend); false: closes.
  virtual void SetConnected(bool connected) = 0;
  // Queues bytes on the connection; TcpError when there is none.
  virtual void Send(const std::string& bytes) = 0;

  // Whether bytes that arrive wake the loop and come through OnDataIn at once (the default).
  // Off, they stay with the connection (in the kernel) until ReadNow takes them, and cost no
  // wake-up: for a caller that looks for its reply on a pace of its own. The connection's end and
  // its errors still wake the loop as before; where the loop cannot watch for those alone, the
  // setting is ignored and bytes keep waking. Turning it on again hands over, from the loop, what
  // arrived meanwhile. The setting outlasts a reconnection.
  virtual void SetReadNotification(bool on) = 0;
  // Takes what the connection holds now, without waiting, through OnDataIn as a woken read
  // does (nothing when nothing came). A close or failure it meets is reported as one met by a
  // woken read is: OnError, then OnDisconnected, before it returns; one behind bytes, by the
  // next read, as on a woken connection.
  virtual void ReadNow() = 0;

  std::function<void(int status, const std::string& description)> OnConnected;
  std::function<void(int status, const std::string& description)> OnDisconnected;
  std::function<void(int code, const std::string& description)> OnError;
  std::function<void()> OnReadyToSend;
  std::function<void(const std::string& bytes)> OnDataIn;
};

class TcpClientFactory {
 public:
  virtual ~TcpClientFactory() = default;
  virtual std::unique_ptr<TcpClient> CreateClient() = 0;
};

}  // namespace qmb
