// The share page, its redirect and quirks, password verification, listing and link requests,
// each driven with requests shaped like the client's.
#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace sf::sim::test {
namespace {

class ShareFlowTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim.StartFromText(kTestFixture)) << sim.error(); }
  int port() const { return sim.port(); }
  ShareSimulator sim;
};

TEST_F(ShareFlowTest, PublicPageCarriesCompactPageDataAndCookiesWithAttributes) {
  Reply r = Fetch(port(), "GET", "/s/pub");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.Header("Content-Type"), "text/html; charset=utf-8");
  size_t meta =
      r.body.find("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">");
  EXPECT_LT(meta, 1024u);
  // The text shapes that readers of the page find with plain searches.
  EXPECT_NE(r.body.find("\"uk\":42,"), std::string::npos);
  EXPECT_NE(r.body.find("\"shareid\":9001,"), std::string::npos);
  EXPECT_NE(r.body.find(":[{\"fs_id\":1234567890123456,"), std::string::npos);
  EXPECT_NE(r.body.find("\"fs_id\":9876543210987654321,"), std::string::npos);
  nlohmann::json data = PageData(r.body);
  ASSERT_TRUE(data.is_object());
  auto list = data["file_list"]["list"];
  ASSERT_EQ(list.size(), 3u);  // page order is fixture order
  EXPECT_EQ(list[0]["server_filename"], "a.txt");
  EXPECT_EQ(list[1]["server_filename"], "b 乙.bin");
  EXPECT_EQ(list[2]["isdir"], 1);
  EXPECT_EQ(list[2]["path"], "/docs");
  std::string dataText = r.body.substr(r.body.find("setData(") + 8);
  dataText = dataText.substr(0, dataText.find(");"));
  EXPECT_EQ(dataText.find(": "), std::string::npos);
  for (size_t p = dataText.find("{"); p != std::string::npos; p = dataText.find("{\"", p + 1))
    if (dataText.compare(p, 9, "{\"fs_id\":") != 0 && dataText.compare(p, 8, "{\"sign\":") != 0 &&
        dataText.compare(p, 9, "{\"errno\":") != 0)
      ADD_FAILURE() << "an object that does not start with fs_id: " << dataText.substr(p, 30);

  auto cookies = r.Headers("Set-Cookie");
  ASSERT_GE(cookies.size(), 5u);
  EXPECT_EQ(cookies[0].rfind("SHAREUID=", 0), 0u);
  EXPECT_NE(cookies[0].find("; max-age="), std::string::npos);
  EXPECT_NE(cookies[0].find("; expires="), std::string::npos);
  EXPECT_NE(cookies[0].find("; domain=127.0.0.1"), std::string::npos);
  int csrf = 0, deleted = 0;
  for (const auto& c : cookies) {
    csrf += c.rfind("csrfToken=", 0) == 0;
    deleted +=
        CookiePair(c).size() > 8 && CookiePair(c).substr(CookiePair(c).size() - 8) == "=deleted";
  }
  EXPECT_EQ(csrf, 2);
  EXPECT_EQ(deleted, 1);
  // A visitor that already has SHAREUID does not get a new one.
  Reply again = Fetch(port(), "GET", "/s/pub", {"Cookie: " + CookiePair(cookies[0])});
  for (const auto& c : again.Headers("Set-Cookie")) EXPECT_NE(c.rfind("SHAREUID=", 0), 0u);
}

TEST_F(ShareFlowTest, ProtectedShortLinkRedirectsToAnAddressEndingInUk) {
  Reply r = Fetch(port(), "GET", "/s/locked");
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(r.Header("Location"), sim.Url("/share/init?shareid=9002&uk=43"));
  EXPECT_EQ(sim.InitUrl("locked"), r.Header("Location"));
  Reply rel = Fetch(port(), "GET", "/s/rel");
  EXPECT_EQ(rel.status, 302);
  EXPECT_EQ(rel.Header("Location"), "/share/init?shareid=9008&uk=48");

  Reply page = Fetch(port(), "GET", "/share/init?shareid=9002&uk=43");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("请输入提取密码"), std::string::npos);
  EXPECT_EQ(page.body.find("yunData.setData("), std::string::npos);
  Reply wrongUk = Fetch(port(), "GET", "/share/init?shareid=9002&uk=44");
  EXPECT_NE(wrongUk.body.find("链接不存在"), std::string::npos);
}

