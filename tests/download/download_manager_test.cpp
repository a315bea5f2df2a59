// The one owner of downloads: a share's files keep their outcome whatever the window's list
// lets go, every listener hears each end once, and a refused link goes through the share's
// renewer back into the queue.
#include "download/download_manager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>

#include "base/encoding.h"
#include "engine_api/engine_api.h"
#include "held_renewer.h"
#include "recording_engine.h"
#include "view/download_tick.h"

namespace sf {
namespace {

using test::RecordingEngine;
using test::Report;

FileEntry File(const std::string& name, const std::string& size, const std::string& link) {
  return test::ShareFileEntry(name, size, link);
}

using FakeRenewer = test::HeldRenewer;

class DownloadManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/sf-manager-XXXXXX";
    ASSERT_NE(::mkdtemp(path), nullptr);
    dir = path;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  // Every event, as one listener heard it: kind and file.
  std::vector<std::pair<DownloadEvent::Kind, size_t>> Ends(
      const std::vector<DownloadEvent>& heard) {
    std::vector<std::pair<DownloadEvent::Kind, size_t>> out;
    for (const DownloadEvent& e : heard)
      if (e.kind != DownloadEvent::kProgress && e.kind != DownloadEvent::kStarted)
        out.push_back({e.kind, e.file});
    return out;
  }

