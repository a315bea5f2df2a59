// `sharefetch-cli get --rpc` and `get --export` against the local share service and a real
// aria2c: a share with nested folders and awkward names handed over and downloaded by aria2 into
// the right tree, a wrong secret, a downloader that is not running, and an input file that
// `aria2c -i` downloads into the same tree.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "aria2_daemon.h"
#include "base/text.h"
#include "cli/get_command.h"
#include "cli/terminal_io.h"
#include "file_content.h"
#include "net/json_rpc.h"
#include "raw_http_server.h"
#include "share_get_fixture.h"
#include "share_simulator.h"
#include "text_helpers.h"
#include "wait_until.h"

extern char** environ;

namespace sf::cli {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr const char* kFixture = R"({"shares": [
  {"id": "nest", "items": [{"name": "top \"q\".txt", "size": 1000, "fs_id": 6001},
    {"name": "资料 A", "children": [{"name": "报告 2024.pdf", "size": 300000, "fs_id": 6002},
      {"name": "sub", "children": [{"name": "line\nbreak.bin", "size": 7000, "fs_id": 6003},
        {"name": "c1\u009b.bin", "size": 900, "fs_id": 6004}]}]}]},
  {"id": "cut", "items": [{"name": "a.txt", "size": 10, "fs_id": 6101}, {"name": "坏", "listError": -7}]}
]})";

// Where each file of the share lands below the base directory: the names made safe as `get`
// makes them.
const std::map<uint64_t, std::string> kPlaced = {{6001, "top \"q\".txt"},
                                                 {6002, "资料 A/报告 2024.pdf"},
                                                 {6003, "资料 A/sub/line_break.bin"},
                                                 {6004, "资料 A/sub/c1_.bin"}};

constexpr const char* kSecret = "s3cret-Token";

using test::Outcome;

class GetRemote : public test::ShareGetTest {
 protected:
  GetRemote() : ShareGetTest(kFixture) {}
  void SetUp() override {
    ShareGetTest::SetUp();
    fs::create_directories(root / "aria2");
  }

  Outcome Get(std::vector<std::string> args, const std::string& share = "nest") {
    args.push_back(simulator.ShareUrl(share));
    return RunGetCommand(std::move(args));
  }

  // Every file of the share under `base`, whole, where kPlaced puts it.
  void ExpectTheTreeUnder(const fs::path& base) {
    for (const auto& [fsId, relative] : kPlaced) {
      const sim::Node* node = simulator.fixture()->byId.at("nest")->byFsId.at(fsId);
      EXPECT_EQ(test::FileSha256(base / relative), sim::FileSha256Hex(fsId, node->size))
          << relative;
    }
  }

  // Each download of the share went out with our engine's User-Agent alone.
  void ExpectOurUserAgent() {
    int downloads = 0;
    for (const auto& r : simulator.RequestsTo("/file/")) {
      ++downloads;
      EXPECT_EQ(r.CountHeader("User-Agent"), 1);
      EXPECT_EQ(r.Header("User-Agent"), "ShareFetch/0.1");
    }
    EXPECT_GE(downloads, static_cast<int>(kPlaced.size()));
  }
};

TEST_F(GetRemote, ANestedShareLandsInAria2sOwnDirectoryInItsFolders) {
  test::Aria2Daemon aria2((root / "aria2").string(), kSecret);
  ASSERT_TRUE(aria2.running()) << aria2.error();
  Outcome r = Get({"--rpc", aria2.Endpoint(), "--rpc-secret", kSecret});
  ASSERT_EQ(r.code, 0) << r.err;

  // GID<TAB>PATH for each file, the path under aria2's own --dir.
  std::vector<std::string> gids, paths, expected;
  for (const std::string& line : SplitText(r.out, "\n")) {
    if (line.empty()) continue;
    size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    gids.push_back(line.substr(0, tab));
    paths.push_back(line.substr(tab + 1));
  }
  for (const auto& [fsId, relative] : kPlaced)
    expected.push_back((root / "aria2" / relative).string());
  std::sort(paths.begin(), paths.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(paths, expected);

  JsonRpcClient client(aria2.Endpoint());
  auto complete = [&] {
    for (const std::string& gid : gids) {
      RpcReply status = client.Call("aria2.tellStatus", {std::string("token:") + kSecret, gid});
      if (!status.ok() || status.result["status"] != "complete") return false;
    }
    return true;
  };
  ASSERT_TRUE(test::WaitUntil(complete, std::chrono::seconds(60)));
  ExpectTheTreeUnder(root / "aria2");
  ExpectOurUserAgent();
}

// A refused secret loses nothing: every file is named as not handed over, aria2 holds none of
// them, and the secret shows nowhere.
TEST_F(GetRemote, AWrongSecretHandsOverNothingAndNamesEveryFile) {
  test::Aria2Daemon aria2((root / "aria2").string(), kSecret);
  ASSERT_TRUE(aria2.running()) << aria2.error();
  const std::string wrong = "wrong-Secret-42";
  // Asked for its directory first, and handed the files straight away.
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--rpc", aria2.Endpoint(), "--rpc-secret", wrong},
        std::vector<std::string>{"--rpc", aria2.Endpoint(), "--rpc-secret=" + wrong, "--dir",
                                 (root / "elsewhere").string()}}) {
    Outcome r = Get(args);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("the secret was refused (Unauthorized)"), std::string::npos) << r.err;
    for (const char* path :
         {"top \"q\".txt", "资料 A/报告 2024.pdf", "资料 A/sub/line\\nbreak.bin"})
      EXPECT_NE(r.err.find(std::string("not handed over: ") + path + "\n"), std::string::npos)
          << r.err;
    EXPECT_EQ((r.out + r.err).find(wrong), std::string::npos);
  }

  RpcReply held = JsonRpcClient(aria2.Endpoint())
                      .Call("aria2.getGlobalStat", {std::string("token:") + kSecret});
  ASSERT_TRUE(held.ok());
  for (const char* count : {"numActive", "numWaiting", "numStoppedTotal"})
    EXPECT_EQ(held.result[count], "0") << count;
}

