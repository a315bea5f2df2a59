// `sharefetch-cli get` against the local share service with the real engine: a folder tree onto
// disk and a rerun that skips it, a protected share and a captcha, expired links, hostile names,
// globs, and a run interrupted while its link had to be renewed.
#include "cli/get_command.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "base/text.h"
#include "download/download_engine.h"
#include "engine/control_file.h"
#include "file_content.h"
#include "raw_http_server.h"
#include "share_get_fixture.h"
#include "share_simulator.h"
#include "text_helpers.h"
#include "wait_until.h"

namespace sf::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char* kFixture = R"({"shares": [
  {"id": "tree", "items": [{"name": "top.txt", "size": 1000, "fs_id": 5001},
    {"name": "资料", "children": [{"name": "a.bin", "size": 3000000, "fs_id": 5002},
      {"name": "sub", "children": [{"name": "deep.bin", "size": 70000, "fs_id": 5003}]},
      {"name": "skip.tmp", "size": 10, "fs_id": 5004}]},
    {"name": "empty", "dir": true}]},
  {"id": "locked", "password": "ab12", "items": [{"name": "d", "children": [
    {"name": "secret.zip", "size": 5000, "fs_id": 5101}]}]},
  {"id": "cap", "linkCaptchaAt": 2, "items": [{"name": "1.bin", "size": 100, "fs_id": 5201},
    {"name": "2.bin", "size": 200, "fs_id": 5202}]},
  {"id": "stale", "items": [{"name": "old.bin", "size": 400000, "fs_id": 5301, "staleLinks": 1},
    {"name": "twice.bin", "size": 1000, "fs_id": 5302, "staleLinks": 2}]},
  {"id": "hostile", "items": [
    {"name": "..", "rawName": true, "children": [
      {"name": "../../escape.txt", "rawName": true, "size": 10, "fs_id": 5401},
      {"name": "bell\u0007\u001b[31m.txt", "size": 5, "fs_id": 5402}]},
    {"name": "c1\u0085\u009b1m.txt", "size": 6, "fs_id": 5405},
    {"name": ".", "rawName": true, "size": 3, "fs_id": 5403},
    {"name": "a/b", "rawName": true, "size": 4, "fs_id": 5404}]},
  {"id": "big", "items": [{"name": "big.bin", "size": 6291456, "fs_id": 5501, "staleLinks": 1}]},
  {"id": "blank", "items": [{"name": "LONG bbbbbbbbbbbbbbbbbbbb", "size": 100, "fs_id": 5801},
    {"name": "LONG", "size": 100, "fs_id": 5802}]},
  {"id": "sizeless", "items": [{"name": "top.bin", "size": 300000, "fs_id": 5601, "noSize": true}]},
  {"id": "cut", "download": {"ignoreRange": true, "noLength": true, "dropAfter": 150000},
    "items": [{"name": "half.bin", "size": 300000, "fs_id": 5701}]},
  {"id": "stream", "linkCaptchaAt": 3, "items": [
    {"name": "1.bin", "size": 1000, "fs_id": 5901, "staleLinks": 1},
    {"name": "2.bin", "size": 2000, "fs_id": 5902}, {"name": "3.bin", "size": 3000, "fs_id": 5903}]},
  {"id": "slow", "linkCaptchaAt": 2, "items": [{"name": "1.bin", "size": 150000, "fs_id": 6001},
    {"name": "2.bin", "size": 100, "fs_id": 6002}]},
  {"id": "halt", "linkCaptchaAt": 2, "items": [{"name": "1.bin", "size": 150000, "fs_id": 6101},
    {"name": "2.bin", "size": 100, "fs_id": 6102}, {"name": "3.bin", "size": 100, "fs_id": 6103}]},
  {"id": "deep", "items": [{"tree": {"depth": 70, "folders": 1, "files": 1, "name": "d", "fileName": "f.txt", "size": 10}}]},
  {"id": "many", "items": [{"name": "late.bin", "size": 5000, "fs_id": 6301, "staleLinks": 1},
    {"tree": {"folders": 3, "files": 80, "name": "d{i}", "fileName": "f{i}.txt", "size": 40}}]},
  {"id": "hung", "items": [{"name": "h.bin", "size": 1000, "fs_id": 6401, "staleLinks": 1,
    "linkFailure": "hang", "linkFailureAfter": 1}]}
]})";
// 225 bytes: a name of these, a blank and 20 more is cut right after the blank.
const std::string kLong(225, 'a');

