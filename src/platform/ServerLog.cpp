#include "platform/ServerLog.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
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
constexpr off_t kMaxLogFileBytes = 4L * 1024 * 1024;

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

const char* FileKind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "no regular file";
}

// Why the file cannot be the log file, or nothing when it can: only a regular file of ours with
// no other name is ever written, made private and rotated. A server running as root must not
// rename /dev/null, write through a link someone planted, or append to another user's file.
std::string Unfit(const std::string& path, const struct stat& info) {
  if (!S_ISREG(info.st_mode))
    return "the log file " + path + " is " + FileKind(info.st_mode) +
           ", not a regular file; not logging to it";
  if (info.st_uid != geteuid())
    return "the log file " + path + " belongs to another user (uid " + std::to_string(info.st_uid) +
           "); not logging to it";
  if (info.st_nlink > 1)
    return "the log file " + path + " has other names (hard links); not logging to it";
  return {};
}

// Opens the log file for appending, creating it private (0600: log lines carry site details such
// as addresses and phone numbers) and making an existing one private. -1 with the reason when the
// path names anything but a fit file. The link is not followed and a device is not even opened:
// the name is looked at first, and what was opened is checked again in case it changed between.
int OpenLogFile(const std::string& path, std::string& error) {
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) {
    error = Unfit(path, info);
    if (!error.empty()) return -1;
  } else if (errno != ENOENT) {
    error = "cannot open the log file " + path + ": " + std::strerror(errno);
    return -1;
  }
  const int fd =
      open(path.c_str(),
           O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = errno == ELOOP ? "the log file " + path + " is a symbolic link; not logging to it"
                           : "cannot open the log file " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (fstat(fd, &info) != 0) {
    error = "cannot open the log file " + path + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  error = Unfit(path, info);
  if (error.empty() && (info.st_mode & 07777) != 0600 && fchmod(fd, 0600) != 0)
    error = "cannot make the log file " + path + " private: " + std::strerror(errno);
  if (!error.empty()) {
    close(fd);
    return -1;
  }
  return fd;
}

class LogFile {
 public:
  bool Open(const std::string& path, std::string& error) {
    path_ = path;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    fd_ = OpenLogFile(path, error);
    if (fd_ < 0) return false;
    struct stat info {};
    written_ = fstat(fd_, &info) == 0 ? info.st_size : 0;
    if (written_ >= kMaxLogFileBytes) Rotate();
    if (fd_ < 0) error = lastError_;
    return fd_ >= 0;
  }
  ~LogFile() {
    if (fd_ >= 0) close(fd_);
  }
  void Write(const std::string& line) {
    if (fd_ < 0) return;
    if (written_ + static_cast<off_t>(line.size()) > kMaxLogFileBytes) {
      Rotate();
      if (fd_ < 0) {
        // Said once, where it can still be read; the other destinations go on.
        const std::string said = FormatLogLine(LogLevel::Error, lastError_);
        std::fputs(said.c_str(), stderr);
        return;
      }
    }
    for (size_t done = 0; done < line.size();) {
      const ssize_t n = write(fd_, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    written_ += static_cast<off_t>(line.size());
  }

 private:
  // The full file becomes <file>.1 and a new one starts. Only the file this process has open is
  // moved: should its name have been taken by something else meanwhile, that is left alone and
  // refused like at the start. When the file cannot be moved it starts over empty, so it still
  // never grows past the limit.
  void Rotate() {
    struct stat held {};
    struct stat named {};
    const bool ours = fstat(fd_, &held) == 0 && lstat(path_.c_str(), &named) == 0 &&
                      held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    if (ours && std::rename(path_.c_str(), (path_ + ".1").c_str()) != 0) {
      if (ftruncate(fd_, 0) == 0) {
        written_ = 0;
        return;
      }
    }
    close(fd_);
    fd_ = OpenLogFile(path_, lastError_);
    struct stat info {};
    written_ = fd_ >= 0 && fstat(fd_, &info) == 0 ? info.st_size : 0;
  }
  std::string path_;
  int fd_ = -1;
  off_t written_ = 0;
  std::string lastError_;
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

bool StandardErrorIsJournal() {
  // systemd names the stream it connected as "device:inode"; standard error is the journal only
  // while it is still that stream (a shell redirect in the unit makes it something else).
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  if (!stream || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat info {};
  if (fstat(STDERR_FILENO, &info) != 0) return false;
  return static_cast<unsigned long long>(info.st_dev) == device &&
         static_cast<unsigned long long>(info.st_ino) == inode;
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
  // Under systemd standard error is the journal, which keeps time, process and priority itself:
  // each entry goes there once, with its priority as a "<n>" prefix, and not to the system log
  // as well (which the journal would show a second time).
  const bool journal = StandardErrorIsJournal();
  const bool toSystemLog = options.toSystemLog && !journal;
  if (toSystemLog) openlog("qormodbus", LOG_PID, LOG_USER);
  SetLogSink([file, toSystemLog, journal](LogLevel level, const std::string& message) {
    const std::string line = FormatLogLine(level, message);
    if (journal) {
      const std::string entry = "<" + std::to_string(SyslogPriority(level)) + ">" + message + "\n";
      std::fputs(entry.c_str(), stderr);
    } else {
      std::fputs(line.c_str(), stderr);
    }
    if (file) file->Write(line);
    if (toSystemLog) syslog(SyslogPriority(level), "%s: %s", LogLevelName(level), message.c_str());
  });
  return ok;
}

}  // namespace qmb
