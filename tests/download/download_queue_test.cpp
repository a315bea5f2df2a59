// The download queue against a recording engine: slots, pause and resume, failures and retries,
// the time left, and files already whole on disk.
#include "download/download_queue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "base/encoding.h"
#include "engine_api/engine_api.h"
#include "recording_engine.h"
#include "sandbox.h"

namespace sf {
namespace {

namespace fs = std::filesystem;
using test::RecordingEngine;
using test::Report;
using S = DownloadStatus;

class DownloadQueueTest : public ::testing::Test {
 protected:
  RecordingEngine engine;
  DownloadQueue queue{engine};
  test::Sandbox sandbox;
  fs::path dir = sandbox.path();

  int Add(const std::string& name, int64_t expectedSize = -1) {
    return queue.Add({name, "http://h/" + name, dir.string(), "", "", expectedSize});
  }
  S StatusOf(int id) { return queue.Find(id)->status; }
  void Write(const std::string& name, size_t bytes) {
    std::ofstream(dir / name) << std::string(bytes, 'x');
  }
};

TEST_F(DownloadQueueTest, RunsAtMostNAndStartsWaitingOnesAsSlotsFree) {
  queue.SetMaxRunning(2);
  int a = Add("a"), b = Add("b"), c = Add("c"), d = Add("d");
  EXPECT_EQ(engine.started, (std::vector<int32_t>{7, 8}));
  EXPECT_EQ(StatusOf(c), S::kQueued);
  EXPECT_EQ(queue.Find(c)->handle, 0);  // no engine task while it waits

  engine.reports[7] = {layout::kStateFinished, "a", 10, 10, 1.0f, 0};
  engine.reports[8] = {layout::kStateDownloading, "b", 10, 5, 0.5f, 5};
  EXPECT_EQ(queue.Poll(0), std::vector<int>{a});
  EXPECT_EQ(StatusOf(a), S::kFinished);
  EXPECT_EQ(StatusOf(b), S::kDownloading);
  EXPECT_EQ(engine.started, (std::vector<int32_t>{7, 8, 9}));

  // Pausing a running one frees its slot; resuming it queues it behind the others.
  EXPECT_EQ(queue.Pause({b, a}), 1);  // a finished one cannot be paused
  EXPECT_EQ(engine.stopped, std::vector<int32_t>{8});
  EXPECT_EQ(engine.started.back(), 10);  // d
  EXPECT_EQ(queue.Resume({b}), 1);
  EXPECT_EQ(StatusOf(b), S::kQueued);
  queue.SetMaxRunning(3);
  EXPECT_EQ(engine.started.back(), 8);  // the same task goes on; no new one
  EXPECT_EQ(engine.created.size(), 4u);
  EXPECT_EQ(StatusOf(b), S::kRequesting);

  // Cancelled: the task is deleted in the engine, with its files when asked, and forgotten.
  EXPECT_EQ(queue.Cancel({c, d}, true), 2);
  // The finished one's task went when it finished, its file kept.
  EXPECT_EQ(engine.deleted, (std::vector<std::pair<int32_t, int32_t>>{{7, 0}, {9, 1}, {10, 1}}));
  EXPECT_EQ(queue.Find(c), nullptr);
  EXPECT_EQ(queue.Items().size(), 2u);
  DownloadTotals t = queue.Totals();
  EXPECT_EQ(t.files, 2);
  EXPECT_EQ(t.filesDone, 1);
}

TEST_F(DownloadQueueTest, AFailedDownloadStaysAndARetryGoesOnWithItsTask) {
  int a = Add("a");
  engine.reports[7] = {layout::kStateFailed, "a", 100, 40, 0.4f, 0, 403};
  EXPECT_EQ(queue.Poll(0), std::vector<int>{a});
  const DownloadItem* item = queue.Find(a);
  EXPECT_EQ(item->status, S::kFailed);
  EXPECT_EQ(item->failureCode, 403);
  EXPECT_EQ(item->done, 40);
  EXPECT_TRUE(queue.Poll(1000).empty());  // reported once

  EXPECT_EQ(queue.Retry({a}), 1);
  EXPECT_EQ(engine.started, (std::vector<int32_t>{7, 7}));
  EXPECT_EQ(item->failureCode, 0);
  engine.reports[7] = {layout::kStateDownloading, "a", 100, 60, 0.6f, 10};
  EXPECT_TRUE(queue.Poll(2000).empty());
  EXPECT_EQ(item->status, S::kDownloading);

  // A task the engine will not even create fails at once, and a retry asks it again.
  engine.nextHandles = {0};
  int b = Add("b");
  EXPECT_EQ(StatusOf(b), S::kFailed);
  EXPECT_EQ(queue.Find(b)->failureCode, kFailureNotCreated);
  EXPECT_EQ(queue.TakeEnded(), std::vector<int>{b});
  queue.Retry({b});
  EXPECT_EQ(engine.created.size(), 3u);
  EXPECT_EQ(StatusOf(b), S::kRequesting);
}

// A failed download sent back to the queue keeps its task, which still says it failed until
// it starts again: pausing it while it waits holds it, and that old failure is no news.
TEST_F(DownloadQueueTest, ARetryPausedWhileItWaitsStaysPaused) {
  queue.SetMaxRunning(1);
  int a = Add("a"), b = Add("b");
  engine.reports[7] = {layout::kStateFailed, "a", 100, 40, 0.4f, 0, 111};
  EXPECT_EQ(queue.Poll(0), std::vector<int>{a});
  engine.reports[8] = {layout::kStateDownloading, "b", 100, 10, 0.1f, 10};
  queue.Poll(1000);
  ASSERT_EQ(StatusOf(b), S::kDownloading);

  EXPECT_EQ(queue.Retry({a}), 1);
  EXPECT_EQ(StatusOf(a), S::kQueued);  // b holds the only slot
  EXPECT_EQ(queue.Pause({a}), 1);
  EXPECT_TRUE(queue.Poll(2000).empty());
  EXPECT_EQ(StatusOf(a), S::kPaused);
  EXPECT_EQ(queue.Find(a)->failureCode, 0);

  // Resumed, it goes on with its task once the slot is free.
  EXPECT_EQ(queue.Resume({a}), 1);
  engine.reports[8].state = layout::kStateFinished;
  EXPECT_EQ(queue.Poll(3000), std::vector<int>{b});
  EXPECT_EQ(StatusOf(a), S::kRequesting);
  EXPECT_EQ(engine.started.back(), 7);
}

TEST_F(DownloadQueueTest, TimeLeftFollowsTheSpeedWithoutJumping) {
  int a = Add("a"), b = Add("b");
  engine.reports[7] = {layout::kStateDownloading, "a", 100000, 0, 0.0f, 1000};
  engine.reports[8] = {layout::kStateRequesting, "b", 0, 0, 0.0f, 0};
  queue.Poll(0);
  EXPECT_EQ(queue.Find(a)->etaSeconds, 100);
  EXPECT_EQ(queue.Find(b)->etaSeconds, -1);
  EXPECT_EQ(queue.Totals().etaSeconds, -1);  // b's size is not known yet

  // One fast second moves the estimate some way, not all the way to 99000 / 10000.
  engine.reports[7] = {layout::kStateDownloading, "a", 100000, 1000, 0.01f, 10000};
  queue.Poll(1000);
  int64_t eta = queue.Find(a)->etaSeconds;
  EXPECT_GT(eta, 20);
  EXPECT_LT(eta, 99);
  // At a steady speed it settles on what that speed gives.
  engine.reports[7].done = 6800;
  for (int s = 2; s < 60; ++s) queue.Poll(s * 1000);
  EXPECT_NEAR(queue.Find(a)->etaSeconds, (100000 - 6800) / 10000 + 1, 1);

  // The whole list: what is left of both over their speeds; a paused one waits for the user.
  engine.reports[8] = {layout::kStateDownloading, "b", 20000, 0, 0.0f, 10000};
  for (int s = 60; s < 90; ++s) queue.Poll(s * 1000);
  EXPECT_NEAR(queue.Totals().etaSeconds, (93200 + 20000) / 20000 + 1, 1);
  queue.Pause({b});
  EXPECT_EQ(queue.Find(b)->etaSeconds, -1);
  EXPECT_NEAR(queue.Totals().etaSeconds, 93200 / 10000 + 1, 1);
}

TEST_F(DownloadQueueTest, AFileAlreadyWholeIsNotDownloadedAgain) {
  Write("whole.bin", 5);
  int a = Add("whole.bin", 5);
  EXPECT_TRUE(engine.created.empty());
  EXPECT_EQ(StatusOf(a), S::kFinished);
  EXPECT_TRUE(queue.Find(a)->alreadyComplete);
  EXPECT_EQ(queue.TakeEnded(), std::vector<int>{a});

  // Another size, or a control file beside it (still partial), or no size known: the engine
  // has the say.
  Add("whole.bin", 6);
  Write("part.bin", 5);
  Write("part.bin.sfctl", 1);
  Add("part.bin", 5);
  Add("whole.bin");
  EXPECT_EQ(engine.created.size(), 3u);
  EXPECT_TRUE(HasPartialFiles(dir.string(), "part.bin"));
  EXPECT_FALSE(HasPartialFiles(dir.string(), "whole.bin"));

  // The engine's own finding comes through its report.
  engine.reports[9] = {layout::kStateFinished, "whole.bin", 5, 5, 1.0f, 0};
  engine.reports[9].alreadyComplete = true;
  queue.Poll(0);
  EXPECT_TRUE(queue.Items().back().alreadyComplete);
  EXPECT_FALSE(queue.Items()[1].alreadyComplete);
}

// The totals as a walk of the whole list gives them.
DownloadTotals Recount(const DownloadQueue& queue) {
  DownloadTotals t;
  int64_t remaining = 0;
  bool remainingKnown = true;
  double speed = 0;
  for (const DownloadItem& item : queue.Items()) {
    ++t.files;
    if (item.status == S::kFinished) ++t.filesDone;
    int64_t size = item.KnownSize();
    if (size >= 0)
      t.bytesTotal += size;
    else
      t.allSizesKnown = false;
    t.bytesDone += item.done;
    t.speed += item.speed;
    if (item.status == S::kQueued || item.status == S::kRequesting ||
        item.status == S::kDownloading) {
      if (size < 0)
        remainingKnown = false;
      else
        remaining += std::max<int64_t>(size - item.done, 0);
      speed += item.smoothedSpeed;
    }
  }
  if (remainingKnown && speed >= 1)
    t.etaSeconds = static_cast<int64_t>(std::ceil(static_cast<double>(remaining) / speed));
  return t;
}

// Many files through two slots, each ending its own way, with a pause, a cancel and retries on
// the way: every end is told once by the poll that saw it, a poll asks the engine only about
// what is under way, the totals kept along the way are those of the whole list, and a listed
// file is found by its directory and either of its names until it finishes.
TEST_F(DownloadQueueTest, EveryEndIsToldOnceWhateverTheListHolds) {
  queue.SetMaxRunning(2);
  std::vector<int> ids;
  for (int i = 0; i < 14; ++i) ids.push_back(Add("f" + std::to_string(i), i == 5 ? -1 : 100));
  const int cancelled = ids[9], paused = ids[2];
  std::map<int, int> told;
  std::set<int> failedOnce;
  bool pausedOnce = false;
  int64_t now = 0;
  auto poll = [&] {
    engine.queried.clear();
    for (int id : queue.Poll(now += 1000)) ++told[id];
    DownloadTotals kept = queue.Totals(), counted = Recount(queue);
    EXPECT_EQ(kept.files, counted.files);
    EXPECT_EQ(kept.filesDone, counted.filesDone);
    EXPECT_EQ(kept.bytesDone, counted.bytesDone);
    EXPECT_EQ(kept.bytesTotal, counted.bytesTotal);
    EXPECT_EQ(kept.allSizesKnown, counted.allSizesKnown);
    EXPECT_EQ(kept.speed, counted.speed);
    EXPECT_EQ(kept.etaSeconds, counted.etaSeconds);
  };
  for (int round = 0; round < 100 && queue.Unended() > 0; ++round) {
    if (round == 3) {
      EXPECT_EQ(queue.Cancel({cancelled}, false), 1);
    }
    for (int id : queue.Started()) {
      const DownloadItem& item = *queue.Find(id);
      if (item.status == S::kPaused) continue;
      Report& r = engine.reports[item.handle];
      std::string saved = "saved-" + item.request.name;
      if (item.engineState == 0)
        r = {layout::kStateDownloading, saved, 100, 40, 0.4f, 20};
      else if (id % 3 == 0 && id != paused && failedOnce.insert(id).second)
        r = {layout::kStateFailed, saved, 100, 40, 0.4f, 0, 404};
      else
        r = {layout::kStateFinished, saved, 100, 100, 1.0f, 0};
    }
    const bool pausing = !pausedOnce && queue.Find(paused)->status == S::kDownloading;
    if (pausing) {
      pausedOnce = true;
      EXPECT_EQ(queue.Listed(dir.string() + "/", "saved-f2"), paused);
      EXPECT_EQ(queue.Pause({paused}), 1);
    }
    const bool holding = !pausing && queue.Find(paused)->status == S::kPaused;
    poll();
    for (int32_t handle : engine.queried) {
      int id = 0;
      for (const DownloadItem& item : queue.Items())
        if (item.handle == handle) id = item.id;
      // Asked about once more while its pause showed, never again while it holds still.
      if (id == paused && holding) ADD_FAILURE() << "a paused task was asked again";
    }
    EXPECT_LE(engine.queried.size(), 3u);
    if (round == 6) {
      EXPECT_EQ(queue.Find(paused)->status, S::kPaused);
      EXPECT_EQ(queue.Resume({paused}), 1);
    }
    std::vector<int> failed;
    for (const DownloadItem& item : queue.Items())
      if (item.status == S::kFailed) failed.push_back(item.id);
    if (!failed.empty()) {
      EXPECT_EQ(queue.Retry(failed), static_cast<int>(failed.size()));
    }
  }
  EXPECT_EQ(queue.Unended(), 0u);
  for (int id : ids) {
    if (id == cancelled) {
      EXPECT_EQ(told.count(id), 0u);
      EXPECT_EQ(queue.Find(id), nullptr);
      continue;
    }
    EXPECT_EQ(queue.Find(id)->status, S::kFinished) << id;
    // Failed once, then finished on a retry.
    EXPECT_EQ(told[id], id % 3 == 0 && id != paused ? 2 : 1) << id;
  }
  EXPECT_EQ(queue.Totals().filesDone, 13);
  // The engine forgot each finished task, and no file with it.
  EXPECT_EQ(engine.deleted.size(), 13u);
  for (auto [handle, removeFiles] : engine.deleted) EXPECT_EQ(removeFiles, 0) << handle;
  EXPECT_EQ(queue.Listed(dir.string(), "f0"), 0);  // finished: no longer one to take up
}

// Files whose bytes are all in wait for the disk beside the running ones, up to the room there
// is; one that says something new, or ends, is still taken up, and only such a one is moved.
TEST_F(DownloadQueueTest, ManyFilesWaitForTheDiskBesideTheRunningOnes) {
  const int room = DownloadQueue::FinishingRoom();
  ASSERT_GE(room, 16);
  queue.SetMaxRunning(2);
  std::vector<int> ids;
  for (int i = 0; i < room + 6; ++i) ids.push_back(Add("f" + std::to_string(i), 100));
  for (int round = 0; round < room; ++round) {
    for (int id : queue.Started())
      engine.reports[queue.Find(id)->handle] = {layout::kStateEndingRequest, "", 100, 100, 1, 300};
    EXPECT_TRUE(queue.Poll(round).empty());
  }
  const size_t full = static_cast<size_t>((room + 1) / 2 * 2);  // two at a time, then none
  EXPECT_EQ(engine.started.size(), full);
  engine.reports[queue.Find(ids[0])->handle].speed = 0;
  engine.reports[queue.Find(ids[1])->handle].state = layout::kStateFinished;
  EXPECT_EQ(queue.Poll(room), std::vector<int>{ids[1]});
  // Only those two had news: the others waiting for the disk are not told of again.
  EXPECT_EQ(queue.Moved(), (std::vector<int>{ids[0], ids[1]}));
  EXPECT_EQ(queue.Find(ids[0])->speed, 0);
  EXPECT_EQ(queue.Totals().speed, Recount(queue).speed);
  EXPECT_EQ(engine.started.size(), full + 2);  // room again: both slots take a waiting one
}

}  // namespace
}  // namespace sf
