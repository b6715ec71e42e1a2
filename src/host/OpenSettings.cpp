#include "host/OpenSettings.h"

#include <optional>
#include <stdexcept>
#include <string_view>

#include "platform/Log.h"
#include "platform/ParamList.h"
#include "platform/TextHelpers.h"

namespace qmb {
namespace {

// What a key's value must be, and what the site takes when it is not. `readable` answers for a
// value that is present; `needed` names a key that must be present (given the whole list).
struct Rule {
  const char* key;
  const char* accepts;
  const char* used;
  bool (*readable)(const std::string& text);
  bool (*needed)(const Variant& params) = nullptr;
};

bool Integer(const std::string& text) {
  int32_t value = 0;
  return ParseIntegerText(text, value);
}
bool IntegerIn(const std::string& text, int32_t low, int32_t high) {
  int32_t value = 0;
  return ParseIntegerText(text, value) && value >= low && value <= high;
}
// Only "TRUE" reads as true; anything but "FALSE" besides it is a host's slip ("true", "1").
bool Boolean(const std::string& text) {
  return text == "TRUE" || text == "FALSE";
}
// One of the words a key takes, in any case, as the driver reads it.
template <size_t N>
bool OneOf(const std::string& text, const char* const (&words)[N]) {
  for (const char* word : words)
    if (SameTextIgnoringCase(text, word)) return true;
  return false;
}
bool ModbusTcp(const Variant& params) {
  bool tcp = false;
  return GetParamBool(params, "BP3", tcp) && tcp;
}

// The timing keys and their bounds. The upper bounds keep a site's engine from being held for
// minutes by one request (three attempts of a 30 s wait already hold it for 90 s).
struct TimingKey {
  const char* key;
  int32_t TSite::*field;
  int32_t low;
  int32_t high;
  const char* accepts;
};
const TimingKey kTimingKeys[] = {
    {"TIMEOUT", &TSite::TimeoutMs, 10, 30000,
     "the milliseconds a device may take to answer, a whole number from 10 to 30000"},
    {"RETRIES", &TSite::ReadAttempts, 1, 10,
     "the attempts of each read, a whole number from 1 to 10"},
    {"GAP", &TSite::GapMs, 0, 10000,
     "the milliseconds of silence kept between requests, a whole number from 0 to 10000"},
    {"CONNECTPAUSE", &TSite::ConnectPauseMs, 0, 30000,
     "the milliseconds to wait after a Modbus/TCP connection is made, a whole number from 0 to "
     "30000"},
};
const TimingKey& Timing(std::string_view key) {
  for (const TimingKey& timing : kTimingKeys)
    if (key == timing.key) return timing;
  throw std::logic_error("no timing key " + std::string(key));
}
bool TimingReadable(std::string_view key, const std::string& text) {
  const TimingKey& timing = Timing(key);
  return text.empty() || IntegerIn(text, timing.low, timing.high);
}
constexpr const char* kRefused = "";  // a timing key's bad value refuses the open

constexpr const char* kBoolean = "TRUE or FALSE, in upper case";
const Rule kRules[] = {
    {"BP3", kBoolean, "FALSE", Boolean},
    {"OFFLINE", kBoolean, "FALSE", Boolean},
    {"COMPORT", "a COM port number (1 for COM1)", "0 (no port)", Integer},
    {"CONNECTIONTYPE", "MODEM (upper case) to dial, DIRECT for a direct line", "DIRECT",
     [](const std::string& text) { return text == "MODEM" || text == "DIRECT"; }},
    {"BAUDRATE", "a whole number of bits per second (9600, 19200, 38400 ...)", "38400", Integer},
    {"PANELTYPE", "a panel type number, 0 to 3", "0", Integer},
    {"SERVERINDEX", "a whole number", "the first free server index", Integer},
    {"IP1", "the stop bits, 1 or 2", "2",
     [](const std::string& text) { return IntegerIn(text, 1, 2); }},
    {"IP2", "the parity, 0 (none), 1 (odd) or 2 (even)", "0 (none)",
     [](const std::string& text) { return IntegerIn(text, 0, 2); }},
    {"BP1", kBoolean, "FALSE", Boolean},
    {"BP2", kBoolean, "FALSE", Boolean},
    {"SP3", "a Modbus/TCP site (BP3=TRUE) needs its device's address, HOST or HOST:PORT",
     "no address (nothing to connect to)", [](const std::string&) { return true; }, ModbusTcp},
    {"LOCALCLIENT", kBoolean, "FALSE (a client on another computer)", Boolean},
    // The driver refuses an open with any other value: a gateway read in the wrong framing
    // would only fail every read.
    {"TCPFRAMING", "TCP (the default) or RTU, for RTU frames over the connection",
     "nothing (the open is refused)",
     [](const std::string& text) {
       return OneOf(text, {"TCP", "RTU"});
     }},
    {"TCPUNIT", "FF (the default) or POINT, for each point's slave prefix as its unit id",
     "nothing (the open is refused)",
     [](const std::string& text) {
       return OneOf(text, {"FF", "POINT"});
     }},
    {"TIMEOUT", Timing("TIMEOUT").accepts, kRefused,
     [](const std::string& text) { return TimingReadable("TIMEOUT", text); }},
    {"RETRIES", Timing("RETRIES").accepts, kRefused,
     [](const std::string& text) { return TimingReadable("RETRIES", text); }},
    {"GAP", Timing("GAP").accepts, kRefused,
     [](const std::string& text) { return TimingReadable("GAP", text); }},
    {"CONNECTPAUSE", Timing("CONNECTPAUSE").accepts, kRefused,
     [](const std::string& text) { return TimingReadable("CONNECTPAUSE", text); }},
};

std::optional<std::string> Lookup(const Variant& params, const char* key) {
  std::string value;
  try {
    if (GetParamStr(params, key, value)) return value;
  } catch (const std::exception&) {
    // An element without a text form hides the key from the driver too.
  }
  return std::nullopt;
}

}  // namespace

std::vector<ReplacedSetting> ReplacedSettings(const Variant& params) {
  std::vector<ReplacedSetting> replaced;
  for (const Rule& rule : kRules) {
    const std::optional<std::string> value = Lookup(params, rule.key);
    const bool missing = (!value || value->empty()) && rule.needed && rule.needed(params);
    if (missing || (value && !rule.readable(*value)))
      replaced.push_back({rule.key, value.value_or(""), missing, rule.used, rule.accepts});
  }
  return replaced;
}

std::string ReadTimingKeys(const Variant& params, TSite& site) {
  for (const TimingKey& timing : kTimingKeys) {
    const std::optional<std::string> value = Lookup(params, timing.key);
    if (!value || value->empty()) continue;
    if (!TimingReadable(timing.key, *value))
      return std::string(timing.key) + " \"" + LoggedText(*value) + "\" is not " + timing.accepts;
    int32_t number = 0;
    ParseIntegerText(*value, number);
    site.*timing.field = number;
  }
  return {};
}

std::string LinkDifferences(const TSite& mine, const TSite& theirs) {
  // The open keys that choose the link, with the site property each one fills.
  static const std::pair<const char*, const char*> kLinkKeys[] = {{"BP3", "UseTCP"},
                                                                  {"OFFLINE", "OfflineMode"},
                                                                  {"COMPORT", "Comport"},
                                                                  {"BAUDRATE", "BaudRate"},
                                                                  {"PHONENUMBER", "PhoneNumber"},
                                                                  {"SP1", "ConnectString"},
                                                                  {"SP2", "DisconnectString"},
                                                                  {"SP5", "ModemInit"},
                                                                  {"IP1", "StopBits"},
                                                                  {"IP2", "Parity"},
                                                                  {"BP1", "Use485"},
                                                                  {"BP2", "UseRTU"},
                                                                  {"SP3", "IPAddress"}};
  std::string text;
  const auto differ = [&](const std::string& key, const std::string& given,
                          const std::string& kept) {
    if (given == kept) return;
    if (!text.empty()) text += "; ";
    const auto named = [](const std::string& value) {
      return value.empty() ? std::string("none") : LoggedText(value);
    };
    text += key + " " + named(given) + " (the site has " + named(kept) + ")";
  };
  const auto shown = [](const Variant& value) {
    return value.Type() == VarType::Bool ? std::string(value.AsBool() ? "TRUE" : "FALSE")
                                         : value.ToText();
  };
  for (const auto& [key, property] : kLinkKeys)
    differ(key, shown(mine.GetProperty(property)), shown(theirs.GetProperty(property)));
  differ("CONNECTIONTYPE", mine.DirectConnect ? "DIRECT" : "MODEM",
         theirs.DirectConnect ? "DIRECT" : "MODEM");
  differ("POLLMODE", mine.FastScan ? "FAST" : "TICK", theirs.FastScan ? "FAST" : "TICK");
  differ("DECODE", mine.TypedDecode ? "TYPED" : "", theirs.TypedDecode ? "TYPED" : "");
  differ("WRITEFUNCTION", mine.WriteMultiple ? "16" : "6", theirs.WriteMultiple ? "16" : "6");
  differ("TCPFRAMING", mine.RTUOverTCP ? "RTU" : "TCP", theirs.RTUOverTCP ? "RTU" : "TCP");
  differ("TCPUNIT", mine.UnitFromPoint ? "POINT" : "FF", theirs.UnitFromPoint ? "POINT" : "FF");
  for (const TimingKey& timing : kTimingKeys) {
    // 0 is the key's absence: the driver's own budget.
    const auto shownTiming = [&](const TSite& site) {
      return site.*timing.field == 0 ? std::string() : std::to_string(site.*timing.field);
    };
    differ(timing.key, shownTiming(mine), shownTiming(theirs));
  }
  return text;
}

std::string DescribeReplacedSettings(const std::vector<ReplacedSetting>& replaced) {
  std::string text;
  for (const ReplacedSetting& setting : replaced) {
    if (!text.empty()) text += "; ";
    // The host's text is quoted as every outside text in the log is: cut short, one line.
    text += setting.key +
            (setting.missing ? " is missing (" + setting.accepts + ")"
                             : " \"" + LoggedText(setting.given) + "\" is not " + setting.accepts) +
            (setting.used.empty() ? ": the open is refused" : ": " + setting.used + " used");
  }
  return text;
}

}  // namespace qmb