TEST_F(ShareFlowTest, VerificationAnswersNineTwelveAndZeroWithBdclndFirst) {
  auto verify = [&](const std::string& body,
                    std::vector<std::string> headers = {"Referer:http://x/s/locked"}) {
    return Fetch(port(), "POST", VerifyTarget("9002", "43"), headers, body);
  };
  EXPECT_EQ(Errno(verify("pwd=&vcode=&vcode_str=")), -9);
  Reply wrong = verify("pwd=abcd&vcode=&vcode_str=");
  EXPECT_EQ(Errno(wrong), -12);
  EXPECT_EQ(wrong.body.rfind("{\"errno\":-12", 0), 0u);
  EXPECT_TRUE(wrong.Headers("Set-Cookie").empty());

  Reply ok = verify("pwd=a&b=&vcode=&vcode_str=");  // "&" and "=" travel unencoded
  ASSERT_EQ(Errno(ok), 0);
  EXPECT_EQ(ok.Header("Content-Type"), "application/json; charset=utf-8");
  auto cookies = ok.Headers("Set-Cookie");
  ASSERT_GE(cookies.size(), 2u);
  ASSERT_EQ(cookies[0].rfind("BDCLND=", 0), 0u);
  EXPECT_NE(cookies[0].find(';'), std::string::npos);  // attributes follow the pair
  std::string bdclnd = CookiePair(cookies[0]);
  EXPECT_EQ(Errno(verify("pwd=a%26b%3D&vcode=&vcode_str=")), 0);  // an encoding client works too

  PageInfo page = ReadPage(port(), "/share/init?shareid=9002&uk=43",
                           "SHAREUID=x:FG=1; " + bdclnd + "; PANPSC=1");
  ASSERT_TRUE(page.data.is_object());
  EXPECT_EQ(page.data["file_list"]["list"][0]["server_filename"], "secret.txt");
  PageInfo forged =
      ReadPage(port(), "/share/init?shareid=9002&uk=43", "BDCLND=" + std::string(40, 'a'));
  EXPECT_FALSE(forged.data.is_object());

  // Malformed requests get errno 2, so client faults show up.
  EXPECT_EQ(Errno(verify("pwd=a&b=&vcode=&vcode_str=", {})), 2);  // no Referer
  EXPECT_EQ(Errno(verify("password=x")), 2);
  EXPECT_EQ(Errno(Fetch(port(), "GET", VerifyTarget("9002", "43"), {"Referer: x"}, "")), 2);
  std::string badLog = VerifyTarget("9002", "43");
  badLog = badLog.substr(0, badLog.find("&logid=")) + "&logid=MTIz";
  EXPECT_EQ(Errno(Fetch(port(), "POST", badLog, {"Referer: x"}, "pwd=a&b=&vcode=&vcode_str=")), 2);
  std::string badT = VerifyTarget("9002", "43");
  badT.replace(badT.find("&t=") + 3, 13, "17336500001");
  EXPECT_EQ(Errno(Fetch(port(), "POST", badT, {"Referer: x"}, "pwd=a&b=&vcode=&vcode_str=")), 2);
  EXPECT_EQ(Errno(Fetch(port(), "POST", VerifyTarget("9002", "42"), {"Referer: x"},
                        "pwd=&vcode=&vcode_str=")),
            2);
}

