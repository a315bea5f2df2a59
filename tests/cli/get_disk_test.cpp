// `sharefetch-cli get` and the disk it writes to when others touch it too: runs of one command
// racing into one folder, and a share folder swapped for a link while a download runs.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/get_command.h"
#include "download/download_engine.h"
#include "file_content.h"
#include "raw_http_server.h"
#include "sandbox.h"
#include "share_simulator.h"
#include "text_helpers.h"
#include "wait_until.h"

namespace sf::cli {
namespace {

namespace fs = std::filesystem;

class GetDisk : public ::testing::Test {
 protected:
  // Every entry below `top`, relative to it, folders ending in "/".
  static std::vector<std::string> Tree(const fs::path& top) {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(top))
      found.push_back(fs::relative(e.path(), top).string() + (e.is_directory() ? "/" : ""));
    std::sort(found.begin(), found.end());
    return found;
  }

  test::Sandbox sandbox;
  const fs::path root = sandbox.path();
  const fs::path dir = root / "下载";  // the engine's record counts the root in UTF-16 units
  sim::ShareSimulator simulator;
};

// Four runs of one command at once, each its own process with four downloads at a time, into
// one folder. Each file is saved once, where the share has it, whole: a run that meets a file
// another run is downloading leaves it to that run, and says so; no "(1)" copy, no partial left.
TEST_F(GetDisk, RunsOfOneCommandAtOnceSaveEveryFileExactlyOnce) {
  nlohmann::json items = nlohmann::json::array();
  std::vector<std::string> expected;
  std::map<std::string, std::pair<uint64_t, uint64_t>> files;  // path -> fs_id, size
  for (int folder = 0; folder < 3; ++folder) {
    nlohmann::json children = nlohmann::json::array();
    std::string name = "f" + std::to_string(folder);
    expected.push_back(name + "/");
    for (int i = 0; i < 20; ++i) {
      uint64_t fsId = 7000 + folder * 100 + i, size = 20000 + (i * 7919 % 180000);
      std::string file = "file" + std::to_string(i) + ".bin";
      children.push_back({{"name", file}, {"size", size}, {"fs_id", fsId}});
      expected.push_back(name + "/" + file);
      files[name + "/" + file] = {fsId, size};
    }
    items.push_back({{"name", name}, {"children", children}});
  }
  std::sort(expected.begin(), expected.end());
  nlohmann::json fixture = {{"shares", {{{"id", "many"}, {"items", items}}}}};
  ASSERT_TRUE(simulator.StartFromText(fixture.dump())) << simulator.error();

  std::vector<pid_t> children;
  for (int run = 0; run < 4; ++run) {
    pid_t child = ::fork();
    if (child == 0) {
      std::string out = (root / ("run" + std::to_string(run) + ".json")).string();
      std::freopen(out.c_str(), "w", stdout);
      std::freopen("/dev/null", "w", stderr);
      ::execl(SF_CLI_PATH, SF_CLI_PATH, "get", "--json", "--jobs", "4", "--host",
              simulator.Url("").c_str(), "--dir", dir.c_str(), simulator.ShareUrl("many").c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ASSERT_GT(child, 0);
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_LE(WEXITSTATUS(status), 1);
  }
  EXPECT_EQ(Tree(dir), expected);
  for (const auto& [path, file] : files)
    EXPECT_EQ(test::FileSha256(dir / path), sim::FileSha256Hex(file.first, file.second)) << path;
  for (int run = 0; run < 4; ++run) {
    std::ifstream in(root / ("run" + std::to_string(run) + ".json"));
    nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << "run " << run;
    ASSERT_EQ(doc["files"].size(), files.size());
    for (const auto& f : doc["files"]) {
      if (f["status"] == "failed")
        EXPECT_EQ(f["error"], "in use by another download") << f.dump();
      else
        EXPECT_EQ(f["saved_path"], (dir / f["share_path"].get<std::string>()).string());
    }
  }
}

// One download at a time. While the first file downloads, the folder of the next one, made
// empty below the directory when the run planned it, is swapped for a link to a folder
// outside. The next file must not follow the link: it fails, saying why, and nothing reaches
// the folder outside.
TEST_F(GetDisk, AFolderSwappedForALinkDuringTheRunLeadsNoByteOutside) {
  ASSERT_TRUE(simulator.StartFromText(R"({"shares": [{"id": "swap", "items": [
    {"name": "first.bin", "size": 300000, "fs_id": 5601},
    {"name": "sub", "children": [{"name": "next.bin", "size": 1000, "fs_id": 5602}]}]}]})"))
      << simulator.error();
  fs::path outside = root / "outside";
  fs::create_directories(outside);
  std::atomic<bool> swapped{false};
  std::string swapProblem;
  // The file host holds the first file's answer until the folder is swapped.
  test::RawHttpServer files([&](const test::RawRequest& request) {
    std::string target = request.Target();
    uint64_t fsId = target.find("/5601/") != std::string::npos ? 5601 : 5602;
    uint64_t size = fsId == 5601 ? 300000 : 1000;
    if (fsId == 5601 && !swapped) {
      // The run makes the folder when it plans the files, which may come after this request.
      std::error_code ec;
      if (!test::WaitUntil([&] { return fs::is_directory(fs::symlink_status(dir / "sub", ec)); }))
        swapProblem = "the run made no folder sub";
      fs::remove(dir / "sub", ec);
      if (!ec) fs::create_directory_symlink(outside, dir / "sub", ec);
      if (ec) swapProblem = ec.message();
      swapped = true;
    }
    std::string body(size, '\0');
    sim::FileContent(fsId, 0, body.data(), body.size());
    return test::RawHttpServer::Reply(200, "OK", {}, body);
  });
  simulator.SetFileHost("http://127.0.0.1:" + std::to_string(files.port()));

  static EngineLoad load = LoadEngineLibrary(SF_ENGINE_PATH);
  ASSERT_TRUE(load.engine) << load.error;
  std::istringstream in;
  std::ostringstream out, err;
  std::atomic<bool> interrupted{false};
  int code = RunGet(
      {"--json", "--jobs", "1", "--host", simulator.Url(""), "--dir", dir.string(),
       simulator.ShareUrl("swap")},
      {in, out, err}, [](std::string&) { return load.engine.get(); }, false, interrupted);
  ASSERT_TRUE(swapped);
  ASSERT_EQ(swapProblem, "");
  EXPECT_TRUE(fs::is_empty(outside)) << Tree(outside).front();
  EXPECT_EQ(code, 1) << err.str();
  auto doc = nlohmann::json::parse(out.str());
  ASSERT_EQ(doc["files"].size(), 2u);
  for (const auto& f : doc["files"]) {
    if (f["share_path"] == "first.bin") {
      EXPECT_EQ(f["status"], "done");
    } else {
      EXPECT_EQ(f["status"], "failed");
      EXPECT_EQ(f["error"], "a link or a file is in the save folder's path");
    }
  }
  EXPECT_EQ(test::FileSha256(dir / "first.bin"), sim::FileSha256Hex(5601, 300000));
}

}  // namespace
}  // namespace sf::cli
