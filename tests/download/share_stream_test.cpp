// A share downloaded while its links still come, as the window and `get` both do it: shares
// opened on the growing listing, each file started as its link comes, a later share getting the
// links that came before it, refused links renewed only once the resolution ended and then in
// the order they were refused, and a stream given up leaving its files unfinished.
#include "download/share_stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "base/encoding.h"
#include "engine_api/engine_api.h"
#include "recording_engine.h"

namespace sf {
namespace {

using test::RecordingEngine;
using test::Report;

FileEntry File(const std::string& name, const std::string& size) {
  FileEntry e;
  e.isdir = "0";
  e.server_filename = Utf8ToGbk(name);
  e.size = size;
  return e;
}

// Keeps each question, to be answered when the test says.
class AskedRenewer : public LinkRenewer {
 public:
  void Renew(const FileEntry& entry, Answer done) override {
    asked.push_back(GbkToUtf8(entry.server_filename));
    answers.push_back(std::move(done));
  }
  std::vector<std::string> asked;
  std::vector<Answer> answers;
};

class ShareStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/sf-stream-XXXXXX";
    ASSERT_NE(::mkdtemp(path), nullptr);
    dir = path;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  // The engine's task for `handle` ends refused by the server, and the owner hears of it.
  void Refuse(DownloadManager& downloads, RecordingEngine& engine, int32_t handle,
              const std::string& name) {
    engine.reports[handle] = Report{layout::kStateFailed, name, 0, 0, 0.0f, 0, 403};
    downloads.Tick(now += 1000);
    engine.reports.erase(handle);
  }

  std::string dir;
  int64_t now = 0;
  const std::vector<FileEntry> listing = {File("a.bin", "10"), File("b.bin", "20"),
                                          File("c.bin", "30"), File("d.bin", "40")};
};

// The window's way: 下载所选 and then 全部下载 pressed while the parse runs, on a listing the
// stream keeps (the caller's copy never holds a link).
TEST_F(ShareStreamTest, SharesOpenedWhileLinksComeTakeEachLinkAndRenewOnlyAfterTheEnd) {
  RecordingEngine engine;
  DownloadManager downloads(engine);
  auto renewer = std::make_shared<AskedRenewer>();
  ShareStream stream(downloads, renewer);
  EXPECT_EQ(stream.Open({0}, dir), ShareStream::ShareId{});  // nothing listed yet
  stream.KeepListing(listing);

  auto first = stream.Open({0, 1}, dir);
  EXPECT_TRUE(engine.created.empty());
  stream.Link(0, "http://h/a");
  stream.Link(2, "http://h/c");  // no file opened so far waits for it
  ASSERT_EQ(engine.created.size(), 1u);
  EXPECT_EQ(engine.created[0].url, "http://h/a");

  // A later share leaves out what the first holds, and starts c.bin with the link that came.
  auto second = stream.Open({0, 1, 2, 3}, dir);
  const std::vector<ShareFile>& later = downloads.Share(second)->Files();
  ASSERT_EQ(later.size(), 2u);
  EXPECT_EQ(later[0].plan.name, "c.bin");
  EXPECT_EQ(later[1].plan.name, "d.bin");
  ASSERT_EQ(engine.created.size(), 2u);
  EXPECT_EQ(engine.created[1].fileName, "c.bin");
  EXPECT_EQ(engine.created[1].url, "http://h/c");
  stream.Link(1, "http://h/b");
  ASSERT_EQ(engine.created.size(), 3u);
  EXPECT_EQ(engine.created[2].url, "http://h/b");

  // Refused while links are still asked for: c.bin, then a.bin. Neither is asked yet.
  Refuse(downloads, engine, 8, "c.bin");
  Refuse(downloads, engine, 7, "a.bin");
  EXPECT_TRUE(renewer->asked.empty());
  EXPECT_EQ(later[0].status, ShareFileStatus::kRenewing);
  EXPECT_FALSE(downloads.Share(first)->Ended());

  stream.End(ShareSource{"http://share/s/1", "ab12"});
  EXPECT_EQ(renewer->asked, (std::vector<std::string>{"c.bin", "a.bin"}));
  EXPECT_EQ(later[1].status, ShareFileStatus::kFailed);
  EXPECT_EQ(later[1].problem, "the share gave no link for it");
  const ShareSource* source = downloads.SourceOf(downloads.Share(first)->Files()[1].item);
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->url, "http://share/s/1");
  EXPECT_EQ(source->code, "ab12");

  // The answers go on from the bytes on disk; a refusal from now on is asked at once.
  renewer->answers[0]("http://h/c2", {});
  ASSERT_EQ(engine.created.size(), 4u);
  EXPECT_EQ(engine.created[3].url, "http://h/c2");
  EXPECT_EQ(engine.created[3].fileName, "c.bin");
  Refuse(downloads, engine, 9, "b.bin");
  EXPECT_EQ(renewer->asked, (std::vector<std::string>{"c.bin", "a.bin", "b.bin"}));
}

// `get`'s way: the driver's own entries lent, one share opened before the first link. Ctrl-C
// gives the stream up: the file without a link and the one whose renewal was held stay
// unfinished, and the share is asked nothing. A share whose resolution ended before any link
// came is queued whole at once.
TEST_F(ShareStreamTest, AStreamGivenUpLeavesItsFilesUnfinishedAndOneEndedFirstQueuesAll) {
  RecordingEngine engine;
  DownloadManager downloads(engine);
  auto renewer = std::make_shared<AskedRenewer>();
  std::vector<FileEntry> entries = listing;
  {
    ShareStream stream(downloads, renewer);
    stream.LendListing(entries);
    auto share = stream.Open({0, 1}, dir);
    entries[0].dlink = "http://h/a";
    stream.Link(0, entries[0].dlink);
    ASSERT_EQ(engine.created.size(), 1u);
    Refuse(downloads, engine, 7, "a.bin");
    const std::vector<ShareFile>& files = downloads.Share(share)->Files();
    EXPECT_EQ(files[0].status, ShareFileStatus::kRenewing);
    EXPECT_EQ(files[1].status, ShareFileStatus::kAwaitingLink);
  }
  EXPECT_TRUE(renewer->asked.empty());
  EXPECT_FALSE(downloads.Idle());

  RecordingEngine other;
  DownloadManager later(other);
  auto renewerLater = std::make_shared<AskedRenewer>();
  ShareStream ended(later, renewerLater);
  for (size_t i = 0; i < entries.size(); ++i) entries[i].dlink = "http://h/" + std::to_string(i);
  ended.LendListing(entries);
  ended.End();
  auto whole = ended.Open({2, 3}, dir);
  ASSERT_EQ(other.created.size(), 2u);
  EXPECT_EQ(other.created[0].url, "http://h/2");
  EXPECT_EQ(other.created[1].url, "http://h/3");
  EXPECT_TRUE(ended.shares().empty());  // nothing left to close
  Refuse(later, other, 7, "c.bin");
  EXPECT_EQ(renewerLater->asked, std::vector<std::string>{"c.bin"});
  EXPECT_FALSE(later.Share(whole)->Ended());
}

}  // namespace
}  // namespace sf
