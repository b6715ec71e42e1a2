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
  // Queues a message; its id (OnPublished names it once the broker has it, for QoS 1), or 0
  // when the connection is down (the caller keeps what it has to send).
  virtual int Publish(const std::string& topic, const std::string& payload, int qos,
                      bool retain) = 0;
  virtual bool Subscribe(const std::string& pattern, int qos) = 0;

  std::function<void()> OnConnected;
  std::function<void(const std::string& why)> OnDisconnected;
  std::function<void(int id)> OnPublished;
  std::function<void(const Message& message)> OnMessage;
};

}  // namespace qmb