TEST_F(ShareFlowTest, VerificationDemandsACaptchaUntilTheVisitorAnswersOne) {
  std::vector<std::string> headers = {"Referer:http://x/s/vcap", "Cookie: SHAREUID=VISITOR1:FG=1"};
  auto verify = [&](const std::string& body) {
    return Errno(Fetch(port(), "POST", VerifyTarget("9003", "44"), headers, body));
  };
  EXPECT_EQ(verify("pwd=pw12&vcode=&vcode_str="), -62);

  auto captcha = nlohmann::json::parse(Fetch(port(), "GET", CaptchaTarget("shareverify")).body);
  std::string token = captcha["vcode_str"];
  std::string answer = sim.CaptchaAnswer(token).value_or("");
  ASSERT_EQ(answer.size(), 4u);
  std::string wrong = answer == "AAAA" ? "BBBB" : "AAAA";
  EXPECT_EQ(verify("pwd=pw12&vcode=" + wrong + "&vcode_str=" + token), -62);
  EXPECT_EQ(verify("pwd=pw12&vcode=" + answer + "&vcode_str=" + token),
            -62);  // a token serves once

  token =
      nlohmann::json::parse(Fetch(port(), "GET", CaptchaTarget("shareverify")).body)["vcode_str"];
  answer = *sim.CaptchaAnswer(token);
  EXPECT_EQ(verify("pwd=&vcode=" + answer + "&vcode_str=" + token),
            -9);                                                     // captcha passed, password not
  EXPECT_EQ(verify("pwd=pw12&vcode=" + answer + "&vcode_str="), 0);  // the visitor is remembered
  headers[1] = "Cookie: SHAREUID=VISITOR2:FG=1";
  EXPECT_EQ(verify("pwd=pw12&vcode=&vcode_str="), -62);  // another visitor is not
}

TEST_F(ShareFlowTest, ListingIsSortedDescendingAndCappedAtOneHundred) {
  auto list = [&](const std::string& dir, int page = 1) {
    return nlohmann::json::parse(Fetch(port(), "GET", ListTarget("46", "9005", dir, page)).body);
  };
  auto first = list("/many");
  ASSERT_EQ(first["errno"], 0);
  ASSERT_EQ(first["list"].size(), 100u);
  EXPECT_EQ(first["list"][0]["server_filename"], "f150.bin");
  EXPECT_EQ(first["list"][99]["server_filename"], "f051.bin");
  EXPECT_EQ(first["list"][0]["path"], "/many/f150.bin");
  std::string text = Fetch(port(), "GET", ListTarget("46", "9005", "/many")).body;
  size_t objects = 0;
  for (size_t p = text.find("[{"); p != std::string::npos; p = text.find(",{", p + 1), ++objects)
    EXPECT_EQ(text.compare(p + 1, 9, "{\"fs_id\":"), 0) << text.substr(p, 30);
  EXPECT_EQ(objects, 100u);
  auto second = list("/many", 2);
  ASSERT_EQ(second["list"].size(), 50u);
  EXPECT_EQ(second["list"][49]["server_filename"], "f001.bin");

  EXPECT_EQ(list("/broken")["errno"], -7);
  auto loop = list("/loop");
  ASSERT_EQ(loop["list"].size(), 2u);
  EXPECT_EQ(loop["list"][0]["path"], "/loop");  // names itself: a hostile answer
  EXPECT_EQ(loop["list"][0]["isdir"], 1);
  EXPECT_EQ(list("/nowhere")["errno"], 2);

  // Blanks and non-ASCII arrive escaped by the transport; "&" and "=" of a name arrive raw.
  auto pub = [&](const std::string& dir) {
    return nlohmann::json::parse(Fetch(port(), "GET", ListTarget("42", "9001", dir)).body);
  };
  auto docs = pub("/docs");
  ASSERT_EQ(docs["list"].size(), 3u);
  EXPECT_EQ(docs["list"][0]["server_filename"], "文件 夹");  // by bytes: UTF-8 sorts after ASCII
  EXPECT_EQ(docs["list"][1]["server_filename"], "x.txt");
  EXPECT_EQ(docs["list"][2]["server_filename"], "A&B=C");
  EXPECT_EQ(pub("/docs/%E6%96%87%E4%BB%B6%20%E5%A4%B9")["list"][0]["server_filename"], "deep.txt");
  EXPECT_EQ(pub("/docs/A&B=C")["list"][0]["server_filename"], "amp.txt");

  std::string target = ListTarget("42", "9001", "/docs");
  EXPECT_EQ(Errno(Fetch(port(), "GET", target.replace(target.find("desc=1"), 6, "desc=x"))), 2);
  target = ListTarget("42", "9001", "/docs");
  EXPECT_EQ(Errno(Fetch(port(), "GET", target.replace(target.find("&t=0.") + 5, 2, ""))), 2);

  // A protected share lists only for a visitor holding its BDCLND cookie.
  EXPECT_EQ(Errno(Fetch(port(), "GET", ListTarget("43", "9002", "/inner"))), -9);
  Reply ok = Fetch(port(), "POST", VerifyTarget("9002", "43"), {"Referer:x"},
                   "pwd=a&b=&vcode=&vcode_str=");
  std::string cookie = "Cookie: " + CookiePair(ok.Header("Set-Cookie"));
  EXPECT_EQ(Errno(Fetch(port(), "GET", ListTarget("43", "9002", "/inner"), {cookie})), 0);
}

