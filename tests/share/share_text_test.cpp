// What users paste when a share is passed on, read into clean links and codes: a table of
// real-looking texts, each with the shares expected out of it.
#include "share/share_text.h"

#include <gtest/gtest.h>

#include "base/encoding.h"
#include "share/share_host.h"

namespace sf {
namespace {

const std::string kHost = "http://127.0.0.1:8080";
const std::string H = kHost;
// The service's own host without its scheme, as links are often passed on.
const std::string kService = std::string(kDefaultShareHost).substr(7);

struct Case {
  const char* why;
  std::string text;  // UTF-8, as pasted
  std::vector<PastedShare> expected;
};

std::string Show(const std::vector<PastedShare>& shares) {
  std::string out;
  for (const PastedShare& s : shares) out += "[" + s.link + " | " + s.code + "] ";
  return out;
}

TEST(ShareText, ReadsTheLinkAndCodeOutOfWhatUsersPaste) {
  const Case cases[] = {
      {"code in the query", H + "/s/1demoLocked?pwd=ab12", {{H + "/s/1demoLocked", "ab12"}}},
      {"code after other query pairs",
       H + "/s/1abc?from=init&PWD=XyZ9#list/path=%2F",
       {{H + "/s/1abc", "XyZ9"}}},
      {"the service's message, full-width colons",
       "链接：" + H + "/s/1demoLocked 提取码：ab12",
       {{H + "/s/1demoLocked", "ab12"}}},
      {"ASCII colons, 密码", "链接: " + H + "/s/1abc 密码: k3x9", {{H + "/s/1abc", "k3x9"}}},
      {"code before the link",
       "提取码: abcd 复制这段内容后打开手机App，操作更方便哦 链接: " + H + "/s/1abc",
       {{H + "/s/1abc", "abcd"}}},
      {"English", "Link: " + H + "/s/1abc Code: k3x9", {{H + "/s/1abc", "k3x9"}}},
      {"lines, and a signature that starts with dashes",
       "链接：" + H + "/s/1abc\n提取码：ab12\n--来自网盘超级会员V3的分享",
       {{H + "/s/1abc", "ab12"}}},
      {"full-width brackets and spaces",
       "【" + H + "/s/1abc】（提取码　：　ab12）",
       {{H + "/s/1abc", "ab12"}}},
      {"no scheme, code without a colon",
       "127.0.0.1:8080/s/1abc 提取码 ab12",
       {{H + "/s/1abc", "ab12"}}},
      {"the service's host, no scheme",
       "看这个：" + kService + "/s/1xyz，密码是ab12",
       {{H + "/s/1xyz", "ab12"}}},
      {"the surl form names the short link",
       "https://" + kService + "/share/init?surl=AbC-d_9",
       {{H + "/s/1AbC-d_9", ""}}},
      {"ids in either order",
       H + "/share/init?uk=43&shareid=9002&pwd=ab12",
       {{H + "/share/init?shareid=9002&uk=43", "ab12"}}},
      {"a chat program wrapped the link",
       "链接：" + H + "/s/1AbCdEfGh\nIjKl 提取码：ab12",
       {{H + "/s/1AbCdEfGhIjKl", "ab12"}}},
      {"wrapped before the query, CRLF",
       H + "/s/1abc\r\ndef?pwd=ab12",
       {{H + "/s/1abcdef", "ab12"}}},
      {"no code at all", "看看这个 " + H + "/s/1abc 好东西", {{H + "/s/1abc", ""}}},
      {"a code that runs into the next word",
       "提取码：ab12复制这段内容后打开 " + H + "/s/1abc",
       {{H + "/s/1abc", "ab12"}}},
      {"a label inside a word is no label",
       "Barcode: 1234 " + H + "/s/1abc",
       {{H + "/s/1abc", ""}}},
      {"a label without a code", "密码：请私信 " + H + "/s/1abc", {{H + "/s/1abc", ""}}},
      {"a longer word after the label is no code",
       "Password: coming " + H + "/s/1abc",
       {{H + "/s/1abc", ""}}},
      {"two links, each with its code",
       "1. " + H + "/s/1one 提取码：aaaa\n2. " + H + "/s/1two 提取码：bbbb",
       {{H + "/s/1one", "aaaa"}, {H + "/s/1two", "bbbb"}}},
      {"two links, codes before them",
       "提取码：aaaa " + H + "/s/1one\n提取码：bbbb " + H + "/s/1two",
       {{H + "/s/1one", "aaaa"}, {H + "/s/1two", "bbbb"}}},
      {"a list of links without scheme is not one wrapped link",
       "127.0.0.1:8080/s/1one\n127.0.0.1:8080/s/1two",
       {{H + "/s/1one", ""}, {H + "/s/1two", ""}}},
      {"a list of links",
       H + "/s/1one\n" + H + "/s/1two\n",
       {{H + "/s/1one", ""}, {H + "/s/1two", ""}}},
      {"the same share twice is one",
       H + "/s/1abc 提取码：ab12 " + H + "/s/1abc?pwd=ab12",
       {{H + "/s/1abc", "ab12"}}},
      {"a line starting with a label does not continue the link",
       "Link: " + H + "/s/1abcdef\nCode: ab12",
       {{H + "/s/1abcdef", "ab12"}}},
      {"upper case scheme and a full stop",
       "请打开 HTTP://127.0.0.1:8080/s/1abc.",
       {{H + "/s/1abc", ""}}},
      {"another host is not a share link", "http://example.invalid/s/1abc 提取码：ab12", {}},
      {"another port is another host", "http://127.0.0.1:80800/s/1abc", {}},
      {"text without a link", "提取码：ab12", {}},
      {"a path that names no share", H + "/share/verify?shareid=1&uk=2", {}},
  };
  for (const Case& c : cases) {
    std::vector<PastedShare> got = ReadShareText(Utf8ToGbk(c.text), kHost);
    EXPECT_EQ(Show(got), Show(c.expected)) << c.why << ": " << c.text;
  }

  // Matching goes by characters: the bytes "h" + "ttp://…" after a lead byte are the trail of a
  // double-byte character followed by "ttp://…", which is no link.
  EXPECT_TRUE(ReadShareText("\x81http://127.0.0.1:8080/s/1abc", kHost).empty());
  // After a lead byte, "a" is the trail of a double-byte character: "bcd" is too short a code.
  EXPECT_EQ(ReadExtractionCode(Utf8ToGbk("密码：") + "\x81" + "abcd"), "");
  EXPECT_EQ(ReadExtractionCode(Utf8ToGbk("分享密码：Ab12，别外传")), "Ab12");
  EXPECT_EQ(ReadExtractionCode(Utf8ToGbk("没有密码")), "");
}

}  // namespace
}  // namespace sf
