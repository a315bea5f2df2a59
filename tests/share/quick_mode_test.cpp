// The quick mode against the local share service, asserting on what the service logged, and
// against a scripted server for answers the service does not give.
#include "share/quick_mode.h"

#include <gtest/gtest.h>

#include <functional>

#include "base/encoding.h"
#include "common_shares.h"
#include "raw_http_server.h"
#include "share_simulator.h"

namespace sf {
namespace {

using sim::RequestRecord;
using sim::ShareSimulator;

const std::string kFixture = test::CommonSharesAnd(R"(
    {"id": "qcap", "uk": 44, "shareid": 9003,
     "items": [{"name": "first.bin", "size": 5, "captcha": true}, {"name": "second.bin", "size": 6}]})");

constexpr const char* kCommon =
    "bdstoken=null&channel=chunlei&clienttype=0&web=1&app_id=250528&logid=";

// Records what the quick mode shows, in UTF-8; the captcha box is a plain text.
struct RecordingView : QuickModeView {
  std::vector<std::string> statuses, outputs, pictures;
  std::string captchaText;
  int cleared = 0;
  std::function<void()> onStatus;  // runs inside the quick mode's run
  void ShowStatus(const std::string& t) override {
    statuses.push_back(GbkToUtf8(t));
    if (onStatus) onStatus();
  }
  void SetOutput(const std::string& t) override { outputs.push_back(GbkToUtf8(t)); }
  void ShowCaptchaPicture(const std::string& bytes) override { pictures.push_back(bytes); }
  std::string CaptchaText() override { return captchaText; }
  void ClearCaptchaText() override {
    captchaText.clear();
    ++cleared;
  }
};

class QuickModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(simulator.StartFromText(kFixture)) << simulator.error();
    mode = std::make_unique<QuickMode>(simulator.Url(""), view);
  }

  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    for (const auto& r : simulator.Requests()) out.push_back(r.method + " " + r.Path());
    return out;
  }

  // The body of the file a link names, fetched the way a download would.
  std::string Fetch(const std::string& link) const {
    std::string status;
    std::string bytes;
    WebClient(false).Request({.url = link, .statusText = &status, .responseBytes = &bytes});
    return status.rfind("200", 0) == 0 ? bytes : "failed: " + status;
  }

  std::string LinkBody(const std::string& input, const std::string& token) const {
    const QuickModeState& s = mode->state();
    return "encrypt=0&extra=%7B%22sekey%22%3A%22" + s.sekey +
           "%22%7D&product=share&vcode_input=" + input + "&vcode_str=" + token + "&uk=" + s.userId +
           "&primaryid=" + s.shareId + "&fid_list=%5B" + s.fileId + "%5D";
  }

  ShareSimulator simulator;
  RecordingView view;
  std::unique_ptr<QuickMode> mode;
};

TEST_F(QuickModeTest, ProtectedSharePostsOneVerifyAndKeepsItsFirstCookie) {
  const std::string url = simulator.InitUrl("locked");
  ASSERT_TRUE(mode->Parse(url, "ab12"));
  auto reqs = simulator.Requests();
  ASSERT_EQ(Lines(), (std::vector<std::string>{"GET /share/init", "POST /share/verify",
                                               "GET /share/init", "POST /api/sharedownload"}));
  const QuickModeState& s = mode->state();
  EXPECT_EQ(s.shareId, "9002");
  EXPECT_EQ(s.userId, "43");
  EXPECT_EQ(view.statuses, std::vector<std::string>{"需要输入分享密码"});

  EXPECT_EQ(reqs[0].CountHeader("Cookie"), 0);
  const RequestRecord& verify = reqs[1];
  EXPECT_EQ(verify.target, "/share/verify?shareid=9002&uk=43&t=1495278759042&" +
                               std::string(kCommon) + s.requestId);
  EXPECT_EQ(verify.body, "pwd=ab12&vcode=&vcode_str=");
  EXPECT_EQ(verify.Header("Referer"), url);
  // The cookies the share page set.
  EXPECT_NE(verify.Header("Cookie").find("PANWEB=1; csrfToken="), std::string::npos);

  // The answer sets BDCLND, STOKEN and PANPSC; only the first is kept, and it is the key.
  EXPECT_EQ(s.cookies.rfind("BDCLND=", 0), 0u);
  EXPECT_EQ(s.cookies.find(';'), std::string::npos);
  EXPECT_EQ(s.sekey, s.cookies.substr(7));
  EXPECT_EQ(reqs[2].Header("Cookie"), s.cookies);
  EXPECT_EQ(s.fileId, "5550001");

  const RequestRecord& link = reqs[3];
  EXPECT_EQ(link.target, "/api/sharedownload?sign=" + s.sign + "&timestamp=" + s.timestamp + "&" +
                             kCommon + s.requestId);
  EXPECT_EQ(s.sign.size(), 40u);
  EXPECT_EQ(link.body, LinkBody(s.sign, s.sekey));  // the first request: sign and key, no captcha
  EXPECT_EQ(link.Header("Cookie"), s.cookies);
  EXPECT_EQ(link.CountHeader("Referer"), 0);

  ASSERT_EQ(view.outputs.size(), 1u);
  const std::string& out = view.outputs[0];
  ASSERT_GT(out.size(), 7u);
  EXPECT_EQ(out.rfind(simulator.Url("/file/9002/5550001/secret.zip?"), 0), 0u) << out;
  EXPECT_EQ(out.find('\\'), std::string::npos);
  EXPECT_EQ(out.find("&dp-l"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 7), "&chkpc=");  // cut right before "&dp-logid="
  EXPECT_EQ(Fetch(out).size(), 77u);
}

