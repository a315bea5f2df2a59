// The engine's task-event descriptor: whoever waits on it learns of every end, failure and pause
// without asking in between; and the small-file path: a file that arrives whole at once is
// written without a control file, and is whole and durable under its name.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <set>
#include <string>

#include "download/engine_api.h"
#include "engine_harness.h"
#include "range_file_server.h"
#include "wait_until.h"

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

}  // namespace
}  // namespace sf::test
