// The web client over the real libcurl layer, against a loopback server that records the
// request bytes exactly as they arrived.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "base/encoding.h"
#include "net/plain_web_client.h"
#include "net/web_client.h"
#include "raw_http_server.h"
#include "silent_server.h"
#include "wait_until.h"

namespace sf {
namespace {

using test::RawHttpServer;
using test::RawRequest;
using test::RawResponse;

std::vector<std::string> Without(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& l : lines)
    if (l.rfind(prefix, 0) != 0) out.push_back(l);
  return out;
}

TEST(CurlTransport, PutsExactlyOurRequestOnTheWire) {
  RawHttpServer server(
      [](const RawRequest&) { return RawHttpServer::Reply(200, "OK", {}, "done"); });
  WebClient client(true);
  std::string cookies = "a=1; b=2";
  std::string url = server.Url("/api/x?sign=s&dir=" + Utf8ToGbk("/我的 资料") + "&t=0.5");
  std::string status;
  std::string text = client.Request({.url = url,
                                     .method = 1,
                                     .body = "pwd=a&b=c&vcode=&extra={\"sekey\":\"k\"}",
                                     .cookies = &cookies,
                                     .headerLines = "Referer:http://h/s/1x",
                                     .statusText = &status});
  EXPECT_EQ(text, "done");
  EXPECT_EQ(status, "200 OK");
  auto reqs = server.Requests();
  ASSERT_EQ(reqs.size(), 1u);
  const RawRequest& r = reqs[0];
  EXPECT_EQ(r.requestLine,
            "POST /api/x?sign=s&dir=/%E6%88%91%E7%9A%84%20%E8%B5%84%E6%96%99&t=0.5 HTTP/1.1");
  std::vector<std::string> expected = {
      "Host: 127.0.0.1:" + std::to_string(server.port()),
      "Referer:http://h/s/1x",
      "User-Agent: Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)",
      "Accept: text/html, application/xhtml+xml, */*",
      "Accept-Encoding: gbk, GB2312",
      "Accept-Language: zh-cn",
      "Content-Type: application/x-www-form-urlencoded",
      "Cache-Control: no-cache",
      "Cookie: a=1; b=2",
  };
  EXPECT_EQ(Without(r.headerLines, "Content-Length:"), expected);
  EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.body.size()));
  EXPECT_EQ(r.body, "pwd=a&b=c&vcode=&extra={\"sekey\":\"k\"}");
  EXPECT_EQ(r.CountHeader("Expect"), 0);
}

TEST(CurlTransport, GetSendsNoBodyAndNoCookieLineWithoutCookies) {
  RawHttpServer server([](const RawRequest&) { return RawHttpServer::Reply(200, "OK", {}, ""); });
  WebClient client(true);
  client.Request({.url = server.Url("/p"), .userName = "u", .password = "p"});
  auto r = server.Requests().at(0);
  EXPECT_EQ(r.requestLine, "GET /p HTTP/1.1");
  EXPECT_EQ(r.CountHeader("Cookie"), 0);
  EXPECT_EQ(r.CountHeader("Accept"), 1);
  EXPECT_EQ(r.CountHeader("Content-Length"), 0);
  EXPECT_EQ(r.Header("Authorization"), "Basic dTpw");
}

