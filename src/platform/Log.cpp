#include "platform/Log.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "platform/TextHelpers.h"

#include <unistd.h>

namespace qmb {

namespace {

constexpr std::array<LogLevel, 5> kLevels = {LogLevel::Debug, LogLevel::Info, LogLevel::Warning,
                                             LogLevel::Error, LogLevel::Off};
constexpr std::array<LogCategory, kLogCategoryCount> kCategories = {
    LogCategory::Events, LogCategory::Bus, LogCategory::Trace};

std::optional<LogLevel> LevelNamed(std::string_view name) {
  for (LogLevel level : kLevels)
    if (name == LogLevelName(level)) return level;
  return std::nullopt;
}

LogLevel LevelFromEnvironment() {
  const char* text = std::getenv("QORMODBUS_LOGLEVEL");
  const auto level = text ? LevelNamed(text) : std::nullopt;
  return level && *level != LogLevel::Off ? *level : LogLevel::Info;
}

void StandardErrorSink(LogLevel level, const std::string& message) {
  const std::string line = FormatLogLine(level, message);
  std::fwrite(line.data(), 1, line.size(), stderr);
}

struct Levels {
  LogLevel base = LogLevel::Info;
  // A category's own threshold, when it has one; the trace has one from the start: off.
  std::array<std::optional<LogLevel>, kLogCategoryCount> own{};
  // Effective thresholds, kept so the check on every entry is one load and one compare.
  std::array<LogLevel, kLogCategoryCount> effective{};
  bool badEnvironmentList = false;

  void Update() {
    for (size_t i = 0; i < own.size(); ++i) effective[i] = own[i].value_or(base);
  }
  bool Apply(std::string_view list);
  void Reset() {
    base = LevelFromEnvironment();
    own = {};
    own[static_cast<size_t>(LogCategory::Trace)] = LogLevel::Off;
    const char* list = std::getenv("QORMODBUS_LOG");
    badEnvironmentList = list && !Apply(list);
    Update();
  }
};

bool Levels::Apply(std::string_view list) {
  std::vector<std::pair<LogCategory, LogLevel>> items;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (item.empty()) continue;
    const size_t equals = item.find('=');
    const std::string_view name = item.substr(0, equals);
    const auto level = equals == std::string_view::npos ? std::optional(LogLevel::Debug)
                                                        : LevelNamed(item.substr(equals + 1));
    std::optional<LogCategory> category;
    for (LogCategory c : kCategories)
      if (name == LogCategoryName(c)) category = c;
    if (!category || !level) return false;
    items.emplace_back(*category, *level);
  }
  for (const auto& [category, level] : items) own[static_cast<size_t>(category)] = level;
  Update();
  return true;
}

Levels& State() {
  static Levels levels = [] {
    Levels initial;
    initial.Reset();
    return initial;
  }();
  // Said once the state exists, so the warning itself can be logged.
  if (levels.badEnvironmentList) {
    levels.badEnvironmentList = false;
    LogWarning(std::string("QORMODBUS_LOG: \"") + std::getenv("QORMODBUS_LOG") +
               "\" is no list of category=level (events, bus, trace; debug, info, warning, "
               "error, off); ignored");
  }
  return levels;
}

LogSink& Sink() {
  static LogSink sink = StandardErrorSink;
  return sink;
}

}  // namespace

const char* LogLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::Debug:
      return "debug";
    case LogLevel::Info:
      return "info";
    case LogLevel::Warning:
      return "warning";
    case LogLevel::Error:
      return "error";
    case LogLevel::Off:
      return "off";
  }
  return "?";
}

const char* LogCategoryName(LogCategory category) {
  switch (category) {
    case LogCategory::Events:
      return "events";
    case LogCategory::Bus:
      return "bus";
    case LogCategory::Trace:
      return "trace";
  }
  return "?";
}

