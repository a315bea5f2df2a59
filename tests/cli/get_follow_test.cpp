// `sharefetch-cli get --rpc URL ... --follow` against real aria2c daemons and the local share
// service: a share spread over two downloaders by bytes and followed to the end, links expired
// while the downloads run renewed and the partials continued, a link that stays refused ending
// its file once, an interrupted run taken up by the same command without a second download of
// anything, and a downloader that is down from the start.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "aria2_daemon.h"
#include "base/text.h"
#include "cli/get_command.h"
#include "cli/terminal_io.h"
#include "download/remote_downloads.h"
#include "file_content.h"
#include "net/json_rpc.h"
#include "raw_http_server.h"
#include "share_get_fixture.h"
#include "share_simulator.h"
#include "text_helpers.h"
#include "wait_until.h"

namespace sf::cli {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr const char* kFixture = R"({"shares": [
  {"id": "spread", "items": [{"name": "a.bin", "size": 900000, "fs_id": 7001},
    {"name": "b.bin", "size": 700000, "fs_id": 7002},
    {"name": "d", "children": [{"name": "c.bin", "size": 500000, "fs_id": 7003},
      {"name": "e.bin", "size": 300000, "fs_id": 7004}]},
    {"name": "f.bin", "size": 100000, "fs_id": 7005}]},
  {"id": "slow", "items": [{"name": "s1.bin", "size": 400000, "fs_id": 7101},
    {"name": "s2.bin", "size": 400000, "fs_id": 7102},
    {"name": "s3.bin", "size": 400000, "fs_id": 7103},
    {"name": "s4.bin", "size": 400000, "fs_id": 7104}]},
  {"id": "stale", "items": [{"name": "good1.bin", "size": 3000, "fs_id": 7201},
    {"name": "old.bin", "size": 5000, "fs_id": 7202, "staleLinks": 2},
    {"name": "good2.bin", "size": 4000, "fs_id": 7203}]}
]})";

constexpr const char* kSecretA = "first-Secret-1";
constexpr const char* kSecretB = "second-Secret-2";

using test::Outcome;

class GetFollow : public test::ShareGetTest {
 protected:
  GetFollow() : ShareGetTest(kFixture, test::NoEngine, {"a", "b"}) {}

  Outcome Get(std::vector<std::string> args, const std::string& share,
              const std::atomic<bool>& interrupted) {
    return GetShare(std::move(args), share, &interrupted);
  }
  Outcome Get(std::vector<std::string> args, const std::string& share) {
    return GetShare(std::move(args), share);
  }

  // Every file of `share` whole under one of `bases`, by its path in the share.
  void ExpectEveryFileWhole(const std::string& share, const std::vector<fs::path>& bases) {
    const sim::Share* s = simulator.fixture()->byId.at(share);
    for (const auto& [fsId, node] : s->byFsId) {
      if (node->isDir) continue;
      std::string relative = node->path.substr(1);
      bool found = false;
      for (const fs::path& base : bases) {
        if (!fs::exists(base / relative)) continue;
        found = true;
        EXPECT_EQ(test::FileSha256(base / relative), sim::FileSha256Hex(fsId, node->size))
            << relative;
      }
      EXPECT_TRUE(found) << relative;
    }
  }
};

// The downloads a daemon holds, by path, whatever their state.
std::map<std::string, Json> Held(const test::Aria2Daemon& aria2, const std::string& secret) {
  JsonRpcClient client(aria2.Endpoint());
  std::string token = "token:" + secret;
  Json keys = {"gid", "status", "completedLength", "files"};
  std::map<std::string, Json> held;
  for (RpcReply r : {client.Call("aria2.tellActive", {token, keys}),
                     client.Call("aria2.tellWaiting", {token, 0, 1000, keys}),
                     client.Call("aria2.tellStopped", {token, 0, 1000, keys})}) {
    EXPECT_TRUE(r.ok());
    for (const Json& d : r.result) held[d["files"][0]["path"]] = d;
  }
  return held;
}

// How many downloads a daemon was ever given that it still lists, and of them how many run.
std::pair<int, int> Counts(const test::Aria2Daemon& aria2, const std::string& secret) {
  RpcReply r = JsonRpcClient(aria2.Endpoint()).Call("aria2.getGlobalStat", {"token:" + secret});
  if (!r.ok()) return {-1, -1};
  int active = std::stoi(r.result["numActive"].get<std::string>());
  int waiting = std::stoi(r.result["numWaiting"].get<std::string>());
  int stopped = std::stoi(r.result["numStoppedTotal"].get<std::string>());
  return {active + waiting + stopped, active};
}

