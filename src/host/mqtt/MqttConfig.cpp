#include "host/mqtt/MqttConfig.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "platform/TextHelpers.h"

namespace qmb {

namespace {

// A refusal on its way out of the nested readers: the line it is about and what is wrong.
struct Refusal {
  int line = 1;
  std::string what;
};

int LineOf(const toml::node& node) {
  return static_cast<int>(node.source().begin.line);
}

[[noreturn]] void Refuse(int line, std::string what) {
  throw Refusal{line, std::move(what)};
}

// One table of the file: its keys are checked against the ones it may hold, so that a typo is
// named rather than silently left at its default.
class Section {
 public:
  Section(const toml::table& table, std::string name, std::initializer_list<const char*> known)
      : table_(table), name_(std::move(name)) {
    for (auto&& [key, node] : table) {
      bool found = false;
      for (const char* k : known) found = found || key.str() == k;
      if (found) continue;
      std::string list;
      for (const char* k : known) list += std::string(list.empty() ? "" : ", ") + k;
      Refuse(static_cast<int>(key.source().begin.line),
             "unknown key \"" + std::string(key.str()) + "\"" +
                 (name_.empty() ? "" : " in " + name_) + " (" + list + ")");
    }
  }

  int Line() const { return LineOf(table_); }
  const toml::node* Find(const char* key) const { return table_.get(key); }

  std::optional<std::string> Text(const char* key) const {
    const toml::node* node = Find(key);
    if (!node) return std::nullopt;
    const auto* text = node->as_string();
    if (!text) Refuse(LineOf(*node), Name(key) + " must be a text (in quotes)");
    if (text->get().empty()) Refuse(LineOf(*node), Name(key) + " is empty");
    // Names, hosts and file names go on as C strings and into logs: a NUL would cut them short.
    for (const char c : text->get())
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
        Refuse(LineOf(*node), Name(key) + " holds a control character");
    return text->get();
  }
  std::string Required(const char* key) const {
    auto text = Text(key);
    if (!text) Refuse(Line(), name_ + " has no " + key);
    return *text;
  }
  std::optional<int64_t> Integer(const char* key, int64_t min, int64_t max) const {
    const toml::node* node = Find(key);
    if (!node) return std::nullopt;
    const auto* number = node->as_integer();
    if (!number || number->get() < min || number->get() > max)
      Refuse(LineOf(*node), Name(key) + " must be a whole number from " + std::to_string(min) +
                                " to " + std::to_string(max));
    return number->get();
  }
  std::optional<bool> Flag(const char* key) const {
    const toml::node* node = Find(key);
    if (!node) return std::nullopt;
    const auto* flag = node->as_boolean();
    if (!flag) Refuse(LineOf(*node), Name(key) + " must be true or false");
    return flag->get();
  }
  // The [[...]] tables under the key; a plain table or value there is refused.
  const toml::array* Tables(const char* key, const char* header) const {
    const toml::node* node = Find(key);
    if (!node) return nullptr;
    const auto* array = node->as_array();
    if (!array || !array->is_array_of_tables())
      Refuse(LineOf(*node), Name(key) + " must be " + header + " tables");
    return array;
  }

 private:
  std::string Name(const char* key) const { return name_.empty() ? key : name_ + " " + key; }

