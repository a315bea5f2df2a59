// The engine's task-event descriptor: whoever waits on it learns of every end, failure and pause
// without asking in between; and the small-file path: a file that arrives whole at once is
// written without a control file, and is whole and durable under its name before it is
// reported finished.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "download/download_queue.h"
#include "engine_api/engine_api.h"
#include "engine_harness.h"
#include "range_file_server.h"
#include "wait_until.h"

namespace sf::test {

// What the engine library asks of the disk, as this program sees it: the engine's calls to
// fsync and renameat2 land here first (the program exports them), are logged once they return,
// and a sync of a file below `holdDir` waits while `hold` is on.
struct DiskCalls {
  std::mutex mutex;
  std::condition_variable released;
  std::string holdDir;
  bool hold = false;
  std::vector<std::string> log;  // "sync PATH" and "rename PATH", in the order they returned
};

DiskCalls& Disk() {
  static DiskCalls calls;
  return calls;
}

std::string PathOfFd(int fd) {
  char link[PATH_MAX];
  ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link);
  return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
}

}  // namespace sf::test

extern "C" int fsync(int fd) {
  static auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
  auto& disk = sf::test::Disk();
  std::string path = sf::test::PathOfFd(fd);
  {
    std::unique_lock lock(disk.mutex);
    if (!disk.holdDir.empty() && path.rfind(disk.holdDir + "/", 0) == 0)
      disk.released.wait(lock, [&] { return !disk.hold; });
  }
  int r = real(fd);
  std::lock_guard lock(disk.mutex);
  disk.log.push_back("sync " + path);
  return r;
}

extern "C" int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  using Fn = int (*)(int, const char*, int, const char*, unsigned);
  static auto real = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "renameat2"));
  int r = real(fromDir, from, toDir, to, flags);
  if (r == 0) {
    auto& disk = sf::test::Disk();
    std::lock_guard lock(disk.mutex);
    disk.log.push_back("rename " + sf::test::PathOfFd(toDir) + "/" + to);
  }
  return r;
}

namespace sf::test {
namespace {

using layout::kStateDownloading;
using layout::kStateFailed;
using layout::kStateFinished;
using layout::kStatePaused;

// Queries the task only after the descriptor woke the caller, until `want` holds. A state the
// engine never announces leaves the caller waiting: state -1 then.
template <typename Want>
TaskOutcome AwaitEvent(int fd, int32_t handle, Want want) {
  for (int wakes = 0; wakes < 1000; ++wakes) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20000) != 1) break;
    uint64_t count = 0;
    EXPECT_EQ(::read(fd, &count, sizeof count), static_cast<ssize_t>(sizeof count));
    TaskOutcome o = Query(handle);
    if (want(o)) return o;
  }
  TaskOutcome none;
  none.state = -1;
  return none;
}

void Drain(int fd) {
  uint64_t count = 0;
  while (::read(fd, &count, sizeof count) == sizeof count) {
  }
}

TEST(TaskEvents, EveryEndFailureAndPauseWakesTheWaiter) {
  int fd = Engine().GetTaskEventFd();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Engine().GetTaskEventFd(), fd);  // one descriptor for the engine's life
  Sandbox dir;
  Drain(fd);

  std::string body = RandomBytes(3000, 7);
  RangeFileServer server(body);
  int32_t done = StartTask({server.Url(), dir.path(), "done.bin"});
  TaskOutcome finished = AwaitEvent(fd, done, [](auto& o) { return o.state == kStateFinished; });
  ASSERT_EQ(finished.state, kStateFinished) << "the end was never announced";
  EXPECT_EQ(ReadFile(dir / "done.bin"), body);

  RangeFileServer refusing(body);
  refusing.ForceStatus(404);
  int32_t failed = StartTask({refusing.Url(), dir.path(), "failed.bin"});
  TaskOutcome failure = AwaitEvent(fd, failed, [](auto& o) { return o.state == kStateFailed; });
  ASSERT_EQ(failure.state, kStateFailed) << "the failure was never announced";
  EXPECT_NE(failure.failure, 0);

  RangeFileServer slow(RandomBytes(4 << 20, 8));
  slow.SetRate(64 << 10);
  int32_t paused = StartTask({slow.Url(), dir.path(), "paused.bin"});
  ASSERT_EQ(AwaitEvent(fd, paused, [](auto& o) { return o.state == kStateDownloading; }).state,
            kStateDownloading);
  ASSERT_EQ(Engine().StopTask(paused), 1);
  ASSERT_EQ(AwaitEvent(fd, paused, [](auto& o) { return o.state == kStatePaused; }).state,
            kStatePaused)
      << "the pause was never announced";
  // A paused task records what it holds, for a resume in this run or the next.
  EXPECT_TRUE(WaitUntil([&] { return FileExists(dir / "paused.bin.sfctl"); }));
  Engine().DeleteTask(paused, 1);
}

