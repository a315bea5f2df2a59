#include "base/text.h"

#include <gtest/gtest.h>

#include "base/encoding.h"
#include "text_helpers.h"

namespace sf {
namespace {

using test::G;

TEST(FindText, PositionsAreOneBasedAndMissIsMinusOne) {
  EXPECT_EQ(FindText("abcabc", "bc"), 2);
  EXPECT_EQ(FindText("abcabc", "bc", 3), 5);
  EXPECT_EQ(FindText("abcabc", "x"), -1);
  EXPECT_EQ(FindText("abc", "", 2), 2);
  EXPECT_EQ(FindText("abc", "c", 9), -1);
  EXPECT_EQ(FindText("ABC", "b", 1, true), 2);
  EXPECT_EQ(FindText("ABC", "b"), -1);
}

TEST(FindText, NeverMatchesInsideADoubleByteCharacter) {
  // "乗" is 0x81 0x5C in GBK: its trail byte is a backslash.
  std::string text = std::string("\x81\x5C") + "a\\b";
  EXPECT_EQ(FindText(text, "\\"), 4);
  // The trail byte of "中" (D6 D0) must not fold or match as a letter either.
  std::string zhong = G("中");
  EXPECT_EQ(FindText(G("中x"), "x"), 3);
  EXPECT_EQ(FindText(zhong + "A", "a", 1, true), 3);
}

TEST(MiddleText, TakesTextBetweenMarkers) {
  EXPECT_EQ(MiddleText("a=1; BDCLND=xyz; b=2", "BDCLND=", ";"), "xyz");
  EXPECT_EQ(MiddleText("BDCLND=xyz", "BDCLND=", ";"), "");
  EXPECT_EQ(MiddleText("no marker", "x=", ";"), "");
  EXPECT_EQ(MiddleText("k=1&k=2&", "k=", "&", 3), "2");
  EXPECT_EQ(MiddleText("<A>x</a>", "<a>", "</A>", 1, true), "x");
}

TEST(MiddleText, QuoteMarkerStandsForADoubleQuote) {
  std::string marker = G("dlink#引号:#引号");
  EXPECT_EQ(MiddleText("{\"dlink\":\"http://x/y\"}", marker, G("#引号")), "http://x/y");
}

TEST(TextAfterLast, TakesTheTailAfterTheLastMarker) {
  EXPECT_EQ(TextAfterLast("http://h/s?shareid=1&uk=42", "="), "42");
  EXPECT_EQ(TextAfterLast("abc", "="), "");
  EXPECT_EQ(TextAfterLast("a=", "="), "");
}

TEST(Spaces, TrimAndRemoveKnowAsciiAndFullWidthSpaces) {
  std::string full = "\xA1\xA1";
  EXPECT_EQ(TrimSpaces(full + " ab c " + full), "ab c");
  EXPECT_EQ(TrimSpaces(full + full), "");
  EXPECT_EQ(TrimSpaces("\tx\t"), "\tx\t");
  EXPECT_EQ(RemoveSpaces("a b" + full + "c"), "abc");
  // "隆" ends in the byte A1 but is not a space, so trimming keeps it whole.
  std::string long1 = G("隆");
  ASSERT_EQ(static_cast<unsigned char>(long1[1]), 0xA1);
  EXPECT_EQ(TrimSpaces(long1 + " "), long1);
}

TEST(ReadInteger, TakesTheLeadingNumber) {
  EXPECT_EQ(ReadInteger("  -20,"), -20);
  EXPECT_EQ(ReadInteger("+7x"), 7);
  EXPECT_EQ(ReadInteger("abc"), 0);
  EXPECT_EQ(ReadInteger(""), 0);
  EXPECT_EQ(ReadInteger("- 5"), 0);
  EXPECT_EQ(ReadInteger("99999999999999999999999"), INT64_MAX);
  EXPECT_EQ(ReadInteger("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(ReadInt("99999999999"), INT32_MAX);
}

TEST(SplitText, KeepsEmptyPieces) {
  EXPECT_EQ(SplitText("a;;b", ";"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(SplitText("", ";"), (std::vector<std::string>{""}));
  EXPECT_EQ(ReplaceAll("aXbx", "x", "-", true), "a-b-");
}

}  // namespace
}  // namespace sf
