// The site window's log: lines of bytes are kept as bytes and written out when read, so what a
// reader sees must be what the line would have read had it been written at once.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "model/SiteWindowModel.h"
#include "platform/TextHelpers.h"

namespace qmb {
namespace {

TEST(WindowLog, LinesOfBytesReadAsWrittenAtOnceThroughTheBound) {
  // Bytes of every value, none, and a reply longer than a short string keeps in place.
  const std::string bytes[] = {std::string("\x00\x7F\x80\xFF", 4), "", std::string(40, '\xA5')};
  SiteWindowModel model;
  std::deque<std::string> expected;
  int changes = 0;
  model.OnChanged = [&] { ++changes; };
  // Past the bound, so that lines never read go out at the front; text and byte lines mixed.
  for (size_t i = 0; i < SiteWindowModel::kMaxLogLines + 7; ++i) {
    if (i % 4 == 0) {
      model.AddLogLine("line " + std::to_string(i));
      expected.push_back("line " + std::to_string(i));
    } else {
      const std::string& chunk = bytes[i % 3];
      model.AddLogBytes("Data In: ", chunk);
      expected.push_back("Data In: " + BytesToBracketHex(chunk));
    }
    if (expected.size() > SiteWindowModel::kMaxLogLines) expected.pop_front();
    // Some lines are read as they come (an open window), the rest only at the end.
    if (i % 5 == 0) {
      ASSERT_EQ(model.LogMmo.back(), expected.back()) << i;
    }
  }
  EXPECT_EQ(changes, static_cast<int>(SiteWindowModel::kMaxLogLines + 7));
  ASSERT_EQ(model.LogMmo.size(), SiteWindowModel::kMaxLogLines);
  EXPECT_EQ(model.LogMmo, expected);
  EXPECT_EQ(model.LogMmo.front(), expected.front());
  EXPECT_EQ(model.LogMmo[3], expected[3]);
  EXPECT_EQ(std::deque<std::string>(model.LogMmo.begin() + 10, model.LogMmo.begin() + 20),
            std::deque<std::string>(expected.begin() + 10, expected.begin() + 20));
  EXPECT_EQ(model.LogMmo.end() - model.LogMmo.begin(), static_cast<long>(expected.size()));
  EXPECT_EQ(model.LogMmo, expected) << "read twice, the same";

  model.ClearLog();
  EXPECT_TRUE(model.LogMmo.empty());
}

}  // namespace
}  // namespace qmb
