#include "data/regex_object.h"

#include <gtest/gtest.h>

#include "base/encoding.h"

namespace sf {
namespace {

const char* kCharsetPattern = "<meta.+?charset=[^\\w]?([-\\w]+)";

TEST(RegexObject, FindsTheCharsetDeclarationOfAPage) {
  RegexObject re;
  ASSERT_TRUE(re.Create(kCharsetPattern,
                        "<html><head><META http-equiv=\"Content-Type\" content=\"text/html; "
                        "charset=utf-8\"></head>"));
  EXPECT_EQ(re.MatchCount(), 1);
  EXPECT_EQ(re.GetSubMatch(1, 1), "utf-8");
  EXPECT_EQ(re.SubMatchCount(), 1);

  ASSERT_TRUE(re.Create(kCharsetPattern, "<meta charset=\"GB2312\">"));
  EXPECT_EQ(re.GetSubMatch(1, 1), "GB2312");

  ASSERT_TRUE(re.Create(kCharsetPattern, "<html>no declaration</html>"));
  EXPECT_EQ(re.MatchCount(), 0);
  EXPECT_EQ(re.GetSubMatch(1, 1), "");
}

TEST(RegexObject, DotNeverCrossesALineBreak) {
  RegexObject re;
  ASSERT_TRUE(re.Create("<meta.+?charset=(\\w+)", "<meta\n charset=x"));
  EXPECT_EQ(re.MatchCount(), 0);
  ASSERT_TRUE(re.Create("a.c", "a\rc a\nc abc"));
  EXPECT_EQ(re.MatchCount(), 1);
  EXPECT_EQ(re.GetMatch(1), "abc");
}

TEST(RegexObject, OptionsHaveTheirDefaults) {
  RegexObject re;
  ASSERT_TRUE(re.Create("abc", "xABCx"));  // case ignored by default
  EXPECT_EQ(re.MatchCount(), 1);
  ASSERT_TRUE(re.Create("abc", "xABCx", /*caseSensitive=*/true));
  EXPECT_EQ(re.MatchCount(), 0);
  ASSERT_TRUE(re.Create("^b$", "a\nb\nc"));  // multi-line by default
  EXPECT_EQ(re.MatchCount(), 1);
  ASSERT_TRUE(re.Create("^b$", "a\nb\nc", false, /*multiLine=*/false));
  EXPECT_EQ(re.MatchCount(), 0);
  ASSERT_TRUE(re.Create("\\d", "1a2b3"));  // global by default
  EXPECT_EQ(re.MatchCount(), 3);
  ASSERT_TRUE(re.Create("\\d", "1a2b3", false, true, /*global=*/false));
  EXPECT_EQ(re.MatchCount(), 1);
}

TEST(RegexObject, QuoteEscapeAndBadPatterns) {
  RegexObject re;
  std::string pattern = Utf8ToGbk("a#引号b");
  ASSERT_TRUE(re.Create(pattern, "xa\"b", false, true, true, /*quoteEscape=*/true));
  EXPECT_EQ(re.GetMatch(1), "a\"b");
  ASSERT_TRUE(re.Create(pattern, "xa\"b"));
  EXPECT_EQ(re.MatchCount(), 0);

  EXPECT_FALSE(re.Create("(ab", "ab"));
  EXPECT_EQ(re.MatchCount(), 0);
  EXPECT_EQ(re.GetMatch(1), "");
  EXPECT_EQ(re.GetPattern(), "");
}

TEST(RegexObject, PositionsAreByteOffsetsInTheGbkSubject) {
  RegexObject re;
  std::string subject = Utf8ToGbk("ab中文cd");
  ASSERT_TRUE(re.Create("cd", subject));
  int pos = 0;
  EXPECT_EQ(re.GetMatch(1, &pos), "cd");
  EXPECT_EQ(pos, 6);

  // Characters, not bytes: "." takes a whole Chinese character.
  ASSERT_TRUE(re.Create("b(.)(.)c", subject));
  EXPECT_EQ(re.GetSubMatch(1, 2, &pos), Utf8ToGbk("文"));
  EXPECT_EQ(pos, 4);

  // A match text that also occurs earlier still reports where the match is.
  ASSERT_TRUE(re.Create("cd$", Utf8ToGbk("中cdcd")));
  EXPECT_EQ(re.GetMatch(1, &pos), "cd");
  EXPECT_EQ(pos, 4);

  EXPECT_EQ(re.GetMatch(2, &pos), "");
  EXPECT_EQ(pos, -1);
}

TEST(RegexObject, ReplaceUsesJavaScriptReferences) {
  RegexObject re;
  ASSERT_TRUE(re.Create("(\\w+)@(\\w+)", "mail a@b and c@d"));
  EXPECT_EQ(re.Replace("$2 at $1"), "mail b at a and d at c");
  EXPECT_EQ(re.Replace("[$&]$$"), "mail [a@b]$ and [c@d]$");
  EXPECT_EQ(re.Replace("$3$0"), "mail $3$0 and $3$0");
  ASSERT_TRUE(re.Create("o", "foo", false, true, /*global=*/false));
  EXPECT_EQ(re.Replace("0"), "f0o");
  ASSERT_TRUE(re.Create("x*", Utf8ToGbk("中b")));
  EXPECT_EQ(re.Replace("-"), Utf8ToGbk("-中-b-"));
}

TEST(RegexObject, CopiesShareTheLastRun) {
  RegexObject re;
  ASSERT_TRUE(re.Create("a", "aa"));
  RegexObject copy = re;
  ASSERT_TRUE(re.Create("b", "b"));
  EXPECT_EQ(copy.MatchCount(), 2);
  EXPECT_EQ(re.MatchCount(), 1);
}

}  // namespace
}  // namespace sf
