// The session's helpers, and the guards of the folder walk against a scripted service.
#include "share/share_session.h"

#include <gtest/gtest.h>

#include <set>

#include "base/encoding.h"
#include "base/text.h"
#include "raw_http_server.h"
#include "share_simulator.h"

namespace sf {
namespace {

using test::RawHttpServer;
using test::RawRequest;

std::string Query(const std::string& target, const std::string& key) {
  return MiddleText(target + "&", key + "=", "&");
}

TEST(ShareSessionText, ErrorMessages) {
  ShareSession s("http://h");
  EXPECT_EQ(GbkToUtf8(s.ErrorMessage(0)), "成功");
  EXPECT_EQ(s.ErrorMessage(-9), s.ErrorMessage(-12));
  EXPECT_EQ(GbkToUtf8(s.ErrorMessage(-20)), "下载验证码错误");
  EXPECT_EQ(GbkToUtf8(s.ErrorMessage(-997)), "自定义错误代码,该链接已失效");
  EXPECT_EQ(GbkToUtf8(s.ErrorMessage(110)),
            "分享次数超出限制，可以到[我的分享]中查看已分享的文件链接");
  for (int code : {1, -13, 113, 999})
    EXPECT_EQ(GbkToUtf8(s.ErrorMessage(code)), "未知错误ID:" + std::to_string(code));
}

TEST(ShareSessionText, ErrnoIsTheLeadingNumberBeforeTheNextComma) {
  ShareSession s("http://h");
  EXPECT_EQ(s.ReadErrno("{\"errno\":-20,\"x\":1}"), -20);
  EXPECT_EQ(s.ReadErrno("{\"errno\": 12 ,\"x\":1}"), 12);
  EXPECT_EQ(s.ReadErrno("{\"errno\":-20}"), 0);  // no comma after it: counts as success
  EXPECT_EQ(s.ReadErrno(""), 0);
  EXPECT_EQ(s.ReadErrno("{\"errno\":\"x\",}"), 0);
}

TEST(ShareSessionText, LogIdsDigitsAndSlashes) {
  ShareSession s("http://h");
  std::string id = s.MakeLogId();
  EXPECT_EQ(id.size(), 44u);
  EXPECT_EQ(s.RandomDigits(0).size(), 19u);
  std::string a = s.RandomDigits(16), b = s.RandomDigits(16);
  EXPECT_EQ(a.size(), 16u);
  EXPECT_EQ(a.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_NE(a, b);  // reseeded with a growing counter, so calls in one millisecond differ
  EXPECT_EQ(s.StripSlashes("http:\\/\\/d.pcs\\/file\\/x"), "http://d.pcs/file/x");
}

TEST(ShareSessionCaptcha, AnUnknownReasonMakesNoRequest) {
  RawHttpServer server([](const RawRequest&) { return RawHttpServer::Reply(200, "OK", {}, "{}"); });
  ShareSession s(server.Url(""));
  std::string image = "old";
  EXPECT_EQ(s.FetchCaptcha(image, -9), -999);
  EXPECT_EQ(image, "old");
  EXPECT_TRUE(server.Requests().empty());
}

TEST(ShareSessionFolders, AFolderListedInsideItselfIsWalkedOnce) {
  RawHttpServer server([](const RawRequest& r) {
    std::string dir = Query(r.Target(), "dir");
    // Every folder claims to hold itself and its parent.
    return RawHttpServer::Reply(
        200, "OK", {"Content-Type: application/json; charset=utf-8"},
        "{\"errno\":0,\"list\":[{\"fs_id\":1,\"path\":\"" + dir +
            "\",\"server_filename\":\"self\",\"size\":0,\"isdir\":1},{\"fs_id\":2,\"path\":\"/"
            "top\","
            "\"server_filename\":\"up\",\"size\":0,\"isdir\":1},{\"fs_id\":3,\"path\":\"" +
            dir + "/f\",\"server_filename\":\"f\",\"size\":7,\"isdir\":0}]}");
  });
  ShareSession s(server.Url(""));
  std::vector<FileEntry> entries;
  EXPECT_EQ(s.ListFolder("42", "9", "/top", entries), 0);
  EXPECT_EQ(server.Requests().size(), 1u);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[2].path, "/top/f");
  EXPECT_EQ(entries[2].app_id, "250528");
  EXPECT_EQ(entries[2].fs_id, "3");
}

TEST(ShareSessionFolders, AnEndlessChainStopsAtTheDepthLimit) {
  RawHttpServer server([](const RawRequest& r) {
    std::string dir = Query(r.Target(), "dir");
    return RawHttpServer::Reply(200, "OK", {},
                                "{\"errno\":0,\"list\":[{\"fs_id\":1,\"path\":\"" + dir +
                                    "/d\",\"server_filename\":\"d\",\"size\":0,\"isdir\":1}]}");
  });
  ShareSession s(server.Url(""));
  std::vector<FileEntry> entries;
  s.ListFolder("42", "9", "/d", entries);
  EXPECT_EQ(server.Requests().size(), 64u);
  EXPECT_EQ(entries.size(), 64u);
  // The folder below the limit is in the list, its contents are not, and it is named.
  ASSERT_EQ(s.MissingFolders().size(), 1u);
  EXPECT_EQ(s.MissingFolders()[0].path.size(), std::string("d").size() + 64 * 2);
}

TEST(ShareSessionVerify, ARelativeRedirectBecomesAnAbsoluteAddress) {
  RawHttpServer server([](const RawRequest& r) {
    if (r.Target().rfind("/s/", 0) == 0)
      return RawHttpServer::Reply(302, "Found", {"Location: /share/init?shareid=9001&uk=42"}, "");
    return RawHttpServer::Reply(200, "OK", {}, "{\"errno\":-9,\"x\":0}");
  });
  ShareSession s(server.Url(""));
  std::string url = server.Url("/s/1abc");
  EXPECT_EQ(s.VerifyPassword(url, "", ""), -9);
  EXPECT_EQ(url, server.Url("/share/init?shareid=9001&uk=42"));
  auto reqs = server.Requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(Query(reqs[1].Target(), "shareid"), "9001");
  EXPECT_EQ(Query(reqs[1].Target(), "uk"), "42");
  EXPECT_EQ(reqs[1].body, "pwd=&vcode=&vcode_str=");
  EXPECT_EQ(reqs[1].Header("Referer"), url);
}

// A link of another host whose page asks for the password and names a protected share of the
// share host: neither host ever gets the other's cookies, the verification key least of all.
TEST(ShareSessionCookies, EachHostGetsOnlyItsOwnCookies) {
  sim::ShareSimulator sim;
  ASSERT_TRUE(sim.StartFromText(R"({"shares": [{"id": "locked", "uk": 43, "shareid": 9002,
      "password": "ab12", "items": [{"name": "secret.zip", "size": 77}]}]})"))
      << sim.error();
  RawHttpServer other([](const RawRequest&) {
    return RawHttpServer::Reply(200, "OK",
                                {"Set-Cookie: theirs=1", "Location: /share/init?shareid=9002&uk=43",
                                 "Content-Type: text/html; charset=utf-8"},
                                "<p>请输入提取密码</p>");
  });
  ShareSession s(sim.Url(""));
  std::string url = "http://localhost:" + std::to_string(other.port()) + "/s/1locked";
  std::vector<FileEntry> entries;
  int position = 1;
  EXPECT_EQ(s.Resolve(url, entries, position, "ab12", ""), kNoPageData);
  EXPECT_NE(s.GetCookies().find("BDCLND="), std::string::npos);  // verified at the share host
  EXPECT_EQ(s.GetCookies().find("theirs"), std::string::npos);

  auto asked = other.Requests();
  ASSERT_EQ(asked.size(), 3u);  // the page, the look for its redirect, the page again
  EXPECT_EQ(asked[2].Header("Cookie"), "theirs=1");
  for (const auto& r : sim.Requests()) EXPECT_EQ(r.CountHeader("Cookie"), 0) << r.Path();
}

}  // namespace
}  // namespace sf
