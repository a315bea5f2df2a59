// Pausing, resuming, retrying and deleting tasks through the engine library's C calls, against
// loopback servers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "download/task_records.h"
#include "engine/control_file.h"
#include "engine_api/engine_api.h"
#include "engine_harness.h"
#include "range_file_server.h"

namespace sf::test {
namespace {

using namespace std::chrono_literals;
using layout::kStateFailed;
using layout::kStateFinished;
using layout::kStatePaused;

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
  auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

engine::RangeSet DoneOnDisk(const std::string& controlPath) {
  auto text = engine::ReadSmallFile(controlPath);
  auto data = text ? engine::ParseControl(*text) : std::nullopt;
  return data ? data->done : engine::RangeSet();
}

// Bytes a request fetched again that `held` had on disk already. The server may have sent a
// little more than the engine took before it closed a connection at the end of its slice: up
// to one paced chunk of the server, which counts as in flight.
int64_t FetchedAgain(const ServedRequest& r, const engine::RangeSet& held) {
  int64_t first = std::stoll(r.range.substr(6));
  int64_t end = first + r.bodyBytes, again = 0;
  for (const auto& h : held.Ranges())
    again += std::max<int64_t>(0, std::min(end, h.end) - std::max(first, h.begin));
  return again;
}
constexpr int64_t kInFlight = 32 << 10;

// Starts the task `h` again and checks that it ends as `name` with the server's bytes,
// fetching nothing of `held` a second time beyond what was in flight.
void GoesOnToTheEnd(RangeFileServer& server, int32_t h, const Sandbox& dir, const std::string& name,
                    const std::string& body, const engine::RangeSet& held) {
  size_t before = server.Requests().size();
  server.SetRate(1 << 20);
  ASSERT_EQ(Engine().StartTask(h), 1);
  TaskOutcome o = WaitForEnd(h);
  ASSERT_EQ(o.state, kStateFinished) << "failure " << o.failure;
  EXPECT_EQ(o.name, name);
  EXPECT_EQ(Sha256Hex(ReadFile(dir / name)), Sha256Hex(body));
  EXPECT_FALSE(FileExists(dir / (name + ".sfctl")));
  auto requests = server.Requests();
  ASSERT_GT(requests.size(), before);
  for (size_t i = before; i < requests.size(); ++i)
    EXPECT_LE(FetchedAgain(requests[i], held), kInFlight) << requests[i].range;
}

class EngineControl : public ::testing::Test {
 protected:
  void SetUp() override { Engine().SetSpeedLimit(layout::kNoSpeedLimit); }
  Sandbox dir;
};

TEST_F(EngineControl, PauseHoldsTheBytesAndResumeGoesOnWithoutFetchingThemAgain) {
  std::string body = RandomBytes(8 << 20, 21);
  RangeFileServer server(body);
  server.SetRate(256 << 10);  // per connection, so the task is mid-way for a while
  int32_t h = StartTask({server.Url(), dir.path(), "p.bin"});
  ASSERT_TRUE(WaitUntil([&] { return Query(h).downloaded >= (1 << 20); }));

  ASSERT_EQ(Engine().StopTask(h), 1);
  ASSERT_TRUE(WaitUntil([&] { return Query(h).state == kStatePaused; }));
  int64_t onDisk = Query(h).downloaded;
  // The control file records every byte the task holds, for this run and the next.
  ASSERT_TRUE(WaitUntil([&] { return DoneOnDisk(dir / "p.bin.sfctl").Total() == onDisk; }));
  engine::RangeSet held = DoneOnDisk(dir / "p.bin.sfctl");
  size_t requestsAtPause = server.Requests().size();
  std::this_thread::sleep_for(1s);
  int64_t sent = server.BodyBytesSent();
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(server.BodyBytesSent(), sent) << "a connection is still open";
  EXPECT_EQ(server.Requests().size(), requestsAtPause);
  TaskOutcome paused = Query(h);
  EXPECT_EQ(paused.state, kStatePaused);
  EXPECT_EQ(paused.downloaded, onDisk);
  EXPECT_TRUE(FileExists(dir / "p.bin.sfpart"));
  EXPECT_FALSE(FileExists(dir / "p.bin"));
  EXPECT_EQ(Engine().StopTask(h), 1);  // pausing again changes nothing
  GoesOnToTheEnd(server, h, dir, "p.bin", body, held);
}

TEST_F(EngineControl, AFailedTaskStartsAgainFromItsBytes) {
  std::string body = RandomBytes(4 << 20, 22);
  RangeFileServer server(body);
  server.SetRate(256 << 10);
  int32_t h = StartTask({server.Url(), dir.path(), "f.bin"});
  ASSERT_TRUE(WaitUntil([&] { return Query(h).downloaded >= (1 << 20); }));
  // The server stalls, then refuses: the task fails and keeps what it has.
  server.ForceStatus(403);
  server.SetRate(1);
  TaskOutcome failed = WaitForEnd(h, 60s);
  ASSERT_EQ(failed.state, kStateFailed);
  EXPECT_NE(failed.failure, 0);
  engine::RangeSet held = DoneOnDisk(dir / "f.bin.sfctl");
  EXPECT_GE(held.Total(), 1 << 20);
  server.ForceStatus(0);
  GoesOnToTheEnd(server, h, dir, "f.bin", body, held);
}

TEST_F(EngineControl, DeleteForgetsTheTaskAndRemovesOnlyItsOwnPartialFiles) {
  std::string body = RandomBytes(4 << 20, 23);
  RangeFileServer server(body);
  int32_t done = StartTask({server.Url(), dir.path(), "done.bin"});
  ASSERT_EQ(WaitForEnd(done).state, kStateFinished);
  server.SetRate(128 << 10);
  WriteWholeFile(dir / "d.bin", "a finished file of another size");
  int32_t kept = StartTask({server.Url(), dir.path(), "k.bin"});
  int32_t removed = StartTask({server.Url(), dir.path(), "d.bin"});
  ASSERT_TRUE(
      WaitUntil([&] { return Query(kept).downloaded > 0 && Query(removed).downloaded > 0; }));
  ASSERT_EQ(Query(removed).name, "d (1).bin");
  TaskParamRecord param;  // never started: it has no files of its own
  param.Init(server.Url(), "", "", "d.bin", dir.str(), false, true, true);
  int32_t idle = Engine().CreateTask(param.Address());

  for (int32_t h : {done, idle, kept}) ASSERT_EQ(Engine().DeleteTask(h, h == kept ? 0 : 1), 1);
  ASSERT_EQ(Engine().DeleteTask(removed, 1), 1);
  // Forgotten at once, for every call.
  for (int32_t h : {done, idle, kept, removed}) {
    char info[layout::info::kSize] = {};
    EXPECT_EQ(Engine().QueryTaskInfoEx(h, info), 0);
    EXPECT_EQ(Engine().StartTask(h), 0);
    EXPECT_EQ(Engine().StopTask(h), 0);
    EXPECT_EQ(Engine().DeleteTask(h, 1), 0);
  }
  // The engine carries deletes out in order, so once the last one's files are gone the others
  // have had every chance to touch what is not theirs.
  ASSERT_TRUE(WaitUntil([&] {
    return !FileExists(dir / "d (1).bin.sfpart") && !FileExists(dir / "d (1).bin.sfctl");
  }));
  EXPECT_EQ(Sha256Hex(ReadFile(dir / "done.bin")), Sha256Hex(body));
  EXPECT_EQ(ReadFile(dir / "d.bin"), "a finished file of another size");
  // Deleted without its files, a task leaves what it had, recorded for a later resume.
  EXPECT_TRUE(FileExists(dir / "k.bin.sfpart"));
  EXPECT_GT(DoneOnDisk(dir / "k.bin.sfctl").Total(), 0);
}

// A download deleted and at once started again under the same name keeps that name: deleted
// with its files, the name is free the moment the delete is carried out; deleted without them,
// the new task waits until the old one has let its partial go, and goes on from its bytes. It is
// never told the file is in use, nor sent to "NAME (1)".
TEST_F(EngineControl, DeletedAndAtOnceDownloadedAgainKeepsItsName) {
  std::string body = RandomBytes(2 << 20, 25);
  RangeFileServer server(body);
  for (int round = 0; round < 12; ++round) {
    bool removeFiles = round % 2 == 0;
    std::string name = "again" + std::to_string(round) + ".bin";
    server.SetRate(256 << 10);
    int32_t first = StartTask({server.Url(), dir.path(), name});
    ASSERT_TRUE(WaitUntil([&] { return Query(first).downloaded > 0; }));
    ASSERT_EQ(Engine().DeleteTask(first, removeFiles ? 1 : 0), 1);
    int32_t second = StartTask({server.Url(), dir.path(), name});
    server.SetRate(0);
    TaskOutcome o = WaitForEnd(second);
    ASSERT_EQ(o.state, kStateFinished) << "round " << round << ", failure " << o.failure;
    EXPECT_EQ(o.name, name);
    EXPECT_EQ(Sha256Hex(ReadFile(dir / name)), Sha256Hex(body));
  }
  // The twelve files and nothing else: no partial, no numbered copy.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 12);
}

// Tasks into one folder share its descriptor, but only while the path still names that folder.
TEST_F(EngineControl, AFolderMovedAsideKeepsItsTaskAndTheNextTaskGoesToTheFolderNowAtItsPath) {
  std::string body = RandomBytes(2 << 20, 27);
  RangeFileServer server(body);
  server.SetRate(256 << 10);
  std::string folder = dir / "into";
  int32_t first = StartTask({server.Url(), folder, "first.bin"});
  ASSERT_TRUE(WaitUntil([&] { return Query(first).downloaded > 0; }));
  std::filesystem::rename(folder, dir / "aside");
  int32_t next = StartTask({server.Url(), folder, "next.bin"});
  server.SetRate(0);
  TaskOutcome o = WaitForEnd(next);
  ASSERT_EQ(o.state, kStateFinished) << "failure " << o.failure;
  EXPECT_EQ(Sha256Hex(ReadFile(folder + "/next.bin")), Sha256Hex(body));
  o = WaitForEnd(first);
  ASSERT_EQ(o.state, kStateFinished) << "failure " << o.failure;
  EXPECT_EQ(Sha256Hex(ReadFile(dir / "aside/first.bin")), Sha256Hex(body));
  EXPECT_FALSE(FileExists(folder + "/first.bin"));
  EXPECT_FALSE(FileExists(dir / "aside/next.bin"));
}

// Tasks paused or deleted the moment they start, while their files are still being claimed:
// a deleted one leaves no partial behind, a paused one keeps its file and goes on from it.
TEST_F(EngineControl, TasksStoppedAsTheyStartKeepOrLeaveTheirFilesAsAsked) {
  std::string body = RandomBytes(64 << 10, 26);
  RangeFileServer server(body);
  std::vector<int32_t> paused;
  for (int i = 0; i < 300; ++i) {
    bool remove = i % 2 == 0;
    int32_t h =
        StartTask({server.Url(), dir.path(), (remove ? "gone" : "kept") + std::to_string(i)});
    if (remove) {
      ASSERT_EQ(Engine().DeleteTask(h, 1), 1);
    } else {
      ASSERT_EQ(Engine().StopTask(h), 1);
      paused.push_back(h);
    }
  }
  for (int32_t h : paused) ASSERT_TRUE(WaitUntil([&] { return Query(h).state == kStatePaused; }));
  for (int32_t h : paused) {
    ASSERT_EQ(Engine().StartTask(h), 1);
    TaskOutcome o = WaitForEnd(h);
    ASSERT_EQ(o.state, kStateFinished) << "failure " << o.failure;
    EXPECT_EQ(ReadFile(dir / o.name), body) << o.name;
  }
  // The kept files under their own names, and nothing of the deleted ones.
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    names.push_back(e.path().filename().string());
  EXPECT_EQ(names.size(), paused.size());
  for (const std::string& n : names) EXPECT_EQ(n.rfind("kept", 0), 0u) << n;
}

TEST_F(EngineControl, UnknownHandles) {
  EXPECT_EQ(Engine().StopTask(0), 0);
  EXPECT_EQ(Engine().StopTask(999999), 0);
  EXPECT_EQ(Engine().DeleteTask(999999, 0), 0);
  EXPECT_EQ(Engine().DeleteTask(-5, 1), 0);
  EXPECT_EQ(Engine().StartTask(999999), 0);
}

// A server that never answers: its backlog full, new connections wait in the kernel.
class SilentServer {
 public:
  SilentServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 1);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~SilentServer() { ::close(fd_); }
  std::string Url(int i) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/f" + std::to_string(i);
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST_F(EngineControl, AThousandTasksArePausedAndDeletedAtOnce) {
  SilentServer silent;
  std::vector<int32_t> handles;
  for (int i = 0; i < 1000; ++i)
    handles.push_back(StartTask({silent.Url(i), dir.path(), "t" + std::to_string(i) + ".bin"}));
  ASSERT_TRUE(WaitUntil([&] { return FileExists(dir / "t999.bin.sfctl"); }));

  auto start = std::chrono::steady_clock::now();
  for (int32_t h : handles) ASSERT_EQ(Engine().StopTask(h), 1);
  // Meanwhile the engine keeps serving the others.
  std::string body = RandomBytes(1 << 20, 24);
  RangeFileServer server(body);
  int32_t other = StartTask({server.Url(), dir.path(), "other.bin"});
  ASSERT_TRUE(WaitUntil([&] {
    for (int32_t h : handles)
      if (Query(h).state != kStatePaused) return false;
    return true;
  }));
  std::printf("1000 pauses settled after %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start)
                                         .count()));
  EXPECT_EQ(WaitForEnd(other).state, kStateFinished);