// A downloader of our own on aria2's JSON-RPC (for --dir runs): it holds nothing, takes each
// download as gid "g-OUT" and answers tellStatus with `status(gid)`; nothing keeps it silent.
struct FakeAria2 {
  using Status = std::function<std::optional<Json>(const std::string&)>;
  explicit FakeAria2(Status s) : status(std::move(s)) {}
  ~FakeAria2() { gone = true; }
  test::RawResponse Serve(const test::RawRequest& r) {
    Json request = Json::parse(r.body), result = Json::object();  // getGlobalStat
    const bool multi = request["method"] == "system.multicall";
    if (multi) result = Json::array();
    for (const Json& call : multi ? request["params"][0] : Json::array()) {
      const Json& p = call["params"];
      std::optional<Json> one = Json::array();  // tellActive, tellWaiting, tellStopped
      if (call["methodName"] == "aria2.addUri") one = "g-" + p.back()["out"].get<std::string>();
      if (call["methodName"] == "aria2.tellStatus") one = status(p[p.size() - 2]);
      if (!one && ++silent)
        while (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (!one) return {.bytes = "", .closeEarly = true};
      result.push_back(Json::array({*one}));
    }
    Json reply = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", result}};
    return test::RawHttpServer::Reply(200, "OK", {}, reply.dump());
  }
  Status status;
  std::atomic<int> silent{0};
  std::atomic<bool> gone{false};
  test::RawHttpServer server{[this](const test::RawRequest& r) { return Serve(r); }};
};

TEST(RemoteErrors, RefusedLinksAreToldFromOtherFailures) {
  EXPECT_TRUE(LinkRefusedByServer("22", "The response status is not successful. status=403"));
  EXPECT_TRUE(LinkRefusedByServer("22", "The response status is not successful. status=410"));
  EXPECT_TRUE(LinkRefusedByServer("3", "Resource not found"));
  EXPECT_FALSE(LinkRefusedByServer("22", "The response status is not successful. status=500"));
  EXPECT_TRUE(LinkRefusedByServer("22", "No URI available."));
  EXPECT_FALSE(LinkRefusedByServer("22", "The response status is not successful. status=503"));
  EXPECT_FALSE(LinkRefusedByServer("24", "Authorization failed."));
  EXPECT_FALSE(LinkRefusedByServer("2", "Timeout."));
  EXPECT_EQ(RemoteErrorText("22", "The response status is not successful. status=410"), "HTTP 410");
  EXPECT_EQ(RemoteErrorText("3", "Resource not found"), "HTTP 404");
  EXPECT_EQ(RemoteErrorText("2", "Timeout."), "aria2 error 2: Timeout.");
}

// Two downloaders, the second one's secret read from a file: the largest files first, each to
// the one holding fewer bytes, every file followed until it is whole, and no secret shown.
TEST_F(GetFollow, TwoDownloadersGetTheShareByBytesAndItIsFollowedToTheEnd) {
  test::Aria2Daemon a((root / "a").string(), kSecretA);
  test::Aria2Daemon b((root / "b").string(), kSecretB);
  ASSERT_TRUE(a.running() && b.running()) << a.error() << b.error();
  const fs::path secretFile = root / "secret-b";
  std::ofstream(secretFile) << kSecretB << "\n";

  Outcome r = Get({"--rpc", a.Endpoint(), "--rpc-secret", kSecretA, "--rpc", b.Endpoint(),
                   "--rpc-secret", "@" + secretFile.string(), "--follow", "--json"},
                  "spread");
  ASSERT_EQ(r.code, 0) << r.err;
  for (const char* secret : {kSecretA, kSecretB})
    EXPECT_EQ((r.out + r.err).find(secret), std::string::npos);

  // 900 000 to a, 700 000 and 500 000 to b, then 300 000 and 100 000 to a.
  std::map<std::string, std::set<std::string>> expected = {
      {a.Endpoint(),
       {(root / "a/a.bin").string(), (root / "a/d/e.bin").string(), (root / "a/f.bin").string()}},
      {b.Endpoint(), {(root / "b/b.bin").string(), (root / "b/d/c.bin").string()}}};
  Json doc = Json::parse(r.out);
  ASSERT_EQ(doc["downloaders"].size(), 2u);
  EXPECT_EQ(doc["downloaders"][0]["bytes"], 1300000);
  EXPECT_EQ(doc["downloaders"][1]["bytes"], 1200000);
  std::map<std::string, std::set<std::string>> placed;
  for (const Json& f : doc["files"]) {
    EXPECT_EQ(f["status"], "complete") << f.dump();
    placed[f["downloader"]].insert(f["dir"].get<std::string>() + "/" + f["out"].get<std::string>());
  }
  EXPECT_EQ(placed, expected);
  for (const auto* daemon : {&a, &b}) {
    std::map<std::string, Json> held = Held(*daemon, daemon == &a ? kSecretA : kSecretB);
    std::set<std::string> paths;
    for (const auto& [path, d] : held) {
      paths.insert(path);
      EXPECT_EQ(d["status"], "complete") << path;
    }
    EXPECT_EQ(paths, expected[daemon->Endpoint()]);
  }
  ExpectEveryFileWhole("spread", {root / "a", root / "b"});
}

// One downloader down from the start: it gets nothing, the other takes every file, and the
// output says where each went.
TEST_F(GetFollow, ADownloaderDownAtTheStartGetsNoneOfTheFiles) {
  test::Aria2Daemon b((root / "b").string(), kSecretB);
  ASSERT_TRUE(b.running()) << b.error();
  const std::string down =
      "http://127.0.0.1:" + std::to_string(test::FreeLoopbackPort()) + "/jsonrpc";
  Outcome r =
      Get({"--rpc", down, "--rpc", b.Endpoint(), "--rpc-secret", kSecretB, "--follow"}, "spread");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find(down + ": aria2.getGlobalOption: cannot connect; its files go to the "
                              "others\n"),
            std::string::npos)
      << r.err;
  std::vector<std::string> lines = SplitText(r.out, "\n");
  size_t handed = 0;
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    ++handed;
    std::vector<std::string> columns = SplitText(line, "\t");
    ASSERT_EQ(columns.size(), 3u) << line;
    EXPECT_EQ(columns[1].rfind((root / "b").string() + "/", 0), 0u) << line;
    EXPECT_EQ(columns[2], b.Endpoint());
  }
  EXPECT_EQ(handed, 5u);
  EXPECT_NE(r.err.find("5 files: 5 complete, 0 failed\n"), std::string::npos) << r.err;
  ExpectEveryFileWhole("spread", {root / "b"});
}

