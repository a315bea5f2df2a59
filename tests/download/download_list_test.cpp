// The download list's logic against a recording engine and a list held in memory.
#include "download/download_list.h"

#include <gtest/gtest.h>

#include "base/encoding.h"
#include "download/download_engine.h"
#include "download/engine_api.h"
#include "recording_engine.h"

namespace sf {
namespace {

using test::Created;
using test::RecordingEngine;
using test::Report;

std::string G(const char* utf8) {
  return Utf8ToGbk(utf8);
}

std::string Status(const char* state) {
  return G("Tavrin提示您：[ ") + G(state) + " ]";
}

class ListInMemory : public DownloadsView {
 public:
  std::vector<std::vector<std::string>> rows;
  std::string saveDirectory = "/data/dl";
  std::vector<std::string> statuses;
  int progress = -1;
  int timerPeriod = 0;
  int timerStarts = 0;

  void AddRow(const std::string& name, const std::string& speedBytes,
              const std::string& progressValue) {
    std::vector<std::string> row(8);
    row[kColumnFileName] = name;
    row[kColumnSpeedBytes] = speedBytes;
    row[kColumnProgressValue] = progressValue;
    rows.push_back(row);
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const auto& r : rows) out.push_back(r[0]);
    return out;
  }

  int RowCount() const override { return static_cast<int>(rows.size()); }
  void InsertRow(int index, const std::string& fileName) override {
    std::vector<std::string> row(8);
    row[0] = fileName;
    rows.insert(rows.begin() + index, row);
  }
  void RemoveRow(int index) override { rows.erase(rows.begin() + index); }
  std::string Cell(int row, int column) const override { return rows.at(row).at(column); }
  void SetCell(int row, int column, const std::string& text) override {
    rows.at(row).at(column) = text;
  }
  std::string SaveDirectory() const override { return saveDirectory; }
  void ShowStatus(const std::string& text) override { statuses.push_back(text); }
  void SetProgress(int position) override { progress = position; }
  int TimerPeriod() const override { return timerPeriod; }
  void StartTimer(int periodMs) override {
    timerPeriod = periodMs;
    ++timerStarts;
  }
};

TEST(DownloadFormats, SizesSpeedsAndTotals) {
  EXPECT_EQ(SizeText(1073741824), "1.00GB");
  EXPECT_EQ(SizeText(1073741823), "1024.00MB");
  EXPECT_EQ(SizeText(10240), "0.01MB");
  EXPECT_EQ(SizeText(1572864), "1.50MB");
  EXPECT_EQ(SizeText(3 << 20), "3.00MB");
  EXPECT_EQ(SizeText(0), "0.00MB");
  EXPECT_EQ(SizeText(int64_t{5} << 40), "5120.00GB");

  EXPECT_EQ(SpeedText(1048576), "1MB");
  EXPECT_EQ(SpeedText(1048575), "1023KB");
  EXPECT_EQ(SpeedText(1536), "1KB");
  EXPECT_EQ(SpeedText(0), "0KB");
  EXPECT_EQ(SpeedText(3 * 1048576 + 1), "3MB");

  ListInMemory list;
  EXPECT_EQ(TotalSpeedText(list), "0kb");
  list.AddRow("a", "1536", "");
  EXPECT_EQ(TotalSpeedText(list), "1kb");
  list.rows[0][kColumnSpeedBytes] = "1048576";
  list.AddRow("b", "524288", "");
  list.AddRow("c", "", "");  // a row not yet polled counts as 0
  EXPECT_EQ(TotalSpeedText(list), "1.5MB");
  list.rows[1][kColumnSpeedBytes] = "10000";
  EXPECT_EQ(TotalSpeedText(list), "1.01MB");
}

TEST(DownloadFormats, OverallProgressIsTheMeanOfTheRows) {
  ListInMemory list;
  EXPECT_EQ(OverallProgress(list), 0.0f);
  list.AddRow("a", "", "50.00");
  list.AddRow("b", "", "100.00");
  EXPECT_EQ(OverallProgress(list), 75.0f);
  list.AddRow("c", "", "");
  EXPECT_EQ(OverallProgress(list), 50.0f);
  list.rows[2][kColumnProgressValue] = "0.01";
  EXPECT_FLOAT_EQ(OverallProgress(list), 50.0f);  // 150.01 / 3 rounds to 50.00
  list.rows[2][kColumnProgressValue] = "1.00";
  EXPECT_FLOAT_EQ(OverallProgress(list), 50.33f);
}

class DownloadListTest : public ::testing::Test {
 protected:
  RecordingEngine engine;
  DownloadTasks tasks;
  ListInMemory list;

