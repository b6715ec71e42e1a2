#include "platform/ServerLog.h"

#include <fcntl.h>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/Log.h"

namespace qmb {

namespace {

// A log file never grows past this; the previous one is kept as <file>.1.
constexpr long kMaxLogFileBytes = 4L * 1024 * 1024;

int SyslogPriority(LogLevel level) {
  switch (level) {
    case LogLevel::Debug:
      return LOG_DEBUG;
    case LogLevel::Info:
      return LOG_INFO;
    case LogLevel::Warning:
      return LOG_WARNING;
    case LogLevel::Error:
    case LogLevel::Off:  // a threshold, never an entry's level
      return LOG_ERR;
  }
  return LOG_INFO;
}

// Log lines can carry site details (addresses, phone numbers): the file is the user's alone.
std::FILE* OpenForAppending(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "a");
  if (!file) close(fd);
  return file;
}

class LogFile {
 public:
  bool Open(const std::string& path, std::string& error) {
    path_ = path;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (std::filesystem::exists(path, ec) &&
        std::filesystem::file_size(path, ec) >= kMaxLogFileBytes)
      Rotate();
    file_ = OpenForAppending(path);
    if (!file_) {
      error = "cannot open the log file " + path + ": " + std::strerror(errno);
      return false;
    }
    std::fseek(file_, 0, SEEK_END);
    written_ = std::ftell(file_);
    return true;
  }
  ~LogFile() {
    if (file_) std::fclose(file_);
  }
  void Write(const std::string& line) {
    if (!file_) return;
    if (written_ + static_cast<long>(line.size()) > kMaxLogFileBytes) {
      std::fclose(file_);
      Rotate();
      file_ = OpenForAppending(path_);
      written_ = 0;
      if (!file_) return;
    }
    std::fputs(line.c_str(), file_);
    std::fflush(file_);
    written_ += static_cast<long>(line.size());
  }

 private:
  void Rotate() {
    std::error_code ec;
    std::filesystem::rename(path_, path_ + ".1", ec);
  }
  std::string path_;
  std::FILE* file_ = nullptr;
  long written_ = 0;
};

}  // namespace

std::string DefaultServerLogFile() {
  std::string base;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/') {
    base = state;
  } else {
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h == '/') home = h;
    if (home.empty())
      if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) home = entry->pw_dir;
    if (home.empty()) return {};
    base = home + "/.local/state";
  }
  return base + "/qormodbus/qormodbus.log";
}

bool InstallServerLog(const ServerLogOptions& options, std::string& error) {
  std::shared_ptr<LogFile> file;
  bool ok = true;
  if (!options.logFile.empty()) {
    file = std::make_shared<LogFile>();
    if (!file->Open(options.logFile, error)) {
      file.reset();
      ok = false;
    }
  }
  if (options.toSystemLog) openlog("qormodbus", LOG_PID, LOG_USER);
  const bool toSystemLog = options.toSystemLog;
  SetLogSink([file, toSystemLog](LogLevel level, const std::string& message) {
    const std::string line = FormatLogLine(level, message);
    std::fputs(line.c_str(), stderr);
    if (file) file->Write(line);
    if (toSystemLog) syslog(SyslogPriority(level), "%s: %s", LogLevelName(level), message.c_str());
  });
  return ok;
}

}  // namespace qmb
