// The real sharefetchd program killed outright (SIGKILL: no chance to tidy up) at the worst
// moments of a share's download, and started again on the same state each time: while the
// links are being asked, with files half written, and just after files finished. Each time every
// row must come back as it was, and in the end every file must be on disk once, whole, and with
// nothing of the engine's left beside it.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "file_content.h"
#include "service_fixture.h"
#include "share_simulator.h"
#include "text_helpers.h"
#include "wait_until.h"

extern char** environ;

namespace sf::test {
namespace {

constexpr const char* kShare = R"({"shares": [{"id": "1kill", "items": [
  {"name": "small", "children": [
    {"generate": {"count": 40, "name": "s-{i}.txt", "size": 3000, "sizeStep": 97, "digits": 2}}]},
  {"name": "deep", "children": [{"name": "more", "children": [
    {"generate": {"count": 20, "name": "m-{i}.dat", "size": 5000, "sizeStep": 311, "digits": 2}}]}]},
  {"name": "big-1.bin", "size": 700000},
  {"name": "big-2.bin", "size": 900000},
  {"name": "big-3.bin", "size": 1100000}]}]})";

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

class KilledServiceTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    ASSERT_TRUE(sim_.StartFromText(kShare)) << sim_.error();
    password_ = "a password for the killed service";
    std::ofstream(directory_ + "/password") << password_ << "\n";
    ASSERT_EQ(Spawn({"password", "--state-dir", options_.stateDirectory, "--password-file",
                     directory_ + "/password"}),
              0);
  }
  void TearDown() override {
    Kill();
    ServiceFixture::TearDown();
  }
  int port() const override { return port_; }

  // Runs the program with `args`, its errors into a file; waits for it unless `daemon`.
  int Spawn(std::vector<std::string> args, bool daemon = false) {
    args.insert(args.begin(), SF_DAEMON_PATH);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, (directory_ + "/err.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return -1;
    if (daemon) {
      pid_ = pid;
      return 0;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Starts the service on the state directory and waits until it listens.
  void Launch() {
    port_ = FreePort();
    ASSERT_EQ(Spawn({"--state-dir", options_.stateDirectory, "--port", std::to_string(port_),
                     "--share-host", sim_.Url(""), "--download-dir", downloads()},
                    true),
              0);
    ASSERT_TRUE(WaitUntil([&] {
      return ReadFile(directory_ + "/err.txt").find("listening on") != std::string::npos ||
             waitpid(pid_, nullptr, WNOHANG) != 0;
    })) << ReadFile(directory_ + "/err.txt");
    ASSERT_NE(ReadFile(directory_ + "/err.txt").find("listening on"), std::string::npos)
        << ReadFile(directory_ + "/err.txt");
  }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }
  std::string downloads() const { return directory_ + "/downloads"; }

  nlohmann::json Call(const std::string& method, const std::string& path,
                      const nlohmann::json& body = nullptr) {
    Reply reply = Exchange(Request(method, path, bearer_, body.is_null() ? "" : body.dump()));
    EXPECT_GE(reply.status, 200) << method << " " << path << ": " << reply.body;
    EXPECT_LT(reply.status, 300) << method << " " << path << ": " << reply.body;
    return nlohmann::json::parse(reply.body, nullptr, false);
  }
  // Every row by id.
  std::map<int64_t, nlohmann::json> Rows() {
    std::map<int64_t, nlohmann::json> rows;
    nlohmann::json page = Call("GET", "/api/v1/downloads?limit=1000");
    if (page.is_object() && page["downloads"].is_array())
      for (const auto& row : page["downloads"]) rows[row["id"].get<int64_t>()] = row;
    return rows;
  }
  size_t Count(const std::string& state) {
    size_t n = 0;
    for (const auto& [id, row] : Rows()) n += row["state"] == state;
    return n;
  }
  int64_t IdOf(const std::string& path) {
    for (const auto& [id, row] : Rows())
      if (row["path"] == path) return id;
    return 0;
  }

  // Kills the service and starts it again: every row comes back, and in the state it had
  // (one under way comes back queued) unless it finished meanwhile.
  void KillAndRestart() {
    std::map<int64_t, nlohmann::json> before = Rows();
    Kill();
    Launch();
    std::map<int64_t, nlohmann::json> after = Rows();
    ASSERT_EQ(after.size(), before.size());
    for (const auto& [id, row] : before) {
      const std::string was = row["state"], is = after[id]["state"];
      if (was == "finished" || was == "paused")
        EXPECT_EQ(is, was) << row;
      else
        EXPECT_TRUE(is == "queued" || is == "downloading" || is == "finished") << row << is;
    }
  }

  sim::ShareSimulator sim_;
  std::string bearer_;
  int port_ = 0;
  pid_t pid_ = 0;
};

TEST_F(KilledServiceTest, KilledAtTheWorstMomentsEveryFileComesBackAndFinishesOnceExactly) {
  Launch();
  auto [cookie, csrf] = Login();
  Reply made = Exchange(Request("POST", "/api/v1/keys",
                                "Cookie: " + cookie + "\r\nX-CSRF-Token: " + csrf + "\r\n",
                                R"({"name":"kill"})"));
  ASSERT_EQ(made.status, 201) << made.body;
  bearer_ = "Authorization: Bearer " + nlohmann::json::parse(made.body)["key"].get<std::string>() +
            "\r\n";
  const int64_t share = Call("POST", "/api/v1/shares", {{"text", sim_.ShareUrl("1kill")}})
                            .at("shares")
                            .at(0)
                            .at("id");
  const std::string sharePath = "/api/v1/shares/" + std::to_string(share);
  ASSERT_TRUE(WaitUntil([&] { return Call("GET", sharePath).value("state", "") == "resolved"; }));

  // Slow links and slow files, so that each kill lands where it is meant to.
  sim_.SetLinkDelay(40);
  sim_.SetDownloadOverride(sim::DownloadQuirks{48 * 1024});
  Call("PUT", "/api/v1/settings", {{"jobs", 3}});
  sim_.ClearRequests();
  const std::vector<int64_t> ids = Call("POST", sharePath + "/downloads", {{"all", true}})["ids"];
  ASSERT_EQ(ids.size(), 63u);

  // While the share is asked for the links, the files whose links came already under way.
  ASSERT_TRUE(WaitUntil([&] { return Count("downloading") + Count("finished") > 0; }));
  EXPECT_LT(sim_.CountRequests("/api/sharedownload"), 63u);
  KillAndRestart();
  sim_.SetLinkDelay(0);

  // With files half written, two of them paused.
  const int64_t big1 = IdOf("/big-1.bin"), big2 = IdOf("/big-2.bin"),
                small = IdOf("/small/s-40.txt");
  ASSERT_TRUE(
      WaitUntil([&] { return Rows()[big1].value("done", 0) > 0; }, std::chrono::seconds(30)));
  EXPECT_EQ(Call("POST", "/api/v1/downloads/pause", {{"ids", {big2, small}}})["acted"], 2);
  ASSERT_TRUE(
      WaitUntil([&] { return Rows()[big1].value("done", 0) > 100000; }, std::chrono::seconds(30)));
  KillAndRestart();

  // Just after files finished: the engine may have saved them and the rows not yet said so.
  for (int round = 0; round < 2; ++round) {
    const size_t finished = Count("finished");
    ASSERT_TRUE(WaitUntil([&] { return Count("finished") > finished; }, std::chrono::seconds(30)));
    KillAndRestart();
  }
  EXPECT_EQ(Rows()[big2]["state"], "paused");
  EXPECT_EQ(Rows()[small]["state"], "paused");

  sim_.SetDownloadOverride(std::nullopt);
  EXPECT_EQ(Call("POST", "/api/v1/downloads/resume", {{"filter", {{"state", "paused"}}}})["acted"],
            2);
  ASSERT_TRUE(WaitUntil([&] { return Count("finished") == ids.size(); }, std::chrono::seconds(60)))
      << Rows().size() << " rows, failed: " << Count("failed");

  // Every file of the share once, with its exact bytes, and nothing else on disk.
  std::map<std::string, std::string> expected;
  std::function<void(const sim::Node&, const std::string&)> walk = [&](const sim::Node& node,
                                                                       const std::string& at) {
    for (const auto& child : node.children) {
      std::string path = at + "/" + child->name;
      if (child->isDir)
        walk(*child, path);
      else
        expected[path] = sim::FileSha256Hex(child->fsId, child->size);
    }
  };
  walk(sim_.fixture()->shares.at(0)->top, "");
  ASSERT_EQ(expected.size(), ids.size());
  std::map<std::string, std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(downloads()))
    if (entry.is_regular_file())
      found[entry.path().string().substr(downloads().size())] = FileSha256(entry.path());
  EXPECT_EQ(found, expected);
}

}  // namespace
}  // namespace sf::test
