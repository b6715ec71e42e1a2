// MqttClient on libmosquitto, driven by the program's one event loop: the loop watches the
// socket, a one-second timer keeps the keepalive, and every callback comes from the loop's
// thread. Each connection attempt starts from a fresh library state, so a message the library
// still held from a lost connection is never sent twice behind the bridge's own replay.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/mqtt/MqttClient.h"
#include "host/mqtt/MqttConfig.h"
#include "platform/MessageLoop.h"

struct mosquitto;
struct mosquitto_message;

namespace qmb {

class MosquittoClient : public MqttClient {
 public:
  // The last will is set on every connection: the broker publishes it when this one is lost.
  MosquittoClient(MessageLoop& loop, const MqttBrokerConfig& broker, std::string willTopic,
                  std::string willPayload);
  ~MosquittoClient() override;
  MosquittoClient(const MosquittoClient&) = delete;
  MosquittoClient& operator=(const MosquittoClient&) = delete;

  bool Connect(std::string& error) override;
  void Disconnect() override;
  int Publish(const std::string& topic, const std::string& payload, int qos, bool retain) override;
  bool Subscribe(const std::string& pattern, int qos) override;

 private:
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnMessageArrived(mosquitto*, void* self, const mosquitto_message* message);

  bool Prepare(std::string& error);
  // After the library read or wrote: watch for writability while it has bytes to send.
  void Settle();
  void Lost(const std::string& why);

  MessageLoop& loop_;
  MqttBrokerConfig broker_;
  std::string willTopic_;
  std::string willPayload_;
  mosquitto* handle_ = nullptr;
  std::unique_ptr<FdWatch> watch_;
  std::unique_ptr<Timer> keepalive_;
  static constexpr int64_t kGoodbyeMs = 1000;
  bool writeWatched_ = false;
  size_t unconfirmed_ = 0;    // QoS 1 messages the broker has not confirmed
  std::string libraryError_;  // the library's last error line (a TLS failure's cause)
  bool connected_ = false;
  bool attempting_ = false;
  std::string refusal_;  // the broker's reason when it refused the connection
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qmb