  std::string dir;
  RecordingEngine engine;
  std::vector<FileEntry> entries = {File("a.bin", "10", "http://h/a"),
                                    File("b.bin", "20", "http://h/b")};
};

// The window's tick lets a finished item go from its list; the share it belonged to has
// recorded the file as done first, and both listeners heard so, once.
TEST_F(DownloadManagerTest, AFinishedShareFileIsDoneForEveryListener) {
  DownloadManager downloads(engine);
  EXPECT_EQ(engine.inits, 1);
  std::vector<DownloadEvent> first, second;
  downloads.Listen([&](const DownloadEvent& e) { first.push_back(e); });
  ListenerId other = downloads.Listen([&](const DownloadEvent& e) { second.push_back(e); });
  ShareId share = downloads.AddShare(entries, {0, 1}, dir, std::make_shared<FakeRenewer>());
  ASSERT_EQ(engine.created.size(), 2u);

  engine.reports[7] = Report{layout::kStateFinished, "a.bin", 10, 10, 1.0f, 0};
  engine.reports[8] = Report{layout::kStateDownloading, "b.bin", 20, 5, 0.25f, 100};
  EXPECT_EQ(TickDownloads(downloads, 0), Utf8ToGbk("Tavrin提示您：[ 下载完毕 ]  剩余时间 0:01"));
  EXPECT_EQ(downloads.queue().Items().size(), 1u);  // a.bin left the list
  EXPECT_EQ(engine.deleted, (std::vector<std::pair<int32_t, int32_t>>{{7, 0}}));
  const ShareFile& a = downloads.Share(share)->Files()[0];
  EXPECT_EQ(a.status, ShareFileStatus::kDone);
  EXPECT_EQ(a.SavedPath(), dir + "/a.bin");

  TickDownloads(downloads, 1000);
  TickDownloads(downloads, 2000);
  using E = std::vector<std::pair<DownloadEvent::Kind, size_t>>;
  EXPECT_EQ(Ends(first), (E{{DownloadEvent::kFinished, 0}}));
  EXPECT_EQ(Ends(second), Ends(first));
  EXPECT_EQ(first.front().kind, DownloadEvent::kStarted);
  EXPECT_EQ(first.front().share, share);

  // One that stopped listening hears nothing more; taking b.bin out fails it, saying so.
  downloads.Unlisten(other);
  downloads.Cancel({ItemId{downloads.queue().Items()[0].id}}, true);
  EXPECT_EQ(downloads.Share(share)->Files()[1].status, ShareFileStatus::kFailed);
  EXPECT_EQ(downloads.Share(share)->Files()[1].problem, "taken out of the downloads");
  ASSERT_EQ(Ends(first).size(), 2u);
  EXPECT_EQ(first.back().kind, DownloadEvent::kFailed);
  EXPECT_EQ(first.back().reason, "taken out of the downloads");
  EXPECT_EQ(first.back().failureCode, 0);
  EXPECT_EQ(Ends(second).size(), 1u);
  EXPECT_TRUE(downloads.Idle());
}

// A refused link is asked of the share's renewer, once, whenever it answers; the fresh link
// makes a new task on the same file, and a second refusal or no link fails the file.
TEST_F(DownloadManagerTest, ARefusedLinkIsRenewedThroughTheSharesRenewer) {
  DownloadManager downloads(engine);
  auto renewer = std::make_shared<FakeRenewer>();
  std::vector<DownloadEvent> heard;
  downloads.Listen([&](const DownloadEvent& e) { heard.push_back(e); });
  ShareId share = downloads.AddShare(entries, {0, 1}, dir, renewer);
  // The same files asked for again while they download are not planned twice, but shown.
  ShareId again = downloads.AddShare(entries, {0, 1}, dir, renewer);
  EXPECT_TRUE(downloads.Share(again)->Files().empty());
  ASSERT_EQ(engine.created.size(), 2u);

  engine.reports[7] = Report{layout::kStateFailed, "a.bin", 0, 0, 0.0f, 0, 403};
  engine.reports[8] = Report{layout::kStateFailed, "b.bin", 0, 0, 0.0f, 0, 410};
  downloads.Tick(0);
  EXPECT_EQ(renewer->asked, (std::vector<std::string>{"a.bin", "b.bin"}));
  EXPECT_EQ(Ends(heard),
            (std::vector<std::pair<DownloadEvent::Kind, size_t>>{{DownloadEvent::kShown, 0},
                                                                 {DownloadEvent::kShown, 1},
                                                                 {DownloadEvent::kNeedsLink, 0},
                                                                 {DownloadEvent::kNeedsLink, 1}}));
  downloads.Tick(1000);  // still waiting: asked once only
  EXPECT_EQ(renewer->asked.size(), 2u);
  EXPECT_EQ(downloads.Share(share)->Files()[0].status, ShareFileStatus::kRenewing);

  engine.reports.clear();
  renewer->answers[0]("http://h/a-fresh", {});
  ASSERT_EQ(engine.created.size(), 3u);
  EXPECT_EQ(engine.created[2].url, "http://h/a-fresh");
  EXPECT_EQ(engine.created[2].fileName, "a.bin");
  EXPECT_EQ(engine.created[2].saveDir, engine.created[0].saveDir);
  EXPECT_EQ(heard.back().kind, DownloadEvent::kStarted);
  renewer->answers[1]({}, "no fresh link");
  EXPECT_EQ(downloads.Share(share)->Files()[1].status, ShareFileStatus::kFailed);
  EXPECT_EQ(heard.back().kind, DownloadEvent::kFailed);
  EXPECT_EQ(heard.back().file, 1u);

  // Refused again under its fresh link: the file fails, without asking a third time.
  engine.reports[9] = Report{layout::kStateFailed, "a.bin", 0, 0, 0.0f, 0, 403};
  downloads.Tick(2000);
  EXPECT_EQ(renewer->asked.size(), 2u);
  EXPECT_EQ(downloads.Share(share)->Files()[0].status, ShareFileStatus::kFailed);
  // The event carries the engine's code for the front-end to word, no words of its own.
  EXPECT_EQ(heard.back().kind, DownloadEvent::kFailed);
  EXPECT_EQ(heard.back().file, 0u);
  EXPECT_EQ(heard.back().failureCode, 403);
  EXPECT_EQ(heard.back().reason, "");
  EXPECT_TRUE(downloads.Idle());
}

// A share whose links come one at a time, in any order: each file is named as if every link had
// been known (two names that meet once made safe keep their share order), a file whole on disk
// is skipped without a link, a link no chosen file waits for starts nothing, and the share ends
// only once it is closed, failing the file whose link never came.
TEST_F(DownloadManagerTest, LinksComingOneByOneGiveTheNamesOfAWholePlan) {
  std::vector<FileEntry> share = {File("p\\q.bin", "10", ""), File("p_q.bin", "20", ""),
                                  File("whole.bin", "3", ""), File("never.bin", "5", ""),
                                  File("left.bin", "7", "")};
  std::ofstream(dir + "/whole.bin") << "abc";
  DownloadManager downloads(engine);
  std::vector<DownloadEvent> heard;
  downloads.Listen([&](const DownloadEvent& e) { heard.push_back(e); });
  ShareId id = downloads.OpenShare(share, {0, 1, 2, 3}, dir, std::make_shared<FakeRenewer>());
  const ShareDownload& files = *downloads.Share(id);
  ASSERT_EQ(files.Files().size(), 4u);
  EXPECT_EQ(files.Files()[0].plan.name, "p_q.bin");
  EXPECT_EQ(files.Files()[1].plan.name, "p_q (1).bin");
  EXPECT_EQ(files.Files()[2].status, ShareFileStatus::kSkipped);
  EXPECT_TRUE(engine.created.empty());

  downloads.AddLink(id, 1, "http://h/2");
  downloads.AddLink(id, 4, "http://h/left");
  downloads.AddLink(id, 0, "http://h/1");
  downloads.AddLink(id, 0, "http://h/1-again");
  ASSERT_EQ(engine.created.size(), 2u);
  EXPECT_EQ(engine.created[0].fileName, "p_q (1).bin");
  EXPECT_EQ(engine.created[0].url, "http://h/2");
  EXPECT_EQ(engine.created[1].fileName, "p_q.bin");

  engine.reports[7] = Report{layout::kStateFinished, "p_q (1).bin", 20, 20, 1.0f, 0};
  engine.reports[8] = Report{layout::kStateFinished, "p_q.bin", 10, 10, 1.0f, 0};
  downloads.Tick(0);
  EXPECT_EQ(files.Files()[0].status, ShareFileStatus::kDone);
  EXPECT_EQ(files.Files()[1].status, ShareFileStatus::kDone);
  EXPECT_FALSE(files.Ended());
  EXPECT_FALSE(downloads.Idle());

  downloads.CloseShare(id);
  EXPECT_EQ(files.Files()[3].status, ShareFileStatus::kFailed);
  EXPECT_EQ(files.Files()[3].problem, "the share gave no link for it");
  EXPECT_TRUE(downloads.Idle());
  using E = std::vector<std::pair<DownloadEvent::Kind, size_t>>;
  EXPECT_EQ(Ends(heard), (E{{DownloadEvent::kFinished, 2},
                            {DownloadEvent::kFinished, 0},
                            {DownloadEvent::kFinished, 1},
                            {DownloadEvent::kFailed, 3}}));
}

// A share of many files through two slots, moved only by its ticks: each file's end is told
// once, a refused link renewed on the way and a file taken out while it waits included, and
// the share asked for again while its files are under way adds none of them twice.
TEST_F(DownloadManagerTest, EveryFileOfAManyFileShareEndsOnce) {
  std::vector<FileEntry> many;
  for (int i = 0; i < 40; ++i)
    many.push_back(File("f" + std::to_string(i) + ".bin", "10", "http://h/" + std::to_string(i)));
  std::vector<size_t> all(many.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = i;
  DownloadManager downloads(engine);
  downloads.SetJobs(2);
  auto renewer = std::make_shared<FakeRenewer>();
  std::map<size_t, int> ends;
  downloads.Listen([&](const DownloadEvent& e) {
    if (e.kind == DownloadEvent::kFinished || e.kind == DownloadEvent::kFailed) ++ends[e.file];
  });
  ShareId share = downloads.AddShare(many, all, dir, renewer);
  EXPECT_TRUE(downloads.Share(downloads.AddShare(many, all, dir, renewer))->Files().empty());
  const int waiting = downloads.queue().Items().back().id;  // the last file, never started
  downloads.Cancel({ItemId{waiting}}, false);

  for (int64_t now = 0; now < 200 && !downloads.Idle(); ++now) {
    for (int id : downloads.queue().Started()) {
      const DownloadItem& item = *downloads.queue().Find(id);
      // The seventh file's first link is refused; the fresh one works. The third loses its
      // connection after bytes came: no link is to blame, and it fails.
      bool refuse = item.request.name == "f7.bin" && item.request.address == "http://h/7";
      Report& r = engine.reports[item.handle];
      if (refuse)
        r = Report{layout::kStateFailed, item.request.name, 0, 0, 0.0f, 0, 403};
      else if (item.request.name != "f3.bin")
        r = Report{layout::kStateFinished, item.request.name, 10, 10, 1.0f, 0};
      else if (item.engineState == 0)
        r = Report{layout::kStateDownloading, item.request.name, 10, 4, 0.4f, 4};
      else
        r = Report{layout::kStateFailed, item.request.name, 10, 4, 0.4f, 0, ECONNRESET};
    }
    downloads.Tick(now * 1000);
    for (size_t i = 0; i < renewer->answers.size(); ++i) renewer->answers[i]("http://h/7b", {});
    renewer->answers.clear();
  }
  EXPECT_TRUE(downloads.Idle());
  EXPECT_EQ(renewer->asked, std::vector<std::string>{"f7.bin"});
  const std::vector<ShareFile>& files = downloads.Share(share)->Files();
  ASSERT_EQ(files.size(), many.size());
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(ends[i], 1) << i;
    if (i + 1 == files.size()) {
      EXPECT_EQ(files[i].problem, "taken out of the downloads");
    } else if (i == 3) {
      EXPECT_EQ(files[i].failureCode, ECONNRESET);
      EXPECT_EQ(files[i].status, ShareFileStatus::kFailed);
    } else {
      EXPECT_EQ(files[i].status, ShareFileStatus::kDone) << i;
    }
  }
  EXPECT_EQ(engine.created.size(), many.size());  // the 39 started and f7.bin's fresh link
}

// A paused list holds still: once a running file's pause shows, no tick asks the engine about
// it or tells a listener of it, so a share of many paused files costs nothing per tick.
TEST_F(DownloadManagerTest, APausedListCostsNoWorkPerTick) {
  std::vector<FileEntry> many;
  std::vector<size_t> all;
  for (int i = 0; i < 30; ++i) {
    many.push_back(File("f" + std::to_string(i) + ".bin", "10", "http://h/" + std::to_string(i)));
    all.push_back(all.size());
  }
  DownloadManager downloads(engine);
  downloads.SetJobs(2);
  std::map<int, int> progressed;
  downloads.Listen([&](const DownloadEvent& e) {
    if (e.kind == DownloadEvent::kProgress) ++progressed[Raw(e.item)];
  });
  downloads.AddShare(many, all, dir, std::make_shared<FakeRenewer>());
  ASSERT_EQ(engine.created.size(), 2u);
  for (int32_t handle : {7, 8})
    engine.reports[handle] = Report{layout::kStateDownloading, "", 10, 4, 0.4f, 4};
  downloads.Tick(0);
  EXPECT_EQ(progressed.size(), 2u);  // the two running, not the 28 waiting

  std::vector<ItemId> ids;
  for (const DownloadItem& item : downloads.queue().Items()) ids.push_back(ItemId{item.id});
  EXPECT_EQ(downloads.Pause(ids), 30);
  engine.reports[8].state = layout::kStateDownloading;  // this one winds down slowly
  progressed.clear();
  downloads.Tick(1000);  // each is told of until the poll that sees it stop
  engine.reports[8].state = layout::kStatePaused;
  downloads.Tick(2000);
  EXPECT_EQ(progressed, (std::map<int, int>{{Raw(ids[0]), 1}, {Raw(ids[1]), 2}}));

  progressed.clear();
  const size_t queried = engine.queried.size();
  for (int64_t now = 3000; now < 6000; now += 250) downloads.Tick(now);
  EXPECT_TRUE(progressed.empty());
  EXPECT_EQ(engine.queried.size(), queried);
  EXPECT_EQ(downloads.queue().Started().size(), 30u);

  downloads.Resume({ids[5]});  // the user acts: that one runs and is told of again
  downloads.Tick(6000);
  EXPECT_EQ(progressed.count(Raw(ids[5])), 1u);
}

// An answer that comes after its owner is gone goes nowhere.
TEST_F(DownloadManagerTest, ALateAnswerOutlivesItsOwner) {
  auto renewer = std::make_shared<FakeRenewer>();
  {
    DownloadManager downloads(engine);
    downloads.AddShare(entries, {0}, dir, renewer);
    engine.reports[7] = Report{layout::kStateFailed, "a.bin", 0, 0, 0.0f, 0, 404};
    downloads.Tick(0);
  }
  ASSERT_EQ(renewer->answers.size(), 1u);
  renewer->answers[0]("http://h/late", {});
  EXPECT_EQ(engine.created.size(), 1u);
}

}  // namespace
}  // namespace sf
