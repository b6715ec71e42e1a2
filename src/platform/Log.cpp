#include "platform/Log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <unistd.h>

namespace qmb {

namespace {

LogLevel LevelFromEnvironment() {
  const char* text = std::getenv("QORMODBUS_LOGLEVEL");
  if (!text) return LogLevel::Info;
  if (!std::strcmp(text, "debug")) return LogLevel::Debug;
  if (!std::strcmp(text, "warning")) return LogLevel::Warning;
  if (!std::strcmp(text, "error")) return LogLevel::Error;
  return LogLevel::Info;
}

void StandardErrorSink(LogLevel level, const std::string& message) {
  const std::string line = FormatLogLine(level, message);
  std::fwrite(line.data(), 1, line.size(), stderr);
}

LogLevel& Level() {
  static LogLevel level = LevelFromEnvironment();
  return level;
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

void LogWrite(LogLevel level, const std::string& message) {
  if (level < Level()) return;
  if (Sink()) Sink()(level, message);
}

void SetLogLevel(LogLevel level) {
  Level() = level;
}
LogLevel CurrentLogLevel() {
  return Level();
}
void SetLogSink(LogSink sink) {
  Sink() = sink ? std::move(sink) : LogSink(StandardErrorSink);
}

}  // namespace qmb
