// A share downloaded while its links still come, as the window and `get` both do it.
#include "download/share_stream.h"

#include <gtest/gtest.h>

#include "base/encoding.h"
#include "download/download_manager.h"
#include "engine_api/engine_api.h"
#include "held_renewer.h"
#include "recording_engine.h"
#include "sandbox.h"
#include "wait_until.h"

namespace sf {
namespace {

using test::RecordingEngine;
using test::Report;

FileEntry File(const std::string& name, const std::string& size) {
  return test::ShareFileEntry(name, size);
}

using AskedRenewer = test::HeldRenewer;

class ShareStreamTest : public ::testing::Test {
 protected:
  // The engine's task for `handle` ends refused by the server, and the owner hears of it.
  void Refuse(DownloadManager& downloads, RecordingEngine& engine, int32_t handle,
              const std::string& name) {
    engine.reports[handle] = Report{layout::kStateFailed, name, 0, 0, 0.0f, 0, 403};
    downloads.Tick(now += 1000);
    engine.reports.erase(handle);
  }

  test::Sandbox sandbox;
  const std::string dir = sandbox.str();
  int64_t now = 0;
  const std::vector<FileEntry> listing = {File("a.bin", "10"), File("b.bin", "20"),
                                          File("c.bin", "30"), File("d.bin", "40")};
};

// The window's way first: 全部下载 pressed twice while the parse runs, on a listing the stream
// keeps (the caller's copy never holds a link). Then `get`'s: the driver's entries lent, the
// stream given up by Ctrl-C, and one whose resolution ended before any link came.
TEST_F(ShareStreamTest, SharesOpenedWhileLinksComeTakeEachLinkAndRenewOnlyAfterTheEnd) {
  RecordingEngine engine;
  DownloadManager downloads(engine);
  auto renewer = std::make_shared<AskedRenewer>();
  ShareStream stream(downloads, renewer);
  stream.KeepListing(listing);
  auto first = stream.Open({0, 1}, dir);
  stream.Link(0, "http://h/a");
  stream.Link(2, "http://h/c");  // no file opened so far waits for it
  // A later share leaves out what the first holds, and starts c.bin with the link that came.
  auto second = stream.Open({0, 1, 2, 3}, dir);
  const std::vector<ShareFile>& later = downloads.Share(second)->Files();
  ASSERT_EQ(later.size(), 2u);
  stream.Link(1, "http://h/b");
  ASSERT_EQ(engine.created.size(), 3u);
  EXPECT_EQ(engine.created[0].url, "http://h/a");
  EXPECT_EQ(engine.created[1].url, "http://h/c");
  EXPECT_EQ(engine.created[1].fileName, "c.bin");
  EXPECT_EQ(engine.created[2].url, "http://h/b");

  // Refused while links are still asked for: c.bin, then a.bin. Neither is asked before the end.
  Refuse(downloads, engine, 8, "c.bin");
  Refuse(downloads, engine, 7, "a.bin");
  EXPECT_TRUE(renewer->asked.empty());
  stream.End(ShareSource{"http://share/s/1", "ab12"});
  EXPECT_EQ(renewer->asked, (std::vector<std::string>{"c.bin", "a.bin"}));
  EXPECT_EQ(later[1].problem, "the share gave no link for it");  // d.bin
  const ShareSource* source = downloads.SourceOf(downloads.Share(first)->Files()[1].item);
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->code, "ab12");
  renewer->answers[0]("http://h/c2", {});
  ASSERT_EQ(engine.created.size(), 4u);
  EXPECT_EQ(engine.created[3].url, "http://h/c2");
  Refuse(downloads, engine, 9, "b.bin");  // asked at once now
  EXPECT_EQ(renewer->asked.back(), "b.bin");

  // Given up: the file without a link and the one whose renewal is held stay unfinished.
  RecordingEngine other;
  DownloadManager terminal(other);
  auto held = std::make_shared<AskedRenewer>();
  std::vector<FileEntry> entries = listing;  // the driver's, its links written in as they come
  {
    ShareStream given(terminal, held);
    given.LendListing(entries);
    auto share = given.Open({0, 1}, dir);
    entries[0].dlink = "http://h/a";
    given.Link(0, entries[0].dlink);
    Refuse(terminal, other, 7, "a.bin");
    EXPECT_EQ(terminal.Share(share)->Files()[1].status, ShareFileStatus::kAwaitingLink);
  }
  EXPECT_TRUE(held->asked.empty());
  EXPECT_FALSE(terminal.Idle());
  // Ended before it opened anything: every file is queued at once under its link.
  ShareStream ended(terminal, held);
  entries[3].dlink = "http://h/d";
  ended.LendListing(entries);
  ended.End();
  ended.Open({3}, dir);
  ASSERT_EQ(other.created.size(), 2u);
  EXPECT_EQ(other.created[1].url, "http://h/d");

  // The window's listing once its parse ended, shared: a share of many files is planned aside
  // on it, not on a copy, and lets it go once its plan is in.
  terminal.SetPlanAsideFrom(1);
  auto parsed = std::make_shared<const std::vector<FileEntry>>(entries);
  ShareStream window(terminal, held);
  window.ShareListing(parsed);
  window.End();
  window.Open({0, 3}, dir + "/again");
  EXPECT_EQ(parsed.use_count(), 3);  // here, the stream and the plan
  ASSERT_TRUE(test::WaitUntil([&] {
    terminal.Tick(now += 10);
    return !terminal.Planning();
  }));
  EXPECT_EQ(parsed.use_count(), 2);
  ASSERT_EQ(other.created.size(), 4u);
  EXPECT_EQ(other.created[2].url, "http://h/a");
  EXPECT_EQ(other.created[3].url, "http://h/d");
  EXPECT_EQ(other.created[3].fileName, "d.bin");
}

}  // namespace
}  // namespace sf
