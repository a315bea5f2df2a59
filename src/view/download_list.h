// The running downloads as the window shows them: the texts of one row per queue item, the
// status bar's wording of what a tick saw, and the overall progress (the tick itself and the
// speed limit are in download_tick.h). The window only renders what these give, so all of it
// runs, and is tested, without any window. Texts are GBK.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "download/download_queue.h"
#include "view/size_text.h"

namespace sf {

// Columns of the download list.
enum DownloadColumn : int {
  kColumnFileName = 0,
  kColumnTotalSize = 1,
  kColumnDownloaded = 2,
  kColumnSpeed = 3,
  kColumnProgress = 4,
  kDownloadColumns = 5,
};

// "1023KB" (whole KB, cut) below 1024 KiB/s, else "1.87MB" (two decimals); no "/s".
std::string SpeedText(int64_t bytesPerSecond);
// The sum of every item's speed, as SpeedText: "1KB", "1.50MB".
std::string TotalSpeedText(const std::vector<DownloadItem>& items);
std::string TotalSpeedText(int64_t bytesPerSecond);
// The mean of every item's percentage as its row shows it, kept as a 32-bit float and rounded
// to two decimals; 0 without items.
float OverallProgress(const std::vector<DownloadItem>& items);
// The same over the queue's items, from its running sum.
float OverallProgress(const DownloadQueue& queue);
// The overall bar: the bytes done of every download started since the list was last empty, the
// finished ones that left it included, so it never goes back as files finish. A download
// deleted from the list leaves the sum.
class BatchProgress {
 public:
  // After every change of the list, and once more when items finished, before they leave it:
  // from then on they count as whole. An empty list starts afresh.
  void See(const std::vector<DownloadItem>& items);
  // One item came or changed: what it counts for is replaced, without a walk over the others.
  void See(const DownloadItem& item);
  // An item left the list: a finished one stays counted whole, any other leaves the sum.
  void Left(int id);
  // 0 to 100; 0 while no size is known.
  int Percent() const;

 private:
  struct Bytes {
    int64_t done = 0;
    int64_t size = -1;
    bool finished = false;
  };
  static Bytes Of(const DownloadItem& item);
  void Count(const Bytes& b, int sign);
  std::map<int, Bytes> items_;
  // The sums Percent weighs, kept as items change.
  int64_t done_ = 0, size_ = 0;
};

// "0:07", "1:23", "1:02:03".
std::string DurationText(int64_t seconds);

struct DownloadRowTexts {
  std::array<std::string, kDownloadColumns> columns;
  // The time left, or "失败：" and the reason; then, once the engine reported, a line with
  // the exact byte counts.
  std::string toolTip;
  bool failed = false;
};

// One row of the list: the engine's figures once it has reported them; "等待中" in the speed
// column while queued, "已暂停" while paused; when failed, "失败" there and the reason in the
// progress column, and "失败：" with the reason as the tooltip. A file on a remote downloader
// always shows its figures, "已完成" in the speed column once whole there, "等待中" while its
// link is renewed, and a tooltip that begins with "远程：" and the downloader.
DownloadRowTexts RowTexts(const DownloadItem& item);

// The status bar's text after the items in `ended` ended, or "" to leave it: the state of the
// last item handled in list order, where an item that ended ends the walk, then how many
// downloads failed when any did, then the time left for the whole list when it is known and
// something is still under way. With only failed items listed nothing is handled: "".
std::string StatusText(const DownloadQueue& queue, const std::vector<int>& ended);

}  // namespace sf
