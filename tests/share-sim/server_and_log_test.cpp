// The raw HTTP server under the simulator (keep-alive, limits, malformed input), the request
// log in memory and on file, and the fixture reader's errors and generators.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <thread>

#include "base/base64.h"
#include "sandbox.h"
#include "sim_fixture.h"

namespace sf::sim::test {
namespace {

TEST(HttpServerTest, KeepAlivePipeliningAndLimits) {
  ShareSimulator sim;
  ASSERT_TRUE(sim.StartFromText(kTestFixture)) << sim.error();
  Connection c(sim.port());
  ASSERT_TRUE(c.Send("GET /s/pub HTTP/1.1\r\nHost: x\r\n\r\n"));
  auto first = c.Read();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->Header("Connection"), "keep-alive");
  // Two requests in one write, the second with a body: both answered in order.
  ASSERT_TRUE(
      c.Send("GET /s/dead HTTP/1.1\r\nHost: x\r\n\r\nPOST /share/verify?x HTTP/1.1\r\nHost: x\r\n"
             "Content-Length: 3\r\nConnection: close\r\n\r\nabc"));
  auto second = c.Read();
  auto third = c.Read();
  ASSERT_TRUE(second && third);
  EXPECT_NE(second->body.find("链接不存在"), std::string::npos);
  EXPECT_EQ(Errno(*third), 2);
  EXPECT_TRUE(c.ClosedWithin(1000));

  auto raw = [&](const std::string& bytes) {
    Connection k(sim.port());
    k.Send(bytes);
    auto r = k.Read();
    return r ? r->status : 0;
  };
  EXPECT_EQ(raw("GET /s/pub HTTP/1.1\r\nX: " + std::string(70000, 'a') + "\r\n\r\n"), 431);
  EXPECT_EQ(raw("POST /share/verify HTTP/1.1\r\nContent-Length: 999999999\r\n\r\n"), 413);
  EXPECT_EQ(raw("POST /share/verify HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"), 501);
  EXPECT_EQ(raw("POST /share/verify HTTP/1.1\r\nContent-Length: 1x\r\n\r\n"), 400);
  EXPECT_EQ(raw("GARBAGE\r\n\r\n"), 400);
  EXPECT_EQ(raw("GET / HTTP/2.0\r\n\r\n"), 400);
  EXPECT_EQ(raw("GET /s/pub HTTP/1.1\r\nno colon here\r\n\r\n"), 400);
  EXPECT_EQ(raw("GET /no/such/path HTTP/1.1\r\n\r\n"), 404);
  // Expect: 100-continue gets its interim answer before the body is sent.
  Connection e(sim.port());
  e.Send("POST /share/verify HTTP/1.1\r\nContent-Length: 2\r\nExpect: 100-continue\r\n\r\n");
  ASSERT_TRUE(e.Send("ab"));
  auto answered = e.Read();
  ASSERT_TRUE(answered.has_value());
  EXPECT_EQ(Errno(*answered), 2);
}

TEST(RequestLogTest, RecordsKeepOrderHeaderLinesAndRawBytes) {
  ShareSimulator sim;
  ASSERT_TRUE(sim.StartFromText(kTestFixture)) << sim.error();
  sf::test::Sandbox sandbox;
  std::string path = (sandbox / "log.jsonl").string();
  ASSERT_TRUE(sim.SetLogFile(path)) << sim.error();
  std::string gbkBody = "pwd=\xC3\xDC\xC2\xEB&vcode=&vcode_str=";  // GBK bytes: not UTF-8
  Fetch(sim.port(), "GET", "/s/pub", {"Zeta: 1", "Alpha: 2", "Cookie: a=1"});
  Fetch(sim.port(), "POST", VerifyTarget("9002", "43"), {"Referer:http://x/s/locked"}, gbkBody);
  Fetch(sim.port(), "GET", "/share/list?dir=/a b&x=%E4");
  auto records = sim.Requests();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].seq, 1u);
  EXPECT_EQ(records[2].seq, 3u);
  EXPECT_EQ(records[0].method, "GET");
  EXPECT_EQ(records[0].headerLines,
            (std::vector<std::string>{"Host: 127.0.0.1:" + std::to_string(sim.port()), "Zeta: 1",
                                      "Alpha: 2", "Cookie: a=1", "Connection: close"}));
  EXPECT_EQ(records[0].status, 200);
  EXPECT_EQ(records[1].body, gbkBody);
  EXPECT_EQ(records[1].Header("referer"), "http://x/s/locked");
  EXPECT_EQ(records[1].Path(), "/share/verify");
  EXPECT_EQ(records[1].Query().rfind("shareid=9002&uk=43&t=", 0), 0u);
  EXPECT_EQ(records[2].target, "/share/list?dir=/a b&x=%E4");
  EXPECT_EQ(records[2].status, 400);  // an unescaped blank is refused, and still logged

  std::ifstream in(path);
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["headers"][1], "Zeta: 1");
  EXPECT_EQ(lines[1]["method"], "POST");
  EXPECT_EQ(lines[1]["body"]["base64"], sf::Base64Encode(gbkBody));
  EXPECT_EQ(lines[2]["target"], "/share/list?dir=/a b&x=%E4");
  EXPECT_EQ(lines[2]["status"], 400);

  sim.ClearRequests();
  EXPECT_TRUE(sim.Requests().empty());
  Fetch(sim.port(), "GET", "/s/pub");
  EXPECT_EQ(sim.Requests().at(0).seq, 4u);  // numbering goes on
}