// Every link expires while the downloads run, each connection cut short so that the downloader
// has to come back: each file is renewed, handed back and continued from its partial, and
// ends whole.
TEST_F(GetFollow, LinksExpiredWhileTheDownloadsRunAreRenewedAndTheFilesContinue) {
  simulator.SetDownloadOverride(sim::DownloadQuirks{400000, false, 100000, false});
  test::Aria2Daemon a((root / "a").string(), kSecretA);
  test::Aria2Daemon b((root / "b").string(), kSecretB);
  ASSERT_TRUE(a.running() && b.running()) << a.error() << b.error();
  std::atomic<bool> interrupted{false};
  Outcome r;
  std::thread run([&] {
    r = Get({"--rpc", a.Endpoint(), "--rpc-secret", kSecretA, "--rpc", b.Endpoint(), "--rpc-secret",
             kSecretB, "--follow", "--json"},
            "slow", interrupted);
  });
  // Once every file has bytes and none is whole, every link given out goes.
  bool running = test::WaitUntil(
      [&] {
        int started = 0;
        for (const auto* daemon : {&a, &b})
          for (const auto& [path, d] : Held(*daemon, daemon == &a ? kSecretA : kSecretB))
            if (d["status"] == "active" && d["completedLength"] != "0") ++started;
        return started == 4;
      },
      std::chrono::seconds(20));
  simulator.ExpireLinks();
  run.join();
  ASSERT_TRUE(running);
  ASSERT_EQ(r.code, 0) << r.err;
  Json doc = Json::parse(r.out);
  for (const Json& f : doc["files"]) {
    EXPECT_EQ(f["status"], "complete") << f.dump();
    EXPECT_EQ(f["renewed"], true) << f.dump();
  }
  EXPECT_NE(r.err.find("the link was refused on "), std::string::npos) << r.err;
  ExpectEveryFileWhole("slow", {root / "a", root / "b"});

  // After its refusal each file went on from where it was: its first answer under a fresh link
  // was a range from past its start.
  std::map<std::string, bool> refused;
  std::map<std::string, std::string> resumedFrom;
  for (const auto& q : simulator.RequestsTo("/file/")) {
    std::string file = q.Path().substr(q.Path().rfind('/') + 1);
    if (q.status == 403) refused[file] = true;
    if (refused[file] && q.status == 206 && !resumedFrom.count(file))
      resumedFrom[file] = q.Header("Range");
  }
  ASSERT_EQ(resumedFrom.size(), 4u);
  for (const auto& [file, range] : resumedFrom) EXPECT_NE(range, "bytes=0-") << file;
  // Nothing was downloaded twice: each downloader lists its two files once.
  for (const auto* daemon : {&a, &b})
    EXPECT_EQ(Held(*daemon, daemon == &a ? kSecretA : kSecretB).size(), 2u);
}

