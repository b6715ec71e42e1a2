// The program's log: levels, one line per entry, to standard error (and wherever a sink sends it).
#pragma once

#include <functional>
#include <string>

namespace qmb {

enum class LogLevel { Debug = 0, Info = 1, Warning = 2, Error = 3 };

void LogWrite(LogLevel level, const std::string& message);
inline void LogDebug(const std::string& m) {
  LogWrite(LogLevel::Debug, m);
}
inline void LogInfo(const std::string& m) {
  LogWrite(LogLevel::Info, m);
}
inline void LogWarning(const std::string& m) {
  LogWrite(LogLevel::Warning, m);
}
inline void LogError(const std::string& m) {
  LogWrite(LogLevel::Error, m);
}

// "debug", "info", "warning", "error".
const char* LogLevelName(LogLevel level);
// One line as the program writes it: local time with milliseconds, "qormodbus[pid]", the level
// and the message, ending with a line feed.
std::string FormatLogLine(LogLevel level, const std::string& message);

// Entries below this level are dropped. Default: Info; QORMODBUS_LOGLEVEL=debug|info|warning|error.
void SetLogLevel(LogLevel level);
LogLevel CurrentLogLevel();
// Replaces the default standard-error sink (tests capture lines; the server adds the journal).
using LogSink = std::function<void(LogLevel, const std::string&)>;
void SetLogSink(LogSink sink);

}  // namespace qmb
