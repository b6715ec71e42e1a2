// The log of a bus-started server: a file only its user can read, with levels, that never grows
// without bound.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "platform/Log.h"
#include "platform/ServerLog.h"

namespace qmb {
namespace {

namespace fs = std::filesystem;

class ServerLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qmb-log-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    level = CurrentLogLevel();
    SetLogLevel(LogLevel::Debug);
  }
  void TearDown() override {
    SetLogSink(nullptr);
    SetLogLevel(level);
    fs::remove_all(dir);
  }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  fs::path dir;
  LogLevel level{};
};

TEST_F(ServerLogTest, LinesGoToAPrivateFileWithTheirLevel) {
  const fs::path file = dir / "state/qormodbus/qormodbus.log";
  std::string error;
  ASSERT_TRUE(InstallServerLog({false, file.string()}, error)) << error;
  LogWarning("site \"A\" lost");
  LogDebug("details");
  const std::string text = Read(file);
  EXPECT_NE(text.find(" warning: site \"A\" lost\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" debug: details\n"), std::string::npos) << text;
  EXPECT_NE(text.find("qormodbus[" + std::to_string(getpid()) + "]"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(ServerLogTest, AFullFileMakesWayForANewOneKeepingThePrevious) {
  const fs::path file = dir / "server.log";
  std::string error;
  ASSERT_TRUE(InstallServerLog({false, file.string()}, error)) << error;
  const std::string line(1000, 'x');
  for (int i = 0; i < 4500; ++i) LogInfo(line);  // about 4.5 MB
  LogInfo("the last line");
  ASSERT_TRUE(fs::exists(file.string() + ".1"));
  EXPECT_LE(fs::file_size(file.string() + ".1"), 4u * 1024 * 1024);
  EXPECT_LT(fs::file_size(file), 1024u * 1024);
  EXPECT_NE(Read(file).find("the last line"), std::string::npos);
}

TEST_F(ServerLogTest, AnUnusableFileIsReportedAndTheRestStillLogs) {
  std::ofstream(dir / "blocker").put('x');
  std::string error;
  EXPECT_FALSE(InstallServerLog({false, (dir / "blocker/server.log").string()}, error));
  EXPECT_NE(error.find("blocker"), std::string::npos) << error;
  LogInfo("still fine");  // standard error only, no crash
}

TEST_F(ServerLogTest, OnlyARegularFileOfOursIsEverWrittenOrMovedAside) {
  std::ofstream(dir / "target") << "keep\n";
  struct Case {
    const char* name;
    const char* reason;
    std::function<bool(const fs::path&)> make;  // false: cannot be made here (skipped)
  };
  const Case cases[] = {
      {"directory", "is a directory", [](const fs::path& p) { return fs::create_directory(p); }},
      {"fifo", "is a FIFO", [](const fs::path& p) { return mkfifo(p.c_str(), 0600) == 0; }},
      {"link", "is a symbolic link",
       [&](const fs::path& p) { return symlink((dir / "target").c_str(), p.c_str()) == 0; }},
      // The null device's own numbers: a device is refused without being opened.
      {"device", "is a character device",
       [](const fs::path& p) { return mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0; }},
      {"other user's", "belongs to another user",
       [](const fs::path& p) {
         std::ofstream(p) << "theirs\n";
         return geteuid() == 0 && chown(p.c_str(), 65534, 65534) == 0;  // only root can make it
       }},
      {"hard-linked", "has other names",
       [&](const fs::path& p) { return link((dir / "target").c_str(), p.c_str()) == 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir / (std::string(c.name) + ".log");
    if (!c.make(path)) {
      // Said, not silent: a non-root run or a filesystem without device nodes leaves it out.
      std::printf("[  SKIPPED ] the %s case: cannot be made here (as root it can)\n", c.name);
      continue;
    }
    struct stat before {};
    ASSERT_EQ(lstat(path.c_str(), &before), 0);
    std::string error;
    EXPECT_FALSE(InstallServerLog({false, path.string()}, error));
    EXPECT_NE(error.find(path.string() + " " + c.reason), std::string::npos) << error;
    LogInfo("goes to standard error only");
    struct stat after {};
    ASSERT_EQ(lstat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "replaced";
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_FALSE(fs::exists(fs::symlink_status(path.string() + ".1"))) << "moved aside";
  }
  EXPECT_EQ(Read(dir / "target"), "keep\n");
}

TEST_F(ServerLogTest, AnExistingFileIsMadePrivateAndKept) {
  const fs::path file = dir / "server.log";
  std::ofstream(file) << "earlier\n";
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  std::string error;
  ASSERT_TRUE(InstallServerLog({false, file.string()}, error)) << error;
  LogInfo("later");
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(Read(file).rfind("earlier\n", 0), 0u);
  EXPECT_NE(Read(file).find("later"), std::string::npos);
}

TEST_F(ServerLogTest, ALinkPlantedAtTheNameWhileLoggingIsNeitherFollowedNorMoved) {
  const fs::path file = dir / "server.log";
  std::ofstream(dir / "target") << "keep\n";
  std::string error;
  ASSERT_TRUE(InstallServerLog({false, file.string()}, error)) << error;
  LogInfo("first");
  fs::remove(file);
  fs::create_symlink(dir / "target", file);
  const std::string line(8000, 'x');
  for (int i = 0; i < 600; ++i) LogInfo(line);  // past the size where the file is rotated
  EXPECT_TRUE(fs::is_symlink(file));
  EXPECT_FALSE(fs::exists(fs::symlink_status(file.string() + ".1")));
  EXPECT_EQ(Read(dir / "target"), "keep\n");
}

TEST_F(ServerLogTest, AHugeHostTextNeitherForgesLinesNorPushesTheHistoryOut) {
  const fs::path file = dir / "server.log";
  std::string error;
  ASSERT_TRUE(InstallServerLog({false, file.string()}, error)) << error;
  LogInfo("history");
  Logger site("Site \"" + LoggedText(std::string(10 * 1024 * 1024, 'D')) + "\": ");
  site.Info("open\n2026-01-01 00:00:00.000 qormodbus[1] error: forged\x1b[2J");
  LogInfo(std::string(10 * 1024 * 1024, 'E'));
  EXPECT_FALSE(fs::exists(file.string() + ".1"));
  const std::string text = Read(file);
  EXPECT_NE(text.find("history"), std::string::npos);
  EXPECT_NE(text.find("D... (10485760 characters)\": open\\n2026-01-01"), std::string::npos);
  EXPECT_NE(text.find("forged\\x1b[2J\n"), std::string::npos);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  EXPECT_LT(text.size(), 2 * kLogEntryLimit);
}

// Under systemd (standard error is the stream JOURNAL_STREAM names) entries carry their
// priority and no time of ours, and the file keeps the full lines; elsewhere nothing changes.
TEST_F(ServerLogTest, TheJournalGetsPrioritiesInsteadOfTimes) {
  const fs::path journal = dir / "journal";
  const int fd = ::open(journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  ASSERT_EQ(dup2(fd, STDERR_FILENO), STDERR_FILENO);
  struct stat info {};
  ASSERT_EQ(fstat(fd, &info), 0);
  const std::string stream = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  for (const bool underSystemd : {true, false}) {
    setenv("JOURNAL_STREAM", underSystemd ? stream.c_str() : "1:2", 1);
    EXPECT_EQ(StandardErrorIsJournal(), underSystemd);
    std::string error;
    ASSERT_TRUE(InstallServerLog({false, (dir / "server.log").string()}, error)) << error;
    LogWarning(underSystemd ? "port gone" : "port back");
    LogInfo("line");
    std::fflush(stderr);
  }
  unsetenv("JOURNAL_STREAM");
  dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(fd);
  const std::string written = Read(journal);
  EXPECT_TRUE(written.starts_with("<4>port gone\n<6>line\n")) << written;
  EXPECT_NE(written.find(" warning: port back\n"), std::string::npos) << written;
  EXPECT_NE(Read(dir / "server.log").find(" warning: port gone\n"), std::string::npos);
}

}  // namespace
}  // namespace qmb