  void Start(const char* name, const char* address) {
    StartDownload(engine, tasks, list, G(name), address);
  }
};

TEST_F(DownloadListTest, StartCreatesAResumableTaskAndAppendsItsRow) {
  list.saveDirectory = G("/home/u/下载内容");
  Start("报告.pdf", "http://h/file/1");
  ASSERT_EQ(engine.created.size(), 1u);
  const Created& c = engine.created[0];
  EXPECT_EQ(c.url, "http://h/file/1");
  EXPECT_EQ(c.fileName, G("报告.pdf"));
  EXPECT_EQ(c.saveDir, G("/home/u/下载内容"));
  EXPECT_FALSE(c.givenAddressOnly);
  EXPECT_TRUE(c.noAutoRename);
  EXPECT_TRUE(c.resume);
  EXPECT_EQ(engine.started, std::vector<int32_t>{7});
  EXPECT_EQ(tasks.handles, std::vector<int32_t>{7});
  ASSERT_EQ(list.rows.size(), 1u);
  EXPECT_EQ(list.rows[0][kColumnFileName], G("报告.pdf"));
  EXPECT_EQ(list.rows[0][kColumnAddress], "http://h/file/1");
  EXPECT_EQ(list.timerPeriod, 1000);

  // No duplicate check; the timer is set only once; a handle of 0 is kept like any other.
  engine.nextHandles = {0};
  Start("报告.pdf", "http://h/file/1");
  EXPECT_EQ(tasks.handles, (std::vector<int32_t>{7, 0}));
  EXPECT_EQ(engine.started, (std::vector<int32_t>{7, 0}));
  EXPECT_EQ(list.rows.size(), 2u);
  EXPECT_EQ(list.timerStarts, 1);
  PollDownloads(engine, tasks, list);
  EXPECT_EQ(engine.queried, (std::vector<int32_t>{7, 0}));
}

TEST_F(DownloadListTest, PollRefreshesEveryRowAndShowsTheLastTasksState) {
  Start("a.bin", "http://h/a");
  Start("b.bin", "http://h/b");
  engine.reports[7] = {layout::kStateDownloading, G("a.bin"), 1073741824, 536870912, 0.5f, 1048576};
  engine.reports[8] = {layout::kStatePaused, G("b (1).bin"), 10240, 0, 0.0f, 0};
  PollDownloads(engine, tasks, list);

  EXPECT_EQ(engine.queried, (std::vector<int32_t>{7, 8}));
  EXPECT_EQ(list.rows[0], (std::vector<std::string>{"a.bin", "1.00GB", "512.00MB", "1MB", "50.00%",
                                                    "1048576", "http://h/a", "50.00"}));
  EXPECT_EQ(list.rows[1], (std::vector<std::string>{"b (1).bin", "0.01MB", "0.00MB", "0KB", "0.00%",
                                                    "0", "http://h/b", "0.00"}));
  // The downloading text is built before its own row is refreshed: nothing known yet.
  ASSERT_EQ(list.statuses.size(), 2u);
  EXPECT_EQ(list.statuses[0], G("Tavrin提示您：[ 下载中 ]             当前下载速度：0kb  "
                                "总下载进度:0%"));
  EXPECT_EQ(list.statuses[1], Status("已暂停"));
  EXPECT_EQ(list.progress, 25);

  // On the next tick the first row's earlier values count.
  engine.reports[8] = {layout::kStateDownloading, G("b (1).bin"), 10240, 10240, 1.0f, 1536};
  PollDownloads(engine, tasks, list);
  EXPECT_EQ(list.statuses.back(), G("Tavrin提示您：[ 下载中 ]             当前下载速度：1MB  "
                                    "总下载进度:25%"));
  EXPECT_EQ(list.progress, 75);
  EXPECT_EQ(TotalSpeedText(list), "1MB");  // 1048576 + 1536, rounded to two decimals

  engine.reports[8].state = layout::kStateRequesting;
  PollDownloads(engine, tasks, list);
  EXPECT_EQ(list.statuses.back(), Status("正在发送请求"));
  engine.reports[8].state = layout::kStateEndingRequest;
  PollDownloads(engine, tasks, list);
  EXPECT_EQ(list.statuses.back(), Status("结束请求"));
  // A state the window does not know leaves the text as it was but still refreshes the row.
  size_t shown = list.statuses.size();
  engine.reports[8] = {layout::kStateNone, G("b.bin"), 0, 0, 0.0f, 0};
  PollDownloads(engine, tasks, list);
  EXPECT_EQ(list.statuses.size(), shown + 1);  // only task 7's text
  EXPECT_EQ(list.rows[1][kColumnFileName], "b.bin");
}

TEST_F(DownloadListTest, FinishedAndCancelledTasksLeaveWithTheirRowsAndEndTheTick) {
  Start("a", "http://h/a");
  Start("b", "http://h/b");
  Start("c", "http://h/c");
  for (int32_t h : {7, 8, 9})
    engine.reports[h] = {layout::kStateDownloading, G("x"), 100, 50, 0.5f, 10};
  engine.reports[8].state = layout::kStateFinished;
  engine.reports[8].fileName = "b";
  PollDownloads(engine, tasks, list);

  EXPECT_EQ(engine.queried, (std::vector<int32_t>{7, 8}));  // c waits for the next tick
  EXPECT_EQ(tasks.handles, (std::vector<int32_t>{7, 9}));
  EXPECT_EQ(list.Names(), (std::vector<std::string>{"x", "c"}));
  EXPECT_EQ(list.rows[1][kColumnAddress], "http://h/c");  // moved up with its handle
  EXPECT_EQ(list.statuses.back(), Status("下载完毕"));

  engine.queried.clear();
  engine.reports[7].state = layout::kStateFailed;
  PollDownloads(engine, tasks, list);
  EXPECT_EQ(engine.queried, std::vector<int32_t>{7});
  EXPECT_EQ(tasks.handles, std::vector<int32_t>{9});
  EXPECT_EQ(list.Names(), std::vector<std::string>{"c"});
  EXPECT_EQ(list.statuses.back(), Status("已经取消"));

  PollDownloads(engine, tasks, list);
  EXPECT_EQ(list.rows[0][kColumnFileName], "x");  // c, refreshed at last
  EXPECT_EQ(list.progress, 50);
}

TEST_F(DownloadListTest, AFailedQueryLeavesTheRowAndTheTextAlone) {
  Start("a", "http://h/a");
  Start("b", "http://h/b");
  engine.reports[7] = {layout::kStatePaused, G("a"), 1, 0, 0.0f, 0};
  engine.reports[8] = {layout::kStateDownloading, G("b"), 2, 1, 0.5f, 3};
  engine.reports[8].answers = false;
  PollDownloads(engine, tasks, list);
  EXPECT_EQ(engine.queried, (std::vector<int32_t>{7, 8}));
  EXPECT_EQ(list.statuses, std::vector<std::string>{Status("已暂停")});
  EXPECT_EQ(list.rows[1], (std::vector<std::string>{"b", "", "", "", "", "", "http://h/b", ""}));
  EXPECT_EQ(list.progress, 0);  // set after task a, not after the failed query
}

TEST(SpeedLimit, CheckBoxAndValue) {
  RecordingEngine engine;
  EXPECT_EQ(ApplySpeedLimit(engine, false, "300"), SpeedLimitResult::kApplied);
  EXPECT_EQ(ApplySpeedLimit(engine, true, ""), SpeedLimitResult::kValueMissing);
  EXPECT_EQ(ApplySpeedLimit(engine, true, "abc"), SpeedLimitResult::kApplied);
  EXPECT_EQ(ApplySpeedLimit(engine, true, "512"), SpeedLimitResult::kApplied);
  EXPECT_EQ(ApplySpeedLimit(engine, true, "64kb"), SpeedLimitResult::kApplied);
  EXPECT_EQ(engine.limits, (std::vector<int32_t>{1410065407, 0, 512, 64}));
}

}  // namespace
}  // namespace sf