TEST_F(GetRemote, ADownloaderThatIsNotRunningIsNamedAndEveryFileListed) {
  std::string endpoint =
      "http://127.0.0.1:" + std::to_string(test::FreeLoopbackPort()) + "/jsonrpc";
  Outcome r = Get({"--rpc", endpoint, "--dir", "/data", "--json"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find(endpoint + ": aria2.tellActive: cannot connect\n"), std::string::npos)
      << r.err;
  Json doc = Json::parse(r.out);
  EXPECT_EQ(doc["result"], 0);
  EXPECT_EQ(doc["dir"], "/data");
  ASSERT_EQ(doc["files"].size(), kPlaced.size());
  for (const Json& f : doc["files"]) {
    EXPECT_EQ(f["error"], "aria2.tellActive: cannot connect");
    EXPECT_FALSE(f.contains("gid"));
    std::string path = f["share_path"];
    size_t slash = path.rfind('/');
    EXPECT_EQ(f["dir"], slash == std::string::npos ? "/data" : "/data/" + path.substr(0, slash));
    EXPECT_NE(r.err.find("not handed over: " + EscapeForTerminal(path)), std::string::npos);
  }
}

// A downloader's address that answers with a redirect: nothing goes on to where it points, so
// the secret reaches no one but the address given, and the failure names the target.
TEST_F(GetRemote, ARedirectIsNotFollowedAndTheSecretGoesNowhereElse) {
  test::RawHttpServer elsewhere([](const test::RawRequest&) {
    return test::RawHttpServer::Reply(200, "OK", {"Content-Type: application/json"},
                                      R"({"jsonrpc": "2.0", "id": 1, "result": ["x"]})");
  });
  const std::string target = elsewhere.Url("/jsonrpc");
  test::RawHttpServer endpoint([&](const test::RawRequest&) {
    return test::RawHttpServer::Reply(307, "Temporary Redirect", {"Location: " + target}, "");
  });
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--rpc", endpoint.Url("/jsonrpc"), "--rpc-secret", kSecret},
        std::vector<std::string>{"--rpc", endpoint.Url("/jsonrpc"), "--rpc-secret", kSecret,
                                 "--dir", "/data"}}) {
    Outcome r = Get(args);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("redirected (HTTP 307) to " + target + "; not followed"),
              std::string::npos)
        << r.err;
    EXPECT_EQ((r.out + r.err).find(kSecret), std::string::npos);
  }
  EXPECT_EQ(endpoint.Requests().size(), 2u);
  EXPECT_TRUE(elsewhere.Requests().empty());
}

TEST_F(GetRemote, AnExportedInputFileMakesAria2cDownloadTheSameTree) {
  const fs::path file = root / "share.txt";
  const fs::path tree = root / "tree";
  Outcome r = Get({"--export", file.string(), "--dir", tree.string()});
  ASSERT_EQ(r.code, 0) << r.err;
  Outcome toStdout = Get({"--export", "-", "--dir", tree.string()});
  ASSERT_EQ(toStdout.code, 0) << toStdout.err;
  std::ifstream in(file, std::ios::binary);
  std::stringstream written;
  written << in.rdbuf();
  // The links differ by their signature only: the share signs each link anew.
  EXPECT_EQ(SplitText(written.str(), "\n").size(), SplitText(toStdout.out, "\n").size());
  EXPECT_EQ(fs::status(file).permissions() & (fs::perms::group_all | fs::perms::others_all),
            fs::perms::none);

  std::vector<std::string> args = {"aria2c", "--no-conf",  "--quiet", "--file-allocation=none",
                                   "-i",     file.string()};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawnp(&pid, "aria2c", nullptr, nullptr, argv.data(), environ), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << written.str();
  ExpectTheTreeUnder(tree);
  ExpectOurUserAgent();
}

// A share with a folder the service would not list: what was found is handed over, the missing
// folder is named, and the run is no success.
TEST_F(GetRemote, AnExportOfAShareWithAFolderLeftOutFails) {
  Outcome r = Get({"--export", "-"}, "cut");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("/file/"), std::string::npos);
  EXPECT_NE(r.out.find("out=a.txt"), std::string::npos);
  EXPECT_NE(r.err.find("未能列出的文件夹：坏（该分享已删除或已取消）\n"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("sharefetch-cli: 1 files written to standard output\n"), std::string::npos);
  EXPECT_NE(r.err.find("did not resolve completely"), std::string::npos);
}

}  // namespace
}  // namespace sf::cli