// A link refused again after its renewal ends its file for good, after one renewal; the others
// complete and the run fails, naming it.
TEST_F(GetFollow, ALinkThatStaysRefusedFailsForGoodAfterOneRenewal) {
  test::Aria2Daemon a((root / "a").string(), kSecretA);
  ASSERT_TRUE(a.running()) << a.error();
  // One downloader and one secret: the secret may come first, as it always could.
  Outcome r = Get({"--rpc-secret", kSecretA, "--rpc", a.Endpoint(), "--follow"}, "stale");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("old.bin: the link was refused on " + a.Endpoint() +
                       " (HTTP 403); asking the share for a fresh link\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(
      r.err.find("failed on " + a.Endpoint() + ": old.bin: HTTP 403, with a fresh link too\n"),
      std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("3 files: 2 complete, 1 failed\n"), std::string::npos) << r.err;
  EXPECT_EQ(simulator.CountRequests("/api/sharedownload", "7202"),
            2u);  // the resolution's link, and one renewal
  for (const char* name : {"good1.bin", "good2.bin"})
    EXPECT_TRUE(fs::exists(root / "a" / name)) << name;
}

// Ctrl-C stops following and leaves the downloads running there; the same command then follows
// them to the end without adding any of them again.
TEST_F(GetFollow, AnInterruptedRunIsTakenUpByTheSameCommandWithoutDuplicates) {
  simulator.SetDownloadOverride(sim::DownloadQuirks{400000, false, 0, false});
  test::Aria2Daemon a((root / "a").string(), kSecretA);
  ASSERT_TRUE(a.running()) << a.error();
  const std::vector<std::string> args = {"--rpc", a.Endpoint(), "--rpc-secret", kSecretA,
                                         "--follow"};
  std::atomic<bool> interrupted{false};
  Outcome first;
  std::thread run([&] { first = Get(args, "slow", interrupted); });
  bool handed = test::WaitUntil([&] { return Counts(a, kSecretA).second > 0; });
  interrupted = true;
  run.join();
  ASSERT_TRUE(handed);
  EXPECT_EQ(first.code, 130) << first.err;
  EXPECT_NE(first.err.find("stopped following; the downloads go on there"), std::string::npos)
      << first.err;
  ASSERT_EQ(Counts(a, kSecretA).first, 4);

  Outcome again = Get(args, "slow");
  ASSERT_EQ(again.code, 0) << again.err;
  EXPECT_NE(again.err.find("4 of the files were there already and are not added again"),
            std::string::npos)
      << again.err;
  // The same gids, and nothing more on the downloader or on its disk.
  EXPECT_EQ(again.out, first.out);
  EXPECT_EQ(Counts(a, kSecretA).first, 4);
  size_t onDisk = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root / "a"))
    onDisk += entry.is_regular_file();
  EXPECT_EQ(onDisk, 4u);
  ExpectEveryFileWhole("slow", {root / "a"});
}