  const toml::table& table_;
  std::string name_;
};

// A file named in the configuration, taken from the configuration's own folder when relative.
std::string FileBeside(const std::string& configPath, const std::string& name) {
  std::filesystem::path file(name);
  if (file.is_relative()) file = std::filesystem::path(configPath).parent_path() / file;
  std::error_code error;
  const auto absolute = std::filesystem::absolute(file, error);
  return (error ? file : absolute).lexically_normal().string();
}

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

// The TOML reader we build on (toml++ 3.3) meets undefined behaviour when it asks whether a
// character outside ASCII is white space where it skips white space: between the file's tokens,
// and in a """ text just after a backslash. Such a character is refused here, before the reader
// sees it. Between tokens TOML takes only ASCII anyway; in a """ text the refusal is ours.
void RefuseWhatTheReaderCannotTake(std::string_view text) {
  enum class In { Tokens, Comment, Text, Literal, LongText, LongLiteral } in = In::Tokens;
  int line = 1;
  const auto run = [&text](size_t at, char c) {
    size_t n = 0;
    while (at + n < text.size() && text[at + n] == c) ++n;
    return n;
  };
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool ascii = static_cast<unsigned char>(c) < 0x80;
    switch (in) {
      case In::Tokens:
        if (!ascii)
          Refuse(line,
                 "a character outside ASCII outside quotes and comments (names, numbers and "
                 "the rest of TOML are ASCII)");
        if (c == '#') in = In::Comment;
        if (c == '"' || c == '\'') {
          const bool isLong = run(i, c) >= 3;
          in = c == '"' ? (isLong ? In::LongText : In::Text)
                        : (isLong ? In::LongLiteral : In::Literal);
          if (isLong) i += 2;
        }
        break;
      case In::Comment:
        if (c == '\n') in = In::Tokens;
        break;
      case In::Text:
      case In::Literal:
        if (c == '\n' || c == (in == In::Text ? '"' : '\'')) in = In::Tokens;
        if (c == '\\' && in == In::Text && i + 1 < text.size() && text[i + 1] != '\n') ++i;
        break;
      case In::LongText:
      case In::LongLiteral:
        if (c == '\\' && in == In::LongText && i + 1 < text.size()) {
          size_t next = i + 1;
          if (isSpace(text[next])) {  // a line-ending backslash: white space up to the next text
            while (next < text.size() && isSpace(text[next])) {
              if (text[next] == '\n') ++line;
              ++next;
            }
          }
          if (next < text.size() && static_cast<unsigned char>(text[next]) >= 0x80)
            Refuse(line,
                   "a character outside ASCII just after a backslash in a \"\"\" text (put "
                   "an ASCII character before it)");
          if (next == i + 1) {
            ++i;  // an escaped character
          } else {
            i = next - 1;  // its lines are counted
            continue;
          }
        } else if (c == (in == In::LongText ? '"' : '\'')) {
          // The closing quotes, and up to two of the text's own before them.
          const size_t quotes = run(i, c);
          if (quotes >= 3) in = In::Tokens;
          i += std::min<size_t>(quotes, 5) - 1;
        }
        break;
    }
    if (i < text.size() && text[i] == '\n') ++line;
  }
}

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; HOST a name, an IPv4 address or [IPv6].
std::string ReadBrokerUrl(const std::string& url, MqttBrokerConfig& broker) {
  std::string_view rest = url;
  if (rest.substr(0, 8) == "mqtts://") {
    broker.tls = true;
    broker.port = 8883;
    rest.remove_prefix(8);
  } else if (rest.substr(0, 7) == "mqtt://") {
    rest.remove_prefix(7);
  } else {
    return "does not start with mqtt:// or mqtts://";
  }
  std::string_view host;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) return "has no ] after its IPv6 address";
    host = rest.substr(1, close - 1);
    for (const char c : host)
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.')
        return "has no IPv6 address in [ ]";
    rest.remove_prefix(close + 1);
  } else {
    size_t end = 0;
    while (end < rest.size() && IsHostChar(rest[end])) ++end;
    host = rest.substr(0, end);
    rest.remove_prefix(end);
  }
  if (host.empty()) return "names no host";
  if (!rest.empty()) {
    if (rest.front() != ':') return "has \"" + std::string(rest) + "\" after its host";
    rest.remove_prefix(1);
    uint32_t port = 0;
    size_t digits = 0;
    for (; digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9' && port <= 65535;
         ++digits)
      port = port * 10 + static_cast<uint32_t>(rest[digits] - '0');
    if (digits == 0 || port == 0 || port > 65535) return "has no port 1 to 65535 after its \":\"";
    if (digits < rest.size())
      return "has \"" + std::string(rest.substr(digits)) + "\" after its port";
    broker.port = static_cast<uint16_t>(port);
  }
  broker.host = std::string(host);
  return {};
}

MqttBrokerConfig ReadBroker(const toml::table& table, const std::string& path) {
  const Section section(
      table, "[broker]",
      {"url", "node", "client_id", "username", "password_file", "ca_file", "keepalive"});
  MqttBrokerConfig broker;
  broker.url = section.Required("url");
  if (const std::string why = ReadBrokerUrl(broker.url, broker); !why.empty())
    Refuse(LineOf(*section.Find("url")), "[broker] url \"" + broker.url + "\" " + why);
  broker.node = section.Required("node");
  if (!IsTopicLevel(broker.node))
    Refuse(LineOf(*section.Find("node")),
           "[broker] node \"" + broker.node + "\" cannot be a topic level (no /, +, #, leading $)");
  broker.clientId = section.Text("client_id").value_or("qormodbus-" + broker.node);
  broker.username = section.Text("username").value_or("");
  if (const auto file = section.Text("password_file")) {
    // The protocol carries a password only behind a user name.
    if (broker.username.empty())
      Refuse(LineOf(*section.Find("password_file")), "[broker] password_file needs a username");
    broker.passwordFile = FileBeside(path, *file);
  }
  if (const auto file = section.Text("ca_file")) {
    if (!broker.tls)
      Refuse(LineOf(*section.Find("ca_file")), "[broker] ca_file is for an mqtts:// url only");
    broker.caFile = FileBeside(path, *file);
  }
  broker.keepaliveSeconds =
      static_cast<uint32_t>(section.Integer("keepalive", 5, 3600).value_or(30));
  return broker;
}

