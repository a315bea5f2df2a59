// The one owner of downloads: a share's files keep their outcome whatever the window's list
// lets go, every listener hears each end once, and a refused link goes through the share's
// renewer back into the queue.
#include "download/download_manager.h"

#include <gtest/gtest.h>
#include <poll.h>
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
  // b.bin still runs: the bar tells of it, not of a.bin being done.
  EXPECT_EQ(TickDownloads(downloads, 0),
            Utf8ToGbk("Tavrin提示您：[ 下载中 ]             当前下载速度：0KB  总下载进度:62.5%"
                      "  剩余时间 0:01"));
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

// Remembered files come one list each, every one at position 0: a file still waiting for its
// link (no queue item to find it by) is found by its entry and not planned twice, while another
// file at the same position is planned.
TEST_F(DownloadManagerTest, AFileWaitingForItsLinkIsNotPlannedAgainFromAListOfItsOwn) {
  DownloadManager downloads(engine);
  auto renewer = std::make_shared<FakeRenewer>();
  std::vector<FileEntry> waiting = {File("a.bin", "10", ""), File("b.bin", "20", "")};
  waiting[0].fs_id = "101";
  waiting[1].fs_id = "202";
  ASSERT_EQ(downloads.Share(downloads.OpenShare(waiting, {0, 1}, dir, renewer))->Files().size(),
            2u);
  for (const FileEntry& e : waiting)
    EXPECT_TRUE(downloads.Share(downloads.OpenShare({e}, {0}, dir, renewer))->Files().empty());
  FileEntry other = File("c.bin", "30", "");
  other.fs_id = "303";
  EXPECT_EQ(downloads.Share(downloads.OpenShare({other}, {0}, dir, renewer))->Files().size(), 1u);
  // Under a renewer of its own the share is another: its file is planned as new.
  EXPECT_EQ(
      downloads.Share(downloads.OpenShare({waiting[0]}, {0}, dir, std::make_shared<FakeRenewer>()))
          ->Files()
          .size(),
      1u);
  EXPECT_TRUE(engine.created.empty());
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

// A share of many files planned aside: nothing holds the caller up, links and the close that
// come meanwhile wait for the plan, and once the Ticks have taken it in every file is where a
// plan made on the spot would have put it, told once, in folders made on disk.
TEST_F(DownloadManagerTest, AShareOfManyFilesPlannedAsideStillGivesEveryFile) {
  std::vector<FileEntry> many;
  std::vector<size_t> all;
  for (int i = 0; i < 600; ++i) {
    many.push_back(File("f" + std::to_string(i) + ".bin", "10", "http://h/" + std::to_string(i)));
    many.back().folder_path = "d" + std::to_string(i % 3) + "/e" + std::to_string(i % 5);
    all.push_back(all.size());
  }
  std::filesystem::create_directories(dir + "/d0/e0");
  std::ofstream(dir + "/d0/e0/f0.bin") << "0123456789";  // whole already
  DownloadManager downloads(engine);
  downloads.SetPlanAsideFrom(100);
  std::map<DownloadEvent::Kind, int> told;
  downloads.Listen([&](const DownloadEvent& e) { ++told[e.kind]; });
  auto renewer = std::make_shared<FakeRenewer>();
  auto takeIn = [&] {
    pollfd ready{downloads.PlanReadyFd(), POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 20000), 1);
    // Ticked as the window ticks it, on the plan's word or when NextTickMs says to look: the
    // planning thread may be held back for long on a busy machine, and a count of Ticks run
    // back to back would give up on it. A poll lasts its full wait unless the plan wakes it,
    // so the turns give it some twenty seconds.
    for (int64_t turn = 0; turn < 1000 && downloads.Planning(); ++turn) {
      ::poll(&ready, 1, static_cast<int>(downloads.NextTickMs(turn) - turn));
      downloads.Tick(turn);
    }
    ASSERT_FALSE(downloads.Planning());
  };

  ShareId whole = downloads.AddShare(ShareOrder{many, all, dir, renewer});
  EXPECT_TRUE(downloads.Planning());
  EXPECT_FALSE(downloads.Idle());
  takeIn();
  const std::vector<ShareFile>& files = downloads.Share(whole)->Files();
  ASSERT_EQ(files.size(), many.size());
  EXPECT_EQ(files[0].status, ShareFileStatus::kSkipped);
  EXPECT_EQ(files[599].Directory() + "/" + files[599].plan.name, dir + "/d2/e4/f599.bin");
  EXPECT_TRUE(std::filesystem::is_directory(dir + "/d1/e3"));
  EXPECT_EQ(downloads.queue().Items().size(), 599u);
  EXPECT_EQ(told[DownloadEvent::kStarted], 599);
  EXPECT_EQ(told[DownloadEvent::kFinished], 1);

  // The same listing, open: links and the close come before the plan is in.
  std::vector<FileEntry> unlinked = many;
  for (FileEntry& e : unlinked) e.dlink.clear();
  std::filesystem::create_directory(dir + "/again");
  ShareId open = downloads.AddShare(ShareOrder{unlinked, all, dir + "/again", nullptr, {}, true});
  downloads.AddLink(open, 5, "http://h/5");
  downloads.AddLink(open, 599, "http://h/599");
  downloads.CloseShare(open);
  EXPECT_FALSE(downloads.Share(open)->Ended());
  takeIn();
  const std::vector<ShareFile>& later = downloads.Share(open)->Files();
  ASSERT_EQ(later.size(), many.size());
  EXPECT_EQ(later[5].status, ShareFileStatus::kQueued);
  EXPECT_EQ(later[599].status, ShareFileStatus::kQueued);
  EXPECT_EQ(later[6].problem, "the share gave no link for it");
  EXPECT_FALSE(downloads.Share(open)->Ended());  // two files still under way
  EXPECT_EQ(told[DownloadEvent::kStarted], 601);
  EXPECT_EQ(told[DownloadEvent::kFailed], 598);
}

// A tick tells the progress of what it polled: a paused download once, when its pause shows,
// and then no more, however many ticks follow.
TEST_F(DownloadManagerTest, APausedDownloadIsToldOfOnceItsPauseShows) {
  DownloadManager downloads(engine);
  std::map<int, int> progress;
  downloads.Listen([&](const DownloadEvent& e) {
    if (e.kind == DownloadEvent::kProgress) ++progress[Raw(e.item)];
  });
  auto request = [&](const std::string& name) {
    DownloadRequest r;
    r.name = name;
    r.address = "http://h/" + name;
    r.directory = dir;
    return r;
  };
  ItemId a = downloads.AddDownload(request("a.bin"));
  ItemId b = downloads.AddDownload(request("b.bin"));
  engine.reports[7] = Report{layout::kStateDownloading, "a.bin", 10, 5, 0.5f, 5};
  engine.reports[8] = Report{layout::kStateDownloading, "b.bin", 10, 5, 0.5f, 5};
  downloads.Tick(0);
  downloads.Pause({a});
  for (int64_t now = 1; now <= 5; ++now) downloads.Tick(now * 1000);
  EXPECT_EQ(progress[Raw(a)], 2);  // the first tick, and the one that saw the pause
  EXPECT_EQ(progress[Raw(b)], 6);
  EXPECT_EQ(TickDownloads(downloads, 6000).substr(0, 20),
            Utf8ToGbk("Tavrin提示您：[ 下载中 ]").substr(0, 20));
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
