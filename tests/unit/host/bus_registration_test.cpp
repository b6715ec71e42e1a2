// Start switches and the registration files (activation file and interface description).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "host/Registration.h"

namespace qmb {
namespace {

namespace fs = std::filesystem;

TEST(StartSwitches, DashOrSlashAnyCaseAndTheListOrderDecides) {
  EXPECT_EQ(StartModeFromArguments({}), StartMode::Standalone);
  EXPECT_EQ(StartModeFromArguments({"/regserver"}), StartMode::Register);
  EXPECT_EQ(StartModeFromArguments({"-RegServer"}), StartMode::Register);
  EXPECT_EQ(StartModeFromArguments({"-Embedding"}), StartMode::Automation);
  EXPECT_EQ(StartModeFromArguments({"/AUTOMATION"}), StartMode::Automation);
  EXPECT_EQ(StartModeFromArguments({"/UNREGSERVER"}), StartMode::Unregister);
  // Tested in the order AUTOMATION, EMBEDDING, REGSERVER, UNREGSERVER, not argument order.
  EXPECT_EQ(StartModeFromArguments({"/unregserver", "/regserver"}), StartMode::Register);
  EXPECT_EQ(StartModeFromArguments({"-regserver", "-embedding"}), StartMode::Automation);
  // Near misses are not switches.
  EXPECT_FALSE(IsStartSwitch("--regserver"));
  EXPECT_FALSE(IsStartSwitch("regserver"));
  EXPECT_FALSE(IsStartSwitch("-regserve"));
  EXPECT_FALSE(IsStartSwitch("-"));
  EXPECT_TRUE(IsStartSwitch("/eMbEdDiNg"));
}

TEST(ExecLine, PlainPathsStayAndOthersAreQuotedForTheDaemon) {
  EXPECT_EQ(QuoteExecArgument("/usr/bin/qormodbus"), "/usr/bin/qormodbus");
  EXPECT_EQ(QuoteExecArgument("/opt/Program Files/qormodbus"), "'/opt/Program Files/qormodbus'");
  EXPECT_EQ(QuoteExecArgument("/o/it's"), "'/o/it'\\''s'");
  EXPECT_EQ(QuoteExecArgument("/a$b"), "'/a$b'");
  EXPECT_EQ(QuoteExecArgument("/a\nb"), std::nullopt);

  std::string error;
  const auto text = ServiceFileText("/o/it's here/qormodbus", error);
  ASSERT_TRUE(text.has_value()) << error;
  // Key-file escaping on top of the quoting: the backslash is doubled.
  EXPECT_NE(text->find("\nExec='/o/it'\\\\''s here/qormodbus' -Embedding\n"), std::string::npos)
      << *text;
  EXPECT_NE(text->find("[D-BUS Service]\nName=QorModBus.QorModBusCom\n"), std::string::npos);
  EXPECT_FALSE(ServiceFileText("qormodbus", error).has_value());
  EXPECT_NE(error.find("not absolute"), std::string::npos);
}

class RegistrationFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qmb-registration-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    Save("XDG_DATA_HOME", savedData);
    Save("HOME", savedHome);
    Save("XDG_DATA_DIRS", savedDirs);
    setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
  }
  void TearDown() override {
    Restore("XDG_DATA_HOME", savedData);
    Restore("HOME", savedHome);
    Restore("XDG_DATA_DIRS", savedDirs);
    fs::remove_all(root);
  }
  static void Save(const char* name, std::optional<std::string>& saved) {
    if (const char* value = std::getenv(name)) saved = value;
  }
  static void Restore(const char* name, const std::optional<std::string>& saved) {
    if (saved)
      setenv(name, saved->c_str(), 1);
    else
      unsetenv(name);
  }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path root;
  std::optional<std::string> savedData, savedHome, savedDirs;
};