  for (int32_t h : handles) ASSERT_EQ(Engine().DeleteTask(h, 1), 1);
  for (int32_t h : handles) EXPECT_EQ(Query(h).state, 0) << h;
  ASSERT_TRUE(WaitUntil([&] {
    return !FileExists(dir / "t0.bin.sfctl") && !FileExists(dir / "t999.bin.sfpart") &&
           !FileExists(dir / "t999.bin.sfctl");
  }));
  EXPECT_EQ(ReadFile(dir / "other.bin"), body);
}

}  // namespace
// Beside a terminal or the service, whose threads resolve the shares that feed the downloads,
// the engine's threads run below the thread that drives them.
TEST_F(EngineControl, TheEngineRunsBelowTheThreadThatDrivesIt) {
  ASSERT_GE(Engine().GetTaskEventFd(), 0);  // started
  auto niceOf = [](const std::filesystem::path& task) {
    std::ifstream in(task / "stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Field 19 counts from the state, field 3, which follows the name in parentheses.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 19; ++i) fields >> field;
    return std::stoi(field);
  };
  EXPECT_EQ(niceOf("/proc/self"), 0);
  EXPECT_TRUE(WaitUntil([&] {
    int below = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
      below += niceOf(task.path()) == 5;
    return below >= 2;  // the engine's thread and its first disk thread
  }));
}

}  // namespace sf::test