TEST(CurlTransport, RedirectWithNoRedirectIsReturnedAsItIs) {
  RawHttpServer server([](const RawRequest&) {
    return RawHttpServer::Reply(
        302, "Found", {"Location: http://pan.example/share/init?shareid=9&uk=42"}, "moved");
  });
  WebClient client(true);
  std::string cookies, location, headers, status;
  std::string text = client.Request({.url = server.Url("/s/1abc"),
                                     .cookies = &cookies,
                                     .responseHeaders = &headers,
                                     .noRedirect = true,
                                     .location = &location,
                                     .statusText = &status});
  EXPECT_EQ(text, "moved");
  EXPECT_EQ(location, "http://pan.example/share/init?shareid=9&uk=42");
  EXPECT_EQ(status.substr(0, 3), "302");
  EXPECT_EQ(headers.rfind("HTTP/1.1 302 Found\r\n", 0), 0u);
  EXPECT_NE(headers.find("\r\nLocation: http://pan.example/share/init?shareid=9&uk=42\r\n"),
            std::string::npos);
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(CurlTransport, FollowsRedirectsAndSendsCookiesTheRedirectSet) {
  RawHttpServer server([](const RawRequest& r) {
    if (r.Target() == "/first")
      return RawHttpServer::Reply(302, "Found", {"Set-Cookie: hop=1; path=/", "Location: /second"},
                                  "");
    return RawHttpServer::Reply(200, "OK", {"Set-Cookie: final=2"}, "arrived");
  });
  WebClient client(true);
  std::string cookies = "a=1", headers;
  EXPECT_EQ(client.Request({.url = server.Url("/first"),
                            .method = 1,
                            .body = "x=1",
                            .cookies = &cookies,
                            .responseHeaders = &headers}),
            "arrived");
  auto reqs = server.Requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[1].requestLine, "GET /second HTTP/1.1");  // a 302 turns a POST into a GET
  EXPECT_EQ(reqs[1].Header("Cookie"), "a=1; hop=1");
  EXPECT_EQ(reqs[1].body, "");
  EXPECT_EQ(headers.find("302"), std::string::npos);  // only the final response's head
  EXPECT_EQ(cookies, "final=2; a=1");

  // Without a cookie text the redirect's cookie stays behind.
  client.Request({.url = server.Url("/first")});
  EXPECT_EQ(server.Requests().at(3).CountHeader("Cookie"), 0);
}

// A redirect from the share host (127.0.0.1) to another (localhost) carries none of its cookies,
// nor one it sets for that host; what that host sets never joins its text. The plain client too.
TEST(CurlTransport, ARedirectToAnotherHostCarriesNoneOfTheCookies) {
  RawHttpServer other([](const RawRequest&) {
    return RawHttpServer::Reply(
        200, "OK", {"Set-Cookie: theirs=1", "Set-Cookie: wide=2; Domain=localhost"}, "landed");
  });
  const std::string elsewhere = "http://localhost:" + std::to_string(other.port()) + "/land";
  RawHttpServer share([&](const RawRequest&) {
    return RawHttpServer::Reply(
        302, "Found",
        {"Set-Cookie: hop=1", "Set-Cookie: planted=1; Domain=localhost", "Location: " + elsewhere},
        "");
  });
  WebClient client(true);
  std::string cookies = "BDCLND=key; a=1", fresh;
  EXPECT_EQ(
      client.Request({.url = share.Url("/s/1abc"), .cookies = &cookies, .newCookies = &fresh}),
      "landed");
  EXPECT_EQ(cookies, "BDCLND=key; a=1");
  EXPECT_EQ(fresh, "");

  std::string plainCookies = "BDCLND=key";
  PlainWebClient().Request({.url = share.Url("/pic"), .cookies = &plainCookies});
  auto landed = other.Requests();
  ASSERT_EQ(landed.size(), 2u);
  for (const RawRequest& r : landed) EXPECT_EQ(r.CountHeader("Cookie"), 0) << r.raw;
}

TEST(CurlTransport, MergesResponseCookiesIntoTheCookieText) {
  RawHttpServer server([](const RawRequest&) {
    return RawHttpServer::Reply(200, "OK",
                                {"Set-Cookie: BDCLND=abc%2Fdef; path=/; domain=127.0.0.1",
                                 "set-cookie: old=deleted; expires=Thu, 01 Jan 1970 00:00:00 GMT",
                                 "Set-Cookie: VISITORID=N1:FG=1; max-age=31536000"},
                                "{\"errno\":0}");
  });
  WebClient client(true);
  std::string cookies = "VISITORID=old; old=1; keep=yes", fresh;
  EXPECT_EQ(client.Request({.url = server.Url("/share/verify"),
                            .method = 1,
                            .cookies = &cookies,
                            .newCookies = &fresh}),
            "{\"errno\":0}");
  EXPECT_EQ(cookies, "BDCLND=abc%2Fdef; VISITORID=N1:FG=1; keep=yes");
  EXPECT_EQ(fresh, "BDCLND=abc%2Fdef;old=deleted;VISITORID=N1:FG=1");
}

