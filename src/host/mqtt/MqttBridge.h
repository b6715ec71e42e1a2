// The MQTT bridge: an in-process host of the typed layer that opens the configured sites,
// subscribes to their points and publishes each change to the broker, retained, as JSON; takes
// writes for the points marked writable; and rides out the broker's absence keeping only the
// latest value of each point, which it publishes once on return.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/TypedSites.h"
#include "host/mqtt/MqttClient.h"
#include "host/mqtt/MqttConfig.h"
#include "platform/MessageLoop.h"

namespace qmb {

// The JSON a reading is published as: {"value":…,"ts":"…Z","quality":…} (with "error" when bad).
std::string ReadingJson(const TypedReading& reading);
// A /set message's payload as a value for the point's alternative (TypedScalar index): the
// value as text or JSON (true, false, a number, a JSON string for text points), or an object
// {"value": …}; the error text when it is none.
std::variant<TypedScalar, std::string> ParseSetPayload(std::string_view payload,
                                                       size_t alternative);

class MqttBridge {
 public:
  // The host name the bridge holds its sites under (bus clients are named ":1.N").
  static constexpr const char* kClient = "mqtt";
  static constexpr int kFirstRetryMs = 1000;
  static constexpr int kLastRetryMs = 30000;
  // A site that could not be opened is tried again after this long.
  static constexpr int kReopenMs = 30000;
  // Write outcomes kept while the broker is away (the oldest go first beyond it).
  static constexpr size_t kMaxHeldResults = 1000;

  MqttBridge(const MqttConfig& config, TypedSites& sites, MessageLoop& loop, MqttClient& client);
  ~MqttBridge();
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  // Opens the sites and connects.
  void Start();
  // Says "offline" and disconnects cleanly (the broker then drops the last will).
  void Stop();

  static std::string NodeTopic(const MqttConfig& config) {
    return "qormodbus/" + config.broker.node + "/$state";
  }
  bool Connected() const { return connected_; }
  int NextRetryMs() const { return retryMs_; }
  uint64_t Published() const { return published_; }

 private:
  struct Point {
    const MqttPointConfig* config = nullptr;
    TypedPoint typed;
    std::string topic;
    std::string payload;  // the latest, as published or to be published
    bool dirty = false;   // not yet (or not surely) at the broker
  };
  struct Site {
    const MqttSiteConfig* config = nullptr;
    uint32_t id = 0;  // 0 until open
    bool opening = false;
    std::string state = "connecting";
    std::string stateSent;  // what the broker holds
    std::vector<Point> points;
    std::unique_ptr<Timer> reopen;
  };

  void OpenSite(size_t index);
  void Opened(size_t index, uint32_t id, const TypedError& error);
  void OnChanges(uint32_t siteId, const TypedSites::Changes& changes);
  void CheckStates();
  void PublishPoint(size_t site, size_t point);
  void PublishState(Site& site);
  void Connect();
  void Connected();
  void Disconnected(const std::string& why);
  void OnMessage(const MqttClient::Message& message);
  void Result(const std::string& topic, const std::string& text);
  void IgnoreOnce(const std::string& topic, const std::string& why);

  const MqttConfig& config_;
  TypedSites& sites_;
  MessageLoop& loop_;
  MqttClient& client_;
  std::string prefix_;  // "qormodbus/NODE/"
  std::vector<Site> siteList_;
  std::unique_ptr<Timer> retry_;
  std::unique_ptr<Timer> stateWatch_;
  bool connected_ = false;
  bool stopping_ = false;
  int retryMs_ = kFirstRetryMs;
  int failures_ = 0;  // attempts in a row that did not connect
  // Messages the broker has not acknowledged yet: (site, point) by message id.
  std::unordered_map<int, std::pair<size_t, size_t>> unacked_;
  std::deque<std::pair<std::string, std::string>> heldResults_;
  std::set<std::string> ignored_;
  uint64_t published_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qmb
