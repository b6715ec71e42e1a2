// The program's log: levels and categories, one line per entry, to standard error (and wherever a
// sink sends it).
#pragma once

#include <concepts>
#include <functional>
#include <string>
#include <string_view>

namespace qmb {

// Off only as a threshold: no entry is written at it.
enum class LogLevel { Debug = 0, Info = 1, Warning = 2, Error = 3, Off = 4 };

// What an entry is about. Each category has its own threshold, so the frame trace can be on
// while events stay at info. Entries of other categories than events carry "[bus] " or
// "[trace] " before their text.
enum class LogCategory { Events = 0, Bus = 1, Trace = 2 };
inline constexpr int kLogCategoryCount = 3;

void LogWrite(LogCategory category, LogLevel level, std::string_view message);
inline void LogWrite(LogLevel level, std::string_view message) {
  LogWrite(LogCategory::Events, level, message);
}
inline void LogDebug(std::string_view m) {
  LogWrite(LogLevel::Debug, m);
}
inline void LogInfo(std::string_view m) {
  LogWrite(LogLevel::Info, m);
}
inline void LogWarning(std::string_view m) {
  LogWrite(LogLevel::Warning, m);
}
inline void LogError(std::string_view m) {
  LogWrite(LogLevel::Error, m);
}

// True when an entry of this category and level would be written: callers that build costly
// texts ask first (or use Logger's lazy forms).
bool LogEnabled(LogCategory category, LogLevel level);

// "debug", "info", "warning", "error", "off"; "events", "bus", "trace".
const char* LogLevelName(LogLevel level);
const char* LogCategoryName(LogCategory category);
// One line as the program writes it: local time with milliseconds, "qormodbus[pid]", the level
// and the message, ending with a line feed.
std::string FormatLogLine(LogLevel level, const std::string& message);

// Texts from outside (a host's site description, command, address or point key) reach the log.
// Every entry is written with its control characters escaped ("\n", "\x1b"), so no text can
// start a line of its own or drive a terminal, and cut after kLogEntryLimit characters, so no entry
// can push the log file's history out. An entry quotes each outside text through LoggedText, which
// keeps kLoggedTextLimit characters of it and notes its full length.
inline constexpr size_t kLoggedTextLimit = 300;
inline constexpr size_t kLogEntryLimit = 16 * 1024;
std::string LoggedText(std::string_view text);

// The level of events and bus calls: entries below it are dropped. Default: Info, or
// QORMODBUS_LOGLEVEL=debug|info|warning|error.
void SetLogLevel(LogLevel level);
LogLevel CurrentLogLevel();
// A category's own threshold, which takes precedence over the level above; the trace is off
// until asked for. QORMODBUS_LOG takes a list such as "trace=debug,bus=warning" ("trace" alone
// means debug) and is read at start.
void SetCategoryLevel(LogCategory category, LogLevel level);
LogLevel CategoryLevel(LogCategory category);
// Applies such a list; false (and nothing applied) when an item names no category or level.
bool ConfigureLogCategories(std::string_view list);
// Back to the levels the environment gives (tests use it between cases).
void ResetLogLevels();

// Replaces the default standard-error sink (tests capture lines; the server adds the journal).
using LogSink = std::function<void(LogLevel, const std::string&)>;
void SetLogSink(LogSink sink);

// Frames handed, as they go out and come in, to a watcher beside the trace log: the bus's live
// frame trace. site identifies the engine (its address), description names it. Set only while
// somebody watches, so an unwatched frame costs one check.
using FrameWatcher = std::function<void(const void* site, const std::string& description,
                                        bool outgoing, std::string_view bytes)>;
void SetFrameWatcher(FrameWatcher watcher);
bool FramesWatched();

// A source of entries with its own prefix: a site engine logs as `Site "Plant 3": ...` from every
// part. The lazy forms take a callable that builds the text only when the entry is written, so a
// frame trace that is off costs one check per frame.
class Logger {
 public:
  Logger() = default;
  explicit Logger(std::string prefix) : prefix_(std::move(prefix)) {}

  void SetPrefix(std::string prefix) { prefix_ = std::move(prefix); }
  const std::string& Prefix() const { return prefix_; }

  void Write(LogCategory category, LogLevel level, std::string_view message) const;
  template <std::invocable Format>
  void Write(LogCategory category, LogLevel level, Format&& format) const {
    if (LogEnabled(category, level)) Write(category, level, std::string_view(format()));
  }

  void Debug(std::string_view m) const { Write(LogCategory::Events, LogLevel::Debug, m); }
  void Info(std::string_view m) const { Write(LogCategory::Events, LogLevel::Info, m); }
  void Warning(std::string_view m) const { Write(LogCategory::Events, LogLevel::Warning, m); }
  void Error(std::string_view m) const { Write(LogCategory::Events, LogLevel::Error, m); }
  template <std::invocable Format>
  void Debug(Format&& format) const {
    Write(LogCategory::Events, LogLevel::Debug, std::forward<Format>(format));
  }
  // The frame trace (debug entries of the trace category).
  template <std::invocable Format>
  void Trace(Format&& format) const {
    Write(LogCategory::Trace, LogLevel::Debug, std::forward<Format>(format));
  }
  bool TraceEnabled() const { return LogEnabled(LogCategory::Trace, LogLevel::Debug); }
  // The site whose frames this logger reports to the frame watcher.
  void SetSite(const void* site, std::string description) {
    site_ = site;
    description_ = std::move(description);
  }
  // A frame sent (">") or received ("<"): to the trace log and to the frame watcher, each only
  // when on.
  void Frame(bool outgoing, std::string_view bytes) const;
  bool FramesWanted() const { return FramesWatched() || TraceEnabled(); }

  // The reason behind a failure, in the words an operator needs (the device path and the
  // system's text, host:port, the Modbus exception): logged as a warning when it differs from
  // the last one logged, so a device that stays away does not flood the log, and kept as the
  // current cause until ForgetCause (a new command starts).
  void Cause(const std::string& text) const;
  const std::string& CurrentCause() const { return cause_; }
  void ForgetCause() const { cause_.clear(); }

 private:
  std::string prefix_;
  const void* site_ = nullptr;
  std::string description_;
  mutable std::string cause_;
  mutable std::string loggedCause_;
};

}  // namespace qmb
