#include "host/mqtt/MqttBridge.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/Log.h"
#include "platform/TextHelpers.h"

namespace qmb {

namespace {

constexpr size_t kStringAlternative = 9;  // TypedScalar's std::string
constexpr size_t kMaxIgnoredTopics = 1000;

std::string JsonText(std::string_view bytes) {
  std::string out = "\"";
  for (const char c : Latin1ToUtf8(bytes)) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + '"';
}

std::string JsonValue(const TypedScalar& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return JsonText(*text);
  if (const auto* bit = std::get_if<bool>(&value)) return *bit ? "true" : "false";
  // JSON has no NaN or infinity.
  if (const auto* number = std::get_if<double>(&value); number && !std::isfinite(*number))
    return "null";
  return TypedScalarText(value);
}

std::string UtcText(uint64_t micros) {
  const auto seconds = static_cast<time_t>(micros / 1000000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(micros / 1000 % 1000));
  return text;
}

// A cursor over a /set payload: JSON's scalars, and an object with the one member "value".
class PayloadReader {
 public:
  explicit PayloadReader(std::string_view text) : text_(text) {}

  void Space() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
      ++at_;
  }
  bool Take(char c) {
    Space();
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool AtEnd() {
    Space();
    return at_ == text_.size();
  }
  bool AtQuote() {
    Space();
    return at_ < text_.size() && text_[at_] == '"';
  }
  // A JSON string's contents, as UTF-8; nullopt when it is not one.
  std::optional<std::string> String() {
    if (!Take('"')) return std::nullopt;
    std::string out;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) return std::nullopt;
      const char e = text_[at_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned code = 0;
          if (at_ + 4 > text_.size()) return std::nullopt;
          const auto [end, ec] =
              std::from_chars(text_.data() + at_, text_.data() + at_ + 4, code, 16);
          if (ec != std::errc() || end != text_.data() + at_ + 4) return std::nullopt;
          at_ += 4;
          // Text points hold Latin-1: a character above U+00FF has no byte and becomes "?".
          out += Latin1ToUtf8(std::string(1, static_cast<char>(code <= 0xFF ? code : '?')));
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }
  // The next bare word (a number, true, false): up to a space, comma or brace.
  std::string_view Word() {
    Space();
    const size_t start = at_;
    while (at_ < text_.size() && text_[at_] != ' ' && text_[at_] != ',' && text_[at_] != '}' &&
           text_[at_] != '\t' && text_[at_] != '\n' && text_[at_] != '\r')
      ++at_;
    return text_.substr(start, at_ - start);
  }

 private:
  std::string_view text_;
  size_t at_ = 0;
};

std::optional<TypedScalar> NumberOrTruth(std::string_view word) {
  if (word == "true") return true;
  if (word == "false") return false;
  const char* first = word.data();
  const char* last = word.data() + word.size();
  if (word.empty()) return std::nullopt;
  if (word.find_first_of(".eE") == std::string_view::npos) {
    int64_t whole = 0;
    if (auto [end, ec] = std::from_chars(first, last, whole); ec == std::errc() && end == last)
      return whole;
    uint64_t large = 0;
    if (auto [end, ec] = std::from_chars(first, last, large); ec == std::errc() && end == last)
      return large;
    return std::nullopt;
  }
  double number = 0;
  const auto [end, ec] = std::from_chars(first, last, number);
  if (ec != std::errc() || end != last || !std::isfinite(number)) return std::nullopt;
  return number;
}

}  // namespace

std::string ReadingJson(const TypedReading& reading) {
  std::string json = "{\"value\":";
  json += reading.quality == 0 ? "null" : JsonValue(reading.value);
  json += ",\"ts\":\"" + UtcText(reading.timeUs) + "\",\"quality\":";
  json += std::to_string(reading.quality);
  if (!reading.error.empty()) json += ",\"error\":" + JsonText(reading.error);
  return json + '}';
}

std::variant<TypedScalar, std::string> ParseSetPayload(std::string_view payload,
                                                       size_t alternative) {
  PayloadReader reader(payload);
  const bool object = reader.Take('{');
  if (object && (reader.String() != "value" || !reader.Take(':')))
    return std::string("the payload is no value and no {\"value\": ...}");
  std::optional<TypedScalar> value;
  if (reader.AtQuote()) {
    if (auto text = reader.String()) value = Utf8ToLatin1(*text);
  } else if (const std::string_view word = reader.Word();
             alternative == kStringAlternative && !object) {
    // A text point takes the payload as it stands.
    value = Utf8ToLatin1(payload);
    return *value;
  } else {
    value = NumberOrTruth(word);
  }
  if (!value || (object && !reader.Take('}')) || !reader.AtEnd())
    return "\"" + std::string(payload.substr(0, 64)) + "\" is no value";
  const bool text = std::holds_alternative<std::string>(*value);
  if (text != (alternative == kStringAlternative))
    return std::string(text ? "the point takes a number or true/false, not a text"
                            : "the point takes a text");
  return *value;
}

MqttBridge::MqttBridge(const MqttConfig& config, TypedSites& sites, MessageLoop& loop,
                       MqttClient& client)
    : config_(config),
      sites_(sites),
      loop_(loop),
      client_(client),
      prefix_("qormodbus/" + config.broker.node + "/") {
  for (const MqttSiteConfig& siteConfig : config_.sites) {
    Site site;
    site.config = &siteConfig;
    const auto transport = siteConfig.options.find("Transport");
    const bool tcp = transport != siteConfig.options.end() &&
                     std::holds_alternative<std::string>(transport->second) &&
                     (LowerCase(std::get<std::string>(transport->second)) == "tcp" ||
                      LowerCase(std::get<std::string>(transport->second)) == "rtu-tcp");
    for (const MqttPointConfig& pointConfig : siteConfig.points) {
      // A site joined by its description alone names no transport: the address decides.
      auto parsed = ParseTypedPoint(pointConfig.address, tcp);
      if (std::holds_alternative<std::string>(parsed) && transport == siteConfig.options.end())
        parsed = ParseTypedPoint(pointConfig.address, !tcp);
      if (const auto* why = std::get_if<std::string>(&parsed)) {
        LogWarning("mqtt: point " + siteConfig.name + "/" + pointConfig.name +
                   " left out: " + *why);
        continue;
      }
      Point point;
      point.config = &pointConfig;
      point.typed = std::get<TypedPoint>(std::move(parsed));
      point.topic = prefix_ + siteConfig.name + "/" + pointConfig.name;
      site.points.push_back(std::move(point));
    }
    siteList_.push_back(std::move(site));
  }
  retry_ = loop_.CreateTimer(kFirstRetryMs, [this] {
    retry_->Stop();
    Connect();
  });
  stateWatch_ = loop_.CreateTimer(500, [this] { CheckStates(); });
  sites_.SetChangeSink(kClient,
                       [this](uint32_t site, uint32_t, const TypedSites::Changes& changes) {
                         OnChanges(site, changes);
                       });
  client_.OnConnected = [this] { Connected(); };
  client_.OnDisconnected = [this](const std::string& why) { Disconnected(why); };
  client_.OnPublished = [this](int id) { unacked_.erase(id); };
  client_.OnMessage = [this](const MqttClient::Message& message) { OnMessage(message); };
}

MqttBridge::~MqttBridge() {
  *alive_ = false;
  client_.OnConnected = nullptr;
  client_.OnDisconnected = nullptr;
  client_.OnPublished = nullptr;
  client_.OnMessage = nullptr;
  sites_.SetChangeSink(kClient, nullptr);
  for (const Site& site : siteList_)
    if (site.id) sites_.Close(site.id, kClient);
}

void MqttBridge::Start() {
  for (size_t i = 0; i < siteList_.size(); ++i) OpenSite(i);
  stateWatch_->Start();
  Connect();
}

void MqttBridge::Stop() {
  stopping_ = true;
  retry_->Stop();
  stateWatch_->Stop();
  if (!connected_) return;
  client_.Publish(NodeTopic(config_), "offline", 1, true);
  client_.Disconnect();
  connected_ = false;
}

void MqttBridge::OpenSite(size_t index) {
  Site& site = siteList_[index];
  site.opening = true;
  const TypedError error =
      sites_.Open(kClient, site.config->options,
                  [this, index, alive = alive_](uint32_t id, const TypedError& e) {
                    if (*alive) Opened(index, id, e);
                  });
  if (error) Opened(index, 0, error);
}

void MqttBridge::Opened(size_t index, uint32_t id, const TypedError& error) {
  Site& site = siteList_[index];
  site.opening = false;
  if (error) {
    LogWarning("mqtt: site " + site.config->name + " could not be opened: " + error.text +
               "; next attempt in " + std::to_string(kReopenMs / 1000) + " s");
    site.state = "down";
    PublishState(site);
    if (!site.reopen)
      site.reopen = loop_.CreateTimer(kReopenMs, [this, index] {
        siteList_[index].reopen->Stop();
        OpenSite(index);
      });
    site.reopen->Start();
    return;
  }
  site.id = id;
  std::vector<std::string> addresses;
  TypedSites::SubscribeOptions options;
  options.intervalMs = site.config->intervalMs;
  for (const Point& point : site.points) {
    addresses.push_back(point.config->address);
    options.deadbands.push_back(point.config->deadband);
  }
  uint32_t subscription = 0;
  if (const TypedError e = sites_.Subscribe(id, kClient, addresses, options, subscription))
    LogWarning("mqtt: site " + site.config->name + ": its points cannot be followed: " + e.text);
  else
    LogInfo("mqtt: site " + site.config->name + " open as site " + std::to_string(id) + ", " +
            std::to_string(addresses.size()) + " points every " +
            std::to_string(options.intervalMs) + " ms");
  CheckStates();
}

void MqttBridge::OnChanges(uint32_t siteId, const TypedSites::Changes& changes) {
  const auto site = std::find_if(siteList_.begin(), siteList_.end(),
                                 [siteId](const Site& s) { return s.id == siteId; });
  if (site == siteList_.end()) return;
  const size_t s = static_cast<size_t>(site - siteList_.begin());
  for (const auto& [index, reading] : changes) {
    if (index >= site->points.size()) continue;
    site->points[index].payload = ReadingJson(reading);
    PublishPoint(s, index);
  }
}

void MqttBridge::PublishPoint(size_t s, size_t p) {
  Point& point = siteList_[s].points[p];
  point.dirty = true;
  if (!connected_) return;
  const int id = client_.Publish(point.topic, point.payload, 1, true);
  if (id == 0) return;
  point.dirty = false;
  ++published_;
  if (id > 0) unacked_[id] = {s, p};
}

void MqttBridge::CheckStates() {
  for (Site& site : siteList_) {
    if (!site.id) continue;
    const auto view = sites_.View(site.id);
    const std::string state = view ? view->state : "down";
    if (state == site.state) continue;
    site.state = state;
    PublishState(site);
  }
}

void MqttBridge::PublishState(Site& site) {
  if (!connected_ || site.state == site.stateSent) return;
  if (client_.Publish(prefix_ + site.config->name + "/$state", site.state, 1, true) != 0)
    site.stateSent = site.state;
}

void MqttBridge::Connect() {
  std::string error;
  if (!client_.Connect(error)) Disconnected(error);
}

void MqttBridge::Connected() {
  connected_ = true;
  retryMs_ = kFirstRetryMs;
  LogInfo("mqtt: connected to " + config_.broker.host + ":" + std::to_string(config_.broker.port) +
          " as " + config_.broker.clientId);
  client_.Publish(NodeTopic(config_), "online", 1, true);
  client_.Subscribe(prefix_ + "+/+/set", 1);
  for (Site& site : siteList_) {
    site.stateSent.clear();
    PublishState(site);
  }
  // What changed while the broker was away, or went unconfirmed: the latest value, once.
  for (size_t s = 0; s < siteList_.size(); ++s)
    for (size_t p = 0; p < siteList_[s].points.size(); ++p)
      if (siteList_[s].points[p].dirty && !siteList_[s].points[p].payload.empty())
        PublishPoint(s, p);
  auto held = std::exchange(heldResults_, {});
  for (const auto& [topic, text] : held) Result(topic, text);
}

void MqttBridge::Disconnected(const std::string& why) {
  const bool wasConnected = connected_;
  connected_ = false;
  for (const auto& [id, where] : unacked_) siteList_[where.first].points[where.second].dirty = true;
  unacked_.clear();
  if (stopping_) return;
  const std::string endpoint = config_.broker.host + ":" + std::to_string(config_.broker.port);
  failures_ = wasConnected ? 1 : failures_ + 1;
  // A broker away for a night would otherwise write two lines a minute: every attempt while the
  // wait grows, then one line every ten minutes.
  if (failures_ <= 6 || failures_ % 20 == 0)
    LogWarning("mqtt: " +
               (wasConnected
                    ? "connection lost (" + why + ")"
                    : "cannot connect to " + endpoint + " (" + why + ")" +
                          (failures_ > 6 ? ", " + std::to_string(failures_) + " attempts" : "")) +
               "; next attempt in " + std::to_string(retryMs_ / 1000) + " s");
  retry_->SetInterval(retryMs_);
  retry_->Start();
  retryMs_ = std::min(retryMs_ * 2, kLastRetryMs);
}

void MqttBridge::OnMessage(const MqttClient::Message& message) {
  if (stopping_) return;  // a write that arrives while the server ends is not started
  const std::string& topic = message.topic;
  constexpr std::string_view kSet = "/set";
  if (topic.size() <= prefix_.size() + kSet.size() || topic.compare(0, prefix_.size(), prefix_) ||
      topic.compare(topic.size() - kSet.size(), kSet.size(), kSet))
    return IgnoreOnce(topic, "not a topic the bridge takes");
  const std::string path =
      topic.substr(prefix_.size(), topic.size() - prefix_.size() - kSet.size());
  const size_t slash = path.find('/');
  if (slash == std::string::npos) return IgnoreOnce(topic, "not a topic the bridge takes");
  const std::string siteName = path.substr(0, slash);
  const std::string pointName = path.substr(slash + 1);
  if (message.retained)
    return IgnoreOnce(topic,
                      "a retained write is not carried out (it would write again at "
                      "every reconnect)");
  const auto site = std::find_if(siteList_.begin(), siteList_.end(),
                                 [&](const Site& s) { return s.config->name == siteName; });
  if (site == siteList_.end()) return IgnoreOnce(topic, "no site " + siteName);
  const auto point = std::find_if(site->points.begin(), site->points.end(),
                                  [&](const Point& p) { return p.config->name == pointName; });
  if (point == site->points.end())
    return IgnoreOnce(topic, "no point " + siteName + "/" + pointName);
  const std::string resultTopic = topic + "/result";
  if (!point->config->writable)
    return Result(resultTopic, pointName + " is not writable (writable = false)");
  auto value = ParseSetPayload(message.payload, point->typed.valueIndex);
  if (const auto* why = std::get_if<std::string>(&value)) return Result(resultTopic, *why);
  if (!site->id) return Result(resultTopic, "site " + siteName + " is not open");
  const std::string address = point->config->address;
  const TypedError error =
      sites_.Write(site->id, kClient, {{address, std::get<TypedScalar>(value)}},
                   [this, resultTopic, alive = alive_](const TypedError& e) {
                     if (*alive) Result(resultTopic, e ? e.text : "ok");
                   });
  if (error) Result(resultTopic, error.text);
}

void MqttBridge::Result(const std::string& topic, const std::string& text) {
  if (connected_ && client_.Publish(topic, text, 1, false) != 0) return;
  if (heldResults_.size() >= kMaxHeldResults) heldResults_.pop_front();
  heldResults_.emplace_back(topic, text);
}

void MqttBridge::IgnoreOnce(const std::string& topic, const std::string& why) {
  if (ignored_.size() >= kMaxIgnoredTopics || !ignored_.insert(topic).second) return;
  LogWarning("mqtt: ignored a message on " + topic + ": " + why +
             (ignored_.size() == kMaxIgnoredTopics ? " (further topics are not logged)" : ""));
}

}  // namespace qmb
