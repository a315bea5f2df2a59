// Every row is a request the service must refuse or hold back; each runs against the real
// server on loopback, and every answer it does give must carry the framing and sniffing
// headers and no CORS grant.
#include <nlohmann/json.hpp>

#include "service_fixture.h"
#include "wait_until.h"

namespace sf::test {
namespace {

struct Row {
  const char* name;
  std::function<std::string()> request;  // the raw bytes sent
  int status;                            // 0: closed without an answer
  const char* error;                     // the answer's "error" word, if any
};

class SecurityTest : public ServiceFixture {};

TEST_F(SecurityTest, EveryRowIsRefusedOrHeldBack) {
  Start();
  const std::pair<std::string, std::string> loggedIn = Login();
  const std::string& cookie = loggedIn.first;
  const std::string& csrf = loggedIn.second;
  ASSERT_FALSE(csrf.empty());
  Reply created = Exchange(Request("POST", "/api/v1/keys",
                                   "Cookie: " + cookie + "\r\nX-CSRF-Token: " + csrf + "\r\n",
                                   R"({"name":"script"})"));
  ASSERT_EQ(created.status, 201);
  const std::string bearer = "Authorization: Bearer " +
                             nlohmann::json::parse(created.body)["key"].get<std::string>() + "\r\n";
  const std::string session = "Cookie: " + cookie + "\r\n";
  const std::string withCsrf = session + "X-CSRF-Token: " + csrf + "\r\n";
  const std::string login = nlohmann::json{{"password", password_}}.dump();
  const std::string pasted = R"({"text":"https://pan.baidu.com/s/1abcd"})";
  const std::string secret = "Only-Written-7Q";
  const std::string downloader = nlohmann::json{
      {"name", "box"},
      {"url", "http://127.0.0.1:9/jsonrpc"},
      {"secret", secret}}.dump();

  // An address behind our trusted proxy keeps failing and is banned; nobody else is.
  const std::string stranger = "X-Forwarded-For: 198.51.100.1, 203.0.113.7\r\n";
  for (int i = 0; i < options_.login.failuresBeforeBan; ++i)
    EXPECT_EQ(
        Exchange(Request("POST", "/api/v1/login", stranger, R"({"password":"guess"})")).status,
        401);

  // A share for the download rows to name; they fail on their folder before its state.
  ASSERT_EQ(Exchange(Request("POST", "/api/v1/shares", bearer, pasted)).status, 201);

  // Event streams fill the per-address allowance for the last row.
  std::vector<std::unique_ptr<RawConnection>> streams;

  const std::vector<Row> rows = {
      {"no cookie", [&] { return Request("GET", "/api/v1/version"); }, 401, "login"},
      {"unknown cookie",
       [&] {
         return Request("GET", "/api/v1/version", session.substr(0, session.size() - 4) + "00\r\n");
       },
       401, "login"},
      {"no CSRF token", [&] { return Request("POST", "/api/v1/keys", session, R"({"name":"x"})"); },
       403, "csrf"},
      {"wrong CSRF token",
       [&] {
         return Request("POST", "/api/v1/keys",
                        session + "X-CSRF-Token: " + csrf.substr(1) + "0\r\n", R"({"name":"x"})");
       },
       403, "csrf"},
      {"share pasted without CSRF token",
       [&] { return Request("POST", "/api/v1/shares", session, pasted); }, 403, "csrf"},
      {"prompt answered without CSRF token",
       [&] { return Request("POST", "/api/v1/shares/1/password", session, R"({"password":"x"})"); },
       403, "csrf"},
      {"share removed without CSRF token",
       [&] { return Request("DELETE", "/api/v1/shares/1", session); }, 403, "csrf"},
      {"captcha picture without login", [&] { return Request("GET", "/api/v1/shares/1/captcha"); },
       401, "login"},
      {"downloaders without login", [&] { return Request("GET", "/api/v1/downloaders"); }, 401,
       "login"},
      {"downloader added without CSRF token",
       [&] { return Request("POST", "/api/v1/downloaders", session, downloader); }, 403, "csrf"},
      {"downloader's secret changed without CSRF token",
       [&] { return Request("PUT", "/api/v1/downloaders/1", session, R"({"secret":""})"); }, 403,
       "csrf"},
      {"downloader tried without CSRF token",
       [&] { return Request("POST", "/api/v1/downloaders/1/test", session); }, 403, "csrf"},
      {"history entry removed without CSRF token",
       [&] { return Request("DELETE", "/api/v1/history/1", session); }, 403, "csrf"},
      {"downloader at a file: address",
       [&] {
         return Request("POST", "/api/v1/downloaders", bearer,
                        R"({"name":"x","url":"file:///etc/passwd"})");
       },
       400, "request"},
      {"download folder climbing out",
       [&] {
         return Request("POST", "/api/v1/shares/1/downloads", bearer,
                        R"({"all":true,"folder":"in/../../out"})");
       },
       400, "request"},
      {"absolute download folder",
       [&] {
         return Request("POST", "/api/v1/shares/1/downloads", bearer,
                        R"({"all":true,"folder":"/etc"})");
       },
       400, "request"},
      {"download folder with an empty part",
       [&] {
         return Request("POST", "/api/v1/shares/1/downloads", bearer,
                        R"({"all":true,"folder":"a//b"})");
       },
       400, "request"},
      {"foreign Host",
       [&] { return Request("GET", "/api/v1/version", "Host: rebound.example\r\n" + session); },
       403, "host"},
      {"foreign Origin with a cookie",
       [&] {
         return Request("POST", "/api/v1/keys", withCsrf + "Origin: http://evil.example\r\n",
                        R"({"name":"x"})");
       },
       403, "origin"},
      {"cross-site fetch",
       [&] {
         return Request("POST", "/api/v1/logout", withCsrf + "Sec-Fetch-Site: cross-site\r\n");
       },
       403, "origin"},
      {"wrong password",
       [&] { return Request("POST", "/api/v1/login", "", R"({"password":"nope"})"); }, 401,
       "password"},
      {"banned address, right password",
       [&] { return Request("POST", "/api/v1/login", stranger, login); }, 403, "banned"},
      {"banned address, any request",
       [&] { return Request("GET", "/api/v1/version", stranger + bearer); }, 403, "banned"},
      {"key creating a key",
       [&] { return Request("POST", "/api/v1/keys", bearer, R"({"name":"x"})"); }, 403,
       "key-not-allowed"},
      {"key listing keys", [&] { return Request("GET", "/api/v1/keys", bearer); }, 403,
       "key-not-allowed"},
      {"key deleting a key", [&] { return Request("DELETE", "/api/v1/keys/1", bearer); }, 403,
       "key-not-allowed"},
      {"key ending a login", [&] { return Request("POST", "/api/v1/logout", bearer); }, 403,
       "key-not-allowed"},
      {"key with a cookie beside it",
       [&] { return Request("GET", "/api/v1/keys", bearer + session); }, 403, "key-not-allowed"},
      {"`..` in a static path", [&] { return Request("GET", "/../state/state.db"); }, 400, "path"},
      {"encoded `..`", [&] { return Request("GET", "/%2e%2e/state/state.db"); }, 400, "path"},
      {"doubly encoded `..`", [&] { return Request("GET", "/%252e%252e/state/state.db"); }, 400,
       "path"},
      {"an empty segment", [&] { return Request("GET", "//etc/passwd"); }, 400, "path"},
      {"a name outside the set", [&] { return Request("GET", "/state/state.db"); }, 404,
       "not-found"},
      {"oversized body",
       [&] { return Request("POST", "/api/v1/login", "", std::string(5000, 'x')); }, 413,
       "too-large"},
      {"oversized chunked body",
       [&] {
         std::string chunk(3000, 'x');
         return "POST /api/v1/login HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                "Transfer-Encoding: chunked\r\n\r\nbb8\r\n" +
                chunk + "\r\nbb8\r\n" + chunk + "\r\n0\r\n\r\n";
       },
       413, "too-large"},
      {"oversized header",
       [&] {
         return Request("GET", "/api/v1/version", "X-Filler: " + std::string(40000, 'x') + "\r\n");
       },
       431, ""},
      {"slow header",
       [&] { return std::string("GET /api/v1/version HTTP/1.1\r\nHost: 127.0.0.1\r\n"); }, 0, ""},
      {"too many connections from one address",
       [&] {
         // The earlier rows' connections are gone first, so only the streams fill the allowance.
         EXPECT_TRUE(WaitUntil([&] { return service_->connections() == 0; }));
         for (unsigned i = 0; i < options_.http.maxPerAddress; ++i) {
           streams.push_back(std::make_unique<RawConnection>(port()));
           streams.back()->Send(Request("GET", "/api/v1/events", bearer));
         }
         EXPECT_TRUE(WaitUntil([&] { return service_->events().streams() == streams.size(); }));
         return Request("GET", "/api/v1/version", bearer);
       },
       0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Reply reply = Exchange(row.request());
    EXPECT_EQ(reply.status, row.status) << reply.body;
    if (*row.error) {
      auto body = nlohmann::json::parse(reply.body, nullptr, false);
      EXPECT_EQ(body.is_object() ? body.value("error", "") : "", row.error) << reply.body;
    }
    if (reply.status == 0 || reply.status == 431) continue;  // answered by the library itself
    EXPECT_NE(reply.headers["content-security-policy"].find("frame-ancestors 'none'"),
              std::string::npos);
    EXPECT_EQ(reply.headers["x-frame-options"], "DENY");
    EXPECT_EQ(reply.headers["x-content-type-options"], "nosniff");
    EXPECT_EQ(reply.headers["referrer-policy"], "no-referrer");
    for (const auto& [name, value] : reply.headers)
      EXPECT_NE(name.rfind("access-control-", 0), 0u) << name;
  }
  streams.clear();

  // The same requests pass where nothing is wrong: the rows fail for their one reason.
  ASSERT_TRUE(
      WaitUntil([&] { return Exchange(Request("GET", "/api/v1/version", bearer)).status == 200; }));
  EXPECT_EQ(
      Exchange(Request("POST", "/api/v1/login", "X-Forwarded-For: 203.0.113.8\r\n", login)).status,
      200);
  EXPECT_EQ(
      Exchange(Request("GET", "/api/v1/keys",
                       withCsrf + "Origin: http://127.0.0.1:" + std::to_string(port()) + "\r\n"))
          .status,
      200);
  EXPECT_EQ(Exchange(Request("GET", "/index.html")).body, "<p>the page</p>");
  // Scripts paste and follow shares with a key; a browser with its token.
  EXPECT_EQ(Exchange(Request("POST", "/api/v1/shares", bearer, pasted)).status, 201);
  EXPECT_EQ(Exchange(Request("POST", "/api/v1/shares", withCsrf, pasted)).status, 201);
  EXPECT_EQ(Exchange(Request("GET", "/api/v1/shares/1", bearer)).status, 200);
  // A key manages downloaders as a session does; neither ever gets a secret back.
  Reply added = Exchange(Request("POST", "/api/v1/downloaders", bearer, downloader));
  EXPECT_EQ(added.status, 201) << added.body;
  Reply changed = Exchange(Request("PUT", "/api/v1/downloaders/1", withCsrf, downloader));
  EXPECT_EQ(changed.status, 200) << changed.body;
  Reply listed = Exchange(Request("GET", "/api/v1/downloaders", bearer));
  EXPECT_EQ(listed.status, 200);
  EXPECT_NE(listed.body.find(R"("hasSecret":true)"), std::string::npos) << listed.body;
  for (const Reply* reply : {&added, &changed, &listed})
    EXPECT_EQ(reply->body.find(secret), std::string::npos) << reply->body;
}

}  // namespace
}  // namespace sf::test