TEST_F(ShareFlowTest, LinkRequestsAreCheckedAndAnsweredWithEscapedSlashes) {
  PageInfo p = ReadPage(port(), "/s/pub");
  ASSERT_TRUE(p.data.is_object());
  Reply r = Fetch(port(), "POST", LinkTarget(p), {"Referer:http://x/s/pub"},
                  LinkBody(p, "1234567890123456"));
  ASSERT_EQ(Errno(r), 0) << r.body;
  size_t at =
      r.body.find("\"dlink\":\"http:\\/\\/127.0.0.1:" + std::to_string(port()) + "\\/file\\/");
  EXPECT_NE(at, std::string::npos) << r.body;
  EXPECT_NE(r.body.find("&dp-logid=", at), std::string::npos);
  auto j = nlohmann::json::parse(r.body);
  EXPECT_EQ(j["list"][0]["fs_id"].get<uint64_t>(), 1234567890123456u);
  std::string link = j["list"][0]["dlink"];
  // The part before "&dp-l" is a working link by itself.
  std::string kept = link.substr(0, link.find("&dp-l"));
  Reply file = Fetch(port(), "GET", kept.substr(kept.find("/file/")));
  EXPECT_EQ(file.status, 200);
  EXPECT_EQ(file.body.size(), 10u);

  auto post = [&](const std::string& target, const std::string& body,
                  std::vector<std::string> h = {"Referer:x"}) {
    return Errno(Fetch(port(), "POST", target, h, body));
  };
  PageInfo bad = p;
  bad.sign[0] = bad.sign[0] == 'a' ? 'b' : 'a';
  EXPECT_EQ(post(LinkTarget(bad), LinkBody(p, "1234567890123456")), 2);
  EXPECT_EQ(post(LinkTarget(p), LinkBody(p, "1234567890123456"), {}), 0);  // no Referer is needed
  EXPECT_EQ(post(LinkTarget(p), LinkBody(p, "1234567890123457")), 2);      // not in the share
  std::string docsId = std::to_string(p.data["file_list"]["list"][2]["fs_id"].get<uint64_t>());
  EXPECT_EQ(post(LinkTarget(p), LinkBody(p, docsId)), 2);  // a folder
  EXPECT_EQ(post(LinkTarget(p), LinkBody(p, "1234567890123456", "", "", "{\"sekey\":\"nope\"}")),
            2);
  std::string body = LinkBody(p, "1234567890123456");
  EXPECT_EQ(post(LinkTarget(p), body.replace(0, 9, "encrypt=1")), 2);
  PageInfo nullToken = p;
  nullToken.bdstoken = "null";  // what the quick mode sends
  EXPECT_EQ(post(LinkTarget(nullToken), LinkBody(p, "1234567890123456")), 0);
  // Files found by listing go out with app_id 250528, top-level ones with theirs.
  EXPECT_EQ(post(LinkTarget(p, "778750"), LinkBody(p, "1234567890123456")), 0);
  EXPECT_EQ(post(LinkTarget(p, "x"), LinkBody(p, "1234567890123456")), 2);
}

