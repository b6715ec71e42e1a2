// Text triggers on a byte stream: matches across reads, case folding, only bytes after arming,
// repeated and overlapping hits, and handles.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/SerialPort.h"
#include "platform/TextTriggers.h"

namespace qmb {
namespace {

std::vector<uint16_t> Feed(TextTriggers& triggers, const std::string& bytes) {
  std::vector<uint16_t> hits;
  triggers.Scan(bytes.data(), bytes.size(), hits);
  return hits;
}

TEST(TextTriggers, MatchAcrossReadsAtAnyLengthUpToTheLimit) {
  TextTriggers triggers;
  const std::string longest = "0123456789abcdefghijK";  // 21 characters
  const uint16_t eol = triggers.Add("\r\n", false);
  const uint16_t tail = triggers.Add(longest, false);
  Feed(triggers, std::string(40, '-'));  // well past the history's length
  EXPECT_TRUE(Feed(triggers, "reply\r").empty());
  EXPECT_EQ(Feed(triggers, "\n"), (std::vector<uint16_t>{eol}));
  // The long text one byte at a time, then split at every other place.
  std::vector<uint16_t> hits;
  for (char c : longest) triggers.Scan(&c, 1, hits);
  EXPECT_EQ(hits, (std::vector<uint16_t>{tail}));
  for (size_t cut = 1; cut < longest.size(); ++cut) {
    EXPECT_TRUE(Feed(triggers, "xx" + longest.substr(0, cut)).empty()) << cut;
    EXPECT_EQ(Feed(triggers, longest.substr(cut)), (std::vector<uint16_t>{tail})) << cut;
  }
  EXPECT_TRUE(Feed(triggers, "0123456789abcdefghijk").empty()) << "case ignored";
}

TEST(TextTriggers, CaseFoldingIsAsciiOnly) {
  TextTriggers triggers;
  const uint16_t ok = triggers.Add("Ok>", true);
  EXPECT_EQ(Feed(triggers, "OK>ok>oK>"), (std::vector<uint16_t>{ok, ok, ok}));
  const uint16_t accent = triggers.Add("\xE9", true);  // Latin-1 e-acute
  EXPECT_TRUE(Feed(triggers, "\xC9").empty()) << "folded outside ASCII";
  EXPECT_EQ(Feed(triggers, "\xE9"), (std::vector<uint16_t>{accent}));
}

TEST(TextTriggers, HitsComeInStreamOrderOverlappingAndRepeated) {
  TextTriggers triggers;
  const uint16_t aa = triggers.Add("aa", false);
  const uint16_t ab = triggers.Add("ab", false);
  const uint16_t b = triggers.Add("b", false);
  EXPECT_EQ(Feed(triggers, "aaab"), (std::vector<uint16_t>{aa, aa, ab, b}));
}

TEST(TextTriggers, OnlyBytesAfterArmingCompleteATrigger) {
  TextTriggers triggers;
  Feed(triggers, "previous reply\r");
  const uint16_t eol = triggers.Add("\r\n", false);
  EXPECT_TRUE(Feed(triggers, "\n").empty()) << "matched the tail of an earlier reply";
  EXPECT_EQ(Feed(triggers, "\r\n"), (std::vector<uint16_t>{eol}));
  // The same with bytes seen while no trigger at all was held.
  triggers.Clear();
  EXPECT_TRUE(triggers.Empty());
  Feed(triggers, "O");
  const uint16_t ok = triggers.Add("OK", false);
  EXPECT_TRUE(Feed(triggers, "K").empty());
  EXPECT_EQ(Feed(triggers, "OK"), (std::vector<uint16_t>{ok}));
}

TEST(TextTriggers, HandlesArePositiveUniqueAndRemovable) {
  TextTriggers triggers;
  EXPECT_THROW(triggers.Add("", false), SerialError);
  EXPECT_THROW(triggers.Add(std::string(22, 'x'), false), SerialError);
  const uint16_t first = triggers.Add("x", false);
  const uint16_t second = triggers.Add("x", false);
  EXPECT_GT(first, 0);
  EXPECT_NE(first, second);
  EXPECT_TRUE(triggers.Remove(first));
  EXPECT_FALSE(triggers.Remove(first));
  EXPECT_FALSE(triggers.Contains(first));
  EXPECT_EQ(Feed(triggers, "x"), (std::vector<uint16_t>{second}));
  // Across the wrap of the 16-bit counter no handle is 0 and none held is issued again.
  for (int i = 0; i < 70000; ++i) {
    const uint16_t h = triggers.Add("y", false);
    ASSERT_NE(h, 0);
    ASSERT_NE(h, second);
    triggers.Remove(h);
  }
}

}  // namespace
}  // namespace qmb
