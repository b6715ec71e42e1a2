// Log categories, their thresholds and lists, the lazy forms and the per-source prefix.
#include "platform/Log.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qmb {
namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLogLevels();
    SetLogSink(
        [this](LogLevel level, const std::string& text) { lines.emplace_back(level, text); });
  }
  void TearDown() override {
    SetLogSink(nullptr);
    ResetLogLevels();
  }
  std::vector<std::pair<LogLevel, std::string>> lines;
};

TEST_F(LogTest, CategoriesHaveTheirOwnThresholds) {
  SetLogLevel(LogLevel::Info);
  EXPECT_FALSE(LogEnabled(LogCategory::Trace, LogLevel::Debug)) << "the trace is off until asked";
  EXPECT_FALSE(LogEnabled(LogCategory::Trace, LogLevel::Error));
  EXPECT_TRUE(LogEnabled(LogCategory::Bus, LogLevel::Info)) << "bus calls follow the level";
  SetLogLevel(LogLevel::Debug);
  EXPECT_TRUE(LogEnabled(LogCategory::Bus, LogLevel::Debug));
  EXPECT_TRUE(LogEnabled(LogCategory::Events, LogLevel::Debug));
  EXPECT_FALSE(LogEnabled(LogCategory::Trace, LogLevel::Debug));

  SetCategoryLevel(LogCategory::Bus, LogLevel::Warning);
  SetCategoryLevel(LogCategory::Trace, LogLevel::Debug);
  EXPECT_FALSE(LogEnabled(LogCategory::Bus, LogLevel::Info));
  EXPECT_TRUE(LogEnabled(LogCategory::Trace, LogLevel::Debug));
  EXPECT_FALSE(LogEnabled(LogCategory::Events, LogLevel::Off)) << "nothing is written at Off";

  LogWrite(LogCategory::Bus, LogLevel::Info, "dropped");
  LogWrite(LogCategory::Bus, LogLevel::Warning, "kept");
  LogWrite(LogCategory::Trace, LogLevel::Debug, "> 01 03");
  LogInfo("plain");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].second, "[bus] kept");
  EXPECT_EQ(lines[1].second, "[trace] > 01 03");
  EXPECT_EQ(lines[2].second, "plain") << "events carry no tag";
}

TEST_F(LogTest, CategoryLists) {
  struct Case {
    const char* list;
    bool valid;
    LogLevel bus, trace;
  };
  const Case cases[] = {
      {"trace", true, LogLevel::Info, LogLevel::Debug},
      {"trace=debug,bus=warning", true, LogLevel::Warning, LogLevel::Debug},
      {"bus=off,,", true, LogLevel::Off, LogLevel::Off},
      {"", true, LogLevel::Info, LogLevel::Off},
      {"trace=loud", false, LogLevel::Info, LogLevel::Off},
      {"bus=debug,frames=debug", false, LogLevel::Info, LogLevel::Off},  // nothing applied
      {"=debug", false, LogLevel::Info, LogLevel::Off},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    ResetLogLevels();
    SetLogLevel(LogLevel::Info);
    EXPECT_EQ(ConfigureLogCategories(c.list), c.valid);
    EXPECT_EQ(CategoryLevel(LogCategory::Bus), c.bus);
    EXPECT_EQ(CategoryLevel(LogCategory::Trace), c.trace);
    EXPECT_EQ(CategoryLevel(LogCategory::Events), LogLevel::Info);
  }
}

TEST_F(LogTest, LoggerPrefixesAndBuildsTextsOnlyWhenWritten) {
  SetLogLevel(LogLevel::Info);
  Logger site("Site \"Plant 3\": ");
  int built = 0;
  const auto frame = [&] {
    ++built;
    return std::string("> 01 03 00 63 00 01");
  };
  site.Trace(frame);
  site.Debug(frame);
  EXPECT_EQ(built, 0) << "nothing built for entries that are off";
  EXPECT_FALSE(site.TraceEnabled());

  SetCategoryLevel(LogCategory::Trace, LogLevel::Debug);
  site.Trace(frame);
  site.Warning("poll failed");
  EXPECT_EQ(built, 1);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::make_pair(LogLevel::Debug,
                                     std::string("[trace] Site \"Plant 3\": > 01 03 00 63 00 01")));
  EXPECT_EQ(lines[1],
            std::make_pair(LogLevel::Warning, std::string("Site \"Plant 3\": poll failed")));
}

TEST_F(LogTest, FramesGoToTheWatcherAndTheTraceEachOnlyWhileOn) {
  SetLogLevel(LogLevel::Info);
  int engine = 0;  // stands for the engine whose address identifies the site
  Logger site("Site \"Plant 3\": ");
  site.SetSite(&engine, "Plant 3");
  std::vector<std::string> seen;
  EXPECT_FALSE(site.FramesWanted());
  site.Frame(true, std::string("\x01\x03", 2));
  EXPECT_TRUE(lines.empty());

  SetFrameWatcher([&](const void* source, const std::string& description, bool outgoing,
                      std::string_view bytes) {
    EXPECT_EQ(source, &engine);
    seen.push_back(description + (outgoing ? " > " : " < ") + std::string(bytes));
  });
  EXPECT_TRUE(site.FramesWanted()) << "a watcher wants the received bytes too";
  site.Frame(true, "ab");
  site.Frame(false, "cd");
  EXPECT_EQ(seen, (std::vector<std::string>{"Plant 3 > ab", "Plant 3 < cd"}));
  EXPECT_TRUE(lines.empty()) << "watching does not switch the trace log on";

  SetCategoryLevel(LogCategory::Trace, LogLevel::Debug);
  SetFrameWatcher(nullptr);
  site.Frame(false, std::string("\x01\x83\x02", 3));
  EXPECT_EQ(seen.size(), 2u);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].second, "[trace] Site \"Plant 3\": < 01 83 02");
}

}  // namespace
}  // namespace qmb
