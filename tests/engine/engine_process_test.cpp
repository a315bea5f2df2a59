// The terminal command end to end: killed or interrupted in the middle and run again (one
// file, and a share of many small ones), and HTTPS.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "engine/control_file.h"
#include "engine_api/engine_api.h"
#include "engine_harness.h"
#include "file_content.h"
#include "range_file_server.h"
#include "share_simulator.h"

namespace sf::test {
namespace {

struct CommandResult {
  int status = -1;
  std::string output;
};

// Runs a shell command line and collects what it prints.
CommandResult Shell(const std::string& command) {
  CommandResult r;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  int raw = ::pclose(p);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

pid_t Spawn(const std::vector<std::string>& args) {
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// Starts the terminal program on `url` under a speed limit and kills it once the control
// file shows progress from the start of the file on, leaving a partial download behind.
void InterruptedDownload(const std::string& url, const Sandbox& dir, const std::string& name) {
  pid_t child = Spawn({SF_CLI_PATH, "download", "--limit", "1024", "--dir", dir.path(), url});
  ASSERT_GT(child, 0);
  bool progressed = false;
  for (int i = 0; i < 200 && !progressed; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto text = engine::ReadSmallFile(dir / (name + ".sfctl"));
    auto data = text ? engine::ParseControl(*text) : std::nullopt;
    progressed = data && data->done.Total() >= (512 << 10) && !data->done.Ranges().empty() &&
                 data->done.Ranges().front().begin == 0;
  }
  ::kill(child, SIGKILL);
  int status;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(progressed);
  ASSERT_FALSE(FileExists(dir / name));
  ASSERT_TRUE(FileExists(dir / (name + ".sfpart")));
}

CommandResult Download(const Sandbox& dir, const std::string& url, const char* redirect) {
  return Shell(std::string(SF_CLI_PATH) + " download --dir '" + dir.str() + "' '" + url + "' " +
               redirect);
}

TEST(DownloadCommand, KilledInTheMiddleThenRunAgainResumesToTheSameFile) {
  std::string body = RandomBytes(4 << 20, 11);
  RangeFileServer server(body);
  Sandbox dir;
  std::string url = server.Url("/data/%E6%96%87%E4%BB%B6.bin");  // 文件.bin
  ASSERT_NO_FATAL_FAILURE(InterruptedDownload(url, dir, "文件.bin"));
  size_t before = server.Requests().size();

  CommandResult again = Download(dir, url, "2>/dev/null");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.output, dir / "文件.bin\n");
  EXPECT_EQ(Sha256Hex(ReadFile(dir / "文件.bin")), Sha256Hex(body));
  EXPECT_FALSE(FileExists(dir / "文件.bin.sfpart"));
  EXPECT_FALSE(FileExists(dir / "文件.bin.sfctl"));
  auto requests = server.Requests();
  ASSERT_GT(requests.size(), before);
  for (size_t i = before; i < requests.size(); ++i)
    EXPECT_NE(requests[i].range.rfind("bytes=0-", 0), 0u)
        << "the second run started over: " << requests[i].range;
}

// Every regular file below `dir`, by its path relative to it, while `get` may still run.
std::vector<std::string> FilesBelow(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    // A file may be renamed while it is looked at: nothing here may ask the disk twice.
    if (std::error_code gone; it->is_regular_file(gone))
      out.push_back(it->path().lexically_relative(dir).string());
  return out;
}

// A share of many small files in nested folders: `get` is killed outright at several moments
// picked at random (by how many files it had made by then), each time a little further on, and
// then run to its end. Whatever moment a kill fell on, the last run leaves each file once,
// under its own name, with the bytes the server has; no copy under another name, no partial or
// control file.
TEST(GetCommand, KilledAtRandomMomentsThenRunAgainLeavesEveryFileWholeAndOnce) {
  constexpr int kFiles = 240;
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> sizes(700, 2600);
  std::map<std::string, std::pair<uint64_t, uint64_t>> expected;  // path: fs_id, size
  std::string items[3];
  const char* folders[3] = {"a", "b/c", "b/d"};
  for (int i = 0; i < kFiles; ++i) {
    uint64_t fsId = 7100000000000000ull + static_cast<uint64_t>(i);
    int size = sizes(random);
    std::string name = "f" + std::to_string(i) + ".bin";
    expected[std::string(folders[i % 3]) + "/" + name] = {fsId, static_cast<uint64_t>(size)};
    items[i % 3] += (items[i % 3].empty() ? "" : ",") + std::string("{\"name\":\"") + name +
                    "\",\"size\":" + std::to_string(size) + ",\"fs_id\":" + std::to_string(fsId) +
                    "}";
  }
  std::string fixture =
      "{\"shares\":[{\"id\":\"crash\",\"items\":["
      "{\"name\":\"a\",\"children\":[" +
      items[0] +
      "]},"
      "{\"name\":\"b\",\"children\":["
      "{\"name\":\"c\",\"children\":[" +
      items[1] +
      "]},"
      "{\"name\":\"d\",\"children\":[" +
      items[2] + "]}]}]}]}";
  sim::ShareSimulator simulator;
  ASSERT_TRUE(simulator.StartFromText(fixture)) << simulator.error();
  Sandbox dir;
  std::vector<std::string> get = {SF_CLI_PATH, "get",      "--jobs",
                                  "5",         "--host",   simulator.Url(""),
                                  "--dir",     dir.path(), simulator.ShareUrl("crash")};

  int reached = 0, kills = 0;
  for (int kill = 0; kill < 4; ++kill) {
    // The next moment: somewhere among the files still to come.
    int at = reached + 1 + std::uniform_int_distribution<int>(0, (kFiles - reached) / 4)(random);
    pid_t child = Spawn(get);
    ASSERT_GT(child, 0);
    int status = 0;
    bool ended = false;
    while (!ended && static_cast<int>(FilesBelow(dir.path()).size()) < at) {
      ended = ::waitpid(child, &status, WNOHANG) == child;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a look now and then
    }
    if (ended) break;  // done before this moment came: nothing left to interrupt
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    reached = at;
    ++kills;
  }
  ASSERT_GT(kills, 0) << "every run ended before it could be killed";
  CommandResult last =
      Shell(std::string(SF_CLI_PATH) + " get --jobs 5 --host '" + simulator.Url("") + "' --dir '" +
            dir.str() + "' '" + simulator.ShareUrl("crash") + "' 2>&1 >/dev/null");
  EXPECT_EQ(last.status, 0) << last.output;

  std::vector<std::string> found = FilesBelow(dir.path());
  EXPECT_EQ(found.size(), expected.size()) << "copies or leftovers beside the files";
  for (const std::string& path : found)
    EXPECT_EQ(expected.count(path), 1u) << path << " is no file of the share";
  for (const auto& [path, file] : expected)
    EXPECT_EQ(FileSha256(dir / path), sim::FileSha256Hex(file.first, file.second)) << path;
}

// Ctrl-C pauses: what the task holds is recorded before the program ends, the next run goes
// on from there, and a run after the file is complete makes no new copy.
TEST(DownloadCommand, CtrlCPausesThenTheNextRunResumesAndTheOneAfterFindsTheFileComplete) {
  std::string body = RandomBytes(4 << 20, 31);
  RangeFileServer server(body);
  Sandbox dir;
  std::string url = server.Url("/c.bin");
  pid_t child = Spawn({SF_CLI_PATH, "download", "--limit", "1024", "--dir", dir.path(), url});
  ASSERT_GT(child, 0);
  auto held = [&] {
    auto text = engine::ReadSmallFile(dir / "c.bin.sfctl");
    auto data = text ? engine::ParseControl(*text) : std::nullopt;
    return data ? data->done : engine::RangeSet();
  };
  for (int i = 0; i < 200 && held().Total() < (512 << 10); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ::kill(child, SIGINT);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  engine::RangeSet kept = held();
  ASSERT_GE(kept.Total(), 512 << 10);
  ASSERT_TRUE(FileExists(dir / "c.bin.sfpart"));
  size_t before = server.Requests().size();

  CommandResult again = Download(dir, url, "2>/dev/null");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.output, dir / "c.bin\n");
  EXPECT_EQ(Sha256Hex(ReadFile(dir / "c.bin")), Sha256Hex(body));
  auto requests = server.Requests();
  for (size_t i = before; i < requests.size(); ++i) {
    int64_t first = std::stoll(requests[i].range.substr(6));
    for (const auto& r : kept.Ranges())
      EXPECT_FALSE(first >= r.begin && first < r.end) << requests[i].range << " was on disk";
  }

  CommandResult third = Download(dir, url, "2>&1");
  EXPECT_EQ(third.status, 0);
  EXPECT_NE(third.output.find(dir / "c.bin\n"), std::string::npos) << third.output;
  EXPECT_NE(third.output.find("c.bin: already complete"), std::string::npos) << third.output;
  EXPECT_FALSE(FileExists(dir / "c (1).bin"));
}

TEST(DownloadCommand, AResumeNeverMixesTwoVersionsOfAFile) {
  std::string first = RandomBytes(4 << 20, 21), second = RandomBytes(4 << 20, 22);
  // The server swaps in another file of the same size, with new validators; the new link
  // differs only in its query.
  {
    RangeFileServer server(first);
    server.SetValidators("\"v1\"", "Mon, 01 Jan 2024 00:00:00 GMT");
    Sandbox dir;
    ASSERT_NO_FATAL_FAILURE(InterruptedDownload(server.Url("/s/a.bin?sign=1"), dir, "a.bin"));
    server.SetContent(second);
    server.SetValidators("\"v2\"", "Tue, 02 Jan 2024 00:00:00 GMT");
    CommandResult r = Download(dir, server.Url("/s/a.bin?sign=2"), "2>&1");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(Sha256Hex(ReadFile(dir / "a.bin")), Sha256Hex(second));
    EXPECT_NE(r.output.find("a.bin: cannot continue the partial download; starting over"),
              std::string::npos)
        << r.output;
  }
  // Without validators the address decides: a partial of one path is no start for another...
  RangeFileServer plain(first);
  {
    Sandbox dir;
    ASSERT_NO_FATAL_FAILURE(InterruptedDownload(plain.Url("/x/b.bin"), dir, "b.bin"));
    plain.SetContent(second);
    CommandResult r = Download(dir, plain.Url("/y/b.bin"), "2>&1");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(Sha256Hex(ReadFile(dir / "b.bin")), Sha256Hex(second));
  }
  // ...while a new query on the same path is the same file, and resumes.
  {
    Sandbox dir;
    ASSERT_NO_FATAL_FAILURE(InterruptedDownload(plain.Url("/z/c.bin?sign=1"), dir, "c.bin"));
    size_t before = plain.Requests().size();
    CommandResult r = Download(dir, plain.Url("/z/c.bin?sign=2"), "2>&1");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(Sha256Hex(ReadFile(dir / "c.bin")), Sha256Hex(second));
    auto requests = plain.Requests();
    for (size_t i = before; i < requests.size(); ++i)
      EXPECT_NE(requests[i].range.rfind("bytes=0-", 0), 0u)
          << "the new query started over: " << requests[i].range;
  }
}

TEST(DownloadCommand, ASecondDownloadOfAPartialInUseFailsAndTouchesNothing) {
  std::string body = RandomBytes(256 << 10, 23);
  RangeFileServer server(body);
  server.SetRate(128 << 10);  // about two seconds
  Sandbox dir;
  int32_t first = StartTask({server.Url("/f.bin"), dir.path(), "f.bin"});
  for (int i = 0; i < 200 && Query(first).state != layout::kStateDownloading; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(Query(first).state, layout::kStateDownloading);

  // Another process...
  CommandResult other = Download(dir, server.Url("/f.bin"), "2>&1");
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.output.find("f.bin: in use by another download"), std::string::npos)
      << other.output;
  // ...and another task of this one.
  TaskOutcome second = WaitForEnd(StartTask({server.Url("/f.bin"), dir.path(), "f.bin"}));
  EXPECT_EQ(second.state, layout::kStateFailed);
  EXPECT_EQ(second.failure, EBUSY);
  EXPECT_EQ(Query(first).state, layout::kStateDownloading);

  TaskOutcome done = WaitForEnd(first);
  ASSERT_EQ(done.state, layout::kStateFinished) << "failure " << done.failure;
  EXPECT_EQ(done.name, "f.bin");
  EXPECT_EQ(Sha256Hex(ReadFile(dir / "f.bin")), Sha256Hex(body));
  EXPECT_FALSE(FileExists(dir / "f (1).bin"));
}

TEST(DownloadCommand, FailureGivesExitStatusOneAndTheCode) {
  RangeFileServer server("x");
  server.ForceStatus(404);
  Sandbox dir;
  CommandResult r = Shell(std::string(SF_CLI_PATH) + " download --dir '" + dir.str() + "' " +
                          server.Url("/missing.bin") + " 2>&1");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("HTTP 404"), std::string::npos) << r.output;
}

class TlsServer {
 public:
  TlsServer(const std::string& dir, const std::string& body) {
    std::string cmd =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
        "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
        dir + "/key.pem' -out '" + dir + "/cert.pem' >/dev/null 2>&1";
    ok_ = std::system(cmd.c_str()) == 0;
    if (!ok_) return;
    server_ = std::make_unique<httplib::SSLServer>((dir + "/cert.pem").c_str(),
                                                   (dir + "/key.pem").c_str());
    server_->Get("/secure.bin", [body](const httplib::Request&, httplib::Response& res) {
      res.set_content(body, "application/octet-stream");
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (port_ > 0 && !server_->is_running())
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~TlsServer() {
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return ok_ && port_ > 0; }
  std::string Url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/secure.bin"; }

 private:
  bool ok_ = false;
  int port_ = 0;
  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
};

TEST(Https, TrustedCertificateDownloadsAndUntrustedOneFails) {
  Sandbox dir;
  std::string body = RandomBytes(3 << 20, 12);
  TlsServer server(dir.path(), body);
  ASSERT_TRUE(server.ok());
  WriteWholeFile(TestCaBundlePath(), ReadFile(dir / "cert.pem"));
  TaskOutcome o = RunTask({server.Url(), dir / "out", "s.bin"});
  ::unlink(TestCaBundlePath().c_str());
  ASSERT_EQ(o.state, layout::kStateFinished) << "failure " << o.failure;
  EXPECT_EQ(Sha256Hex(ReadFile(dir / "out/s.bin")), Sha256Hex(body));

  // Verification stays on: the same server without the extra CA is refused.
  CommandResult r = Shell("env -u SHAREFETCH_CA_BUNDLE " + std::string(SF_CLI_PATH) +
                          " download --dir '" + dir.str() + "/out2' " + server.Url() + " 2>&1");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("certificate refused (failure code 129)"), std::string::npos) << r.output;
  EXPECT_FALSE(FileExists(dir / "out2/secure.bin"));
}

}  // namespace
}  // namespace sf::test
