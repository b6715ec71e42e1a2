// COM numbers to devices: which folder of links wins, what the log is told, and a config file
// whose bad lines are warned about once and never stop the lookup.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/ComPorts.h"
#include "platform/Log.h"

namespace qmb {
namespace {

namespace fs = std::filesystem;

class ComPortsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qmb-com-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    for (const char* sub : {"env", "conf", "default", "xdg/qormodbus", "home"})
      fs::create_directories(dir / sub);
    level = CurrentLogLevel();
    SetLogLevel(LogLevel::Info);
    SetLogSink([this](LogLevel, const std::string& line) { logged.push_back(line); });
    for (const char* name : {"XDG_CONFIG_HOME", "HOME", "QORMODBUS_COMDIR"}) {
      const char* value = std::getenv(name);
      saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
  }
  void TearDown() override {
    SetLogSink(nullptr);
    SetLogLevel(level);
    for (const auto& [name, value] : saved)
      value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    fs::remove_all(dir);
  }
  std::string Link(const std::string& folder, const std::string& target) {
    const fs::path link = dir / folder / "COM3";
    fs::create_symlink(target, link);
    return link.string();
  }
  std::string WriteConfig(const std::string& text) {
    const fs::path file = dir / "xdg/qormodbus/qormodbus.conf";
    std::ofstream(file) << text;
    return file.string();
  }
  ComPortPlaces Places(bool environment, const std::string& configFile) const {
    return {environment ? (dir / "env").string() : "", configFile, (dir / "default").string()};
  }

  fs::path dir;
  LogLevel level{};
  std::vector<std::string> logged;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

TEST_F(ComPortsTest, TheFirstFolderHoldingTheLinkWinsAndTheFallbackComesLast) {
  struct Case {
    const char* name;
    bool environment;                // $QORMODBUS_COMDIR names the env folder
    bool config;                     // the config file names the conf folder
    std::vector<const char*> links;  // folders holding COM3
    const char* expected;            // folder of the link used; nullptr: /dev/ttyS2
    const char* tried;
  };
  const Case cases[] = {
      {"all three hold it: the environment beats the file",
       true,
       true,
       {"env", "conf", "default"},
       "env",
       ""},
      {"an environment folder without it is passed over",
       true,
       true,
       {"conf", "default"},
       "conf",
       "$QORMODBUS_COMDIR=@/env (no COM3)"},
      {"the file beats the default folder",
       false,
       true,
       {"conf", "default"},
       "conf",
       "$QORMODBUS_COMDIR unset"},
      {"the default folder",
       false,
       false,
       {"default"},
       "default",
       "$QORMODBUS_COMDIR unset, config COMDIR unset"},
      {"the default folder behind two that lack it",
       true,
       true,
       {"default"},
       "default",
       "$QORMODBUS_COMDIR=@/env (no COM3), config COMDIR=@/conf (no COM3)"},
      {"no link anywhere",
       true,
       true,
       {},
       nullptr,
       "$QORMODBUS_COMDIR=@/env (no COM3), config COMDIR=@/conf (no COM3), @/default (no COM3)"},
      {"a folder named in the file only counts through the file",
       false,
       false,
       {"conf"},
       nullptr,
       "$QORMODBUS_COMDIR unset, config COMDIR unset, @/default (no COM3)"},
  };
  const auto expand = [&](std::string text) {
    for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, dir.string());
    return text;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir / "env/COM3");
    fs::remove_all(dir / "conf/COM3");
    fs::remove_all(dir / "default/COM3");
    // A dangling link counts: its device gone must not send the bytes to another one.
    for (const char* folder : c.links) Link(folder, "/nonexistent/ttyUSB7");
    const std::string file = WriteConfig(c.config ? "COMDIR=" + (dir / "conf").string() : "");

    const ComPortLookup lookup = LookUpComPort(3, Places(c.environment, file));
    EXPECT_EQ(lookup.path, c.expected ? (dir / c.expected / "COM3").string() : "/dev/ttyS2");
    EXPECT_EQ(lookup.viaLink, c.expected != nullptr);
    EXPECT_EQ(lookup.tried, expand(c.tried));
  }
  EXPECT_EQ(LookUpComPort(0, Places(true, "")).path, "");
}