TEST_F(ShareFlowTest, ProtectedLinksNeedTheCookieAndAMatchingSekey) {
  Reply ok = Fetch(port(), "POST", VerifyTarget("9002", "43"), {"Referer:x"},
                   "pwd=a&b=&vcode=&vcode_str=");
  std::string pair = CookiePair(ok.Header("Set-Cookie"));
  std::string key = pair.substr(7);
  PageInfo p = ReadPage(port(), "/share/init?shareid=9002&uk=43", pair);
  ASSERT_TRUE(p.data.is_object());
  std::string fsId = std::to_string(p.data["file_list"]["list"][0]["fs_id"].get<uint64_t>());
  auto post = [&](const std::vector<std::string>& headers, const std::string& extra) {
    return Errno(Fetch(port(), "POST", LinkTarget(p), headers, LinkBody(p, fsId, "", "", extra)));
  };
  std::string sekey = "{\"sekey\":\"" + key + "\"}";
  EXPECT_EQ(post({"Referer:x"}, sekey), -9);
  EXPECT_EQ(post({"Referer:x", "Cookie: " + pair + "; a=1"}, sekey), 0);
  EXPECT_EQ(post({"Referer:x", "Cookie: a=1; " + pair}, ""), 0);  // a client that lost extra
  EXPECT_EQ(post({"Referer:x", "Cookie: " + pair}, "%7B%22sekey%22%3A%22" + key + "%22%7D"), 0);
  std::string other = key;
  other[0] = other[0] == '0' ? '1' : '0';
  EXPECT_EQ(post({"Referer:x", "Cookie: " + pair}, "{\"sekey\":\"" + other + "\"}"), 2);
}

TEST_F(ShareFlowTest, OnlyFileKAsksForACaptchaUntilItIsAnswered) {
  PageInfo p = ReadPage(port(), "/s/lcap");
  ASSERT_TRUE(p.data.is_object());
  auto id = [&](int k) {
    return std::to_string(p.data["file_list"]["list"][k - 1]["fs_id"].get<uint64_t>());
  };
  auto link = [&](int k, const std::string& answer, const std::string& token) {
    return Fetch(port(), "POST", LinkTarget(p), {"Referer:x"}, LinkBody(p, id(k), answer, token));
  };
  EXPECT_EQ(Errno(link(1, "", "")), 0);
  EXPECT_EQ(Errno(link(2, "", "")), 0);
  Reply asked = link(3, "", "");
  EXPECT_EQ(asked.body.rfind("{\"errno\":-20", 0), 0u);

  auto captcha = nlohmann::json::parse(Fetch(port(), "GET", CaptchaTarget("pan")).body);
  std::string token = captcha["vcode_str"];
  std::string answer = *sim.CaptchaAnswer(token);
  EXPECT_EQ(Errno(link(3, "ZZZZ" == answer ? "YYYY" : "ZZZZ", token)), -20);
  EXPECT_EQ(Errno(link(3, answer, token)), -20);  // spent by the wrong answer
  token = nlohmann::json::parse(Fetch(port(), "GET", CaptchaTarget("pan")).body)["vcode_str"];
  answer = *sim.CaptchaAnswer(token);
  std::string lower = answer;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(Errno(link(3, lower, token)), 0);  // letter case does not matter
  EXPECT_EQ(Errno(link(4, answer, "")), 0);    // later files do not ask
  EXPECT_EQ(Errno(link(5, answer, "")), 0);
  EXPECT_EQ(Errno(link(3, answer, "")), -20);  // a new parse meets the captcha again
}