TEST_F(QuickModeTest, EmptyAndWrongPasswords) {
  const std::string url = simulator.InitUrl("locked");
  // An empty password box still sends the one verification; its -9 is not the end, so the
  // run goes on with empty values and ends with an empty output.
  mode->Parse(url, "");
  auto reqs = simulator.Requests();
  ASSERT_EQ(Lines(), (std::vector<std::string>{"GET /share/init", "POST /share/verify",
                                               "GET /share/init", "POST /api/sharedownload"}));
  EXPECT_EQ(reqs[1].body, "pwd=&vcode=&vcode_str=");
  EXPECT_EQ(reqs[2].CountHeader("Cookie"), 0);
  EXPECT_EQ(mode->state().cookies, "");
  EXPECT_EQ(view.outputs, std::vector<std::string>{""});

  // A wrong password (-12) ends the parse right after the verification, saying so: the
  // status asking for a password would read the same after a right one.
  simulator.ClearRequests();
  mode->Parse(url, "nope");
  ASSERT_EQ(Lines(), (std::vector<std::string>{"GET /share/init", "POST /share/verify"}));
  EXPECT_EQ(view.outputs.size(), 1u);
  EXPECT_EQ(view.statuses.back(), "分享密码错误，请检查后重新解析");
}

TEST_F(QuickModeTest, PublicShareTakesTwoGetsAndTheLikeCall) {
  const std::string url = simulator.ShareUrl("pub");
  ASSERT_TRUE(mode->Parse(url, "unused"));
  auto reqs = simulator.Requests();
  ASSERT_EQ(Lines(), (std::vector<std::string>{"GET /s/pub", "GET /s/pub", "POST /pcloud/like/data",
                                               "POST /api/sharedownload"}));
  const QuickModeState& s = mode->state();
  EXPECT_EQ(view.statuses, std::vector<std::string>{"无需输入分享密码"});
  EXPECT_EQ(reqs[0].CountHeader("Cookie"), 0);
  // What the first fetch collected.
  EXPECT_NE(reqs[1].Header("Cookie").find("PANWEB=1; csrfToken="), std::string::npos);
  EXPECT_EQ(s.userId, "42");
  EXPECT_EQ(s.shareId, "9001");
  EXPECT_EQ(s.fileId, "1234567890123456");

  const RequestRecord& like = reqs[2];
  EXPECT_EQ(like.target, "/pcloud/like/data?" + std::string(kCommon) + s.requestId);
  EXPECT_EQ(like.body, "type=1&query_uk=42&source_id=9001");
  EXPECT_EQ(like.Header("Referer"), url);
  EXPECT_EQ(like.Header("Cookie"), reqs[1].Header("Cookie"));

  EXPECT_EQ(s.cookies.rfind("BDCLND=", 0), 0u);
  EXPECT_EQ(reqs[3].Header("Cookie"), s.cookies);
  EXPECT_EQ(reqs[3].body, LinkBody(s.sign, s.sekey));
  ASSERT_EQ(view.outputs.size(), 1u);
  EXPECT_EQ(view.outputs[0].rfind(simulator.Url("/file/9001/1234567890123456/a.txt?"), 0), 0u)
      << view.outputs[0];
  EXPECT_EQ(Fetch(view.outputs[0]).size(), 10u);
}