TEST_F(RegistrationFilesTest, InstalledActivationFileCountsOnlyWhenItStartsThisProgram) {
  const fs::path program = root / "bin" / "qormodbus";
  fs::create_directories(program.parent_path());
  std::ofstream(program) << "#!/bin/sh\n";
  fs::create_symlink(program, root / "bin" / "linked");
  const fs::path services = root / "share" / "dbus-1" / "services";
  fs::create_directories(services);
  const fs::path file = services / "QorModBus.QorModBusCom.service";
  setenv("XDG_DATA_DIRS",
         ("relative:" + (root / "empty").string() + ":" + (root / "share").string()).c_str(), 1);
  struct Case {
    std::string exec;  // "" for no file
    std::string expected;
  };
  const std::vector<Case> cases{
      {"", ""},
      {"Exec=" + program.string() + " -Embedding", file.string()},
      {"Exec=" + (root / "bin" / "linked").string() + " -Embedding", file.string()},
      {"Exec='" + program.string() + "' -Embedding", file.string()},
      {"Exec=/usr/bin/another -Embedding", ""},
      {"Exec=" + program.string() + "-old -Embedding", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exec);
    fs::remove(file);
    if (!c.exec.empty())
      std::ofstream(file) << "[D-BUS Service]\nName=QorModBus.QorModBusCom\n" << c.exec << "\n";
    EXPECT_EQ(InstalledActivationFile(program.string()), c.expected);
  }
}

TEST_F(RegistrationFilesTest, DataHomeFollowsTheBaseDirectoryRules) {
  std::string error;
  EXPECT_EQ(DataHome(error), (root / "data").string());
  // A relative XDG_DATA_HOME is ignored in favour of ~/.local/share.
  setenv("XDG_DATA_HOME", "relative/dir", 1);
  setenv("HOME", root.c_str(), 1);
  EXPECT_EQ(DataHome(error), (root / ".local/share").string());
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(DataHome(error), (root / ".local/share").string());
}

TEST_F(RegistrationFilesTest, RegisterWritesBothFilesAndUnregisterRemovesThem) {
  std::string error;
  ASSERT_TRUE(RegisterServer("/usr/bin/qormodbus", "<node/>\n", error)) << error;
  const RegistrationFiles files = RegistrationPaths((root / "data").string());
  EXPECT_EQ(files.serviceFile,
            (root / "data/dbus-1/services/QorModBus.QorModBusCom.service").string());
  EXPECT_NE(Read(files.serviceFile).find("Exec=/usr/bin/qormodbus -Embedding\n"),
            std::string::npos);
  EXPECT_EQ(Read(files.interfaceFile), "<node/>\n");
  // Registering again replaces, leaving no temporary files behind.
  ASSERT_TRUE(RegisterServer("/opt/q/qormodbus", "<node></node>\n", error)) << error;
  EXPECT_NE(Read(files.serviceFile).find("Exec=/opt/q/qormodbus -Embedding\n"), std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(root / "data/dbus-1/services"),
                          fs::directory_iterator()),
            1);

  ASSERT_TRUE(UnregisterServer(error)) << error;
  EXPECT_FALSE(fs::exists(files.serviceFile));
  EXPECT_FALSE(fs::exists(files.interfaceFile));
  // Nothing to remove is no error.
  EXPECT_TRUE(UnregisterServer(error)) << error;
}

TEST_F(RegistrationFilesTest, LinksPlantedAtTheFilesOrTheirTemporariesAreNeverFollowed) {
  const RegistrationFiles files = RegistrationPaths((root / "data").string());
  std::ofstream(root / "victim") << "precious\n";
  ASSERT_EQ(chmod((root / "victim").c_str(), 0600), 0);
  fs::create_directories(fs::path(files.serviceFile).parent_path());
  fs::create_directories(fs::path(files.interfaceFile).parent_path());
  // The final names, and the temporary names a writer using its process id would pick.
  const std::string pid = std::to_string(getpid());
  for (const std::string& path :
       {files.serviceFile, files.interfaceFile + ".tmp-" + pid, files.serviceFile + ".tmp-" + pid})
    fs::create_symlink(root / "victim", path);

  std::string error;
  ASSERT_TRUE(RegisterServer("/usr/bin/qormodbus", "<node/>\n", error)) << error;
  EXPECT_EQ(Read(root / "victim"), "precious\n");
  struct stat info {};
  ASSERT_EQ(stat((root / "victim").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  for (const std::string& path : {files.serviceFile, files.interfaceFile}) {
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode)) << path;
    EXPECT_EQ(info.st_mode & 0777, 0644u) << path;
  }
  EXPECT_EQ(Read(files.interfaceFile), "<node/>\n");
}

TEST_F(RegistrationFilesTest, AnUnwritablePlaceIsReportedWithTheReason) {
  std::ofstream(root / "blocker").put('x');
  setenv("XDG_DATA_HOME", (root / "blocker").c_str(), 1);
  std::string error;
  EXPECT_FALSE(RegisterServer("/usr/bin/qormodbus", "<node/>", error));
  EXPECT_NE(error.find("blocker"), std::string::npos) << error;
}

}  // namespace
}  // namespace qmb