TEST_F(ShareFlowTest, QuickModePublicPathAndVcode) {
  Fetch(port(), "GET", "/s/pub");
  PageInfo p = ReadPage(port(), "/s/pub");
  std::string like =
      "/pcloud/like/data?bdstoken=null&channel=chunlei&clienttype=0&web=1&app_id=250528&logid=" +
      LogId();
  Reply liked =
      Fetch(port(), "POST", like, {"Referer: http://x/s/pub"}, "type=1&query_uk=42&source_id=9001");
  ASSERT_EQ(Errno(liked), 0);
  std::string pair = CookiePair(liked.Header("Set-Cookie"));
  ASSERT_EQ(pair.rfind("BDCLND=", 0), 0u);
  std::string sekey = pair.substr(pair.rfind('=') + 1);
  std::string target =
      "/api/sharedownload?sign=" + p.sign + "&timestamp=" + p.timestamp +
      "&bdstoken=null&channel=chunlei&clienttype=0&web=1&app_id=250528&logid=" + LogId();
  std::string body = "encrypt=0&extra=%7B%22sekey%22%3A%22" + sekey +
                     "%22%7D&product=share&vcode_input=" + p.sign + "&vcode_str=" + sekey +
                     "&uk=42&primaryid=9001&fid_list=%5B1234567890123456%5D";
  Reply r = Fetch(port(), "POST", target, {"Cookie: " + pair}, body);  // as the quick mode sends it
  EXPECT_EQ(Errno(r), 0) << r.body;
  EXPECT_EQ(Errno(Fetch(port(), "POST", like, {"Referer: x"}, "type=1&query_uk=43&source_id=9001")),
            2);
  // A protected share hands no key out through this call.
  Reply lockedLike =
      Fetch(port(), "POST", like, {"Referer: x"}, "type=1&query_uk=43&source_id=9002");
  for (const auto& c : lockedLike.Headers("Set-Cookie")) EXPECT_NE(c.rfind("BDCLND=", 0), 0u);

  Reply vcode = Fetch(port(), "GET",
                      "/api/"
                      "getvcode?prod=pan&t=0.9393451915774635&bdstoken=null&channel=chunlei&"
                      "clienttype=0&web=1&app_id=250528&logid=" +
                          LogId());
  auto j = nlohmann::json::parse(vcode.body);
  ASSERT_EQ(j["errno"], 0);
  std::string token = j["vcode"];
  EXPECT_EQ(vcode.body.find("\"img\":\"http:\\/\\/"), vcode.body.find("\"img\":"));
  EXPECT_EQ(j["img"], sim.Url("/genimage?" + token));
  EXPECT_TRUE(sim.CaptchaAnswer(token).has_value());
}

TEST_F(ShareFlowTest, PageQuirksMissingOnceGoneAndNoData) {
  Reply first = Fetch(port(), "GET", "/s/flaky");
  EXPECT_NE(first.body.find("页面不存在"), std::string::npos);
  EXPECT_EQ(first.body.find("yunData.setData("), std::string::npos);
  Reply second = Fetch(port(), "GET", "/s/flaky");
  EXPECT_EQ(second.body.find("页面不存在"), std::string::npos);
  EXPECT_TRUE(PageData(second.body).is_object());
  sim.Reset();
  EXPECT_NE(Fetch(port(), "GET", "/s/flaky").body.find("页面不存在"), std::string::npos);

  Reply gone = Fetch(port(), "GET", "/s/dead");
  EXPECT_NE(gone.body.find("链接不存在"), std::string::npos);
  EXPECT_EQ(gone.body.find("页面不存在"), std::string::npos);
  EXPECT_NE(Fetch(port(), "GET", "/s/nosuchshare").body.find("链接不存在"), std::string::npos);
  Reply blank = Fetch(port(), "GET", "/s/blank");
  EXPECT_EQ(blank.status, 200);
  EXPECT_EQ(blank.body.find("yunData.setData("), std::string::npos);
  EXPECT_EQ(blank.body.find("请输入提取密码"), std::string::npos);
}

TEST(ShareSimFixtureOptions, GbkPagesAndAsciiJson) {
  ShareSimulator sim;
  ASSERT_TRUE(sim.StartFromText(R"({"asciiJson": true, "shares": [
    {"id": "g", "uk": 1, "shareid": 2, "pageCharset": "gbk", "items": [
      {"name": "中文", "children": [{"name": "文件.txt", "size": 1}]}]}]})"))
      << sim.error();
  Reply page = Fetch(sim.port(), "GET", "/s/g");
  EXPECT_EQ(page.Header("Content-Type"), "text/html; charset=gbk");
  EXPECT_NE(page.body.find("charset=gbk\">"), std::string::npos);
  EXPECT_NE(page.body.find("\\u4e2d\\u6587"), std::string::npos);    // the data escapes, as asked
  EXPECT_NE(page.body.find("\xC3\xE2\xB7\xD1"), std::string::npos);  // "免费" in GBK bytes
  Reply list = Fetch(sim.port(), "GET", ListTarget("1", "2", "/%E4%B8%AD%E6%96%87"));
  EXPECT_NE(list.body.find("\"server_filename\":\"\\u6587\\u4ef6.txt\""), std::string::npos)
      << list.body;
}

}  // namespace
}  // namespace sf::sim::test