// The site's keys that are the typed interface's open options, by the name and type it takes.
enum class OptionType { Text, Bool, Byte, UInt16, UInt32 };
struct OptionKey {
  const char* key;
  const char* option;
  OptionType type;
};
constexpr OptionKey kOptionKeys[] = {
    {"transport", "Transport", OptionType::Text},
    {"host", "Host", OptionType::Text},
    {"port", "Port", OptionType::UInt16},
    {"com_port", "ComPort", OptionType::UInt32},
    {"baud", "Baud", OptionType::UInt32},
    {"parity", "Parity", OptionType::Text},
    {"stop_bits", "StopBits", OptionType::Byte},
    {"rs485", "RS485", OptionType::Bool},
    {"phone_number", "PhoneNumber", OptionType::Text},
    {"poll", "Poll", OptionType::Text},
    {"timeout_ms", "TimeoutMs", OptionType::UInt32},
    {"retries", "Retries", OptionType::UInt32},
    {"gap_ms", "GapMs", OptionType::UInt32},
    {"connect_pause_ms", "ConnectPauseMs", OptionType::UInt32},
};

MqttPointConfig ReadPoint(const toml::table& table, bool tcpMode) {
  const Section section(table, "[[site.point]]", {"name", "address", "deadband", "writable"});
  MqttPointConfig point;
  point.line = section.Line();
  point.name = section.Required("name");
  if (!IsTopicLevel(point.name))
    Refuse(LineOf(*section.Find("name")),
           "point name \"" + point.name + "\" cannot be a topic level (no /, +, #, leading $)");
  point.address = section.Required("address");
  const int addressLine = LineOf(*section.Find("address"));
  const auto parsed = ParseTypedPoint(point.address, tcpMode);
  if (const auto* why = std::get_if<std::string>(&parsed)) Refuse(addressLine, *why);
  const TypedPoint& typed = std::get<TypedPoint>(parsed);

  if (const toml::node* node = section.Find("deadband")) {
    const auto number = node->value<double>();  // an integer or a float
    if (!node->is_number() || !number || !std::isfinite(*number) || *number < 0)
      Refuse(LineOf(*node), "point \"" + point.name + "\" deadband must be a number of 0 or more");
    // A bit or a text changes or does not: a deadband there is a mistake about the point.
    const bool numeric = typed.valueIndex != TypedScalar(false).index() &&
                         typed.valueIndex != TypedScalar(std::string()).index();
    if (*number > 0 && !numeric)
      Refuse(LineOf(*node), "point \"" + point.name + "\" deadband is for numbers, and \"" +
                                point.address + "\" is no number");
    point.deadband = *number;
  }
  point.writable = section.Flag("writable").value_or(false);
  const auto kind = typed.address.PointKind;
  if (point.writable && kind != PointAddress::Kind::Coil &&
      kind != PointAddress::Kind::HoldingRegister)
    Refuse(LineOf(*section.Find("writable")),
           "point \"" + point.name + "\" cannot be writable: \"" + point.address +
               "\" is an input (only OUT and HREG points take writes)");
  return point;
}

MqttSiteConfig ReadSite(const toml::table& table) {
  const Section section(table, "[[site]]",
                        {"name", "description", "interval_ms", "point", "transport", "host", "port",
                         "com_port", "baud", "parity", "stop_bits", "rs485", "phone_number", "poll",
                         "timeout_ms", "retries", "gap_ms", "connect_pause_ms"});
  MqttSiteConfig site;
  site.line = section.Line();
  site.name = section.Required("name");
  if (!IsTopicLevel(site.name))
    Refuse(LineOf(*section.Find("name")),
           "site name \"" + site.name + "\" cannot be a topic level (no /, +, #, leading $)");
  site.options["Description"] = section.Text("description").value_or(site.name);
  for (const OptionKey& option : kOptionKeys) {
    if (!section.Find(option.key)) continue;
    TypedScalar& value = site.options[option.option];
    switch (option.type) {
      case OptionType::Text:
        value = *section.Text(option.key);
        break;
      case OptionType::Bool:
        value = *section.Flag(option.key);
        break;
      case OptionType::Byte:
        value = static_cast<uint8_t>(*section.Integer(option.key, 0, 255));
        break;
      case OptionType::UInt16:
        value = static_cast<uint16_t>(*section.Integer(option.key, 0, 65535));
        break;
      case OptionType::UInt32:
        value = static_cast<uint32_t>(*section.Integer(option.key, 0, 4294967295));
        break;
    }
  }
  if (const auto list = TypedOpenList(site.options, false);
      const auto* why = std::get_if<std::string>(&list))
    Refuse(site.line, "site \"" + site.name + "\": " + *why);
  site.intervalMs =
      static_cast<uint32_t>(section.Integer("interval_ms", 10, 3600000).value_or(1000));

  // Modbus/TCP addresses may leave out the slave; the transport was checked just above.
  const std::string transport = LowerCase(std::get<std::string>(site.options.at("Transport")));
  const bool tcpMode = transport == "tcp" || transport == "rtu-tcp";
  const toml::array* points = section.Tables("point", "[[site.point]]");
  if (!points || points->empty())
    Refuse(site.line, "site \"" + site.name + "\" has no [[site.point]]");
  for (const toml::node& node : *points) {
    MqttPointConfig point = ReadPoint(*node.as_table(), tcpMode);
    for (const MqttPointConfig& other : site.points)
      if (other.name == point.name)
        Refuse(point.line, "site \"" + site.name + "\" has a point \"" + point.name +
                               "\" already, at line " + std::to_string(other.line));
    site.points.push_back(std::move(point));
  }
  return site;
}

