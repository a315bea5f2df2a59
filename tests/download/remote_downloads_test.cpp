// The remote back-end against a scripted downloader on aria2's JSON-RPC: aria2's states become
// the items' statuses and the download list's rows (the same row texts as a download here, with
// the downloader named), a refused link waits for its renewer without holding the owner up and
// goes back to the downloader, and a file that is complete there only in aria2's words fails.
#include "download/remote_downloads.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "base/timestamp.h"
#include "download/share_stream.h"
#include "held_renewer.h"
#include "raw_http_server.h"
#include "text_helpers.h"
#include "view/download_list.h"

namespace sf {
namespace {

using Json = nlohmann::json;
using test::G;

// Holds nothing at first, takes each download as "g-N" (N the link's last part, numbered again
// on each hand-back) and says of each gid what the test set.
class ScriptedDownloader {
 public:
  void Set(const std::string& gid, Json status) {
    std::lock_guard<std::mutex> lock(mutex_);
    statuses_[gid] = std::move(status);
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::string Url() const { return server_.Url("/jsonrpc"); }

 private:
  test::RawResponse Serve(const test::RawRequest& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    Json request = Json::parse(r.body);
    Json result = Json::object();
    calls_.push_back(request["method"]);
    if (request["method"] == "aria2.removeDownloadResult") result = "OK";
    if (request["method"] == "system.multicall") {
      result = Json::array();
      for (const Json& call : request["params"][0]) {
        const Json& p = call["params"];
        calls_.push_back(call["methodName"]);
        Json one = Json::array();
        if (call["methodName"] == "aria2.addUri") {
          std::string link = p[p.size() - 2][0];
          one = "g-" + link.substr(link.rfind('/') + 1);
        }
        if (call["methodName"] == "aria2.tellStatus") {
          auto at = statuses_.find(p[p.size() - 2]);
          one = at == statuses_.end() ? Json{{"status", "waiting"}} : at->second;
        }
        result.push_back(Json::array({one}));
      }
    }
    Json reply = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", result}};
    return test::RawHttpServer::Reply(200, "OK", {}, reply.dump());
  }

  std::mutex mutex_;
  std::map<std::string, Json> statuses_;
  std::vector<std::string> calls_;
  test::RawHttpServer server_{[this](const test::RawRequest& r) { return Serve(r); }};
};

using test::HeldRenewer;

FileEntry File(const std::string& name, int n) {
  FileEntry e;
  e.isdir = "0";
  e.server_filename = name;
  e.size = "1000";
  e.dlink = "http://files.example/" + std::to_string(n);
  return e;
}

// Ticks as a front-end's loop does until `done` holds; false when it never does.
bool TickUntil(RemoteDownloads& remote, const std::function<bool()>& done) {
  const int64_t until = NowMs() + 20000;
  while (!done() && NowMs() < until) {
    pollfd p{remote.WakeFd(), POLLIN, 0};
    ::poll(&p, 1,
           static_cast<int>(std::clamp<int64_t>(remote.NextTickMs(NowMs()) - NowMs(), 0, 100)));
    remote.Tick(NowMs());
  }
  return done();
}

TEST(RemoteDownloads, AriasStatesBecomeItemsAndRowsAndARefusedLinkGoesBack) {
  ScriptedDownloader aria2;
  aria2.Set("g-0", {{"status", "active"},
                    {"totalLength", "1000"},
                    {"completedLength", "250"},
                    {"downloadSpeed", "100"}});
  aria2.Set("g-1", {{"status", "paused"}, {"totalLength", "1000"}, {"completedLength", "10"}});
  aria2.Set("g-2", {{"status", "error"},
                    {"errorCode", "22"},
                    {"errorMessage", "The response status is not successful. status=403"}});
  auto renewer = std::make_shared<HeldRenewer>();
  RemoteDownloads remote({{aria2.Url(), ""}});
  std::map<std::string, std::vector<DownloadEvent::Kind>> heard;
  remote.Listen([&](const DownloadEvent& e) {
    if (e.kind == DownloadEvent::kProgress) return;
    heard[GbkToUtf8(remote.Find(e.item)->Name())].push_back(e.kind);
  });
  ShareOrder order;
  order.entries = {File("a.bin", 0), File("b.bin", 1), File("c.bin", 2)};
  order.chosen = {0, 1, 2};
  order.directory = "/far";
  order.renewer = renewer;
  const ShareId share = remote.AddShare(std::move(order));
  EXPECT_TRUE(remote.HandingOff());
  ASSERT_TRUE(TickUntil(remote, [&] { return !renewer->asked.empty(); }));
  ASSERT_NE(remote.HandOff(share), nullptr);
  ASSERT_EQ(remote.Items().size(), 3u);

  const std::string where = G("远程：") + ShownEndpoint(aria2.Url());
  const DownloadItem& a = remote.Items()[0];
  const DownloadItem& b = remote.Items()[1];
  const DownloadItem& c = remote.Items()[2];
  EXPECT_EQ(a.status, DownloadStatus::kDownloading);
  EXPECT_EQ(b.status, DownloadStatus::kPaused);
  EXPECT_TRUE(c.renewing);
  DownloadRowTexts row = RowTexts(a);
  EXPECT_EQ(row.columns,
            (std::array<std::string, kDownloadColumns>{"a.bin", "1000B", "250B", "0KB", "25.00%"}));
  EXPECT_EQ(row.toolTip, where + G("\n剩余时间 0:07\n已下载 250 / 1000 字节"));
  EXPECT_EQ(RowTexts(b).columns[kColumnSpeed], G("已暂停"));
  row = RowTexts(c);
  EXPECT_EQ(row.columns[kColumnSpeed], G("等待中"));
  EXPECT_EQ(row.toolTip, where + G("\n正在获取新的下载链接\n已下载 0 / 1000 字节"));
  // The started ones are what a live display shows.
  EXPECT_EQ(remote.Started(), (std::vector<ItemId>{ItemId{a.id}, ItemId{b.id}}));

  // aria2 calls a.bin complete at 300 bytes: it is not. c.bin's fresh link goes back to it, as a
  // new download of the same path that completes.
  aria2.Set("g-0", {{"status", "complete"}, {"totalLength", "0"}, {"completedLength", "300"}});
  aria2.Set("g-2b", {{"status", "complete"}, {"totalLength", "1000"}, {"completedLength", "1000"}});
  renewer->answers[0]("http://files.example/2b", {});
  ASSERT_TRUE(TickUntil(remote, [&] { return a.Ended() && c.Ended(); }));
  EXPECT_EQ(a.status, DownloadStatus::kFailed);
  row = RowTexts(a);
  EXPECT_TRUE(row.failed);
  EXPECT_EQ(row.columns[kColumnSpeed], G("失败"));
  EXPECT_EQ(row.columns[kColumnProgress], "ended with 300 of 1000 bytes");
  EXPECT_EQ(row.toolTip, where + G("\n失败：ended with 300 of 1000 bytes\n已下载 300 / 1000 字节"));
  EXPECT_EQ(c.status, DownloadStatus::kFinished);
  EXPECT_EQ(RowTexts(c).columns[kColumnSpeed], G("已完成"));
  EXPECT_EQ(RowTexts(c).columns[kColumnProgress], "100.00%");
  EXPECT_EQ(remote.Followed(ItemId{c.id})->gid, "g-2b");
  std::vector<std::string> calls = aria2.Calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "aria2.removeDownloadResult"), calls.end());
  using K = DownloadEvent;
  EXPECT_EQ(heard["c.bin"], (std::vector<K::Kind>{K::kStarted, K::kNeedsLink, K::kHandedBack,
                                                  K::kStarted, K::kFinished}));
  EXPECT_EQ(heard["a.bin"], (std::vector<K::Kind>{K::kStarted, K::kFailed}));
  // Totals as a queue sums them: one file done, its bytes and those of the others.
  DownloadTotals totals = remote.Totals();
  EXPECT_EQ(totals.files, 3);
  EXPECT_EQ(totals.filesDone, 1);
  EXPECT_EQ(totals.bytesDone, 1000 + 300 + 10);
  EXPECT_FALSE(remote.Idle());  // b.bin is still paused there
  const ItemId finished{c.id}, failed{a.id};
  remote.ReleaseFinished();
  EXPECT_EQ(remote.Find(finished), nullptr);
  EXPECT_NE(remote.Find(failed), nullptr);
  // The user lets the failed one go: it leaves the list and is followed no more.
  EXPECT_EQ(remote.Cancel({failed}, false), 1);
  EXPECT_EQ(remote.Find(failed), nullptr);
  EXPECT_EQ(remote.Followed(failed), nullptr);
  ASSERT_EQ(remote.Items().size(), 1u);
  EXPECT_EQ(remote.Items()[0].Name(), "b.bin");
  // The paused one goes too when asked, its download dropped over there.
  EXPECT_EQ(remote.Cancel({ItemId{b.id}}, false), 1);
  EXPECT_TRUE(remote.Items().empty());
}

// A share streamed while its links still come reaches a downloader through the same seam: the
// links gather in the open share, and the share goes over, whole, once the resolution ends.
TEST(RemoteDownloads, AStreamedShareGoesOverWithItsLinksWhenTheResolutionEnds) {
  ScriptedDownloader aria2;
  aria2.Set("g-0", {{"status", "active"}, {"totalLength", "1000"}, {"completedLength", "1"}});
  RemoteDownloads remote({{aria2.Url(), ""}});
  std::vector<DownloadEvent::Kind> heard;
  remote.Listen([&](const DownloadEvent& e) {
    if (e.kind != DownloadEvent::kProgress) heard.push_back(e.kind);
  });
  ShareStream stream(remote, std::make_shared<HeldRenewer>());
  std::vector<FileEntry> listing = {File("a.bin", 0), File("b.bin", 1), File("c.bin", 2)};
  for (FileEntry& e : listing) e.dlink.clear();
  stream.KeepListing(std::move(listing));

  const ShareId share = stream.Open({0, 1}, "/far");
  ASSERT_NE(share, ShareId::kNone);
  stream.Link(0, "http://files.example/0");
  stream.Link(1, "http://files.example/1");
  stream.Link(2, "http://files.example/2");  // not chosen: it stays here
  remote.Tick(NowMs());
  EXPECT_FALSE(remote.HandingOff());
  EXPECT_TRUE(remote.Items().empty());

  stream.End(ShareSource{"https://share.example/s/1", "abcd"});
  EXPECT_TRUE(remote.HandingOff());
  ASSERT_TRUE(TickUntil(remote, [&] { return remote.HandOff(share) != nullptr; }));
  ASSERT_EQ(remote.Items().size(), 2u);
  EXPECT_EQ(remote.Items()[0].Name(), "a.bin");
  EXPECT_EQ(remote.Items()[1].Name(), "b.bin");
  ASSERT_TRUE(
      TickUntil(remote, [&] { return remote.Items()[0].status == DownloadStatus::kDownloading; }));
  std::vector<std::string> calls = aria2.Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "aria2.addUri"), 2);
  EXPECT_EQ(heard,
            (std::vector<DownloadEvent::Kind>{DownloadEvent::kStarted, DownloadEvent::kStarted}));

  // A listing shared once its resolution ended goes over whole too, from a copy of its own.
  auto parsed = std::make_shared<const std::vector<FileEntry>>(
      std::vector<FileEntry>{File("d.bin", 3), File("e.bin", 4)});
  ShareStream later(remote, std::make_shared<HeldRenewer>());
  later.ShareListing(parsed);
  later.End();
  const ShareId whole = later.Open({1}, "/far");
  EXPECT_EQ(parsed.use_count(), 2);
  ASSERT_TRUE(TickUntil(remote, [&] { return remote.HandOff(whole) != nullptr; }));
  ASSERT_EQ(remote.Items().size(), 3u);
  EXPECT_EQ(remote.Items()[2].Name(), "e.bin");
}