using test::Outcome;

DownloadEngine* Engine(std::string& error) {
  static EngineLoad load = [] {
    ::setenv("SHAREFETCH_RETRY_BASE_MS", "20", 1);  // retries without the wait a user gets
    return LoadEngineLibrary(SF_ENGINE_PATH);
  }();
  error = load.error;
  return load.engine.get();
}

class GetCommand : public test::ShareGetTest {
 protected:
  GetCommand() : ShareGetTest(ReplaceAll(kFixture, "LONG", kLong), Engine) {}

  // `interrupted` stands for Ctrl-C: null, never.
  Outcome Get(std::vector<std::string> args, test::TypedLine input = {},
              std::atomic<bool>* interrupted = nullptr) {
    args.insert(args.begin(), {"--dir", dir.string()});
    return RunGetCommand(std::move(args), std::move(input), interrupted);
  }

  // Every file of `share` on disk as the share has it, each where the fixture put it.
  void ExpectTheShareOnDisk(const std::string& share, const std::string& folder = "") {
    const sim::Share& s = *simulator.fixture()->byId.at(share);
    for (const auto& [fsId, node] : s.byFsId) {
      if (node->isDir) continue;
      fs::path path = (folder.empty() ? dir : dir / folder) / node->path.substr(1);
      EXPECT_EQ(test::FileSha256(path), sim::FileSha256Hex(fsId, node->size)) << path;
    }
  }

  const fs::path dir = root / "dir";
};

TEST_F(GetCommand, AFolderTreeLandsInItsFoldersAndARerunSkipsEverything) {
  Outcome r = Get({simulator.ShareUrl("tree")});
  ASSERT_EQ(r.code, 0) << r.err;
  ExpectTheShareOnDisk("tree");
  std::vector<std::string> saved = SplitText(r.out, "\n");
  saved.pop_back();
  std::sort(saved.begin(), saved.end());
  EXPECT_EQ(saved, (std::vector<std::string>{
                       (dir / "top.txt").string(), (dir / "资料/a.bin").string(),
                       (dir / "资料/skip.tmp").string(), (dir / "资料/sub/deep.bin").string()}));
  EXPECT_NE(r.err.find("解析结果：成功\n"), std::string::npos);
  EXPECT_NE(r.err.find("4 files: 4 done, 0 skipped, 0 failed"), std::string::npos);

  simulator.ClearRequests();
  r = Get({"--json", simulator.ShareUrl("tree")});
  ASSERT_EQ(r.code, 0) << r.err;
  auto doc = nlohmann::json::parse(r.out);
  EXPECT_EQ(doc["result"], 0);
  ASSERT_EQ(doc["files"].size(), 4u);
  for (const auto& f : doc["files"]) EXPECT_EQ(f["status"], "skipped") << f.dump();
  EXPECT_EQ(doc["files"][3]["share_path"], "资料/a.bin");
  EXPECT_EQ(doc["files"][3]["saved_path"], (dir / "资料/a.bin").string());
  EXPECT_EQ(doc["files"][3]["size"], 3000000);
  EXPECT_EQ(simulator.CountRequests("/file/"), 0u);
}

