// The bridge's view of an MQTT connection, so that its rules (what is published when, what a
// write does, how the broker's absence is ridden out) can be tested in virtual time; the real
// one is MosquittoClient.
#pragma once

#include <functional>
#include <string>

namespace qmb {

class MqttClient {
 public:
  struct Message {
    std::string topic;
    std::string payload;
    bool retained = false;
  };

  virtual ~MqttClient() = default;
  // Starts a connection attempt; OnConnected or OnDisconnected follows, from the loop. False
  // (with the reason) when the attempt could not even start (no such host, for one).
  virtual bool Connect(std::string& error) = 0;
  // A clean disconnect: the broker drops the last will.
  virtual void Disconnect() = 0;
  // Queues a message; false when the connection is down (the caller keeps it).
  virtual bool Publish(const std::string& topic, const std::string& payload, int qos,
                       bool retain) = 0;
  virtual bool Subscribe(const std::string& pattern, int qos) = 0;
  // Messages queued but not yet acknowledged by the broker.
  virtual size_t InFlight() const = 0;

  std::function<void()> OnConnected;
  std::function<void(const std::string& why)> OnDisconnected;
  std::function<void(const Message& message)> OnMessage;
};

}  // namespace qmb
