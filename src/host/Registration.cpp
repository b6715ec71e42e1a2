#include "host/Registration.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace qmb {

namespace {

namespace fs = std::filesystem;

bool SameIgnoringCase(const std::string& a, const char* b) {
  const size_t length = std::strlen(b);
  if (a.size() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = a[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != b[i]) return false;
  }
  return true;
}

constexpr const char* kSwitches[] = {"AUTOMATION", "EMBEDDING", "REGSERVER", "UNREGSERVER"};
constexpr StartMode kSwitchModes[] = {StartMode::Automation, StartMode::Automation,
                                      StartMode::Register, StartMode::Unregister};

bool IsSwitch(const std::string& argument, const char* name) {
  if (argument.size() < 2 || (argument[0] != '-' && argument[0] != '/')) return false;
  return SameIgnoringCase(argument.substr(1), name);
}

std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home == '/') return home;
  const passwd* entry = getpwuid(getuid());
  if (entry && entry->pw_dir && entry->pw_dir[0] == '/') return entry->pw_dir;
  return {};
}

// Writes the file next to its final place and renames it over, so the bus daemon, which may read
// the directory at any moment, never sees half a file. The temporary file is created afresh under
// a name nobody can guess (mkstemp: O_EXCL, never through a link someone planted there), and the
// rename replaces whatever has the final name, a link included, without following it.
bool WriteFileAtomically(const fs::path& path, const std::string& text, std::string& error) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  if (ec) {
    error = "cannot create " + path.parent_path().string() + ": " + ec.message();
    return false;
  }
  std::string temporary = path.string() + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    error = "cannot write " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  bool written = fchmod(fd, 0644) == 0;  // the daemon may run as another user
  for (size_t done = 0; written && done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) done += static_cast<size_t>(n);
  }
  written = written && fsync(fd) == 0;
  const int writeError = errno;
  close(fd);
  if (!written) {
    error = "cannot write " + temporary + ": " + std::strerror(writeError);
    unlink(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path.string() + ": " + std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool RemoveFile(const fs::path& path, std::string& error) {
  std::error_code ec;
  fs::remove(path, ec);  // false without an error when the file is not there
  if (ec) {
    error = "cannot remove " + path.string() + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

bool IsStartSwitch(const std::string& argument) {
  for (const char* name : kSwitches)
    if (IsSwitch(argument, name)) return true;
  return false;
}

StartMode StartModeFromArguments(const std::vector<std::string>& arguments) {
  for (size_t s = 0; s < std::size(kSwitches); ++s)
    for (const std::string& argument : arguments)
      if (IsSwitch(argument, kSwitches[s])) return kSwitchModes[s];
  return StartMode::Standalone;
}

const char* StartModeName(StartMode mode) {
  switch (mode) {
    case StartMode::Standalone:
      return "standalone";
    case StartMode::Automation:
      return "automation";
    case StartMode::Register:
      return "register";
    case StartMode::Unregister:
      return "unregister";
  }
  return "?";
}

std::string DataHome(std::string& error) {
  // A relative XDG_DATA_HOME is to be ignored (XDG base directory rules): it would depend on
  // whichever directory the server happened to be started in.
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/') return data;
  const std::string home = HomeDirectory();
  if (home.empty()) {
    error = "neither XDG_DATA_HOME nor a home directory is set";
    return {};
  }
  return home + "/.local/share";
}

RegistrationFiles RegistrationPaths(const std::string& dataHome) {
  const std::string base = dataHome + "/dbus-1/";
  return {base + "services/" + kBusName + ".service", base + "interfaces/" + kBusName + ".xml"};
}

std::optional<std::string> QuoteExecArgument(const std::string& argument) {
  bool plain = !argument.empty();
  for (const char c : argument) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return std::nullopt;  // a key file value is one line
    const bool harmless = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || std::strchr("/._+-=:,@%", c) != nullptr ||
                          u >= 0x80;
    if (!harmless) plain = false;
  }
  if (plain) return argument;
  // The daemon splits Exec= like a shell: inside single quotes nothing is special, and a quote
  // itself is written as close-quote, escaped quote, open-quote.
  std::string quoted = "'";
  for (const char c : argument) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

std::optional<std::string> ServiceFileText(const std::string& executablePath, std::string& error) {
  if (executablePath.empty() || executablePath[0] != '/') {
    error = "the program path \"" + executablePath + "\" is not absolute";
    return std::nullopt;
  }
  const std::optional<std::string> exec = QuoteExecArgument(executablePath);
  if (!exec) {
    error = "the program path contains control characters and cannot be registered";
    return std::nullopt;
  }
  char version[16];
  std::snprintf(version, sizeof version, "%d.%d", kTypeLibraryMajor, kTypeLibraryMinor);
  std::string text;
  text += "# ";
  text += kClassDescription;
  text += " " + std::string(kClassId) + ", type library " + kTypeLibraryName + " " +
          kTypeLibraryId + " version " + version + ".\n";
  text +=
      "# Written by \"qormodbus -RegServer\" (and by every start); removed by "
      "\"qormodbus -UnregServer\".\n";
  text += "[D-BUS Service]\n";
  text += "Name=" + std::string(kBusName) + "\n";
  // The daemon reads the file as a key file first, where a backslash starts an escape.
  std::string value;
  for (const char c : *exec) value += c == '\\' ? std::string("\\\\") : std::string(1, c);
  text += "Exec=" + value + " -Embedding\n";
  return text;
}

namespace {

// The program an activation file's Exec= value starts: its first word, unquoted.
std::string ExecProgram(std::string value) {
  if (value.starts_with('\'')) {
    const size_t end = value.find('\'', 1);
    return end == std::string::npos ? std::string() : value.substr(1, end - 1);
  }
  return value.substr(0, value.find(' '));
}

}  // namespace

std::string InstalledActivationFile(const std::string& executablePath) {
  const char* dirs = std::getenv("XDG_DATA_DIRS");
  const std::string list = dirs && *dirs ? dirs : "/usr/local/share:/usr/share";
  for (size_t at = 0; at <= list.size();) {
    const size_t end = std::min(list.find(':', at), list.size());
    const std::string dir = list.substr(at, end - at);
    at = end + 1;
    if (dir.empty() || dir[0] != '/') continue;  // relative entries are ignored, as by the daemon
    const fs::path file =
        fs::path(dir) / "dbus-1" / "services" / (std::string(kBusName) + ".service");
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.starts_with("Exec=")) continue;
      const std::string program = ExecProgram(line.substr(5));
      std::error_code ignored;
      if (!program.empty() && fs::equivalent(program, executablePath, ignored))
        return file.string();
      break;
    }
  }
  return {};
}

bool RegisterServer(const std::string& executablePath, const std::string& introspectionXml,
                    std::string& error) {
  const std::string dataHome = DataHome(error);
  if (dataHome.empty()) return false;
  const std::optional<std::string> service = ServiceFileText(executablePath, error);
  if (!service) return false;
  const RegistrationFiles files = RegistrationPaths(dataHome);
  // The description first: a service the daemon can start is then always described.
  return WriteFileAtomically(files.interfaceFile, introspectionXml, error) &&
         WriteFileAtomically(files.serviceFile, *service, error);
}

bool UnregisterServer(std::string& error) {
  const std::string dataHome = DataHome(error);
  if (dataHome.empty()) return false;
  const RegistrationFiles files = RegistrationPaths(dataHome);
  // The activation file first: no host can start a server whose description is gone.
  bool ok = RemoveFile(files.serviceFile, error);
  std::string second;
  if (!RemoveFile(files.interfaceFile, second) && ok) {
    error = second;
    ok = false;
  }
  return ok;
}

}  // namespace qmb
