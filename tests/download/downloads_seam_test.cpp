// One share driven through the downloads seam on each back-end, by the same loop: our engine
// here, and two real aria2c daemons followed from here. Each must tell the same story of each
// file in the same order (started, finished; a refused link asked for again, the file started
// anew under the fresh link, finished), hold every file whole, and total it the same way.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "aria2_daemon.h"
#include "base/encoding.h"
#include "download/download_engine.h"
#include "download/download_manager.h"
#include "download/remote_downloads.h"
#include "file_content.h"
#include "recording_resolve_view.h"
#include "sandbox.h"
#include "share/resolve_driver.h"
#include "share_simulator.h"
#include "text_helpers.h"

namespace sf {
namespace {

namespace fs = std::filesystem;
using Kind = DownloadEvent::Kind;

// The same files twice, so that each back-end meets its own first, refused link of c.bin.
constexpr const char* kShares = R"({"shares": [
  {"id": "here", "items": [{"name": "a.bin", "size": 300000, "fs_id": 8001},
    {"name": "d", "children": [{"name": "b.bin", "size": 200000, "fs_id": 8002}]},
    {"name": "c.bin", "size": 5000, "fs_id": 8003, "staleLinks": 1}]},
  {"id": "there", "items": [{"name": "a.bin", "size": 300000, "fs_id": 8001},
    {"name": "d", "children": [{"name": "b.bin", "size": 200000, "fs_id": 8002}]},
    {"name": "c.bin", "size": 5000, "fs_id": 8103, "staleLinks": 1}]}
]})";

DownloadEngine* Engine() {
  static EngineLoad load = [] {
    ::setenv("SHAREFETCH_RETRY_BASE_MS", "20", 1);
    return LoadEngineLibrary(SF_ENGINE_PATH);
  }();
  return load.engine.get();
}

class NoPrompts : public ResolvePrompts {
 public:
  std::string AskPassword() override { return {}; }
  std::string AskCaptcha(ShareSession&, int) override { return {}; }
};

class DownloadsSeam : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(simulator.StartFromText(kShares)) << simulator.error();
    session = std::make_unique<ShareSession>(simulator.Url(""));
    driver = std::make_unique<ResolveDriver>(*session, prompts, view);
  }

  // The share resolved as a front-end resolves it, with the renewer a front-end gives.
  ShareOrder Resolve(const std::string& id, const std::string& directory) {
    url = simulator.ShareUrl(id);
    EXPECT_EQ(driver->Run([&] { return url; }), 0);
    ShareOrder order;
    order.entries = driver->entries();
    for (size_t i = 0; i < order.entries.size(); ++i)
      if (order.entries[i].isdir != "1") order.chosen.push_back(i);
    order.directory = directory;
    order.renewer = std::make_shared<DriverRenewer>(*driver, *session, url);
    return order;
  }

  // One front-end's loop: wait on WakeFd until NextTickMs, then Tick, until all is over. Every
  // event a file hears goes into `heard`, by its path in the share as `pathOf` names it.
  ShareId Drive(Downloads& downloads, ShareOrder order,
                const std::function<std::string(ShareId, size_t)>& pathOf) {
    std::vector<DownloadEvent> events;
    downloads.Listen([&](const DownloadEvent& e) {
      if (e.kind != DownloadEvent::kProgress && e.kind != DownloadEvent::kShown)
        events.push_back(e);
    });
    const ShareId share = downloads.AddShare(std::move(order));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!downloads.Idle() && std::chrono::steady_clock::now() < until) {
      const int64_t now = Now();
      const int wait =
          static_cast<int>(std::clamp<int64_t>(downloads.NextTickMs(now) - now, 0, 250));
      pollfd p{downloads.WakeFd(), POLLIN, 0};
      if (p.fd >= 0 && ::poll(&p, 1, wait) == 1) {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t n = ::read(p.fd, &count, sizeof count);
      } else if (p.fd < 0) {
        ::usleep(static_cast<useconds_t>(wait) * 1000);
      }
      downloads.Tick(Now());
    }
    EXPECT_TRUE(downloads.Idle());
    for (const DownloadEvent& e : events) {
      EXPECT_EQ(e.share, share);
      EXPECT_NE(e.item, ItemId::kNone) << e.reason;
      if (e.kind == DownloadEvent::kFailed) ADD_FAILURE() << e.reason;
      heard[pathOf(e.share, e.file)].push_back(e.kind);
    }
    return share;
  }

  static int64_t Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  void ExpectWhole(const fs::path& base, const std::string& path, uint64_t fsId, uint64_t size) {
    EXPECT_EQ(test::FileSha256(base / path), sim::FileSha256Hex(fsId, size)) << base / path;
  }

  test::Sandbox sandbox;
  const fs::path root = sandbox.path();
  sim::ShareSimulator simulator;
  std::unique_ptr<ShareSession> session;
  NoPrompts prompts;
  test::RecordingView view;
  std::unique_ptr<ResolveDriver> driver;
  std::string url;
  std::map<std::string, std::vector<Kind>> heard;  // by path
};

