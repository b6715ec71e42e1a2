#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/Locale.h"
#include "platform/TextHelpers.h"

namespace qmb {
namespace {

TEST(TextCut, TailAndSubTextClampToTheText) {
  EXPECT_EQ(TailText("abcdef", 2), "ef");
  EXPECT_EQ(TailText("abc", 10), "abc");
  EXPECT_EQ(TailText("abc", 3), "abc");
  EXPECT_EQ(TailText("abc", 0), "");
  EXPECT_EQ(TailText("abc", -1), "");

  EXPECT_EQ(SubText("abcdef", 2, 3), "bcd");
  EXPECT_EQ(SubText("abcdef", 1, 1), "a");
  EXPECT_EQ(SubText("abcdef", 0, 2), "ab");
  EXPECT_EQ(SubText("abcdef", -5, 2), "ab");
  EXPECT_EQ(SubText("abcdef", 5, 100), "ef");
  EXPECT_EQ(SubText("abcdef", 6, 1), "f");
  EXPECT_EQ(SubText("abcdef", 7, 1), "");
  EXPECT_EQ(SubText("abcdef", 2, 0), "");
  EXPECT_EQ(SubText("abcdef", 2, -1), "");
  EXPECT_EQ(SubText("abc", 2, std::numeric_limits<int>::max()), "bc");
}

TEST(TextCut, BetweenWalksBracedFields) {
  EXPECT_EQ(TextBetween("{1}{2}", '{', '}', 0), "1");
  EXPECT_EQ(TextBetween("{1}{2}", '{', '}', 1), "1");
  EXPECT_EQ(TextBetween("{1}{2}", '{', '}', 3), "2");
  EXPECT_EQ(TextBetween("{1}{2}", '{', '}', 6), "");
  EXPECT_EQ(TextBetween("{1}{2}", '{', '}', 100), "");
  EXPECT_EQ(TextBetween("a{b", '{', '}', 0), "");
  EXPECT_EQ(TextBetween("ab}", '{', '}', 0), "");
  EXPECT_EQ(TextBetween("x{}y", '{', '}', 0), "");
  EXPECT_EQ(TextBetween("}{a}", '{', '}', 0), "a");  // the close must follow the open
  EXPECT_EQ(TextBetween("", '{', '}', 0), "");
  EXPECT_EQ(TextBetween("{z}", '{', '}', -4), "z");

  // Successive fields of "{a}{b}{c}{d}", each start found from the lengths before it.
  const std::string fields = "{ab}{c}{}{def}";
  EXPECT_EQ(TextBetween(fields, '{', '}', 0), "ab");
  EXPECT_EQ(TextBetween(fields, '{', '}', 2 + 2), "c");
  EXPECT_EQ(TextBetween(fields, '{', '}', 2 + 1 + 4), "");
  EXPECT_EQ(TextBetween(fields, '{', '}', 2 + 1 + 0 + 6), "def");
}

TEST(TextPad, PadAndStripBlanks) {
  EXPECT_EQ(PadLeftWith("5", "0", 2), "05");
  EXPECT_EQ(PadLeftWith("123", "0", 2), "123");
  EXPECT_EQ(PadLeftWith("12", "0", 2), "12");
  EXPECT_EQ(PadLeftWith("", " ", 3), "   ");
  EXPECT_EQ(PadLeftWith("7", "ab", 3), "abab7");
  EXPECT_EQ(PadLeftWith("7", "0", -3), "7");
  EXPECT_EQ(PadLeftWith("7", "", 1 << 30), "7");

  EXPECT_EQ(StripLeadingSpaces("  a b  "), "a b  ");
  EXPECT_EQ(StripTrailingSpaces("  a b  "), "  a b");
  EXPECT_EQ(StripSpaces("  a b  "), "a b");
  EXPECT_EQ(StripSpaces("    "), "");
  EXPECT_EQ(StripSpaces(""), "");
  EXPECT_EQ(StripSpaces("\ta\t"), "\ta\t");  // blanks are spaces only
}

TEST(TextSearch, BeforeFromAfterAndPosition) {
  EXPECT_EQ(TextAfter("ab:cd", ":"), "cd");
  EXPECT_EQ(TextFrom("ab:cd", ":"), ":cd");
  EXPECT_EQ(TextBefore("ab:cd", ":"), "ab");
  EXPECT_EQ(TextBefore("a:b:c", ":"), "a");
  EXPECT_EQ(TextAfter("a:b:c", ":"), "b:c");
  EXPECT_EQ(TextBefore(":x", ":"), "");
  EXPECT_EQ(TextAfter("x:", ":"), "");
  // A longer part drops only as many characters as its position.
  EXPECT_EQ(TextAfter("ab<=cd", "<="), "=cd");

  for (const char* absent : {"?", "xyz", ""}) {
    EXPECT_EQ(TextBefore("ab:cd", absent), "ab:cd") << absent;
    EXPECT_EQ(TextFrom("ab:cd", absent), "ab:cd") << absent;
    EXPECT_EQ(TextAfter("ab:cd", absent), "ab:cd") << absent;
    EXPECT_EQ(TextThroughLast("ab:cd", absent), "ab:cd") << absent;
    EXPECT_EQ(TextPos("ab:cd", absent), 0) << absent;
  }

  EXPECT_EQ(TextThroughLast("C:\\dir\\prog.exe", "\\"), "C:\\dir\\");
  EXPECT_EQ(TextThroughLast("a--b--c", "--"), "a--b-");
  EXPECT_EQ(TextThroughLast("xaaa", "aa"), "xaa");  // overlapping: the last starts at 3

  EXPECT_EQ(TextPos("ab:cd", "a"), 1);
  EXPECT_EQ(TextPos("ab:cd", ":c"), 3);
  EXPECT_EQ(TextPos("ab:cd", "D"), 0);
  EXPECT_EQ(TextPos("", "a"), 0);
}

TEST(TextRemove, FirstAndEveryOccurrence) {
  EXPECT_EQ(RemoveFirst("a-b-c", "-"), "ab-c");
  EXPECT_EQ(RemoveFirst("abc", "x"), "abc");
  EXPECT_EQ(RemoveFirst("abc", ""), "abc");
  EXPECT_EQ(RemoveFirst("abc", "abc"), "");

  EXPECT_EQ(RemoveEvery("a-b-c", "-"), "abc");
  EXPECT_EQ(RemoveEvery("aabb", "ab"), "");  // the removal forms a new occurrence
  EXPECT_EQ(RemoveEvery("xababyy", "aby"), "x");
  EXPECT_EQ(RemoveEvery("ababa", "aba"), "ba");
  EXPECT_EQ(RemoveEvery("\r\n\r\nok\r\n", "\r\n"), "ok");
  EXPECT_EQ(RemoveEvery("abc", "x"), "abc");
  EXPECT_EQ(RemoveEvery("abc", ""), "abc");

  // Removing the first occurrence again and again, written out, must agree.
  for (const auto& [text, part] : std::vector<std::pair<std::string, std::string>>{
           {"aaabbbab", "ab"}, {"abcabcaabcbc", "abc"}, {"aaaaa", "aa"}, {"xyxyyxy", "xy"}}) {
    std::string slow = text;
    for (size_t p; (p = slow.find(part)) != std::string::npos;) slow.erase(p, part.size());
    EXPECT_EQ(RemoveEvery(text, part), slow) << text << " / " << part;
  }
}

TEST(TextConvert, TextToNumberReadsNumbersThenWords) {
  EXPECT_FLOAT_EQ(TextToNumber(" 12.5 %"), 12.5f);
  EXPECT_FLOAT_EQ(TextToNumber("12.5%"), 12.5f);
  EXPECT_FLOAT_EQ(TextToNumber("-3 degC"), -3.0f);
  EXPECT_FLOAT_EQ(TextToNumber("1.5E2"), 150.0f);
  EXPECT_FLOAT_EQ(TextToNumber("on"), 1.0f);
  EXPECT_FLOAT_EQ(TextToNumber("TRUE"), 1.0f);
  EXPECT_FLOAT_EQ(TextToNumber("-ON"), -1.0f);
  EXPECT_FLOAT_EQ(TextToNumber(" -on extra"), -1.0f);
  EXPECT_EQ(TextToNumber("off"), 0.0f);
  EXPECT_EQ(TextToNumber("False"), 0.0f);
  EXPECT_EQ(TextToNumber("maybe"), 0.0f);
  EXPECT_EQ(TextToNumber(""), 0.0f);
  EXPECT_EQ(TextToNumber("1,5"), 0.0f);
  EXPECT_EQ(TextToNumber("1e39"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(TextToNumber("-1e300"), -std::numeric_limits<float>::infinity());

  const char saved = DecimalSeparator();
  SetDecimalSeparator(',');
  const float comma = TextToNumber("1,5 bar");
  const float point = TextToNumber("1.5 bar");
  SetDecimalSeparator(saved);
  EXPECT_FLOAT_EQ(comma, 1.5f);
  EXPECT_EQ(point, 0.0f);
}

TEST(TextConvert, HexTextToIntOfOneToFourDigits) {
  EXPECT_EQ(HexTextToInt("FF"), 255);
  EXPECT_EQ(HexTextToInt("1A2B"), 6699);
  EXPECT_EQ(HexTextToInt("7"), 7);
  EXPECT_EQ(HexTextToInt("FFFF"), 65535);
  EXPECT_EQ(HexTextToInt("0000"), 0);
  EXPECT_EQ(HexTextToInt(""), 0);
  EXPECT_EQ(HexTextToInt("12345"), 0);
  // Any other character is the digit -1 where it stands.
  EXPECT_EQ(HexTextToInt("ff"), -17);
  EXPECT_EQ(HexTextToInt("1G"), 15);
  EXPECT_EQ(HexTextToInt("G"), -1);
  EXPECT_EQ(HexTextToInt("A "), 159);
}

TEST(TextConvert, BracketHexAndCase) {
  EXPECT_EQ(BytesToBracketHex(std::string("AB\n")), "[41][42][0A]");
  EXPECT_EQ(BytesToBracketHex(std::string("\0\xFF", 2)), "[00][FF]");
  EXPECT_EQ(BytesToBracketHex(""), "");

  EXPECT_EQ(UpperCase("Site a-1"), "SITE A-1");
  EXPECT_EQ(UpperCase("\xE9t\xE9"), "\xE9T\xE9");  // bytes beyond ASCII stay as they are
  EXPECT_TRUE(SameTextIgnoringCase("Site A", "sITE a"));
  EXPECT_TRUE(SameTextIgnoringCase("", ""));
  EXPECT_FALSE(SameTextIgnoringCase("Site A", "Site A "));
  EXPECT_FALSE(SameTextIgnoringCase("Site A", "Site B"));
  EXPECT_FALSE(SameTextIgnoringCase("\xE9", "\xC9"));
}

}  // namespace
}  // namespace qmb