TEST_F(QuickModeTest, ACaptchaIsFetchedShownAndAnsweredUntilRight) {
  ASSERT_TRUE(mode->Parse(simulator.ShareUrl("qcap"), ""));
  view.captchaText = "left over";
  auto reqs = simulator.Requests();
  ASSERT_EQ(Lines(), (std::vector<std::string>{"GET /s/qcap", "GET /s/qcap",
                                               "POST /pcloud/like/data", "POST /api/sharedownload",
                                               "GET /api/getvcode", "GET /genimage"}));
  const QuickModeState& s = mode->state();
  const RequestRecord& vcode = reqs[4];
  EXPECT_EQ(vcode.target,
            "/api/getvcode?prod=pan&t=0.9393451915774635&" + std::string(kCommon) + s.requestId);
  EXPECT_EQ(vcode.CountHeader("Cookie"), 0);
  const RequestRecord& image = reqs[5];
  EXPECT_EQ(image.Query(), s.captchaId);
  EXPECT_EQ(s.captchaId.size(), 40u);
  EXPECT_EQ(image.Header("User-Agent"),
            "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)");  // the plain client
  EXPECT_EQ(image.CountHeader("Cookie"), 0);
  ASSERT_EQ(view.pictures.size(), 1u);
  EXPECT_EQ(view.pictures[0].rfind("\x89PNG\r\n\x1a\n", 0), 0u);
  EXPECT_EQ(view.cleared, 1);
  EXPECT_TRUE(view.outputs.empty());

  // A wrong answer goes out with the token and brings the next captcha.
  ASSERT_TRUE(simulator.CaptchaAnswer(s.captchaId).has_value());
  std::string answer = *simulator.CaptchaAnswer(s.captchaId);
  std::string firstToken = s.captchaId;
  view.captchaText = answer == "ZZZZ" ? "YYYY" : "ZZZZ";
  simulator.ClearRequests();
  ASSERT_TRUE(mode->SubmitCaptcha());
  reqs = simulator.Requests();
  ASSERT_EQ(Lines(), (std::vector<std::string>{"POST /api/sharedownload", "GET /api/getvcode",
                                               "GET /genimage"}));
  EXPECT_EQ(reqs[0].body, LinkBody(answer == "ZZZZ" ? "YYYY" : "ZZZZ", firstToken));
  EXPECT_NE(s.captchaId, firstToken);
  EXPECT_EQ(view.pictures.size(), 2u);
  EXPECT_EQ(view.captchaText, "");

  view.captchaText = simulator.CaptchaAnswer(s.captchaId).value_or("");
  simulator.ClearRequests();
  ASSERT_TRUE(mode->SubmitCaptcha());
  EXPECT_EQ(Lines(), std::vector<std::string>{"POST /api/sharedownload"});
  ASSERT_EQ(view.outputs.size(), 1u);
  EXPECT_EQ(Fetch(view.outputs[0]).size(), 5u);
}

TEST_F(QuickModeTest, SubmittingBeforeAnyParseSendsEmptyValues) {
  view.captchaText = "ABCD";
  ASSERT_TRUE(mode->SubmitCaptcha());
  auto reqs = simulator.Requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].target, "/api/sharedownload?sign=&timestamp=&" + std::string(kCommon));
  EXPECT_EQ(reqs[0].body,
            "encrypt=0&extra=%7B%22sekey%22%3A%22%22%7D&product=share&vcode_input=ABCD&vcode_str=&"
            "uk=&primaryid=&"
            "fid_list=%5B%5D");
  EXPECT_EQ(reqs[0].CountHeader("Cookie"), 0);
  EXPECT_EQ(view.outputs, std::vector<std::string>{""});
}

TEST_F(QuickModeTest, ARunStartedFromInsideARunStartsNothing) {
  std::vector<bool> nested;
  view.onStatus = [&] {
    EXPECT_TRUE(mode->running());
    nested.push_back(mode->Parse(simulator.ShareUrl("pub"), ""));
    nested.push_back(mode->SubmitCaptcha());
  };
  ASSERT_TRUE(mode->Parse(simulator.ShareUrl("pub"), ""));
  EXPECT_EQ(nested, (std::vector<bool>{false, false}));
  EXPECT_EQ(simulator.Requests().size(), 4u);
  EXPECT_EQ(view.outputs.size(), 1u);
  EXPECT_FALSE(mode->running());
  view.onStatus = nullptr;
  EXPECT_TRUE(mode->SubmitCaptcha());  // free again once the run has ended
}