// A share whose links still come goes over once it is closed, with the links it was given; a
// file whose link never came fails without an item, saying why.
TEST(RemoteDownloads, AnOpenShareGoesOverWhenItIsClosed) {
  ScriptedDownloader aria2;
  RemoteDownloads remote({{aria2.Url(), ""}});
  std::vector<DownloadEvent> failed;
  remote.Listen([&](const DownloadEvent& e) {
    if (e.kind == DownloadEvent::kFailed) failed.push_back(e);
  });
  ShareOrder order;
  order.entries = {File("a.bin", 0), File("b.bin", 1)};
  for (FileEntry& e : order.entries) e.dlink.clear();
  order.chosen = {0, 1};
  order.directory = "/far";
  order.open = true;
  const ShareId share = remote.AddShare(std::move(order));
  remote.AddLink(share, 0, "http://files.example/0");
  EXPECT_FALSE(remote.HandingOff());
  EXPECT_FALSE(remote.Idle());
  remote.CloseShare(share);
  ASSERT_TRUE(TickUntil(remote, [&] { return remote.HandOff(share) != nullptr; }));
  const SpreadHandOff& handOff = *remote.HandOff(share);
  ASSERT_EQ(handOff.files.size(), 2u);
  EXPECT_EQ(handOff.files[0].outcome.gid, "g-0");
  EXPECT_FALSE(handOff.files[1].accepted());
  ASSERT_EQ(remote.Items().size(), 1u);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].item, ItemId::kNone);
  EXPECT_EQ(failed[0].file, 1u);
  EXPECT_EQ(failed[0].reason, "the share gave no link for it");
}

}  // namespace
}  // namespace sf
