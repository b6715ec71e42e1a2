// The MQTT bridge's configuration file, whatever text it holds: a refusal names the file and a
// line, and a file that is taken holds only what the bridge can use, so nothing after the start
// meets a value the file's checks should have stopped.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host/mqtt/MqttConfig.h"
#include "platform/TextHelpers.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qmb;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = ParseMqttConfig(text, "/etc/q/mqtt.toml");

  if (const auto* why = std::get_if<std::string>(&parsed)) {
    // "PATH:LINE: what", LINE a number from 1.
    const std::string prefix = "/etc/q/mqtt.toml:";
    Check(why->rfind(prefix, 0) == 0);
    const size_t colon = why->find(": ", prefix.size());
    Check(colon != std::string::npos && colon > prefix.size() && colon + 2 < why->size());
    const std::string line = why->substr(prefix.size(), colon - prefix.size());
    Check(line.find_first_not_of("0123456789") == std::string::npos && line[0] != '0');
    return 0;
  }

  const MqttConfig& config = std::get<MqttConfig>(parsed);
  const MqttBrokerConfig& broker = config.broker;
  Check(!broker.host.empty() && broker.port != 0);
  Check(broker.url.rfind(broker.tls ? "mqtts://" : "mqtt://", 0) == 0);
  Check(IsTopicLevel(broker.node) && !broker.clientId.empty());
  Check(broker.keepaliveSeconds >= 5 && broker.keepaliveSeconds <= 3600);
  Check(broker.passwordFile.empty() || (broker.passwordFile[0] == '/' && !broker.username.empty()));
  Check(broker.caFile.empty() || (broker.caFile[0] == '/' && broker.tls));
  Check(broker.password.empty());  // the parse touches no file
  Check(!config.sites.empty());
  for (size_t s = 0; s < config.sites.size(); ++s) {
    const MqttSiteConfig& site = config.sites[s];
    Check(IsTopicLevel(site.name) && site.line >= 1 && !site.points.empty());
    Check(site.intervalMs >= 10 && site.intervalMs <= 3600000);
    Check(std::holds_alternative<Variant>(TypedOpenList(site.options, false)));
    for (size_t other = 0; other < s; ++other) Check(config.sites[other].name != site.name);
    const std::string transport = LowerCase(std::get<std::string>(site.options.at("Transport")));
    const bool tcpMode = transport == "tcp" || transport == "rtu-tcp";
    for (size_t p = 0; p < site.points.size(); ++p) {
      const MqttPointConfig& point = site.points[p];
      Check(IsTopicLevel(point.name) && point.line >= site.line);
      Check(std::isfinite(point.deadband) && point.deadband >= 0);
      Check(std::holds_alternative<TypedPoint>(ParseTypedPoint(point.address, tcpMode)));
      for (size_t other = 0; other < p; ++other) Check(site.points[other].name != point.name);
    }
  }
  return 0;
}