TEST_F(ComPortsTest, TheLogLineNamesLinkDeviceSourceAndWhatWasTried) {
  Link("default", "/dev/null");
  const ComPortLookup lookup = LookUpComPort(3, Places(false, ""));
  EXPECT_EQ(lookup.Describe(3), "COM3: " + (dir / "default/COM3").string() +
                                    " -> /dev/null (from " + (dir / "default").string() +
                                    "; tried $QORMODBUS_COMDIR unset, config COMDIR unset)");

  Link("env", "/nonexistent/ttyUSB7");
  EXPECT_EQ(LookUpComPort(3, Places(true, "")).Describe(3),
            "COM3: " + (dir / "env/COM3").string() +
                " -> nothing (No such file or directory) (from $QORMODBUS_COMDIR)");

  const std::string file = WriteConfig("COMDIR=" + (dir / "conf").string() + "\n");
  Link("conf", "/dev/null");
  EXPECT_EQ(LookUpComPort(3, Places(false, file)).source, "config COMDIR in " + file);
}

TEST_F(ComPortsTest, BadConfigLinesAreWarnedOnceWithFileAndLineAndSkipped) {
  const std::string file = WriteConfig(
      "# where the udev rule's links are not\n"
      "\n"
      "  COMDIR = /first  \n"
      "this line has no equals sign\n"
      "BAUD=9600\n"
      "COMDIR=relative/path\n"
      "COMDIR=/srv/com\n");
  EXPECT_EQ(ConfigComDir(file), "/srv/com");
  EXPECT_EQ(ConfigComDir(file), "/srv/com");
  ASSERT_EQ(logged.size(), 3u) << "each bad line once, however often the file is read";
  EXPECT_NE(logged[0].find(file + ":4: not a KEY=VALUE line"), std::string::npos) << logged[0];
  EXPECT_NE(logged[1].find(file + ":5: unknown setting \"BAUD\""), std::string::npos) << logged[1];
  EXPECT_NE(logged[2].find(file + ":6: COMDIR must be an absolute path"), std::string::npos)
      << logged[2];

  EXPECT_EQ(ConfigComDir((dir / "no-such.conf").string()), "");
  EXPECT_EQ(ConfigComDir(""), "");
}

TEST_F(ComPortsTest, TheConfigFileFollowsXdgConfigHomeElseHome) {
  struct Case {
    const char* xdg;   // nullptr: unset
    const char* home;  // nullptr: unset
    std::string expected;
  };
  const Case cases[] = {
      {"/x/config", "/h", "/x/config/qormodbus/qormodbus.conf"},
      {"", "/h", "/h/.config/qormodbus/qormodbus.conf"},
      {"relative/config", "/h", "/h/.config/qormodbus/qormodbus.conf"},
      {nullptr, "/h", "/h/.config/qormodbus/qormodbus.conf"},
      {nullptr, nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xdg ? c.xdg : "(unset)");
    c.xdg ? setenv("XDG_CONFIG_HOME", c.xdg, 1) : unsetenv("XDG_CONFIG_HOME");
    c.home ? setenv("HOME", c.home, 1) : unsetenv("HOME");
    EXPECT_EQ(ConfigFilePath(), c.expected);
  }

  // Through the environment end to end: a temporary XDG_CONFIG_HOME's file names the folder.
  setenv("XDG_CONFIG_HOME", (dir / "xdg").c_str(), 1);
  unsetenv("QORMODBUS_COMDIR");
  WriteConfig("COMDIR=" + (dir / "conf").string() + "\n");
  Link("conf", "/dev/null");
  const ComPortPlaces places = ComPortPlaces::FromEnvironment();
  EXPECT_EQ(places.defaultDir, "/dev/qormodbus");
  EXPECT_EQ(LookUpComPort(3, places).path, (dir / "conf/COM3").string());
}

}  // namespace
}  // namespace qmb
