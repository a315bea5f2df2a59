#include "download/aria2_remote.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>

#include "json_rpc_answer.h"
#include "raw_http_server.h"

namespace sf {
namespace {

using Json = nlohmann::json;

RemoteDownload Download(std::string_view link, std::string dir, std::string out,
                        std::string_view cookies = {}) {
  std::string problem;
  auto d = MakeRemoteDownload(link, std::move(dir), std::move(out), &problem, {}, cookies);
  EXPECT_TRUE(d) << problem;
  return d.value_or(RemoteDownload{});
}

// A share too large for one request goes in several; a batch that fails keeps itself and all
// later downloads back, and says why for each.
TEST(Aria2Remote, LargeSharesGoInBatchesAndAFailedBatchKeepsTheRestBack) {
  std::atomic<int> answered{0};
  test::RawHttpServer server([&](const test::RawRequest& r) -> test::RawResponse {
    if (++answered == 2) return {.bytes = "", .closeEarly = true};
    Json request = Json::parse(r.body);
    Json results = Json::array();
    for (const Json& call : request["params"][0])
      results.push_back(Json::array({call["params"][2]["out"]}));
    return test::JsonRpcResult(request, results);
  });
  JsonRpcClient client(server.Url("/jsonrpc"));
  Aria2Remote remote(client, "S");

  const std::string padding(40000, 'p');
  std::vector<RemoteDownload> downloads;
  for (int i = 0; i < 60; ++i)
    downloads.push_back(Download("http://h/f?" + padding, "/r", "gid" + std::to_string(i), "c=1"));
  std::vector<RemoteOutcome> outcomes = remote.AddAll(downloads);

  std::vector<Json> batches;
  for (const test::RawRequest& r : server.Requests()) batches.push_back(Json::parse(r.body));
  ASSERT_EQ(batches.size(), 2u);
  const Json& first = batches[0]["params"][0];
  ASSERT_GT(first.size(), 1u);
  ASSERT_LT(first.size(), downloads.size());
  EXPECT_LE(batches[0].dump().size(), kMaxMulticallBytes + 200);
  EXPECT_EQ(first[0]["params"][2]["header"],
            Json::array({"User-Agent: ShareFetch/0.1", "Cookie: c=1"}));

  ASSERT_EQ(outcomes.size(), downloads.size());
  for (size_t i = 0; i < outcomes.size(); ++i) {
    if (i < first.size()) {
      EXPECT_EQ(outcomes[i].gid, "gid" + std::to_string(i));
    } else {
      EXPECT_FALSE(outcomes[i].accepted()) << i;
      EXPECT_EQ(outcomes[i].error.kind, RpcFailure::kNoAnswer) << i;
    }
  }
}

// A downloader holding far more than a page of waiting and stopped downloads, more than it
// counted a moment before, which echoes the secret: each is listed once, the secret nowhere.
TEST(Aria2Remote, EveryDownloadIsListedPastAnyPageAndTheSecretIsMasked) {
  const Json item = {{"status", "waiting"}, {"errorMessage", "see token:S3cr3t"}};
  test::RawHttpServer server([&](const test::RawRequest& r) -> test::RawResponse {
    Json request = Json::parse(r.body), result = Json::array();
    if (request["method"] != "system.multicall")  // getVersion, getGlobalStat
      result = {{"version", "see token:S3cr3t"}, {"numWaiting", "5000"}, {"numStopped", "9"}};
    for (const Json& call : result.is_array() ? request["params"][0] : Json::array()) {
      const std::string list = call["methodName"].get<std::string>().substr(10);
      const int from = list == "Active" ? 0 : call["params"][1].get<int>();
      const int held = list == "Active" ? 1 : list == "Waiting" ? 12000 : 1500;
      const int to = list == "Active" ? 1 : std::min(held, from + call["params"][2].get<int>());
      result.push_back(Json::array({Json::array()}));
      for (int i = from; i < to; ++i) {
        result.back()[0].push_back(item);
        result.back()[0].back()["gid"] = list + std::to_string(i);
      }
    }
    return test::JsonRpcResult(request, result);
  });
  JsonRpcClient client(server.Url("/jsonrpc"));
  Aria2Remote remote(client, "S3cr3t");
  RpcError error;
  std::set<std::string> gids, messages;
  for (const RemoteStatus& s : remote.Everything(&error)) {
    EXPECT_TRUE(gids.insert(s.gid).second) << s.gid;
    messages.insert(s.errorMessage);
  }
  EXPECT_EQ(error.kind, RpcFailure::kNone);
  EXPECT_EQ(gids.size(), 1u + 12000 + 1500);
  EXPECT_EQ(messages, std::set<std::string>{"see token:***"});
  EXPECT_EQ(remote.Version().value, "see token:***");
}

TEST(Aria2Remote, TheInputFileCannotBeForgedByWhatItCarries) {
  std::string problem;
  EXPECT_FALSE(MakeRemoteDownload("magnet:?xt=urn:btih:x", "/r", "a", &problem));
  EXPECT_EQ(problem, "not an http:// or https:// link");

  std::vector<RemoteDownload> downloads = {
      Download(" http://h/文 件\n dir=/etc\t\"x\" ", "/r/报告 \"q\"", "a b.txt",
               "k=v\r\nX-Evil: 1"),
      Download("http://h/2", "/r", "two\nhttp://evil/"),
      Download("http://h/3", "/r/ends in a blank ", "3"),
      Download("http://h/4", "", "4"),
  };
  downloads.back().headers.push_back("X-Bad: \x01");
  downloads.push_back(Download("http://h/5", "/r", "5"));
  InputFile file = WriteInputFile(downloads);
  EXPECT_EQ(file.text,
            "http://h/%E6%96%87%20%E4%BB%B6%0A%20dir=/etc%09%22x%22\n"
            " dir=/r/报告 \"q\"\n"
            " out=a b.txt\n"
            " header=User-Agent: ShareFetch/0.1\n"
            " header=Cookie: k=vX-Evil: 1\n"
            "http://h/5\n"
            " dir=/r\n"
            " out=5\n"
            " header=User-Agent: ShareFetch/0.1\n");
  ASSERT_EQ(file.refused.size(), 3u);
  EXPECT_EQ(file.refused[0].index, 1u);
  EXPECT_EQ(file.refused[0].reason, "the file name holds a control character");
  EXPECT_EQ(file.refused[1].index, 2u);
  EXPECT_EQ(file.refused[1].reason, "the directory begins or ends with a blank");
  EXPECT_EQ(file.refused[2].index, 3u);
  EXPECT_EQ(file.refused[2].reason, "a header holds a control character");
}

}  // namespace
}  // namespace sf
