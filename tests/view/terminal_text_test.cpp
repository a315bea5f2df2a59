// The terminal's words of the downloads, the byte counts of both front-ends and the failure
// texts of both languages.
#include "view/terminal_text.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "text_helpers.h"
#include "view/failure_text.h"
#include "view/size_text.h"

namespace sf {
namespace {

using test::G;

TEST(SizeTexts, EachFrontEndKeepsItsOwnForm) {
  EXPECT_EQ(SizeText(0, SizeStyle::kTerminal), "0 B");
  EXPECT_EQ(SizeText(512, SizeStyle::kTerminal), "512 B");
  EXPECT_EQ(SizeText(1023, SizeStyle::kTerminal), "1023 B");
  EXPECT_EQ(SizeText(1024, SizeStyle::kTerminal), "1.0 KiB");
  EXPECT_EQ(SizeText(1572864, SizeStyle::kTerminal), "1.5 MiB");
  EXPECT_EQ(SizeText(int64_t{3} << 30, SizeStyle::kTerminal), "3.0 GiB");
  // TiB is the last unit: larger counts grow its figure.
  EXPECT_EQ(SizeText(int64_t{5} << 40, SizeStyle::kTerminal), "5.0 TiB");
  EXPECT_EQ(SizeText(int64_t{1} << 50, SizeStyle::kTerminal), "1024.0 TiB");

  // The same bytes, each as its reader is used to.
  EXPECT_EQ(SizeText(1572864, SizeStyle::kWindow), "1.50MB");
  EXPECT_EQ(SizeText(512, SizeStyle::kWindow), "512B");
  EXPECT_EQ(SizeText(int64_t{5} << 40, SizeStyle::kWindow), "5120.00GB");
}

DownloadItem Named(const std::string& gbk, DownloadStatus status) {
  DownloadItem item;
  item.request = {gbk, "http://h/1", "/d", "", "", -1};
  item.status = status;
  return item;
}

TEST(TerminalLines, AFileLineSaysWhereEachDownloadStands) {
  EXPECT_EQ(FileLine(Named(G("报告.pdf"), DownloadStatus::kQueued)), "报告.pdf  waiting");
  EXPECT_EQ(FileLine(Named("a.bin", DownloadStatus::kRequesting)), "a.bin  requesting...");
  EXPECT_EQ(FileLine(Named("a.bin", DownloadStatus::kPaused)), "a.bin  paused");
  // A name from a share cannot clear the screen or forge a line of its own.
  EXPECT_EQ(FileLine(Named("x\x1b[2J\ny", DownloadStatus::kQueued)), "x\\x1b[2J\\ny  waiting");

  DownloadItem item = Named("a.bin", DownloadStatus::kDownloading);
  item.done = 786432;
  item.request.expectedSize = 1572864;  // the caller's size counts until the engine gives one
  item.progress = 0.5f;
  item.speed = 524288;
  EXPECT_EQ(FileLine(item), "a.bin  768.0 KiB / 1.5 MiB   50.0%  512.0 KiB/s");
  item.size = 3145728;
  item.progress = 0.25f;
  item.etaSeconds = 83;
  EXPECT_EQ(FileLine(item), "a.bin  768.0 KiB / 3.0 MiB   25.0%  512.0 KiB/s  1:23 left");
  item.request.expectedSize = -1;
  item.size = -1;
  EXPECT_EQ(FileLine(item), "a.bin  768.0 KiB / ?   25.0%  512.0 KiB/s  1:23 left");

  // Among several downloaders a remote file's line names its own, escaped as a name is; ours
  // has none to name.
  EXPECT_EQ(FileLine(item, true), "a.bin  768.0 KiB / ?   25.0%  512.0 KiB/s  1:23 left");
  item.where = "nas:6800\x1b[2J";
  EXPECT_EQ(FileLine(item, true),
            "a.bin  768.0 KiB / ?   25.0%  512.0 KiB/s  1:23 left  nas:6800\\x1b[2J");
  EXPECT_EQ(FileLine(item), "a.bin  768.0 KiB / ?   25.0%  512.0 KiB/s  1:23 left");
  item.status = DownloadStatus::kPaused;
  EXPECT_EQ(FileLine(item, true), "a.bin  paused  nas:6800\\x1b[2J");
}

TEST(TerminalLines, TheTotalLineCountsFilesBytesAndTime) {
  DownloadTotals t;
  t.files = 5;
  t.filesDone = 2;
  t.bytesDone = 12 << 20;
  t.bytesTotal = 40 << 20;
  t.speed = 3355443;
  t.etaSeconds = 9;
  EXPECT_EQ(TotalLine(t), "2/5 files, 12.0 MiB of 40.0 MiB, 3.2 MiB/s, 0:09 left");
  t.allSizesKnown = false;
  t.etaSeconds = -1;
  t.speed = 0;
  EXPECT_EQ(TotalLine(t), "2/5 files, 12.0 MiB of ?, 0 B/s, --:-- left");
}

TEST(FailureTexts, OneCodeWordedForEachFrontEnd) {
  EXPECT_EQ(FailureText(403), "HTTP 403");
  EXPECT_EQ(FailureTextEnglish(403), "HTTP 403");
  EXPECT_EQ(FailureText(ECONNREFUSED), G("连接被拒绝"));
  EXPECT_EQ(FailureTextEnglish(ECONNREFUSED), "connection refused");
  EXPECT_EQ(FailureText(ENOSPC), G("磁盘已满"));
  EXPECT_EQ(FailureTextEnglish(ENOSPC), "disk full");
  EXPECT_EQ(FailureText(kFailureNotCreated), G("无法创建任务"));
  EXPECT_EQ(FailureTextEnglish(kFailureNotCreated), "the engine refused the task");
  EXPECT_EQ(FailureText(0), G("未知错误"));
  // A code nobody listed is still told apart from the others.
  EXPECT_EQ(FailureText(300), G("错误 300"));
  EXPECT_EQ(FailureTextEnglish(300), "error 300");
}

}  // namespace
}  // namespace sf