// A server that answers the quick mode's requests with scripted texts.
class ScriptedService {
 public:
  std::vector<std::string> verifyCookies;
  std::string linkAnswer;
  test::RawHttpServer server{[this](const test::RawRequest& r) { return Answer(r); }};

 private:
  test::RawResponse Answer(const test::RawRequest& r) {
    std::string target = r.Target();
    if (target.rfind("/share/init", 0) == 0)
      return test::RawHttpServer::Reply(200, "OK", {"Content-Type: text/html"},
                                        "<script>yunData.setData({\"sign\":\"s1\",\"timestamp\":99,"
                                        "\"file_list\":{\"list\":[{\"fs_id\":55,"
                                        "\"server_filename\":\"x\"}]}});</script>");
    std::vector<std::string> headers = {"Content-Type: application/json"};
    if (target.rfind("/share/verify", 0) == 0) {
      for (const auto& c : verifyCookies) headers.push_back("Set-Cookie: " + c);
      return test::RawHttpServer::Reply(200, "OK", headers, "{\"errno\":0}");
    }
    return test::RawHttpServer::Reply(200, "OK", headers, linkAnswer);
  }
};

// As in the session: the key verified at the share host never goes to the link's other host.
TEST_F(QuickModeTest, AnotherHostsLinkGetsNoneOfTheShareHostsCookies) {
  test::RawHttpServer other([](const test::RawRequest&) {
    return test::RawHttpServer::Reply(200, "OK", {"Set-Cookie: theirs=1"}, "<html></html>");
  });
  mode->Parse("http://localhost:" + std::to_string(other.port()) + "/share/init?shareid=9002&uk=43",
              "ab12");
  EXPECT_EQ(mode->state().cookies.rfind("BDCLND=", 0), 0u);  // verified at the share host
  auto asked = other.Requests();
  ASSERT_EQ(asked.size(), 2u);  // the page before the verification and after it
  EXPECT_EQ(asked[1].Header("Cookie"), "theirs=1");
  for (const auto& r : simulator.Requests())
    EXPECT_EQ(r.Header("Cookie").find("theirs"), std::string::npos) << r.Path();
}

TEST(QuickModeWire, ACookieWithoutAttributesEndsWithItsLineAndTheLinkLosesItsTail) {
  ScriptedService service;
  service.verifyCookies = {"BDCLND=k1", "PANPSC=p; path=/"};
  service.linkAnswer =
      "{\"errno\":0,\"list\":[{\"dlink\":\"http:\\/\\/d.example\\/file\\/"
      "x?a=1&b=2&dp-logid=77&dp-callid=0\"}]}";
  RecordingView view;
  QuickMode mode(service.server.Url(""), view);
  mode.Parse(service.server.Url("/share/init?shareid=7&uk=8"), "pw");
  auto reqs = service.server.Requests();
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_EQ(mode.state().cookies, "BDCLND=k1");
  EXPECT_EQ(mode.state().sekey, "k1");
  // The page request carries exactly that one pair: no header line rides along with it.
  EXPECT_EQ(reqs[2].Header("Cookie"), "BDCLND=k1");
  EXPECT_EQ(reqs[2].CountHeader("Set-Cookie"), 0);
  EXPECT_NE(
      reqs[3].body.find("%22k1%22%7D&product=share&vcode_input=s1&vcode_str=k1&uk=8&primaryid=7&"
                        "fid_list=%5B55%5D"),
      std::string::npos)
      << reqs[3].body;
  EXPECT_EQ(reqs[3].requestLine.rfind("POST /api/sharedownload?sign=s1&timestamp=99&", 0), 0u);
  EXPECT_EQ(view.outputs, std::vector<std::string>{"http://d.example/file/x?a=1&b=2"});
}

TEST(QuickModeWire, AnUnreachableServiceEndsWithAnEmptyOutput) {
  std::string host;
  {
    test::RawHttpServer gone([](const test::RawRequest&) { return test::RawResponse{}; });
    host = gone.Url("");
  }
  RecordingView view;
  QuickMode mode(host, view);
  EXPECT_TRUE(mode.Parse(host + "/s/1abc", ""));
  EXPECT_EQ(view.statuses, std::vector<std::string>{"无需输入分享密码"});
  EXPECT_EQ(view.outputs, std::vector<std::string>{""});
  EXPECT_TRUE(view.pictures.empty());
  EXPECT_EQ(mode.state().cookies, "");
  EXPECT_EQ(mode.state().userId, "");
}

}  // namespace
}  // namespace sf