TEST_F(DownloadsSeam, TheSameShareTellsTheSameStoryOnEitherBackEnd) {
  // One id source for both, as one program would have it: no two items share an id.
  auto ids = std::make_shared<IdSource>();
  const std::map<std::string, std::vector<Kind>> story = {
      {"a.bin", {Kind::kStarted, Kind::kFinished}},
      {"d/b.bin", {Kind::kStarted, Kind::kFinished}},
      {"c.bin", {Kind::kStarted, Kind::kNeedsLink, Kind::kStarted, Kind::kFinished}}};

  ASSERT_NE(Engine(), nullptr);
  DownloadManager here(*Engine(), ids);
  fs::create_directories(root / "here");
  Drive(here, Resolve("here", (root / "here").string()), [&](ShareId share, size_t file) {
    return here.Share(share)->Files().at(file).plan.sharePath;
  });
  EXPECT_EQ(heard, story);
  const DownloadTotals hereTotals = here.Totals();
  EXPECT_EQ(hereTotals.filesDone, 3);
  EXPECT_EQ(hereTotals.bytesDone, 505000);
  ExpectWhole(root / "here", "a.bin", 8001, 300000);
  ExpectWhole(root / "here", "d/b.bin", 8002, 200000);
  ExpectWhole(root / "here", "c.bin", 8003, 5000);

  heard.clear();
  test::Aria2Daemon one((root / "one").string(), "s1");
  test::Aria2Daemon two((root / "two").string(), "s2");
  ASSERT_TRUE(one.running() && two.running()) << one.error() << two.error();
  RemoteDownloads there({{one.Endpoint(), "s1"}, {two.Endpoint(), "s2"}}, ids);
  Drive(there, Resolve("there", ""), [&](ShareId share, size_t file) {
    return there.HandOff(share)->files.at(file).plan.sharePath;
  });
  // A downloader says, besides, that the file went back to it; the rest is the same story.
  std::map<std::string, std::vector<Kind>> told = heard;
  std::erase(told["c.bin"], Kind::kHandedBack);
  EXPECT_EQ(told, story);
  EXPECT_EQ(heard["c.bin"], (std::vector<Kind>{Kind::kStarted, Kind::kNeedsLink, Kind::kHandedBack,
                                               Kind::kStarted, Kind::kFinished}));
  const DownloadTotals thereTotals = there.Totals();
  EXPECT_EQ(thereTotals.filesDone, hereTotals.filesDone);
  EXPECT_EQ(thereTotals.bytesDone, hereTotals.bytesDone);

  // Spread by bytes: the largest to the first, the next two to the second; each item says where.
  std::map<std::string, std::string> where;
  for (const DownloadItem& item : there.Items()) {
    where[GbkToUtf8(item.Name())] = GbkToUtf8(item.where);
    EXPECT_EQ(here.Find(ItemId{item.id}), nullptr) << item.id;  // ids of one source
    EXPECT_EQ(item.status, DownloadStatus::kFinished);
  }
  EXPECT_EQ(where,
            (std::map<std::string, std::string>{
                {"a.bin", one.Endpoint()}, {"b.bin", two.Endpoint()}, {"c.bin", two.Endpoint()}}));
  ExpectWhole(root / "one", "a.bin", 8001, 300000);
  ExpectWhole(root / "two", "d/b.bin", 8002, 200000);
  ExpectWhole(root / "two", "c.bin", 8103, 5000);
}

}  // namespace
}  // namespace sf
