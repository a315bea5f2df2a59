// The project's own web client against the simulator: a protected share of 1000 files in
// nested folders is walked the way the resolver walks it (page, redirect probe, verify,
// page again, every folder listed, one link request per file). It proves the simulator's
// cookies, redirects and answers work through a real HTTP stack, and gives the rate.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>

#include "base/encoding.h"
#include "base/text.h"
#include "net/web_client.h"
#include "sim_fixture.h"

namespace sf::sim::test {
namespace {

constexpr const char* kBigFixture = R"({"shares": [{"id": "k1000", "uk": 77, "shareid": 7700,
  "password": "pw99", "items": [
    {"tree": {"depth": 3, "folders": 3, "files": 25, "size": 4096}},
    {"generate": {"count": 25, "name": "top-{i}.bin", "size": 1000}}]}]})";

TEST(ClientWalk, ProtectedThousandFileShareThroughTheWebClient) {
  ShareSimulator sim;
  ASSERT_TRUE(sim.StartFromText(kBigFixture)) << sim.error();
  sf::WebClient client(true);
  std::string cookies;
  std::string url = sim.ShareUrl("k1000");
  auto start = std::chrono::steady_clock::now();

  std::string page = client.Request({.url = url, .cookies = &cookies});
  ASSERT_NE(sf::FindText(page, sf::Utf8ToGbk("请输入提取密码")), -1);
  std::string location;
  client.Request({.url = url, .cookies = &cookies, .noRedirect = true, .location = &location});
  ASSERT_EQ(location, sim.InitUrl("k1000"));
  std::string shareid = sf::MiddleText(location, "shareid=", "&");
  std::string uk = sf::MiddleText(location + "&", "uk=", "&");
  std::string verify =
      client.Request({.url = sim.Url("/share/verify?shareid=" + shareid + "&uk=" + uk +
                                     "&t=1733650000123&bdstoken=null&channel=chunlei&clienttype=0&"
                                     "web=1&app_id=250528&logid=" +
                                     LogId()),
                      .method = 1,
                      .body = "pwd=pw99&vcode=&vcode_str=",
                      .cookies = &cookies,
                      .headerLines = "Referer:" + location});
  ASSERT_EQ(verify.rfind("{\"errno\":0", 0), 0u) << verify;
  std::string sekey = sf::MiddleText(cookies, "BDCLND=", ";");
  ASSERT_EQ(sekey.size(), 40u) << "BDCLND must not be the last cookie: " << cookies;

  page = client.Request({.url = location, .cookies = &cookies});
  nlohmann::json data = PageData(sf::GbkToUtf8(page));  // the client hands pages over in GBK
  ASSERT_TRUE(data.is_object());
  PageInfo p{data["sign"],     std::to_string(data["timestamp"].get<uint64_t>()),
             data["bdstoken"], uk,
             shareid,          data};

  struct Entry {
    std::string fsId, path;
    bool dir;
  };
  std::vector<Entry> entries;
  for (const auto& item : data["file_list"]["list"])
    entries.push_back(
        {std::to_string(item["fs_id"].get<uint64_t>()), item["path"], item["isdir"] == 1});
  std::function<void(const std::string&)> listFolder = [&](const std::string& dir) {
    std::string answer =
        client.Request({.url = sim.Url(ListTarget(uk, shareid, dir)), .cookies = &cookies});
    auto j = nlohmann::json::parse(answer, nullptr, false);
    ASSERT_TRUE(j.is_object() && j["errno"] == 0) << dir << ": " << answer;
    for (const auto& item : j["list"]) {
      entries.push_back(
          {std::to_string(item["fs_id"].get<uint64_t>()), item["path"], item["isdir"] == 1});
      if (item["isdir"] == 1) listFolder(item["path"]);
    }
  };
  size_t top = entries.size();
  for (size_t i = 0; i < top; ++i)
    if (entries[i].dir) listFolder(entries[i].path);

  int links = 0;
  std::string extra = "{\"sekey\":\"" + sekey + "\"}";
  for (const auto& e : entries) {
    if (e.dir) continue;
    std::string answer = client.Request({.url = sim.Url(LinkTarget(p)),
                                         .method = 1,
                                         .body = LinkBody(p, e.fsId, "", "", extra),
                                         .cookies = &cookies,
                                         .headerLines = "Referer:" + location});
    std::string dlink = sf::ReplaceAll(sf::MiddleText(answer, "dlink\":\"", "\""), "\\", "");
    ASSERT_EQ(dlink.rfind(sim.Url("/file/7700/" + e.fsId + "/"), 0), 0u) << answer;
    ++links;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(links, 1000);
  EXPECT_EQ(entries.size(), 1039u);
  size_t requests = sim.Requests().size();
  EXPECT_EQ(requests, 4u + 1u + 39u + 1000u);  // page, probe, verify, page; lists; links
  std::cout << "[ rate     ] " << requests << " requests in " << seconds
            << " s: " << static_cast<int>(requests / seconds) << " requests per second\n";
}

}  // namespace
}  // namespace sf::sim::test
