// The engine's task-event descriptor: whoever waits on it learns of every end, failure and pause
// without asking in between; and the small-file path: a file that arrives whole at once is
// written without a control file, and is whole and durable under its name before it is
// reported finished, alone or in a batch of many, and not reported finished when its name
// could not be made durable.
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
// fsync, fdatasync, syncfs and renameat2 land here first (the program exports them), are logged
// once they return, and a sync of a file below `holdDir` (or of the file system, through it) waits
// while `hold` is on. A sync of `failDir` itself, of either kind, fails with EIO.
struct DiskCalls {
  std::mutex mutex;
  std::condition_variable released;
  std::string holdDir;
  bool hold = false;
  std::string failDir;
  // "sync PATH", "datasync PATH", "syncfs PATH" and "rename PATH", in the order they returned; the
  // tests add "finished PATH" when they see a file reported finished.
  std::vector<std::string> log;
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

namespace sf::test {

// Both kinds of sync: held, failed or let through, then logged as `kind PATH`.
int Synced(const char* kind, int fd, int (*real)(int)) {
  auto& disk = Disk();
  std::string path = PathOfFd(fd);
  {
    std::unique_lock lock(disk.mutex);
    if (!disk.holdDir.empty() && path.rfind(disk.holdDir + "/", 0) == 0)
      disk.released.wait(lock, [&] { return !disk.hold; });
    if (!disk.failDir.empty() && path == disk.failDir) {
      errno = EIO;
      return -1;
    }
  }
  int r = real(fd);
  std::lock_guard lock(disk.mutex);
  disk.log.push_back(std::string(kind) + " " + path);
  return r;
}

}  // namespace sf::test

extern "C" int fsync(int fd) {
  static auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
  return sf::test::Synced("sync", fd, real);
}

extern "C" int fdatasync(int fd) {
  static auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fdatasync"));
  return sf::test::Synced("datasync", fd, real);
}

extern "C" int syncfs(int fd) {
  static auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "syncfs"));
  return sf::test::Synced("syncfs", fd, real);
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

void Log(const std::string& line) {
  std::lock_guard lock(Disk().mutex);
  Disk().log.push_back(line);
}

std::vector<std::string> TakeLog() {
  std::lock_guard lock(Disk().mutex);
  std::vector<std::string> log;
  log.swap(Disk().log);
  Disk().holdDir.clear();
  Disk().failDir.clear();
  return log;
}

void Hold(const std::string& dir, bool on) {
  {
    std::lock_guard lock(Disk().mutex);
    Disk().holdDir = dir;
    Disk().hold = on;
  }
  Disk().released.notify_all();
}

// In the disk log: the bytes of `folder`/`name` were made durable (a sync of its partial or of
// the whole file system) after `from` and before its rename, the new name was made durable (a
// sync of the folder or of the file system) after the rename, and only then was the file seen
// finished.
void ExpectDurableBeforeFinished(const std::vector<std::string>& log, const std::string& folder,
                                 const std::string& name, size_t from = 0) {
  auto find = [&](size_t begin, size_t end, auto&& match) {
    for (size_t i = begin; i < end && i < log.size(); ++i)
      if (match(log[i])) return i;
    return log.size();
  };
  std::string path = folder + "/" + name;
  size_t renamed = find(from, log.size(), [&](auto& e) { return e == "rename " + path; });
  size_t finished = find(0, log.size(), [&](auto& e) { return e == "finished " + path; });
  ASSERT_LT(renamed, log.size()) << path << " was never renamed into place";
  ASSERT_LT(finished, log.size()) << path << " was never seen finished";
  size_t dataSynced = find(from, renamed, [&](auto& e) {
    return e == "sync " + path + ".sfpart" || e.rfind("syncfs ", 0) == 0;
  });
  size_t folderSynced = find(renamed, log.size(), [&](auto& e) {
    return e == "sync " + folder || e.rfind("syncfs ", 0) == 0;
  });
  EXPECT_LT(dataSynced, renamed) << path << ": renamed before its bytes were synced";
  EXPECT_LT(folderSynced, finished) << path << ": finished before its new name was synced";
  EXPECT_LT(renamed, finished) << path;
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
  Hold(dir.path(), true);
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
  Hold(dir.path(), false);
  ASSERT_TRUE(ending) << "the file's transfer ended, its sync is held: state "
                      << queue.Find(a)->engineState;
  EXPECT_TRUE(nextStarted);
  EXPECT_FALSE(finishedEarly);

  std::set<int> seen;
  ASSERT_TRUE(WaitUntil([&] {
    queue.Poll(0);
    for (int id : {a, b})
      if (queue.Find(id)->status == DownloadStatus::kFinished && seen.insert(id).second)
        Log("finished " + (dir / queue.Find(id)->Name()).string());
    return queue.Find(a)->Ended() && queue.Find(b)->Ended();
  }));
  std::vector<std::string> log = TakeLog();
  for (const char* name : {"a.bin", "b.bin"}) {
    EXPECT_EQ(ReadFile(dir / name), body);
    ExpectDurableBeforeFinished(log, dir.str(), name);
  }
}

