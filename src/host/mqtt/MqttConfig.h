// The MQTT bridge's configuration: one TOML file naming the broker, this machine's topic level
// and the sites and points to publish. Everything is checked when the file is read, so that a
// bad file stops the server at start with the file, the line and what is wrong, not later on a
// site at night.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host/TypedSites.h"

namespace qmb {

struct MqttPointConfig {
  std::string name;     // topic level under the site
  std::string address;  // the driver's point address ("HREG3", "1:HREG10F", "OUT2")
  double deadband = 0;  // a change smaller than this is not published (numbers only)
  bool writable = false;
  int line = 0;  // where it is in the file, for messages at run time
};

struct MqttSiteConfig {
  std::string name;            // topic level under the node
  TypedOptions options;        // the typed interface's open options (Description, Transport, ...)
  uint32_t intervalMs = 1000;  // how often the bridge reads the site's points
  std::vector<MqttPointConfig> points;
  int line = 0;
};

struct MqttBrokerConfig {
  std::string url;  // as written
  std::string host;
  uint16_t port = 1883;  // 1883 for mqtt://, 8883 for mqtts:// unless the url names one
  bool tls = false;      // mqtts://
  std::string node;      // topic level naming this machine
  std::string clientId;  // default "qormodbus-" + node
  std::string username;
  std::string passwordFile;  // absolute (relative names are taken from the file's folder)
  std::string password;      // read from passwordFile by LoadMqttConfig
  std::string caFile;        // absolute; empty: the system's CA certificates
  uint32_t keepaliveSeconds = 30;
};

struct MqttConfig {
  MqttBrokerConfig broker;
  std::vector<MqttSiteConfig> sites;
};

// Reads the configuration from its text; `path` names it in messages ("PATH:LINE: what") and
// is where relative file names start. Touches no file.
std::variant<MqttConfig, std::string> ParseMqttConfig(std::string_view text,
                                                      const std::string& path);
// Reads the file, then the password file; checks that the CA file can be read.
std::variant<MqttConfig, std::string> LoadMqttConfig(const std::string& path);

// True when the text can stand as one MQTT topic level of ours: not empty, no '/', '+', '#',
// no leading '$', no control characters.
bool IsTopicLevel(std::string_view text);

}  // namespace qmb
