#include "base/encoding.h"

#include <gtest/gtest.h>

#include <chrono>

#include "base/base64.h"
#include "base/timestamp.h"

namespace sf {
namespace {

TEST(Encoding, GbkRoundTripsThroughUtf8AndUtf16) {
  std::string gbk = "\xD6\xD0\xCE\xC4";  // 中文
  EXPECT_EQ(GbkToUtf8(gbk), "中文");
  EXPECT_EQ(Utf8ToGbk("中文"), gbk);
  EXPECT_EQ(GbkToUtf16(gbk), u"中文");
  EXPECT_EQ(Utf16ToGbk(u"中文abc"), gbk + "abc");
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16("a€😀")), "a€😀");
}

TEST(Encoding, CharactersGbkLacksSurviveTheRoundTrip) {
  // An emoji in a file name must come back intact, not as "?".
  std::string name = "照片😀.jpg";
  std::string internal = Utf8ToGbk(name);
  EXPECT_EQ(internal.find('?'), std::string::npos);
  EXPECT_EQ(GbkToUtf8(internal), name);
  EXPECT_EQ(Utf16ToUtf8(GbkToUtf16(internal)), name);
}

TEST(Encoding, InvalidBytesBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToGbk("a\xFF"
                      "b"),
            "a?b");
  EXPECT_EQ(GbkToUtf8("a\x81"), "a?");
  // Right above ASCII, which passes through as it is, every direction still converts.
  EXPECT_EQ(Utf8ToGbk("a\x80"), "a?");
  EXPECT_EQ(GbkToUtf16(std::string("\0\x7F", 2)), std::u16string(u"\0\x7F", 2));
  EXPECT_EQ(Utf16ToUtf8(u"\x7F\x80"), "\x7F\xC2\x80");
  EXPECT_EQ(Utf16ToGbk(u"x\x80"), "x\x81\x30\x81\x30");
  EXPECT_EQ(Utf8ToUtf16("\xC2\x80"), u"\x80");
}

TEST(Encoding, DecodeToGbkByDeclaredName) {
  EXPECT_EQ(DecodeToGbk("\xEF\xBB\xBF中", "utf-8"), std::optional<std::string>("\xD6\xD0"));
  EXPECT_EQ(DecodeToGbk("\xD6\xD0", "GB2312"), std::optional<std::string>("\xD6\xD0"));
  EXPECT_EQ(DecodeToGbk("caf\xE9", "iso-8859-1"), std::optional<std::string>("caf\xA8\xA6"));
  EXPECT_FALSE(DecodeToGbk("x", "no-such-charset").has_value());
}

TEST(Encoding, Utf16BytesAreLittleEndian) {
  EXPECT_EQ(Utf16ToBytes(u"A中"), std::string("A\0\x2D\x4E", 4));
  EXPECT_EQ(BytesToUtf16(std::string("A\0\x2D\x4E", 4)), u"A中");
}

TEST(Base64, EncodesWithPadding) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode(std::string("\xFF\xFE\x00", 3)), "//4A");
}

TEST(Timestamp, CountsFromBeijingEpoch) {
  std::tm t{};
  t.tm_year = 70;
  t.tm_mon = 0;
  t.tm_mday = 1;
  t.tm_hour = 8;
  EXPECT_EQ(TimestampTextAt(t, 7), "0007");
  t.tm_year = 126;  // 2026-12-08 20:00:00 local
  t.tm_mon = 11;
  t.tm_mday = 8;
  t.tm_hour = 20;
  EXPECT_EQ(TimestampTextAt(t, 42), "1796731200042");
  EXPECT_EQ(TimestampText().size(), 13u);
}

// The clock every Tick and Poll reads is the steady one, in milliseconds: a reading falls
// between two readings of that clock taken around it.
TEST(Timestamp, NowMsReadsTheSteadyClockInMilliseconds) {
  auto steadyMs = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  int64_t before = steadyMs();
  int64_t now = NowMs();
  int64_t after = steadyMs();
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
}

}  // namespace
}  // namespace sf