// Each secret belongs to the --rpc before it; a secret file that cannot be read is wrong usage,
// named by its path, never by what it holds.
TEST_F(GetFollow, SecretsAndFollowAreCheckedAsUsage) {
  const fs::path secretFile = root / "secret";
  std::ofstream(secretFile) << "\n" << kSecretA << "\n";
  const std::string rpc = "http://127.0.0.1:1/jsonrpc";
  for (const auto& [args, problem] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--rpc-secret", kSecretA, "--rpc", rpc, "--rpc", rpc},
            "--rpc-secret goes after the --rpc it is for"},
           {{"--rpc", rpc, "--rpc-secret", kSecretA, "--rpc-secret", kSecretB},
            "one --rpc-secret for each --rpc"},
           {{"--follow"}, "--follow goes with --rpc"},
           {{"--rpc", rpc, "--rpc", "ftp://x", "--follow"},
            "--rpc needs an http:// or https:// address"},
           {{"--rpc", rpc, "--rpc-secret", "@" + (root / "none").string()},
            "--rpc-secret @" + (root / "none").string() + ": No such file or directory"},
           {{"--rpc", rpc, "--rpc-secret", "@" + secretFile.string()},
            "--rpc-secret @" + secretFile.string() + ": the file's first line is empty"}}) {
    Outcome r = Get(args, "spread");
    EXPECT_EQ(r.code, 2) << problem;
    EXPECT_NE(r.err.find(problem), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(kSecretA), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(kSecretB), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace sf::cli

namespace sf::cli {
namespace {

// A server that sends no length and cuts every body at 150 000 bytes: aria2 calls the part
// complete, but only the file of 100 000 bytes is; the rest fail, and so does the run. Once the
// server mends, the same command starts them over in place.
TEST_F(GetFollow, AFileCutShortIsNotComplete) {
  simulator.SetDownloadOverride(sim::DownloadQuirks{0, false, 150000, true});
  test::Aria2Daemon a((root / "a").string(), kSecretA);
  ASSERT_TRUE(a.running()) << a.error();
  Outcome r =
      Get({"--rpc", a.Endpoint(), "--rpc-secret", kSecretA, "--follow", "--json"}, "spread");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.err.find("5 files: 1 complete, 4 failed\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("a.bin: ended with 150000 of 900000 bytes\n"), std::string::npos) << r.err;
  const Json report = Json::parse(r.out);
  for (const Json& f : report["files"])
    EXPECT_EQ(f["status"], f["out"] == "f.bin" ? "complete" : "failed") << f.dump();

  simulator.SetDownloadOverride(std::nullopt);
  r = Get({"--rpc", a.Endpoint(), "--rpc-secret", kSecretA, "--follow"}, "spread");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(root / "a"), {}), 6);  // d/ and 5
  ExpectEveryFileWhole("spread", {root / "a"});
}

// A downloader that lies and echoes: "complete" at 3 bytes of 3000, and the secret back in an
// error message. Neither is believed nor shown.
TEST_F(GetFollow, WhatAHostileDownloaderSaysIsNeitherBelievedNorShown) {
  FakeAria2 fake([](const std::string& gid) -> std::optional<Json> {
    if (gid == "g-old.bin")
      return Json{
          {"status", "error"}, {"errorCode", "1"}, {"errorMessage", "token:first-Secret-1"}};
    std::string length = gid == "g-good1.bin" ? "3" : "4000";
    return Json{{"status", "complete"}, {"totalLength", length}, {"completedLength", length}};
  });
  Outcome r = Get({"--rpc", fake.server.Url("/"), "--rpc-secret", kSecretA, "--dir", "/far",
                   "--follow", "--json"},
                  "stale");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ((r.out + r.err).find(kSecretA), std::string::npos) << r.out << r.err;
  Json files = Json::parse(r.out)["files"];
  EXPECT_EQ(files[0]["error"], "ended with 3 of 3000 bytes");
  EXPECT_EQ(files[1]["error"], "aria2 error 1: token:***");
  EXPECT_EQ(files[2]["status"], "complete");
}

// Ctrl-C while both downloaders keep silent: the call under way is given up, the second
// downloader is not asked, and the run ends as interrupted.
TEST_F(GetFollow, CtrlCDoesNotWaitForSilentDownloaders) {
  auto silent = [](const std::string&) { return std::optional<Json>(); };
  FakeAria2 a(silent), b(silent);
  std::atomic<bool> interrupted{false};
  Outcome r;
  std::thread run([&] {
    r = Get({"--rpc", a.server.Url("/"), "--rpc", b.server.Url("/"), "--dir", "/far", "--follow"},
            "spread", interrupted);
  });
  bool asked = test::WaitUntil([&] { return a.silent > 0; });
  interrupted = true;
  run.join();
  ASSERT_TRUE(asked);
  EXPECT_EQ(r.code, 130) << r.err;
  EXPECT_EQ(b.silent, 0);
}

}  // namespace
}  // namespace sf::cli
