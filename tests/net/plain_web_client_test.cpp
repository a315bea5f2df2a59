#include "net/plain_web_client.h"

#include <gtest/gtest.h>

#include "raw_http_server.h"

namespace sf {
namespace {

using test::RawHttpServer;
using test::RawRequest;

// Records what the plain client asks of its HTTP layer.
struct FakeInet : InetPlatform {
  std::vector<std::string> calls;
  std::string sentHeaders, sentData;
  std::string body;
  std::string block = "HTTP/1.1 200 OK\r\n\r\n";
  bool failOpen = false, failConnect = false, failRequest = false;
  size_t pos = 0;

  HttpHandle InternetOpen(const std::string& agent, int access, const std::string& proxy,
                          const std::string& bypass) override {
    calls.push_back("Open [" + agent + "] " + std::to_string(access) + " [" + proxy + "] [" +
                    bypass + "]");
    return failOpen ? 0 : 1;
  }
  HttpHandle InternetConnect(HttpHandle, const std::string& host, int port, int service) override {
    calls.push_back("Connect " + host + " " + std::to_string(port) + " " + std::to_string(service));
    return failConnect ? 0 : 2;
  }
  HttpHandle HttpOpenRequest(HttpHandle, const std::string& method, const std::string& path,
                             const std::string& version, uint32_t flags) override {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", flags);
    calls.push_back("Request " + method + " " + path + " " + version + " " + hex);
    return failRequest ? 0 : 3;
  }
  bool HttpSendRequest(HttpHandle, const std::string& headers, const std::string& data) override {
    sentHeaders = headers;
    sentData = data;
    return true;
  }
  bool InternetReadFile(HttpHandle, char* buffer, uint32_t size, uint32_t* read) override {
    EXPECT_EQ(size, 1024u);
    size_t n = std::min<size_t>(size, body.size() - pos);
    std::copy(body.begin() + static_cast<long>(pos), body.begin() + static_cast<long>(pos + n),
              buffer);
    pos += n;
    *read = static_cast<uint32_t>(n);
    return true;
  }
  bool HttpQueryInfo(HttpHandle, int level, char* buffer, uint32_t* size) override {
    EXPECT_EQ(level, 22);
    EXPECT_EQ(*size, 5000u);
    if (block.size() + 1 > *size) return false;
    std::copy(block.begin(), block.end(), buffer);
    buffer[block.size()] = '\0';
    return true;
  }
  void InternetCloseHandle(HttpHandle h) override { calls.push_back("Close " + std::to_string(h)); }
};

TEST(PlainWebClient, TakesTheUrlApartByTextRules) {
  auto fake = std::make_shared<FakeInet>();
  PlainWebClient client(fake);
  client.Request({.url = "example.com/pic"});
  EXPECT_EQ(fake->calls[1], "Connect example.com 80 3");
  EXPECT_EQ(fake->calls[2], "Request GET /pic HTTP/1.1 0x80004010");
  fake->calls.clear();
  client.Request({.url = "HTTPS://Example.COM:8443/a"});
  EXPECT_EQ(fake->calls[1], "Connect example.com 8443 3");
  EXPECT_EQ(fake->calls[2], "Request GET /a HTTP/1.1 0x80800010");
  fake->calls.clear();
  // The host is looked for after the scheme, so a host such as "h" is not found inside "http".
  client.Request({.url = "http://h", .noRedirect = true});
  EXPECT_EQ(fake->calls[2], "Request GET / HTTP/1.1 0x80204010");
  fake->calls.clear();
  client.Request({.url = "http://t/x?q=/y"});
  EXPECT_EQ(fake->calls[2], "Request GET /x?q=/y HTTP/1.1 0x80004010");
  EXPECT_EQ(fake->calls.back(), "Close 1");
  EXPECT_EQ(fake->calls[fake->calls.size() - 3], "Close 3");
}

TEST(PlainWebClient, DefaultLinesAgentAndCookies) {
  auto fake = std::make_shared<FakeInet>();
  PlainWebClient client(fake);
  client.Request({.url = "http://h/x"});
  EXPECT_EQ(fake->calls[0], "Open [Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)] 1 [] []");
  EXPECT_EQ(fake->sentHeaders,
            "Accept: */*\r\nReferer: http://h/x\r\nAccept-Language: zh-cn\r\n"
            "Content-Type: application/x-www-form-urlencoded");

  std::string lines = "User-Agent: mine/1.0 \r\nAccept: image/png";
  std::string cookies = "Cookie: a=1";
  client.Request({.url = "http://h/x", .cookies = &cookies, .headerLines = &lines, .proxy = "p:1"});
  EXPECT_EQ(fake->calls[6], "Open [mine/1.0] 3 [http=p:1] []");
  EXPECT_EQ(lines,
            "User-Agent: mine/1.0 \r\nAccept: image/png\r\nReferer: http://h/x\r\nAccept-Language: "
            "zh-cn\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\nCookie: a=1");
  EXPECT_EQ(fake->calls[8],
            "Request GET /x HTTP/1.1 0x80084010");  // cookies given: the no-cookies flag

  cookies = "a=1";
  lines = "user-agent: low\r\nX: y";
  client.Request({.url = "http://h/x", .cookies = &cookies, .headerLines = &lines});
  EXPECT_EQ(fake->calls[12], "Open [low] 1 [] []");
  EXPECT_NE(lines.find("\r\nCookie: a=1"), std::string::npos);
}

TEST(PlainWebClient, PostFillsTheCallersBodyBytes) {
  auto fake = std::make_shared<FakeInet>();
  PlainWebClient client(fake);
  std::string bytes;
  client.Request({.url = "http://h/", .method = 1, .body = "x=1", .bodyBytes = &bytes});
  EXPECT_EQ(bytes, "x=1");
  EXPECT_EQ(fake->sentData, "x=1");
  client.Request({.url = "http://h/", .method = 7, .body = "x=1"});
  EXPECT_EQ(fake->sentData, "");
}

TEST(PlainWebClient, HeaderBlockCookiesAndTheBufferLimit) {
  auto fake = std::make_shared<FakeInet>();
  fake->body = std::string(3000, 'b');
  fake->block = "HTTP/1.1 200 OK\r\nset-cookie: a=1; path=/\r\nSet-Cookie: b=2\r\n\r\n";
  PlainWebClient client(fake);
  std::string headers, cookies;
  EXPECT_EQ(
      client.Request({.url = "http://h/", .newCookies = &cookies, .responseHeaders = &headers})
          .size(),
      3000u);
  EXPECT_EQ(cookies, "a=1; b=2");
  EXPECT_NE(headers.find("Set-Cookie: a=1; path=/"), std::string::npos);

  fake->pos = 0;
  fake->block = "HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nX: " + std::string(5000, 'x') + "\r\n\r\n";
  client.Request({.url = "http://h/", .newCookies = &cookies, .responseHeaders = &headers});
  EXPECT_EQ(headers, std::string(5000, ' '));
  EXPECT_EQ(cookies, "");
}

TEST(PlainWebClient, MissingHandlesGiveEmptyBytesAndCloseWhatWasOpen) {
  auto fake = std::make_shared<FakeInet>();
  fake->body = "data";
  PlainWebClient client(fake);
  fake->failConnect = true;
  std::string headers = "kept";
  EXPECT_EQ(client.Request({.url = "http://h/", .responseHeaders = &headers}), "");
  EXPECT_EQ(headers, "kept");
  EXPECT_EQ(fake->calls.back(), "Close 1");
  fake->failConnect = false;
  fake->failRequest = true;
  fake->calls.clear();
  EXPECT_EQ(client.Request({.url = "http://h/"}), "");
  EXPECT_EQ(fake->calls, (std::vector<std::string>{fake->calls[0], fake->calls[1], fake->calls[2],
                                                   "Close 2", "Close 1"}));
}

TEST(PlainWebClient, FetchesRawBytesFromARealServer) {
  std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
  RawHttpServer server([&](const RawRequest& r) {
    if (r.Target() == "/old")
      return RawHttpServer::Reply(302, "Found", {"Location: /genimage?t1"}, "");
    return RawHttpServer::Reply(200, "OK", {"Content-Type: image/png", "Set-Cookie: v=1; path=/"},
                                png);
  });
  PlainWebClient client;
  std::string cookies;
  EXPECT_EQ(client.Request({.url = server.Url("/old"), .newCookies = &cookies}), png);
  EXPECT_EQ(cookies, "v=1");
  auto reqs = server.Requests();
  ASSERT_EQ(reqs.size(), 2u);
  const RawRequest& r = reqs[0];
  EXPECT_EQ(r.requestLine, "GET /old HTTP/1.1");
  std::vector<std::string> expected = {
      "Host: 127.0.0.1:" + std::to_string(server.port()),
      "User-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)",
      "Accept: */*",
      "Referer: " + server.Url("/old"),
      "Accept-Language: zh-cn",
      "Content-Type: application/x-www-form-urlencoded"};
  EXPECT_EQ(r.headerLines, expected);
  EXPECT_EQ(reqs[1].Target(), "/genimage?t1");
}

TEST(PlainWebClient, PostsRedirectsAndLimitsOnTheWire) {
  RawHttpServer server([&](const RawRequest& r) {
    if (r.Target() == "/form")
      return RawHttpServer::Reply(302, "Found", {"Location: /done", "Set-Cookie: s=1; path=/"},
                                  "moved");
    if (r.Target() == "/big")
      return RawHttpServer::Reply(200, "OK",
                                  {"Set-Cookie: c=1", "X-Big: " + std::string(5000, 'x')}, "big");
    return RawHttpServer::Reply(200, "OK", {}, "done");
  });
  PlainWebClient client;
  std::string cookies = "a=1", bytes;
  EXPECT_EQ(client.Request({.url = server.Url("/form"),
                            .method = 1,
                            .body = "x=1&y=2",
                            .cookies = &cookies,
                            .bodyBytes = &bytes}),
            "done");
  auto reqs = server.Requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].requestLine, "POST /form HTTP/1.1");
  EXPECT_EQ(reqs[0].body, "x=1&y=2");
  EXPECT_EQ(reqs[0].Header("Cookie"), "a=1");
  // A redirected form is fetched with a GET, without the body; a POST without its body would
  // leave the server waiting for it or refusing it.
  EXPECT_EQ(reqs[1].requestLine, "GET /done HTTP/1.1");
  EXPECT_EQ(reqs[1].CountHeader("Content-Length"), 0);
  EXPECT_EQ(reqs[1].Header("Cookie"), "a=1");  // ours only; not the s=1 the redirect set

  std::string fresh, headers;
  EXPECT_EQ(client.Request({.url = server.Url("/form"),
                            .method = 1,
                            .newCookies = &fresh,
                            .responseHeaders = &headers,
                            .noRedirect = true}),
            "moved");
  EXPECT_EQ(server.Requests().size(), 3u);
  EXPECT_EQ(fresh, "s=1");
  EXPECT_EQ(headers.rfind("HTTP/1.1 302 Found\r\n", 0), 0u);

  EXPECT_EQ(client.Request(
                {.url = server.Url("/big"), .newCookies = &fresh, .responseHeaders = &headers}),
            "big");
  EXPECT_EQ(headers, std::string(5000, ' '));
  EXPECT_EQ(fresh, "");
}

}  // namespace
}  // namespace sf
