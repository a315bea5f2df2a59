// The download list's texts and its tick, over a queue on a recording engine.
#include "view/download_list.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "base/encoding.h"
#include "download/download_manager.h"
#include "engine_api/engine_api.h"
#include "recording_engine.h"
#include "text_helpers.h"
#include "view/download_tick.h"

namespace sf {
namespace {

using test::RecordingEngine;
using test::Report;

using test::G;

std::string Status(const char* state) {
  return G("Tavrin提示您：[ ") + G(state) + " ]";
}

DownloadItem Item(int32_t speed, float progress) {
  DownloadItem item;
  item.speed = speed;
  item.progress = progress;
  return item;
}

TEST(DownloadFormats, SizesSpeedsAndTotals) {
  EXPECT_EQ(SizeText(1073741824, SizeStyle::kWindow), "1.00GB");
  EXPECT_EQ(SizeText(1073741823, SizeStyle::kWindow), "1024.00MB");
  EXPECT_EQ(SizeText(1572864, SizeStyle::kWindow), "1.50MB");
  EXPECT_EQ(SizeText(3 << 20, SizeStyle::kWindow), "3.00MB");
  EXPECT_EQ(SizeText(int64_t{5} << 40, SizeStyle::kWindow), "5120.00GB");
  // A small file is never "0.00MB".
  EXPECT_EQ(SizeText(1048576, SizeStyle::kWindow), "1.00MB");
  EXPECT_EQ(SizeText(10240, SizeStyle::kWindow), "10.00KB");
  EXPECT_EQ(SizeText(1536, SizeStyle::kWindow), "1.50KB");
  EXPECT_EQ(SizeText(1024, SizeStyle::kWindow), "1.00KB");
  EXPECT_EQ(SizeText(1023, SizeStyle::kWindow), "1023B");
  EXPECT_EQ(SizeText(0, SizeStyle::kWindow), "0B");

  // A row's speed and the total use the same units and decimals.
  EXPECT_EQ(SpeedText(1048576), "1.00MB");
  EXPECT_EQ(SpeedText(1048575), "1023KB");
  EXPECT_EQ(SpeedText(1536), "1KB");
  EXPECT_EQ(SpeedText(0), "0KB");
  EXPECT_EQ(SpeedText(1960837), "1.87MB");
  EXPECT_EQ(TotalSpeedText({Item(1960837, 0)}), "1.87MB");
  EXPECT_EQ(TotalSpeedText({}), "0KB");
  EXPECT_EQ(TotalSpeedText({Item(1536, 0)}), "1KB");
  EXPECT_EQ(TotalSpeedText({Item(1048576, 0), Item(524288, 0), Item(0, 0)}), "1.50MB");
  EXPECT_EQ(TotalSpeedText({Item(1048576, 0), Item(10000, 0)}), "1.01MB");
  // Past what one int32 holds, summed over many downloads.
  EXPECT_EQ(TotalSpeedText({Item(INT32_MAX, 0), Item(INT32_MAX, 0)}), "4096.00MB");

  EXPECT_EQ(DurationText(7), "0:07");
  EXPECT_EQ(DurationText(83), "1:23");
  EXPECT_EQ(DurationText(3723), "1:02:03");
}

TEST(DownloadFormats, OverallProgressIsTheMeanOfTheRows) {
  EXPECT_EQ(OverallProgress({}), 0.0f);
  EXPECT_EQ(OverallProgress({Item(0, 0.5f), Item(0, 1.0f)}), 75.0f);
  EXPECT_EQ(OverallProgress({Item(0, 0.5f), Item(0, 1.0f), Item(0, 0)}), 50.0f);
  EXPECT_FLOAT_EQ(OverallProgress({Item(0, 0.5f), Item(0, 1.0f), Item(0, 0.0001f)}), 50.0f);
  EXPECT_FLOAT_EQ(OverallProgress({Item(0, 0.5f), Item(0, 1.0f), Item(0, 0.01f)}), 50.33f);
}

// The bar kept by change agrees with the bar made from the whole list at each step: items
// moving, a finished one leaving (still counted whole), a deleted one leaving the sum.
TEST(DownloadFormats, OverallBarKeptByChangeMatchesTheWholeList) {
  std::vector<DownloadItem> items(3);
  for (int i = 0; i < 3; ++i) {
    items[i].id = i + 1;
    items[i].size = 1000 * (i + 1);
  }
  BatchProgress whole, kept;
  auto step = [&] {
    whole.See(items);
    return whole.Percent();
  };
  kept.See(items);
  EXPECT_EQ(kept.Percent(), step());
  items[1].done = 1500;
  kept.See(items[1]);
  EXPECT_EQ(kept.Percent(), step());
  EXPECT_EQ(kept.Percent(), 25);  // 1500 of 6000
  items[0].status = DownloadStatus::kFinished;
  items[0].done = 400;  // a finished file counts whole, whatever was last reported
  kept.See(items[0]);
  EXPECT_EQ(kept.Percent(), step());
  items.erase(items.begin());
  kept.Left(1);
  EXPECT_EQ(kept.Percent(), step());
  EXPECT_EQ(kept.Percent(), 41);  // 2500 of 6000
  items.pop_back();               // deleted unfinished: its bytes leave the sum
  kept.Left(3);
  EXPECT_EQ(kept.Percent(), step());
  EXPECT_EQ(kept.Percent(), 83);  // 2500 of 3000
  kept.See(std::vector<DownloadItem>{});
  EXPECT_EQ(kept.Percent(), 0);
}

TEST(DownloadRows, EachStatusReadsAsItShould) {
  DownloadItem item;
  item.request = {G("报告.pdf"), "http://h/1", "/d", "", "", 2048};
  auto queued = RowTexts(item);
  EXPECT_EQ(queued.columns,
            (std::array<std::string, 5>{G("报告.pdf"), "2.00KB", "", G("等待中"), ""}));

  item.status = DownloadStatus::kDownloading;
  item.engineState = layout::kStateDownloading;
  item.savedName = G("报告 (1).pdf");
  item.size = 1073741824;
  item.done = 536870912;
  item.progress = 0.5f;
  item.speed = 1048576;
  item.etaSeconds = 512;
  auto running = RowTexts(item);
  EXPECT_EQ(running.columns, (std::array<std::string, 5>{G("报告 (1).pdf"), "1.00GB", "512.00MB",
                                                         "1.00MB", "50.00%"}));
  EXPECT_EQ(running.toolTip, G("剩余时间 8:32\n已下载 536870912 / 1073741824 字节"));

  item.status = DownloadStatus::kFailed;
  item.failureCode = ECONNREFUSED;
  auto failed = RowTexts(item);
  EXPECT_TRUE(failed.failed);
  EXPECT_EQ(failed.columns[kColumnSpeed], G("失败"));
  EXPECT_EQ(failed.columns[kColumnProgress], G("连接被拒绝"));
  EXPECT_EQ(failed.toolTip, G("失败：连接被拒绝\n已下载 536870912 / 1073741824 字节"));
  EXPECT_EQ(failed.columns[kColumnDownloaded], "512.00MB");
}

class DownloadTickTest : public ::testing::Test {
 protected:
  RecordingEngine engine;
  DownloadManager downloads{engine};
  const DownloadQueue& queue = downloads.queue();
  int Add(const char* name) {
    return downloads.Add({G(name), std::string("http://h/") + name, "/nonexistent/dl", "", "", -1});
  }
};

TEST_F(DownloadTickTest, TheLastItemsStateIsShownAndAnEndedOneEndsTheWalk) {
  int a = Add("a"), b = Add("b");
  engine.reports[7] = {layout::kStateDownloading, G("a"), 1000000, 500000, 0.5f, 1048576};
  engine.reports[8] = {layout::kStateRequesting, G("b"), 0, 0, 0.0f, 0};
  EXPECT_EQ(TickDownloads(downloads, 0), Status("正在发送请求"));
  engine.reports[8] = {layout::kStatePaused, G("b"), 0, 0, 0.0f, 0};
  EXPECT_EQ(TickDownloads(downloads, 1000), Status("已暂停"));
  engine.reports[8] = {layout::kStateEndingRequest, G("b"), 0, 0, 0.0f, 0};
  EXPECT_EQ(TickDownloads(downloads, 2000), Status("结束请求"));
  downloads.Pause({ItemId{b}});
  // The downloading text counts every item; the time left follows, for the whole list.
  EXPECT_EQ(TickDownloads(downloads, 3000), Status("已暂停") + G("  剩余时间 0:01"));
  downloads.Resume({ItemId{b}});
  engine.reports[8] = {layout::kStateDownloading, G("b"), 2000000, 0, 0.0f, 524288};
  EXPECT_EQ(TickDownloads(downloads, 4000),
            G("Tavrin提示您：[ 下载中 ]             当前下载速度：1.50MB  总下载进度:25%  剩余时间 "
              "0:02"));

  // The failed one stays, with its reason; the walk ends there. From then on the text counts it.
  engine.reports[7] = {layout::kStateFailed, G("a"), 1000000, 500000, 0.5f, 0, 111};
  EXPECT_EQ(TickDownloads(downloads, 5000),
            G("Tavrin提示您：[ 下载失败：连接被拒绝 ]  1 个下载失败  剩余时间 0:04"));
  EXPECT_EQ(queue.Find(a)->status, DownloadStatus::kFailed);
  EXPECT_NE(TickDownloads(downloads, 6000).find(G("[ 下载中 ]")), std::string::npos);

  // A finished one leaves the queue, and the engine forgets it (its file stays).
  engine.reports[8] = {layout::kStateFinished, G("b"), 2000000, 2000000, 1.0f, 0};
  // Nothing runs any more: no time left.
  EXPECT_EQ(TickDownloads(downloads, 7000), Status("下载完毕") + G("  1 个下载失败"));
  EXPECT_EQ(queue.Find(b), nullptr);
  EXPECT_EQ(engine.deleted, (std::vector<std::pair<int32_t, int32_t>>{{8, 0}}));
  EXPECT_EQ(TickDownloads(downloads, 8000), "");  // only a failed one is left: nothing to say

  int c = Add("c");
  engine.reports[9] = {layout::kStateFinished, G("c"), 5, 5, 1.0f, 0};
  engine.reports[9].alreadyComplete = true;
  EXPECT_EQ(TickDownloads(downloads, 9000),
            G("Tavrin提示您：[ 文件已经下载完毕，没有重新下载 ] c  1 个下载失败"));
  EXPECT_EQ(queue.Find(c), nullptr);
  EXPECT_EQ(OverallProgress(queue.Items()), 50.0f);
  downloads.Cancel({ItemId{a}}, false);
  EXPECT_EQ(OverallProgress(queue.Items()), 0.0f);
}

// A queue of many files: one finishing while the others run or wait is no "下载完毕"; that
// shows once the last of them is done.
TEST_F(DownloadTickTest, DoneShowsOnlyOnceNothingWaitsOrRuns) {
  downloads.SetJobs(1);
  int a = Add("a"), b = Add("b"), c = Add("c");
  engine.reports[7] = {layout::kStateDownloading, G("a"), 1000, 500, 0.5f, 2048};
  EXPECT_NE(TickDownloads(downloads, 0).find(G("[ 下载中 ]")), std::string::npos);
  engine.reports[7] = {layout::kStateFinished, G("a"), 1000, 1000, 1.0f, 0};
  // b and c wait: b starts, but has not reported yet.
  std::string text = TickDownloads(downloads, 1000);
  EXPECT_EQ(text.find(G("下载完毕")), std::string::npos) << text;
  EXPECT_NE(text.find(G("[ 下载中 ]")), std::string::npos) << text;
  EXPECT_EQ(queue.Find(a), nullptr);
  engine.reports[8] = {layout::kStateFinished, G("b"), 10, 10, 1.0f, 0};
  TickDownloads(downloads, 2000);
  engine.reports[9] = {layout::kStateRequesting, G("c"), 0, 0, 0.0f, 0};
  EXPECT_EQ(TickDownloads(downloads, 3000), Status("正在发送请求"));
  EXPECT_EQ(queue.Find(b), nullptr);
  engine.reports[9] = {layout::kStateFinished, G("c"), 10, 10, 1.0f, 0};
  EXPECT_EQ(TickDownloads(downloads, 4000), Status("下载完毕"));
  EXPECT_EQ(queue.Find(c), nullptr);
}

TEST(SpeedLimit, CheckBoxAndValue) {
  RecordingEngine engine;
  DownloadManager downloads(engine);
  EXPECT_EQ(ApplySpeedLimit(downloads, false, "300"), SpeedLimitResult::kApplied);
  EXPECT_EQ(ApplySpeedLimit(downloads, true, ""), SpeedLimitResult::kValueMissing);
  EXPECT_EQ(ApplySpeedLimit(downloads, true, "abc"), SpeedLimitResult::kApplied);
  EXPECT_EQ(ApplySpeedLimit(downloads, true, "512"), SpeedLimitResult::kApplied);
  EXPECT_EQ(ApplySpeedLimit(downloads, true, "64kb"), SpeedLimitResult::kApplied);
  EXPECT_EQ(engine.limits, (std::vector<int32_t>{1410065407, 0, 512, 64}));
}

}  // namespace
}  // namespace sf