TEST(TaskEvents, AFileWholeInItsFirstAnswerIsWrittenWithoutAControlFile) {
  Sandbox dir;
  int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, dir.path().c_str(), IN_CREATE | IN_MOVED_TO), 0);

  std::string body = RandomBytes(1024, 9);
  RangeFileServer server(body);
  TaskOutcome o = RunTask({server.Url(), dir.path(), "small.bin"});
  ASSERT_EQ(o.state, kStateFinished) << "failure " << o.failure;
  EXPECT_EQ(ReadFile(dir / "small.bin"), body);

  std::set<std::string> made;
  alignas(inotify_event) char buf[64 * 1024];
  ssize_t n;
  while ((n = ::read(watch, buf, sizeof buf)) > 0) {
    for (char* at = buf; at < buf + n;) {
      auto* e = reinterpret_cast<inotify_event*>(at);
      if (e->len > 0) made.insert(e->name);
      at += sizeof(inotify_event) + e->len;
    }
  }
  ::close(watch);
  EXPECT_EQ(made.count("small.bin.sfpart"), 1u);
  EXPECT_EQ(made.count("small.bin"), 1u);
  for (const std::string& name : made)
    EXPECT_EQ(name.find(".sfctl"), std::string::npos) << name << " was made";
  EXPECT_FALSE(FileExists(dir / "small.bin.sfpart"));
}

// A file whose bytes are all in while the disk still makes it durable says so (state 6) and
// frees its slot for the next file, but is reported finished only after its partial was synced,
// renamed into place and its folder synced after the rename.
TEST(TaskEvents, AFileIsFinishedOnlyOnceSyncedButItsSlotIsFreeAsSoonAsItsBytesAreIn) {
  Sandbox dir;
  std::string body = RandomBytes(1500, 12);
  RangeFileServer server(body);
  {
    std::lock_guard lock(Disk().mutex);
    Disk().holdDir = dir.path();
    Disk().hold = true;
  }
  auto release = [] {
    {
      std::lock_guard lock(Disk().mutex);
      Disk().hold = false;
    }
    Disk().released.notify_all();
  };
  DownloadQueue queue(Engine());
  queue.SetMaxRunning(1);
  int a = queue.Add({"a.bin", server.Url("/a.bin"), dir.path(), "", "", -1});
  int b = queue.Add({"b.bin", server.Url("/b.bin"), dir.path(), "", "", -1});
  bool ending = WaitUntil([&] {
    queue.Poll(0);
    return queue.Find(a)->engineState == layout::kStateEndingRequest;
  });
  bool nextStarted = queue.Find(b)->status != DownloadStatus::kQueued;
  bool finishedEarly = queue.Find(a)->status == DownloadStatus::kFinished;
  release();
  ASSERT_TRUE(ending) << "the file's transfer ended, its sync is held: state "
                      << queue.Find(a)->engineState;
  EXPECT_TRUE(nextStarted);
  EXPECT_FALSE(finishedEarly);

  ASSERT_TRUE(WaitUntil([&] {
    queue.Poll(0);
    return queue.Find(a)->Ended() && queue.Find(b)->Ended();
  }));
  std::vector<std::string> log;
  {
    std::lock_guard lock(Disk().mutex);
    log = Disk().log;
    Disk().holdDir.clear();
  }
  for (const char* name : {"a.bin", "b.bin"}) {
    EXPECT_EQ(ReadFile(dir / name), body);
    auto at = [&](const std::string& event, size_t from = 0) {
      auto it = std::find(log.begin() + static_cast<std::ptrdiff_t>(from), log.end(), event);
      return static_cast<size_t>(it - log.begin());
    };
    size_t synced = at("sync " + (dir / (std::string(name) + ".sfpart")).string());
    size_t renamed = at("rename " + (dir / name).string());
    size_t folderSynced = at("sync " + dir.str(), renamed);
    EXPECT_LT(synced, renamed) << name;
    EXPECT_LT(renamed, folderSynced) << name;
    EXPECT_LT(folderSynced, log.size()) << name << ": the folder was not synced after the rename";
  }
}

}  // namespace
}  // namespace sf::test