TEST(CurlTransport, Utf8PagesAndAnswersComeBackAsGbk) {
  RawHttpServer server([](const RawRequest& r) {
    if (r.Target() == "/page")
      return RawHttpServer::Reply(
          200, "OK", {"Content-Type: text/html"},
          "<html><head><meta charset=\"utf-8\"></head><body>文件名：照片😀</body></html>");
    return RawHttpServer::Reply(200, "OK", {"Content-Type: application/json; charset=utf-8"},
                                "{\"server_filename\":\"报告.pdf\"}");
  });
  WebClient client(true);
  std::string page = client.Request({.url = server.Url("/page")});
  EXPECT_EQ(GbkToUtf8(page),
            "<html><head><meta charset=\"utf-8\"></head><body>文件名：照片😀</body></html>");
  EXPECT_NE(page.find(Utf8ToGbk("文件名")), std::string::npos);
  EXPECT_EQ(client.Request({.url = server.Url("/json")}),
            Utf8ToGbk("{\"server_filename\":\"报告.pdf\"}"));
}

TEST(CurlTransport, HeadGivesHeadersWithoutABody) {
  RawHttpServer server([](const RawRequest&) {
    return RawResponse{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-Size: 5\r\n\r\n"};
  });
  WebClient client(false);
  std::string headers;
  EXPECT_EQ(client.Request({.url = server.Url("/f"), .method = 2, .responseHeaders = &headers}),
            "");
  EXPECT_EQ(server.Requests().at(0).requestLine, "HEAD /f HTTP/1.1");
  EXPECT_NE(headers.find("X-Size: 5\r\n"), std::string::npos);
}

TEST(CurlTransport, FailuresBecomeTheirMessages) {
  // A port nobody listens on.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  int closedPort = ntohs(addr.sin_port);
  ::close(fd);

  WebClient client(true);
  std::string status;
  EXPECT_EQ(client.Request({.url = "http://127.0.0.1:" + std::to_string(closedPort) + "/",
                            .statusText = &status}),
            "");
  EXPECT_EQ(GbkToUtf8(status), "711 发送请求失败!");
  EXPECT_EQ(client.Request({.url = "ftp://127.0.0.1/", .statusText = &status}), "");
  EXPECT_EQ(GbkToUtf8(status), "701 解析URL地址失败!");
  EXPECT_EQ(client.Request({.url = "", .statusText = &status}), "");
  EXPECT_EQ(GbkToUtf8(status), "701 解析URL地址失败!");

  RawHttpServer slow([](const RawRequest&) {
    RawResponse r = RawHttpServer::Reply(200, "OK", {}, "late");
    r.delayMs = 2500;
    return r;
  });
  EXPECT_EQ(client.Request({.url = slow.Url("/"), .timeoutSeconds = 1, .statusText = &status}), "");
  EXPECT_EQ(GbkToUtf8(status), "712 服务器未响应!");
}

TEST(CurlTransport, ABodyCutShortKeepsWhatArrivedAndTheStatus) {
  RawHttpServer server([](const RawRequest&) {
    RawResponse r{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this"};
    r.closeEarly = true;
    return r;
  });
  WebClient client(true);
  std::string status, bytes;
  EXPECT_EQ(
      client.Request({.url = server.Url("/"), .statusText = &status, .responseBytes = &bytes}),
      "only this");
  EXPECT_EQ(status, "200 OK");
  EXPECT_EQ(bytes, "only this");
}

// A server that announces 10 GiB and sends for as long as the client takes it. Both clients
// must give up once an answer passes its 32 MiB cap and drop the connection, not read on.
TEST(CurlTransport, AnEndlessAnswerIsDroppedAtTheCap) {
  std::atomic<uint64_t> sent{0};
  std::atomic<int> finished{0};
  RawHttpServer server([&](const RawRequest&) {
    RawResponse r{"HTTP/1.1 200 OK\r\nContent-Length: 10737418240\r\n\r\n"};
    r.more = [&](const std::function<bool(std::string_view)>& write) {
      const std::string chunk(64 * 1024, 'x');
      uint64_t mine = 0;
      while (write(chunk)) mine += chunk.size();
      sent += mine;
      ++finished;
    };
    return r;
  });
  auto waitFinished = [&](int count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (finished < count && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return finished >= count;
  };
  constexpr uint64_t kCap = 32u << 20;
  // What the kernel buffers between the two ends comes on top of what the client took.
  constexpr uint64_t kSlack = 32u << 20;

  std::string status, bytes = "old";
  EXPECT_EQ(WebClient(true).Request(
                {.url = server.Url("/"), .statusText = &status, .responseBytes = &bytes}),
            "");
  EXPECT_EQ(GbkToUtf8(status), "714 响应数据过大!");
  EXPECT_EQ(bytes, "old");
  ASSERT_TRUE(waitFinished(1));
  EXPECT_LT(sent.load(), kCap + kSlack);

  EXPECT_EQ(PlainWebClient().Request({.url = server.Url("/picture")}), "");
  ASSERT_TRUE(waitFinished(2));
  EXPECT_LT(sent.load(), 2 * (kCap + kSlack));
}

// Connections are kept for the next exchange; one the server closed after its answer, without
// saying so, is not used again, and no request goes out twice.
TEST(CurlTransport, AServerThatClosesAfterEachAnswerWithoutSayingSo) {
  RawHttpServer server([](const RawRequest& r) {
    std::string body = "answer to " + r.Target() + " " + r.body;
    return RawResponse{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\n\r\n" + body};
  });
  WebClient client(true);
  for (int i = 0; i < 3; ++i) {
    std::string n = std::to_string(i), body = i % 2 ? "b" + n : "";
    EXPECT_EQ(client.Request({.url = server.Url("/" + n), .method = i % 2, .body = body}),
              "answer to /" + n + " " + body);
  }
  EXPECT_EQ(PlainWebClient().Request({.url = server.Url("/p")}), "answer to /p ");
  std::vector<std::string> lines;
  for (const RawRequest& r : server.Requests()) lines.push_back(r.requestLine);
  EXPECT_EQ(lines, (std::vector<std::string>{"GET /0 HTTP/1.1", "POST /1 HTTP/1.1",
                                             "GET /2 HTTP/1.1", "GET /p HTTP/1.1"}));
}

TEST(CurlTransport, NotFoundIsAnAnswerLikeAnyOther) {
  RawHttpServer server(
      [](const RawRequest&) { return RawHttpServer::Reply(404, "Not Found", {}, "missing"); });
  WebClient client(true);
  std::string status;
  EXPECT_EQ(client.Request({.url = server.Url("/x"), .statusText = &status}), "missing");
  EXPECT_EQ(status, "404 Not Found");
}

// A window closing while its worker waits on a hung server: the flag, raised from another
// thread, ends both clients' exchanges long before any time-out, and every later call fails
// without connecting.
TEST(CurlTransport, ARaisedCancelFlagGivesUpTheExchangeUnderWayAndEveryLaterOne) {
  test::SilentServer server;
  CancelFlag cancel;
  WebClient client(false);
  client.SetCancelFlag(cancel);
  PlainWebClient plain;
  plain.SetCancelFlag(cancel);
  std::string status;
  auto page = std::async(std::launch::async, [&] {
    return client.Request({.url = server.Url("/s/1"), .statusText = &status});
  });
  auto picture =
      std::async(std::launch::async, [&] { return plain.Request({.url = server.Url("/img")}); });
  // Both requests sent whole: each client now waits for an answer, the step the status names.
  ASSERT_TRUE(test::WaitUntil([&] { return server.asked() == 2; }));

  cancel.Raise();
  // Both would otherwise wait 30 seconds or more for an answer.
  ASSERT_EQ(page.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  ASSERT_EQ(picture.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(page.get(), "");
  EXPECT_EQ(GbkToUtf8(status), "712 服务器未响应!");
  EXPECT_EQ(picture.get(), "");
  EXPECT_TRUE(test::WaitUntil([&] { return server.held() == 0; }));  // both connections dropped

  EXPECT_EQ(client.Request({.url = server.Url("/s/2"), .statusText = &status}), "");
  EXPECT_EQ(GbkToUtf8(status), "711 发送请求失败!");
  EXPECT_EQ(plain.Request({.url = server.Url("/img")}), "");
  EXPECT_EQ(server.accepted(), 2);
}

}  // namespace
}  // namespace sf
