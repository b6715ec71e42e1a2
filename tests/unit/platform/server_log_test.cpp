// The log of a bus-started server: a file only its user can read, with levels, that never grows
// without bound.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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

}  // namespace
}  // namespace qmb