MqttConfig ReadConfig(const toml::table& root, const std::string& path) {
  const Section section(root, "", {"broker", "site"});  // the top level
  MqttConfig config;
  const toml::node* broker = section.Find("broker");
  if (!broker) Refuse(1, "no [broker] table");
  if (!broker->is_table()) Refuse(LineOf(*broker), "broker must be a [broker] table");
  config.broker = ReadBroker(*broker->as_table(), path);

  const toml::array* sites = section.Tables("site", "[[site]]");
  if (!sites || sites->empty()) Refuse(1, "no [[site]]: the bridge has nothing to publish");
  for (const toml::node& node : *sites) {
    MqttSiteConfig site = ReadSite(*node.as_table());
    const auto description = [](const MqttSiteConfig& s) {
      return std::get<std::string>(s.options.at("Description"));
    };
    for (const MqttSiteConfig& other : config.sites) {
      if (other.name == site.name)
        Refuse(site.line, "a site \"" + site.name + "\" is at line " + std::to_string(other.line) +
                              " already");
      // The driver takes sites by their description: two of ours with one would share a link.
      if (SameTextIgnoringCase(description(other), description(site)))
        Refuse(site.line, "site \"" + site.name + "\" has the description \"" + description(site) +
                              "\" of site \"" + other.name + "\" (line " +
                              std::to_string(other.line) + ")");
    }
    config.sites.push_back(std::move(site));
  }
  return config;
}

// The whole of a small text file, or the reason it could not be read.
std::optional<std::string> ReadWholeFile(const std::string& path, std::string& why) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  std::string text;
  int error = errno;
  if (file) {
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
      text.append(buffer, got);
    error = std::ferror(file) ? errno : 0;  // a folder opens, and fails to read
    std::fclose(file);
  }
  if (!file || error != 0) {
    why = path + ": cannot read: " + std::strerror(error);
    return std::nullopt;
  }
  return text;
}

}  // namespace

bool IsTopicLevel(std::string_view text) {
  if (text.empty() || text.front() == '$') return false;
  for (const char c : text)
    if (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      return false;
  return true;
}

std::variant<MqttConfig, std::string> ParseMqttConfig(std::string_view text,
                                                      const std::string& path) {
  try {
    RefuseWhatTheReaderCannotTake(text);
    const toml::table root = toml::parse(text, std::string_view(path));
    return ReadConfig(root, path);
  } catch (const toml::parse_error& error) {
    return path + ":" + std::to_string(error.source().begin.line) + ": " +
           std::string(error.description());
  } catch (const Refusal& refusal) {
    return path + ":" + std::to_string(refusal.line) + ": " + refusal.what;
  }
}

std::variant<MqttConfig, std::string> LoadMqttConfig(const std::string& path) {
  std::string why;
  const auto text = ReadWholeFile(path, why);
  if (!text) return why;
  auto parsed = ParseMqttConfig(*text, path);
  auto* config = std::get_if<MqttConfig>(&parsed);
  if (!config) return parsed;
  MqttBrokerConfig& broker = config->broker;
  if (!broker.passwordFile.empty()) {
    const auto password = ReadWholeFile(broker.passwordFile, why);
    if (!password) return path + ": [broker] password_file " + why;
    broker.password = password->substr(0, password->find_first_of("\r\n"));
    if (broker.password.empty())
      return path + ": [broker] password_file " + broker.passwordFile + ": its first line is empty";
  }
  if (!broker.caFile.empty() && !ReadWholeFile(broker.caFile, why))
    return path + ": [broker] ca_file " + why;
  return parsed;
}

}  // namespace qmb
