#include "net/web_client.h"

#include <gtest/gtest.h>

#include "base/encoding.h"
#include "fake_http_platform.h"

namespace sf {
namespace {

using test::FakeHttpPlatform;

class WebClientTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeHttpPlatform> fake = std::make_shared<FakeHttpPlatform>();
  WebClient client{true, fake};
  std::string status;

  std::string Run(WebRequest r) {
    r.statusText = &status;
    return client.Request(r);
  }
};

TEST_F(WebClientTest, MethodsMapToTheirNamesAndAnythingElseIsGet) {
  const std::pair<int, const char*> cases[] = {{0, "GET"}, {1, "POST"}, {2, "HEAD"},
                                               {3, "PUT"}, {4, "GET"},  {-1, "GET"}};
  for (auto [method, name] : cases) {
    fake->calls.clear();
    Run({.url = "http://h/x", .method = method});
    EXPECT_EQ(fake->Calls("OpenRequest"),
              (std::vector<std::string>{std::string("OpenRequest ") + name + " /x 0x0"}));
  }
}

TEST_F(WebClientTest, PathQueryPortAndSchemeReachTheRequest) {
  Run({.url = "https://h"});
  EXPECT_EQ(fake->Calls("Connect"), std::vector<std::string>{"Connect h 443"});
  EXPECT_EQ(fake->Calls("OpenRequest"), std::vector<std::string>{"OpenRequest GET / 0x800000"});
  fake->calls.clear();
  Run({.url = "http://h:8080/a?b=1"});
  EXPECT_EQ(fake->Calls("Connect"), std::vector<std::string>{"Connect h 8080"});
  EXPECT_EQ(fake->Calls("OpenRequest"), std::vector<std::string>{"OpenRequest GET /a?b=1 0x0"});
  fake->calls.clear();
  Run({.url = "http://h?b=1"});  // no path: "/" alone, the query stays behind
  EXPECT_EQ(fake->Calls("OpenRequest"), std::vector<std::string>{"OpenRequest GET / 0x0"});
}

TEST_F(WebClientTest, DefaultHeaderLinesAreAddedInOrder) {
  std::string cookies = "a=1; b=2";
  Run({.url = "http://h/", .cookies = &cookies});
  EXPECT_EQ(fake->lastHeaders,
            "User-Agent: Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)\r\n"
            "Accept: text/html, application/xhtml+xml, */*\r\n"
            "Accept-Encoding: gbk, GB2312\r\n"
            "Accept-Language: zh-cn\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n"
            "Cache-Control: no-cache\r\n"
            "Cookie: a=1; b=2\r\n");
  EXPECT_EQ(fake->Calls("AddRequestHeaders"),
            std::vector<std::string>{"AddRequestHeaders 0xA0000000"});
}

TEST_F(WebClientTest, CallerLinesKeepDefaultsOutByTheirCaseRules) {
  std::string cookies = "a=1";
  Run({.url = "http://h/",
       .cookies = &cookies,
       .headerLines = "user-agent: mine\r\ncontent-type: text/plain\r\nCookie: own=1"});
  const std::string& h = fake->lastHeaders;
  EXPECT_EQ(h.find("User-Agent: Mozilla"), std::string::npos);  // searched without case
  EXPECT_NE(h.find("content-type: text/plain"), std::string::npos);
  EXPECT_NE(h.find("Content-Type: application/x-www-form-urlencoded"),
            std::string::npos);  // with case
  EXPECT_EQ(h.find("Cookie: a=1"), std::string::npos);
  EXPECT_EQ(
      h.rfind("user-agent: mine\r\ncontent-type: text/plain\r\nCookie: own=1\r\nAccept: text/html",
              0),
      0u);
}

TEST_F(WebClientTest, CookieOptionDependsOnWhetherCookiesWereGiven) {
  Run({.url = "http://h/"});
  EXPECT_EQ(fake->Calls("SetOption"), std::vector<std::string>{"SetOption 63 1"});
  fake->calls.clear();
  std::string empty;
  Run({.url = "http://h/", .cookies = &empty});
  EXPECT_EQ(fake->Calls("SetOption"), std::vector<std::string>{"SetOption 79 1"});
  EXPECT_EQ(fake->lastHeaders.find("Cookie:"), std::string::npos);
  fake->calls.clear();
  Run({.url = "http://h/", .noRedirect = true});
  EXPECT_EQ(fake->Calls("SetOption"),
            (std::vector<std::string>{"SetOption 63 1", "SetOption 63 2"}));
}

TEST_F(WebClientTest, TimeoutsCredentialsAndProxy) {
  Run({.url = "http://h/", .timeoutSeconds = -5});
  EXPECT_EQ(fake->Calls("SetTimeouts"),
            std::vector<std::string>{"SetTimeouts 30000 30000 30000 30000"});
  EXPECT_EQ(fake->Calls("Open"), std::vector<std::string>{"Open 1 []"});
  EXPECT_TRUE(fake->Calls("SetCredentials").empty());
  fake->calls.clear();
  Run({.url = "http://h/",
       .userName = "u",
       .proxy = "p:8080",
       .proxyUserName = "pu",
       .proxyPassword = "pp",
       .timeoutSeconds = 2});
  EXPECT_EQ(fake->Calls("SetTimeouts"),
            std::vector<std::string>{"SetTimeouts 2000 2000 2000 2000"});
  EXPECT_EQ(fake->Calls("Open"), std::vector<std::string>{"Open 3 [http=p:8080]"});
  EXPECT_EQ(fake->Calls("SetCredentials"), std::vector<std::string>{"SetCredentials 1 1 pu pp"});
  fake->calls.clear();
  Run({.url = "https://h/", .userName = "u", .password = "pw", .proxy = "p:8080"});
  EXPECT_EQ(fake->Calls("Open"), std::vector<std::string>{"Open 3 [p:8080]"});
  EXPECT_EQ(fake->Calls("SetCredentials"), std::vector<std::string>{"SetCredentials 0 1 u pw"});
}

TEST_F(WebClientTest, EachFailingStepGivesItsMessageAndClosesWhatWasOpened) {
  struct Case {
    const char* op;
    const char* message;
    int closed;
  };
  const Case cases[] = {
      {"CheckPlatform", "700 当前系统不支持WinHttp服务!", 0},
      {"CrackUrl", "701 解析URL地址失败!", 0},
      {"Open", "702 创建WinHttp会话失败!", 0},
      {"Connect", "703 创建WinHttp连接失败!", 1},
      {"OpenRequest", "704 创建WinHttp请求失败!", 2},
      {"SetTimeouts", "705 设置超时时间失败!", 3},
      {"SetCredentials", "707 设置代理凭证失败!", 3},
      {"SetOption", "708 禁止自动设置Cookies失败!", 3},
      {"AddRequestHeaders", "710 设置协议头失败!", 3},
      {"SendRequest", "711 发送请求失败!", 3},
      {"ReceiveResponse", "712 服务器未响应!", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    fake = std::make_shared<FakeHttpPlatform>();
    client = WebClient(true, fake);
    fake->failing = {c.op};
    std::string headers = "kept";
    EXPECT_EQ(
        Run({.url = "http://h/", .responseHeaders = &headers, .userName = "u", .password = "p"}),
        "");
    EXPECT_EQ(GbkToUtf8(status), c.message);
    EXPECT_EQ(headers, "kept");
    std::vector<std::string> expected = {"CloseHandle 3", "CloseHandle 2", "CloseHandle 1"};
    expected.erase(expected.begin(), expected.begin() + (3 - c.closed));
    EXPECT_EQ(fake->Calls("CloseHandle"), expected);
  }
  fake = std::make_shared<FakeHttpPlatform>();
  client = WebClient(true, fake);
  fake->failing = {"SetOption"};
  std::string empty;
  Run({.url = "http://h/", .noRedirect = true});
  EXPECT_EQ(GbkToUtf8(status), "708 禁止自动设置Cookies失败!");
}

TEST_F(WebClientTest, RedirectSwitchFailureIs709) {
  struct OnlyRedirectFails : FakeHttpPlatform {
    bool SetOption(HttpHandle h, int option, uint32_t value) override {
      FakeHttpPlatform::SetOption(h, option, value);
      return value != kFeatureRedirects;
    }
  };
  auto f = std::make_shared<OnlyRedirectFails>();
  WebClient c(false, f);
  c.Request({.url = "http://h/", .noRedirect = true, .statusText = &status});
  EXPECT_EQ(GbkToUtf8(status), "709 重定向设置失败!");
}

TEST_F(WebClientTest, BodyIsCutAtZeroWhileRawBytesKeepEverything) {
  fake->bodyChunks = {std::string("ab\0c", 4), "de"};
  std::string bytes;
  EXPECT_EQ(Run({.url = "http://h/", .responseBytes = &bytes}), "ab");
  EXPECT_EQ(bytes, std::string("ab\0cde", 6));
  EXPECT_EQ(status, "200 OK");
}

TEST_F(WebClientTest, ReadFailureKeepsThePartialBodyAndTheStatus) {
  fake->bodyChunks = {"partial"};
  fake->failReadAfterChunks = true;
  fake->headerBlock = "HTTP/1.1 206 Partial Content\r\n\r\n";
  EXPECT_EQ(Run({.url = "http://h/"}), "partial");
  EXPECT_EQ(status, "206 Partial Content");
}

TEST_F(WebClientTest, StatusTextNeedsALineBreak) {
  fake->headerBlock = "HTTP/1.1 200 OK";
  std::string headers;
  Run({.url = "http://h/", .responseHeaders = &headers});
  EXPECT_EQ(status, "");
  EXPECT_EQ(headers, "HTTP/1.1 200 OK");
}

TEST_F(WebClientTest, HeaderQueryFailureEndsWithEmptyTextAndNoOutputs) {
  fake->bodyChunks = {"body"};
  fake->failing = {"QueryRawHeaders"};
  std::string bytes = "untouched";
  status = "before";
  EXPECT_EQ(client.Request({.url = "http://h/", .statusText = &status, .responseBytes = &bytes}),
            "");
  EXPECT_EQ(bytes, "untouched");
  EXPECT_EQ(status, "before");
}

TEST_F(WebClientTest, ResponseCookiesAndLocationAreHandedBack) {
  fake->headerBlock =
      "HTTP/1.1 302 Found\r\nset-cookie: BDCLND=x; path=/\r\nSet-Cookie: a=1\r\nLocation: "
      "/next\r\n\r\n";
  std::string cookies = "a=0; old=1", fresh, location, headers;
  Run({.url = "http://h/",
       .cookies = &cookies,
       .newCookies = &fresh,
       .responseHeaders = &headers,
       .location = &location});
  EXPECT_EQ(fresh, "BDCLND=x;a=1");
  EXPECT_EQ(cookies, "BDCLND=x; a=1; old=1");
  EXPECT_EQ(location, "/next");
  EXPECT_NE(headers.find("Set-Cookie: BDCLND=x; path=/"), std::string::npos);

  WebClient plain(false, fake);
  cookies = "a=0";
  plain.Request({.url = "http://h/", .cookies = &cookies, .newCookies = &fresh});
  EXPECT_EQ(cookies, "a=0");
  EXPECT_EQ(fresh, "BDCLND=x; a=1");
}

TEST_F(WebClientTest, DecodesByMetaTagThenByContentType) {
  fake->bodyChunks = {"<meta charset=\"utf-8\">中文"};
  EXPECT_EQ(Run({.url = "http://h/"}), Utf8ToGbk("<meta charset=\"utf-8\">中文"));

  fake = std::make_shared<FakeHttpPlatform>();
  client = WebClient(true, fake);
  fake->headerBlock = "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\n\r\n";
  fake->bodyChunks = {"{\"server_filename\":\"照片.jpg\"}"};
  EXPECT_EQ(Run({.url = "http://h/"}), Utf8ToGbk("{\"server_filename\":\"照片.jpg\"}"));

  fake = std::make_shared<FakeHttpPlatform>();
  client = WebClient(true, fake);
  fake->headerBlock = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n";
  std::string gbkPage = "<meta charset=gbk>" + Utf8ToGbk("中文");
  fake->bodyChunks = {gbkPage};
  EXPECT_EQ(Run({.url = "http://h/"}), gbkPage);  // the page's own declaration wins

  fake = std::make_shared<FakeHttpPlatform>();
  client = WebClient(true, fake);
  std::string late = std::string(2000, ' ') + "<meta charset=utf-8>中";
  fake->bodyChunks = {late};
  EXPECT_EQ(Run({.url = "http://h/"}), late);  // declared too late to count

  fake = std::make_shared<FakeHttpPlatform>();
  client = WebClient(true, fake);
  fake->bodyChunks = {"<meta charset=klingon>\xE4\xB8\xAD"};
  EXPECT_EQ(Run({.url = "http://h/"}), "<meta charset=klingon>\xE4\xB8\xAD");
}

}  // namespace
}  // namespace sf
