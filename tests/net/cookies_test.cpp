#include "net/cookies.h"

#include <gtest/gtest.h>

#include "base/encoding.h"

namespace sf {
namespace {

std::string Merge(std::string old, std::string fresh) {
  MergeCookies(&old, &fresh);
  return old;
}

TEST(CookieScan, CollectsTheFirstPairOfEverySetCookieLine) {
  std::string block = NormalizeSetCookie(
      "HTTP/1.1 200 OK\r\nset-cookie: a=1; Path=/\r\nSET-COOKIE: BDCLND=x; path=/\r\nSet-Cookie: "
      "b=2\r\n"
      "X-Note: about set-cookie\r\n\r\n");
  EXPECT_NE(block.find("Set-Cookie: a=1; Path=/"), std::string::npos);
  EXPECT_NE(block.find("about Set-Cookie"), std::string::npos);
  std::string cookies, location = "unchanged";
  ScanHeaderBlock(block, &cookies, &location);
  // The note line holds "Set-Cookie" without ";", so it contributes its whole trimmed text.
  EXPECT_EQ(cookies, "a=1; BDCLND=x; b=2; X-Note: about Set-Cookie");
  EXPECT_EQ(location, "unchanged");
  EXPECT_EQ(CollectCookies(block), cookies);
}

TEST(CookieScan, OddLinesFollowTheLineRules) {
  std::string cookies;
  ScanHeaderBlock("Set-Cookie: a=1; x\r\nSet-Cookie: a=2\r\nX-Set-Cookie; y\r\n", &cookies,
                  nullptr);
  EXPECT_EQ(cookies, "a=1; a=2; ");  // the last line holds no "Set-Cookie:" and gives an empty item
  ScanHeaderBlock("HTTP/1.1 200 OK\r\n\r\n", &cookies, nullptr);
  EXPECT_EQ(cookies, "");
}

TEST(CookieScan, LocationNeedsTheExactPrefixAndTheLastOneWins) {
  std::string location;
  ScanHeaderBlock("LOCATION: /next\r\n", nullptr, &location);
  EXPECT_EQ(location, "/next");
  location = "kept";
  ScanHeaderBlock("Location:/next\r\n", nullptr, &location);
  EXPECT_EQ(location, "kept");
  ScanHeaderBlock("Location: /a\r\nLocation: /b \r\n", nullptr, &location);
  EXPECT_EQ(location, "/b ");
}

TEST(CookieMerge, NewPairsFirstThenOldOnesNotSetAgain) {
  EXPECT_EQ(Merge("a=1; b=2; c=3", "b=9; c=deleted"), "b=9; a=1");
  EXPECT_EQ(Merge("a=1;b=2", ""), "a=1; b=2");
  EXPECT_EQ(Merge("", "a=1"), "a=1");
  EXPECT_EQ(Merge("", ""), "");
  EXPECT_EQ(Merge("x=deleted; y=1", ""), "y=1");
  EXPECT_EQ(Merge("x=undeleted; y=1", ""), "x=undeleted; y=1");
  EXPECT_EQ(Merge("a=1; a=2", ""), "a=1");
  EXPECT_EQ(Merge("", "a=1; a=2; a=1"), "a=1; a=2");  // new pairs are never compared by name
  EXPECT_EQ(Merge("v=a b", ""), "v=ab");
  std::string fullWidth =
      "v=a\xA1\xA1"
      "b";
  EXPECT_EQ(Merge(fullWidth, ""), "v=ab");
  EXPECT_EQ(Merge("A=1", "a=2"), "a=2; A=1");  // names compare with case
}

TEST(CookieMerge, BothTextsLoseTheirSpaces) {
  std::string old = "a=1; b=2", fresh = "c=3; d=4";
  MergeCookies(&old, &fresh);
  EXPECT_EQ(fresh, "c=3;d=4");
  EXPECT_EQ(old, "c=3; d=4; a=1; b=2");
}

TEST(Charset, MetaTagWithinTheFirst1024Bytes) {
  EXPECT_EQ(
      CharsetFromMeta("<head><meta http-equiv=Content-Type content=\"text/html; charset=utf-8\">"),
      "utf-8");
  EXPECT_EQ(CharsetFromMeta(std::string(1010, ' ') + "<meta charset=utf-8>"), "");
  EXPECT_EQ(CharsetFromMeta(std::string(1000, ' ') + "<meta charset=utf-8>"), "utf-8");
  EXPECT_EQ(CharsetFromMeta("{\"errno\":0}"), "");
  // The tag in any letter case, and not taken for one when only its start fits in the window.
  EXPECT_EQ(CharsetFromMeta("<x><META Charset=UTF-8>"), "UTF-8");
  EXPECT_EQ(CharsetFromMeta("<p>a < b <MeTa charset=\"gbk\">"), "gbk");
  EXPECT_EQ(CharsetFromMeta(std::string(1021, ' ') + "<meta charset=utf-8>"), "");
}

TEST(Charset, ContentTypeParameter) {
  EXPECT_EQ(CharsetFromContentType(
                "HTTP/1.1 200 OK\r\ncontent-type: application/json; charset=UTF-8\r\n\r\n"),
            "UTF-8");
  EXPECT_EQ(
      CharsetFromContentType("HTTP/1.1 200 OK\r\nContent-Type: text/html;charset=\"gbk\"\r\n\r\n"),
      "gbk");
  EXPECT_EQ(CharsetFromContentType("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"), "");
}

TEST(Charset, DecodingRule) {
  std::string utf8 = "中文";
  EXPECT_EQ(DecodeBodyText(utf8, utf8, "utf-8"), Utf8ToGbk(utf8));
  EXPECT_EQ(DecodeBodyText("as is", "ignored", "gbk"), "as is");
  EXPECT_EQ(DecodeBodyText("as is", "ignored", "gb2312"), "as is");
  EXPECT_EQ(DecodeBodyText("as is", "ignored", "x-unknown"), "as is");
  std::string gbk = Utf8ToGbk(utf8);
  EXPECT_EQ(DecodeBodyText(gbk, gbk, "GBK"), gbk);  // decoded, and unchanged by it
  // Decoding takes every byte, zero bytes included.
  EXPECT_EQ(DecodeBodyText("a", std::string("a\0b", 3), "utf-8"), std::string("a\0b", 3));
}

}  // namespace
}  // namespace sf