// A share of more files than a run keeps the finished ones of: each is saved where the share
// has it and reported once, and a link refused after many have gone is renewed for its own file.
TEST_F(GetCommand, ManyFilesAreEachSavedAndReportedWhileTheFinishedOnesAreLetGo) {
  Outcome r = Get({"--json", "--jobs", "5", simulator.ShareUrl("many")});
  ASSERT_EQ(r.code, 0) << r.err;
  ExpectTheShareOnDisk("many");
  EXPECT_NE(r.err.find("241 files: 241 done, 0 skipped, 0 failed"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("late.bin: HTTP 403; asking the share for a fresh link"), std::string::npos);
  EXPECT_EQ(simulator.CountRequests("/api/sharedownload", "%5B6301%5D"), 2u);
  EXPECT_EQ(simulator.CountRequests("/api/sharedownload"), 242u);
  auto doc = nlohmann::json::parse(r.out);
  ASSERT_EQ(doc["files"].size(), 241u);
  std::set<std::string> saved;
  for (const auto& f : doc["files"]) {
    EXPECT_EQ(f["status"], "done") << f.dump();
    saved.insert(f["saved_path"].get<std::string>());
  }
  EXPECT_EQ(saved.size(), 241u);
  EXPECT_TRUE(saved.count((dir / "d3/f80.txt").string()));
}

// A chain of 70 folders: the 64 files above the depth limit are saved, the folder below it is
// named, and the run exits 1.
TEST_F(GetCommand, AFolderTooDeepToListIsNamedAndTheRunFails) {
  Outcome r = Get({simulator.ShareUrl("deep")});
  EXPECT_EQ(r.code, 1);
  std::string path = "d";
  for (int i = 2; i <= 65; ++i) path += "/d";
  EXPECT_NE(
      r.err.find("解析结果：成功\n未能列出的文件夹：" + path + "（文件夹层级过深，未列出）\n"),
      std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("sharefetch-cli: the share did not resolve completely\n"),
            std::string::npos);
  EXPECT_NE(r.err.find("64 files: 64 done, 0 skipped, 0 failed"), std::string::npos);
  EXPECT_TRUE(fs::is_regular_file(dir / "d/f.txt"));
  EXPECT_TRUE(fs::is_regular_file(dir / (path.substr(0, path.size() - 2) + "/f.txt")));
}

TEST_F(GetCommand, GlobsPickFilesAndADryRunDownloadsNothing) {
  Outcome r = Get(
      {"--dry-run", "--include", "资料/**", "--exclude", "**/*.tmp", simulator.ShareUrl("tree")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "70000\t资料/sub/deep.bin\n3000000\t资料/a.bin\n");
  EXPECT_EQ(simulator.CountRequests("/file/"), 0u);
  EXPECT_FALSE(fs::exists(dir));

  r = Get({"--include", "*.txt", simulator.ShareUrl("tree")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, (dir / "top.txt").string() + "\n");
  EXPECT_FALSE(fs::exists(dir / "资料"));
}

TEST_F(GetCommand, APasswordAndACaptchaAreAskedAsResolveAsksThem) {
  Outcome r = Get({"--password", "ab12", simulator.ShareUrl("locked")});
  ASSERT_EQ(r.code, 0) << r.err;
  ExpectTheShareOnDisk("locked");

  r = Get({simulator.ShareUrl("cap")}, [&] { return simulator.LatestCaptchaAnswer(); });
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("解析到第2个文件错误："), std::string::npos);
  EXPECT_NE(r.err.find("请输入验证码: "), std::string::npos);
  ExpectTheShareOnDisk("cap");
}

// The last link waits for a captcha answer, which the test gives only once a file is on disk and
// the stale link of another was refused for good: files start while later links are still asked
// for, and the fresh link is asked for once the share's own link requests are done, in their order.
TEST_F(GetCommand, FilesStartBeforeTheLastLinkIsKnown) {
  bool onDiskFirst = false;
  Outcome r = Get({simulator.ShareUrl("stream")}, [&] {
    // The engine gives a link up once a second try is refused too.
    onDiskFirst = test::WaitUntil([&] {
      size_t refused = 0;
      for (const auto& q : simulator.RequestsTo("/file/")) refused += q.status == 403;
      return refused >= 2 && test::FileSha256(dir / "2.bin") == sim::FileSha256Hex(5902, 2000);
    });
    return simulator.LatestCaptchaAnswer();
  });
  EXPECT_TRUE(onDiskFirst);
  ASSERT_EQ(r.code, 0) << r.err;
  ExpectTheShareOnDisk("stream");
  EXPECT_NE(r.err.find("1.bin: HTTP 403; asking the share for a fresh link"), std::string::npos);
  EXPECT_NE(r.err.find("3 files: 3 done, 0 skipped, 0 failed"), std::string::npos) << r.err;
  std::vector<std::string> asked;
  for (const auto& q : simulator.RequestsTo("/api/sharedownload"))
    asked.push_back(q.body.substr(q.body.find("fid_list=")));
  EXPECT_EQ(asked, (std::vector<std::string>{"fid_list=%5B5901%5D", "fid_list=%5B5902%5D",
                                             "fid_list=%5B5903%5D", "fid_list=%5B5903%5D",
                                             "fid_list=%5B5901%5D"}));
}

// A captcha declined while the first file downloads: its download goes on to the end, the file
// whose link was never given is reported, and the run fails.
TEST_F(GetCommand, ADeclinedCaptchaLeavesTheRunningFileToFinish) {
  bool runningWhenDeclined = false;
  Outcome r = Get({"--limit", "200", simulator.ShareUrl("slow")}, [&] {
    bool started = test::WaitUntil([&] {
      return fs::exists(dir / "1.bin.sfctl") || fs::exists(dir / "1.bin.sfpart") ||
             fs::exists(dir / "1.bin");
    });
    runningWhenDeclined = started && !fs::exists(dir / "1.bin");
    return std::nullopt;
  });
  EXPECT_TRUE(runningWhenDeclined);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(test::FileSha256(dir / "1.bin"), sim::FileSha256Hex(6001, 150000));
  EXPECT_FALSE(fs::exists(dir / "2.bin"));
  EXPECT_EQ(r.out, (dir / "1.bin").string() + "\n");
  EXPECT_NE(r.err.find("2.bin: the share gave no link for it\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("2 files: 1 done, 0 skipped, 1 failed\n"), std::string::npos) << r.err;
}

// Ctrl-C while a file downloads and later links are still asked for: the share is asked for no
// more links, no other file starts, and the file is paused with its bytes kept for the next run
// (which AnInterruptedRunResumesUnderARenewedLink follows).
TEST_F(GetCommand, CtrlCWhileLinksComeStopsTheAskingAndPausesTheFiles) {
  std::atomic<bool> interrupted{false};
  bool started = false;
  Outcome r = Get(
      {"--limit", "100", simulator.ShareUrl("halt")},
      [&] {
        started = test::WaitUntil([&] { return fs::exists(dir / "1.bin.sfctl"); });
        interrupted = true;
        return simulator.LatestCaptchaAnswer();
      },
      &interrupted);
  EXPECT_TRUE(started);
  EXPECT_EQ(r.code, 130);
  EXPECT_EQ(simulator.CountRequests("/api/sharedownload", "%5B6103%5D"), 0u);
  EXPECT_FALSE(fs::exists(dir / "1.bin"));
  EXPECT_TRUE(fs::exists(dir / "1.bin.sfpart"));
  EXPECT_FALSE(fs::exists(dir / "2.bin"));
  EXPECT_NE(r.err.find("paused; run the same command again to resume\n"), std::string::npos);
  EXPECT_NE(r.err.find("3 files: 0 done, 0 skipped, 0 failed, 3 unfinished\n"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("解析结果"), std::string::npos) << r.err;
}

// Ctrl-C while a fresh link is asked for from a share that never answers: the request is given
// up, and the run ends as interrupted, its file unfinished rather than failed.
TEST_F(GetCommand, CtrlCGivesUpARenewalThatHangs) {
  std::atomic<bool> interrupted{false};
  std::thread press([&] {
    test::WaitUntil([&] { return simulator.CountRequests("/api/sharedownload") >= 2; });
    interrupted = true;
  });
  Outcome r = Get({simulator.ShareUrl("hung")}, {}, &interrupted);
  press.join();
  EXPECT_EQ(r.code, 130) << r.err;
  EXPECT_NE(r.err.find("1 files: 0 done, 0 skipped, 0 failed, 1 unfinished\n"), std::string::npos)
      << r.err;
}

// Only the files chosen are asked for links, so a captcha on a file left out asks nothing. With
// --json the one object comes whatever keeps the files from downloading.
TEST_F(GetCommand, OnlyChosenFilesAskLinksAndJsonAlwaysEndsWithItsObject) {
  Outcome r = Get({"--include", "1.bin", simulator.ShareUrl("cap")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(simulator.CountRequests("/api/sharedownload"), 1u);
  EXPECT_EQ(simulator.CountRequests("/api/sharedownload", "%5B5201%5D"), 1u);

  std::ofstream(root / "file") << "x";
  r = Get({"--json", "--dir", (root / "file" / "d").string(), simulator.ShareUrl("tree")});
  auto doc = nlohmann::json::parse(r.out);
  EXPECT_EQ(doc["files"][3]["status"], "failed");
  EXPECT_NE(doc["error"].get<std::string>().find("file/d"), std::string::npos);

  std::istringstream in;
  std::ostringstream out, err;
  std::atomic<bool> never{false};
  auto noEngine = [](std::string& e) -> DownloadEngine* { return e = "no engine", nullptr; };
  RunGet({"--host", simulator.Url(""), "--dir", dir.string(), "--json", simulator.ShareUrl("tree")},
         {in, out, err}, noEngine, false, never);
  EXPECT_EQ(nlohmann::json::parse(out.str())["error"], "no engine");
}

// A list of shares as users keep them: each share in a folder of its own named after it, its
// code read from its line, and one that is gone reported without stopping the others.
TEST_F(GetCommand, SharesFromAListEachGoIntoAFolderOfTheirOwn) {
  fs::path list = root / "shares.txt";
  std::ofstream(list) << "\xEF\xBB\xBF# from the group chat\n"
                      << simulator.ShareUrl("tree") << "\r\n\n"
                      << "  链接: " << simulator.ShareUrl("gone") << " 提取码: abcd\n"
                      << "链接：" << simulator.ShareUrl("locked") << " 密码：ab12 来自分享\n";
  Outcome r = Get({"--input", list.string()});
  EXPECT_EQ(r.code, 1);
  ExpectTheShareOnDisk("tree", "top等3个文件");
  ExpectTheShareOnDisk("locked", "d");
  EXPECT_EQ(r.err.find("请输入提取密码"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("3 shares: 2 complete, 1 not\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("not complete: " + simulator.ShareUrl("gone") + " (did not resolve"),
            std::string::npos)
      << r.err;
  std::vector<std::string> top;
  for (const auto& e : fs::directory_iterator(dir)) top.push_back(e.path().filename().string());
  std::sort(top.begin(), top.end());
  EXPECT_EQ(top, (std::vector<std::string>{"d", "top等3个文件"}));

  // A plan of the same shares given as arguments names the same folders, and a line that names
  // no share is wrong usage.
  r = Get({"--dry-run", "--include", "**/secret.zip", simulator.ShareUrl("tree"),
           simulator.ShareUrl("locked") + "?pwd=ab12"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "5000\td/d/secret.zip\n");
  EXPECT_EQ(Get({"--dry-run", "no link here"}).code, 2);
}

// A line of a list naming another host is never fetched; a line without a link is shown
// escaped (C1 controls, direction marks) and cut short.
TEST_F(GetCommand, ALineWithoutALinkOnTheShareHostIsShownNotFetched) {
  test::RawHttpServer other(
      [](const test::RawRequest&) { return test::RawHttpServer::Reply(200, "OK", {}, ""); });
  const std::string elsewhere =
      "http://localhost:" + std::to_string(other.port()) + "/s/1x?pwd=ab12";
  const std::string noisy =
      "\xC2\x9B"
      "31m \xE2\x80\xAE" +
      std::string(200000, 'x');
  fs::path list = root / "shares.txt";
  std::ofstream(list) << elsewhere << "\n" << noisy << "\n" << simulator.ShareUrl("tree") << "\n";
  Outcome r = Get({"--dry-run", "--input", list.string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(other.Requests().empty());
  EXPECT_NE(r.out.find("top.txt"), std::string::npos) << r.out;
  const std::string on = "no share link on " + simulator.Url("") + " in \"";
  EXPECT_NE(r.err.find(on + elsewhere + "\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(on + "\\u009b31m \\u202e" + std::string(74, 'x') + "…\""),
            std::string::npos);
  EXPECT_EQ(r.err.find("\xC2\x9B"), std::string::npos);
  EXPECT_EQ(r.err.find("\xE2\x80\xAE"), std::string::npos);
  EXPECT_LT(r.err.size(), 3000u);
}

TEST_F(GetCommand, AnExpiredLinkIsRenewedOnceAndOnlyOnce) {
  Outcome r = Get({simulator.ShareUrl("stale")});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(test::FileSha256(dir / "old.bin"), sim::FileSha256Hex(5301, 400000));
  EXPECT_NE(r.err.find("old.bin: HTTP 403; asking the share for a fresh link"), std::string::npos);
  EXPECT_NE(r.err.find("twice.bin: HTTP 403, with a fresh link too"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "twice.bin"));
  EXPECT_EQ(simulator.CountRequests("/api/sharedownload", "%5B5301%5D"), 2u);
  EXPECT_EQ(simulator.CountRequests("/api/sharedownload", "%5B5302%5D"), 2u);
}

TEST_F(GetCommand, HostileNamesStayInsideTheDirectory) {
  Outcome r = Get({simulator.ShareUrl("hostile")});
  ASSERT_EQ(r.code, 0) << r.err;
  std::vector<std::string> found;
  for (const auto& e : fs::recursive_directory_iterator(root))
    found.push_back(fs::relative(e.path(), root).string());
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found,
            (std::vector<std::string>{"dir", "dir/_", "dir/_ (1)", "dir/_ (1)/.._.._escape.txt",
                                      "dir/_ (1)/bell__[31m.txt", "dir/a_b", "dir/c1__1m.txt"}));
  EXPECT_EQ(test::FileSha256(dir / "c1__1m.txt"), sim::FileSha256Hex(5405, 6));
  EXPECT_EQ(test::FileSha256(dir / "_ (1)/.._.._escape.txt"), sim::FileSha256Hex(5401, 10));
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
}

// Two names that differ only past the cut, where the cut leaves a blank: each file is saved
// whole under a name of its own, not taken for the other one already there.
TEST_F(GetCommand, NamesThatMeetOnlyAfterTheCutAreBothSaved) {
  Outcome r = Get({"--jobs", "1", simulator.ShareUrl("blank")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("2 files: 2 done, 0 skipped, 0 failed"), std::string::npos) << r.err;
  std::vector<std::string> found,
      expected = {sim::FileSha256Hex(5801, 100), sim::FileSha256Hex(5802, 100)};
  for (const fs::path& saved : {dir / kLong, dir / (kLong + " (1)")})
    found.push_back(test::FileSha256(saved));
  std::sort(found.begin(), found.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(found, expected);
}

// A share that gives no size: the rerun learns the server's size before it decides, finds the
// file whole, and makes no copy of it.
TEST_F(GetCommand, ARerunOfAShareWithoutSizesFindsItsFilesWhole) {
  Outcome r = Get({simulator.ShareUrl("sizeless")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(test::FileSha256(dir / "top.bin"), sim::FileSha256Hex(5601, 300000));

  for (int run = 0; run < 2; ++run) {
    r = Get({"--json", simulator.ShareUrl("sizeless")});
    ASSERT_EQ(r.code, 0) << r.err;
    auto doc = nlohmann::json::parse(r.out);
    ASSERT_EQ(doc["files"].size(), 1u);
    EXPECT_EQ(doc["files"][0]["status"], "skipped") << doc.dump();
    EXPECT_EQ(doc["files"][0]["saved_path"], (dir / "top.bin").string());
  }
  EXPECT_FALSE(fs::exists(dir / "top (1).bin"));
  EXPECT_EQ(test::FileSha256(dir / "top.bin"), sim::FileSha256Hex(5601, 300000));
}

// A server that answers without a length and closes halfway: the share's size says the file is
// cut short, so it is retried and reported failed, never done, and a rerun goes on with the
// same partial instead of making a second short copy.
TEST_F(GetCommand, AFileCutShortIsAFailureAndARerunFinishesTheSameFile) {
  for (int run = 0; run < 2; ++run) {
    simulator.ClearRequests();
    Outcome r = Get({simulator.ShareUrl("cut")});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("1 files: 0 done, 0 skipped, 1 failed"), std::string::npos) << r.err;
    EXPECT_GE(simulator.CountRequests("/file/"), 2u);  // retried
    EXPECT_FALSE(fs::exists(dir / "half.bin"));
    EXPECT_FALSE(fs::exists(dir / "half (1).bin"));
  }
  simulator.SetDownloadOverride(sim::DownloadQuirks{});
  Outcome r = Get({simulator.ShareUrl("cut")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(test::FileSha256(dir / "half.bin"), sim::FileSha256Hex(5701, 300000));
  EXPECT_FALSE(fs::exists(dir / "half (1).bin"));
  EXPECT_FALSE(fs::exists(dir / "half.bin.sfpart"));
}

// The first run, a process of its own, renews its stale link and is stopped with Ctrl-C once
// bytes are on disk. The next run's link is stale again: it is renewed, and the download goes
// on from the bytes the first run left.
TEST_F(GetCommand, AnInterruptedRunResumesUnderARenewedLink) {
  fs::create_directories(dir);
  pid_t child = ::fork();
  if (child == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    ::execl(SF_CLI_PATH, SF_CLI_PATH, "get", "--limit", "512", "--host", simulator.Url("").c_str(),
            "--dir", dir.c_str(), simulator.ShareUrl("big").c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(child, 0);
  bool progressed = false;
  for (int i = 0; i < 400 && !progressed; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto text = engine::ReadSmallFile((dir / "big.bin.sfctl").string());
    auto data = text ? engine::ParseControl(*text) : std::nullopt;
    progressed = data && data->done.Total() >= (256 << 10);
  }
  ::kill(child, SIGINT);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(progressed);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  ASSERT_FALSE(fs::exists(dir / "big.bin"));
  EXPECT_EQ(simulator.CountRequests("/api/sharedownload"), 2u);

  simulator.Reset();  // the first link the share gives is stale again
  simulator.ClearRequests();
  Outcome r = Get({simulator.ShareUrl("big")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(test::FileSha256(dir / "big.bin"), sim::FileSha256Hex(5501, 6291456));
  EXPECT_EQ(simulator.CountRequests("/api/sharedownload"), 2u);
  size_t refused = 0, resumed = 0;
  for (const auto& r : simulator.RequestsTo("/file/")) {
    if (r.status == 403) {
      ++refused;
      continue;
    }
    ++resumed;
    EXPECT_EQ(r.status, 206) << r.target;
    EXPECT_NE(r.Header("Range").rfind("bytes=0-", 0), 0u) << "started over: " << r.Header("Range");
  }
  EXPECT_GE(refused, 1u);
  EXPECT_GE(resumed, 1u);
}

}  // namespace
}  // namespace sf::cli