TEST(RequestLogTest, ConcurrentClientsAreAllRecorded) {
  ShareSimulator sim;
  ASSERT_TRUE(sim.StartFromText(kTestFixture)) << sim.error();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i)
        Fetch(sim.port(), "GET", "/s/pub?t=" + std::to_string(t) + "&i=" + std::to_string(i));
    });
  for (auto& th : threads) th.join();
  auto records = sim.Requests();
  ASSERT_EQ(records.size(), 100u);
  std::set<std::string> targets;
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].seq, i + 1);
    targets.insert(records[i].target);
  }
  EXPECT_EQ(targets.size(), 100u);
}

TEST(FixtureTest, MistakesGetClearMessages) {
  struct Case {
    const char* json;
    const char* message;
  } cases[] = {
      {"{", "not valid JSON"},
      {R"({"shares": [{"id": "a", "itmes": []}]})", "shares[0]: unknown key \"itmes\""},
      {R"({"shares": [{"id": "a b"}]})", "shares[0]: \"id\" must be"},
      {R"({"shares": [{"id": "a"}, {"id": "a"}]})", "shares[1]: share id \"a\" is used twice"},
      {R"({"shares": [{"id": "a", "shareid": 5}, {"id": "b", "shareid": 5}]})",
       "shareid 5 is used twice"},
      {R"({"shares": [{"id": "a", "items": [{"name": "x/y"}]}]})",
       "shares[0].items[0]: \"name\" must be"},
      {R"({"shares": [{"id": "a", "items": [{"name": "x"}, {"name": "x"}]}]})",
       "two items named \"x\""},
      {R"({"shares": [{"id": "a", "items": [{"name": "x", "fs_id": 1}, {"name": "y", "fs_id": 1}]}]})",
       "fs_id 1 is used twice"},
      {R"({"shares": [{"id": "a", "items": [{"name": "x", "size": -1}]}]})",
       "\"size\" must be a whole number"},
      {R"({"shares": [{"id": "a", "linkCaptchaAt": 2, "items": [{"name": "x"}]}]})",
       "past the share's last file"},
      {R"({"shares": [{"id": "a", "verifyCaptcha": true}]})", "needs a password"},
      {R"({"shares": [{"id": "a", "items": [{"generate": {"count": 3, "name": "same"}}]}]})",
       "needs \"{i}\""},
      {R"({"shares": [{"id": "a", "items": [{"tree": {"depth": 300}}]}]})",
       "\"depth\" must be 1 to 256"},
      {R"({"shares": [{"id": "a", "items": [{"generate": {"count": 2000000}}]}]})",
       "more than 1000000 items"},
      {R"({"captchaFormat": "gif", "shares": []})", "\"captchaFormat\" must be"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(ParseFixture(c.json, &error), nullptr) << c.json;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.json << " gave: " << error;
  }
  std::string error;
  EXPECT_EQ(LoadFixture("/nonexistent/fixture.json", &error), nullptr);
  EXPECT_NE(error.find("cannot read /nonexistent/fixture.json"), std::string::npos);
  ShareSimulator sim;
  EXPECT_FALSE(sim.StartFromText("[]"));
  EXPECT_NE(sim.error().find("must be a JSON object"), std::string::npos);
}

TEST(FixtureTest, GeneratorsBuildTheTreeTheyDescribe) {
  std::string error;
  auto f = ParseFixture(R"({"shares": [{"id": "t", "items": [
      {"tree": {"depth": 3, "folders": 3, "files": 25, "size": 7}},
      {"generate": {"count": 25, "name": "top-{i}.bin", "digits": 2}}]}]})",
                        &error);
  ASSERT_NE(f, nullptr) << error;
  const Share& s = *f->shares[0];
  size_t files = 0;
  for (const auto& [id, node] : s.byFsId) {
    files += !node->isDir;
    std::string digits = std::to_string(id);
    EXPECT_GE(digits.size(), 16u);
    EXPECT_LE(digits.size(), 19u);
  }
  EXPECT_EQ(files, 25u + 25u * (3 + 9 + 27));
  EXPECT_EQ(s.folders.size(), 39u);
  ASSERT_TRUE(s.folders.count("/dir-2/dir-3/dir-1"));
  EXPECT_EQ(s.folders.at("/dir-2/dir-3/dir-1")->children.size(), 25u);
  EXPECT_EQ(s.top.children.back()->name, "top-25.bin");
  EXPECT_EQ(s.top.children[3]->name, "top-01.bin");

  auto demo = ParseFixture(DemoFixtureText(), &error);
  ASSERT_NE(demo, nullptr) << error;
  EXPECT_EQ(demo->shares.size(), 4u);
}

}  // namespace
}  // namespace sf::sim::test
