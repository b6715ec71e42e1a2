#include "platform/Log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

const char* LevelName(LogLevel level) {
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

void StandardErrorSink(LogLevel level, const std::string& message) {
  std::timespec now{};
  std::timespec_get(&now, TIME_UTC);
  std::tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(stderr, "%s.%03ld qormodbus %s: %s\n", stamp, now.tv_nsec / 1000000,
               LevelName(level), message.c_str());
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
