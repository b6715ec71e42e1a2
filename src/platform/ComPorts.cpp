#include "platform/ComPorts.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

#include "platform/Log.h"

namespace qmb {

namespace {

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// The file is read at every open, so each bad line is told once per process, not per open.
void WarnOnce(const std::string& file, int line, const std::string& text, const std::string& why) {
  static std::set<std::string> warned;
  const std::string where = file + ":" + std::to_string(line);
  if (!warned.insert(where + "\n" + text).second) return;
  LogWarning(where + ": " + why + " (ignored): " + LoggedText(text));
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

ComPortPlaces ComPortPlaces::FromEnvironment() {
  ComPortPlaces places;
  const char* dir = std::getenv("QORMODBUS_COMDIR");
  if (dir) places.environmentDir = dir;
  places.configFile = ConfigFilePath();
  return places;
}

std::string ConfigFilePath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  // A relative XDG_CONFIG_HOME is invalid and to be ignored.
  if (config && config[0] == '/') return std::string(config) + "/qormodbus/qormodbus.conf";
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.config/qormodbus/qormodbus.conf";
  return {};
}

std::string ConfigComDir(const std::string& file) {
  if (file.empty()) return {};
  std::ifstream in(file);
  if (!in) return {};
  std::string comDir;
  std::string raw;
  for (int number = 1; std::getline(in, raw); ++number) {
    const std::string line = Trimmed(raw);
    if (line.empty() || line[0] == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
      WarnOnce(file, number, line, "not a KEY=VALUE line");
      continue;
    }
    const std::string key = Trimmed(line.substr(0, equals));
    const std::string value = Trimmed(line.substr(equals + 1));
    if (key != "COMDIR") {
      WarnOnce(file, number, line, "unknown setting \"" + LoggedText(key) + "\"");
    } else if (value.empty() || value[0] != '/') {
      // Relative to what? The server's working folder is nobody's choice.
      WarnOnce(file, number, line, "COMDIR must be an absolute path");
    } else {
      comDir = value;  // the last one counts, as in a shell's assignments
    }
  }
  return comDir;
}

ComPortLookup LookUpComPort(int number, const ComPortPlaces& places) {
  ComPortLookup lookup;
  if (number < 1) return lookup;
  const std::string entry = "/COM" + std::to_string(number);
  const std::string missing = " (no COM" + std::to_string(number) + ")";
  auto tried = [&](const std::string& text) {
    if (!lookup.tried.empty()) lookup.tried += ", ";
    lookup.tried += text;
  };
  auto found = [&](const std::string& dir, std::string source) {
    if (!Exists(dir + entry)) return false;
    lookup.path = dir + entry;
    lookup.viaLink = true;
    lookup.source = std::move(source);
    return true;
  };

  if (places.environmentDir.empty())
    tried("$QORMODBUS_COMDIR unset");
  else if (found(places.environmentDir, "$QORMODBUS_COMDIR"))
    return lookup;
  else
    tried("$QORMODBUS_COMDIR=" + places.environmentDir + missing);

  const std::string configDir = ConfigComDir(places.configFile);
  if (configDir.empty())
    tried("config COMDIR unset");
  else if (found(configDir, "config COMDIR in " + places.configFile))
    return lookup;
  else
    tried("config COMDIR=" + configDir + missing);

  if (!places.defaultDir.empty()) {
    if (found(places.defaultDir, places.defaultDir)) return lookup;
    tried(places.defaultDir + missing);
  }

  lookup.path = "/dev/ttyS" + std::to_string(number - 1);
  lookup.source = "the fallback";
  return lookup;
}

std::string ComPortLookup::Describe(int number) const {
  std::string line = "COM" + std::to_string(number) + ": " + path;
  char resolved[PATH_MAX];
  if (!realpath(path.c_str(), resolved))
    line += std::string(" -> nothing (") + std::strerror(errno) + ")";
  else if (path != resolved)
    line += std::string(" -> ") + resolved;
  return line + " (" + How() + ")";
}

std::string ComPortLookup::How() const {
  return "from " + source + (tried.empty() ? "" : "; tried " + tried);
}

}  // namespace qmb