// A big file's bytes are synced while they come, not only once the last is in: the disk's own
// cache empties during the transfer, and the final sync has the last few megabytes to wait for.
TEST(TaskEvents, ABigFileIsSyncedAsItsBytesComeNotOnlyAtTheEnd) {
  Sandbox dir;
  std::string body = RandomBytes(12 << 20, 14);
  RangeFileServer server(body);
  TakeLog();
  TaskOutcome o = RunTask({server.Url(), dir.path(), "big.bin"});
  ASSERT_EQ(o.state, kStateFinished) << "failure " << o.failure;
  EXPECT_EQ(ReadFile(dir / "big.bin"), body);
  std::vector<std::string> log = TakeLog();
  auto synced = std::find(log.begin(), log.end(), "datasync " + (dir / "big.bin.sfpart").string());
  auto last = std::find(log.begin(), log.end(), "sync " + (dir / "big.bin.sfpart").string());
  EXPECT_NE(synced, log.end()) << "the partial's bytes were only synced at the end";
  EXPECT_LT(synced, last);
}

// Many small files whose transfers end while the disk is busy are made durable together, in
// two folders: none is reported finished while the syncs are held, and each was synced before
// its rename and its folder after it, before it was reported.
TEST(TaskEvents, SmallFilesEndingTogetherAreEachDurableBeforeTheyAreReported) {
  Sandbox dir;
  std::string body = RandomBytes(1200, 13);
  RangeFileServer server(body);
  Hold(dir.path(), true);
  DownloadQueue queue(Engine());
  queue.SetMaxRunning(3);
  std::vector<std::pair<int, std::string>> files;  // id, folder
  for (int i = 0; i < 10; ++i) {
    std::string folder = (dir / (i % 2 ? "odd" : "even")).string();
    std::string name = "f" + std::to_string(i) + ".bin";
    files.push_back({queue.Add({name, server.Url("/" + name), folder, "", "", -1}), folder});
  }
  std::set<int> ending;
  bool allEnding = WaitUntil([&] {
    queue.Poll(0);
    for (auto& [id, folder] : files)
      if (queue.Find(id)->engineState == layout::kStateEndingRequest && ending.insert(id).second)
        Log("ending " + folder + "/" + queue.Find(id)->Name());
    return ending.size() == files.size();
  });
  bool finishedEarly = std::any_of(files.begin(), files.end(), [&](auto& f) {
    return queue.Find(f.first)->status == DownloadStatus::kFinished;
  });
  Hold(dir.path(), false);
  ASSERT_TRUE(allEnding) << ending.size() << " of " << files.size() << " transfers ended";
  EXPECT_FALSE(finishedEarly) << "a file was reported finished while its syncs were held";

  std::set<int> seen;
  ASSERT_TRUE(WaitUntil([&] {
    queue.Poll(0);
    for (auto& [id, folder] : files)
      if (queue.Find(id)->status == DownloadStatus::kFinished && seen.insert(id).second)
        Log("finished " + folder + "/" + queue.Find(id)->Name());
    return std::all_of(files.begin(), files.end(),
                       [&](auto& f) { return queue.Find(f.first)->Ended(); });
  }));
  std::vector<std::string> log = TakeLog();
  for (auto& [id, folder] : files) {
    std::string name = queue.Find(id)->Name();
    EXPECT_EQ(queue.Find(id)->status, DownloadStatus::kFinished) << name;
    EXPECT_EQ(ReadFile(folder + "/" + name), body) << name;
    auto ended = std::find(log.begin(), log.end(), "ending " + folder + "/" + name);
    ASSERT_NE(ended, log.end());
    ExpectDurableBeforeFinished(log, folder, name, static_cast<size_t>(ended - log.begin()));
  }
  // They gathered while the first one's sync was held: the rest went as one batch, with one
  // sync of the file system for all of them.
  EXPECT_NE(std::find_if(log.begin(), log.end(),
                         [](const std::string& e) { return e.rfind("syncfs ", 0) == 0; }),
            log.end());
}

// The new name of a file cannot be made durable: the file is not called finished. Its bytes are
// whole under its name, so the next start finds it complete.
TEST(TaskEvents, AFolderThatCannotBeSyncedFailsTheFileInsteadOfFinishingIt) {
  Sandbox dir;
  std::string body = RandomBytes(1300, 14);
  RangeFileServer server(body);
  {
    std::lock_guard lock(Disk().mutex);
    Disk().failDir = dir.str();
  }
  int32_t handle = StartTask({server.Url(), dir.path(), "x.bin"});
  TaskOutcome failed = WaitForEnd(handle);
  TakeLog();
  EXPECT_EQ(failed.state, kStateFailed);
  EXPECT_EQ(failed.failure, EIO);
  EXPECT_EQ(ReadFile(dir / "x.bin"), body);

  ASSERT_EQ(Engine().StartTask(handle), 1);
  TaskOutcome again = WaitForEnd(handle);
  EXPECT_EQ(again.state, kStateFinished) << "failure " << again.failure;
  EXPECT_EQ(ReadFile(dir / "x.bin"), body);
  EXPECT_FALSE(FileExists(dir / "x (1).bin"));
  EXPECT_FALSE(FileExists(dir / "x.bin.sfpart"));
  EXPECT_FALSE(FileExists(dir / "x.bin.sfctl"));
  Engine().DeleteTask(handle, 0);
}

}  // namespace
}  // namespace sf::test