std::string FormatLogLine(LogLevel level, const std::string& message) {
  std::timespec now{};
  std::timespec_get(&now, TIME_UTC);
  std::tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[64];
  const size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(stamp + length, sizeof stamp - length, ".%03d qormodbus[%d] ",
                static_cast<int>(now.tv_nsec / 1000000), static_cast<int>(getpid()));
  return std::string(stamp) + LogLevelName(level) + ": " + message + "\n";
}

std::string LoggedText(std::string_view text) {
  if (text.size() <= kLoggedTextLimit) return std::string(text);
  std::string kept(text.substr(0, kLoggedTextLimit));
  return kept + "... (" + std::to_string(text.size()) + " characters)";
}

namespace {

bool IsControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

// The entry as it is written: control characters escaped, cut at kLogEntryLimit characters.
// Entries are almost always plain and short, and then cost one scan.
void AppendEscaped(std::string& out, std::string_view message) {
  const size_t length = std::min(message.size(), kLogEntryLimit);
  const std::string_view kept = message.substr(0, length);
  if (std::none_of(kept.begin(), kept.end(), IsControl)) {
    out += kept;
  } else {
    for (const char c : kept) {
      if (!IsControl(c)) {
        out += c;
        continue;
      }
      switch (c) {
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default: {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x",
                        static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += hex;
        }
      }
    }
  }
  if (length < message.size())
    out += "... (entry of " + std::to_string(message.size()) + " characters cut)";
}

}  // namespace

bool LogEnabled(LogCategory category, LogLevel level) {
  return level != LogLevel::Off && level >= State().effective[static_cast<size_t>(category)];
}

void LogWrite(LogCategory category, LogLevel level, std::string_view message) {
  if (!LogEnabled(category, level) || !Sink()) return;
  std::string text;
  text.reserve(std::min(message.size(), kLogEntryLimit) + 8);
  if (category != LogCategory::Events) {
    text += '[';
    text += LogCategoryName(category);
    text += "] ";
  }
  AppendEscaped(text, message);
  Sink()(level, text);
}

void Logger::Write(LogCategory category, LogLevel level, std::string_view message) const {
  if (!LogEnabled(category, level)) return;
  if (prefix_.empty()) return LogWrite(category, level, message);
  std::string text;
  text.reserve(prefix_.size() + message.size());
  text += prefix_;
  text += message;
  LogWrite(category, level, text);
}

void SetLogLevel(LogLevel level) {
  Levels& levels = State();
  levels.base = level;
  levels.Update();
}

LogLevel CurrentLogLevel() {
  return State().base;
}

void SetCategoryLevel(LogCategory category, LogLevel level) {
  Levels& levels = State();
  levels.own[static_cast<size_t>(category)] = level;
  levels.Update();
}

LogLevel CategoryLevel(LogCategory category) {
  return State().effective[static_cast<size_t>(category)];
}

bool ConfigureLogCategories(std::string_view list) {
  return State().Apply(list);
}

void ResetLogLevels() {
  State().Reset();
}

void SetLogSink(LogSink sink) {
  Sink() = sink ? std::move(sink) : LogSink(StandardErrorSink);
}

namespace {
FrameWatcher& Watcher() {
  static FrameWatcher watcher;
  return watcher;
}
}  // namespace

void SetFrameWatcher(FrameWatcher watcher) {
  Watcher() = std::move(watcher);
}

bool FramesWatched() {
  return static_cast<bool>(Watcher());
}

void Logger::Frame(bool outgoing, std::string_view bytes) const {
  if (const FrameWatcher& watcher = Watcher()) {
    // A copy: the watcher may be replaced while it runs (a watcher leaving the bus).
    const FrameWatcher call = watcher;
    call(site_, description_, outgoing, bytes);
  }
  Trace([&] { return (outgoing ? "> " : "< ") + BytesToSpacedHex(bytes); });
}

void Logger::Cause(const std::string& text) const {
  cause_ = text;
  if (text == loggedCause_) return;
  loggedCause_ = text;
  Warning(text);
}

}  // namespace qmb
