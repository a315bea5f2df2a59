// The running downloads as the window shows them: the texts of one row per queue item, the
// once-a-second tick that polls the queue and words the status bar, the overall progress and
// the speed limit. The window only renders what these give, so all of it runs, and is tested,
// without any window. Texts are GBK.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "download/download_queue.h"

namespace sf {

class DownloadEngine;

// Columns of the download list. The last three are hidden; they carry the row's figures as
// plain values, as the list always has, but nothing reads them back.
enum DownloadColumn : int {
  kColumnFileName = 0,
  kColumnTotalSize = 1,
  kColumnDownloaded = 2,
  kColumnSpeed = 3,
  kColumnProgress = 4,
  kColumnSpeedBytes = 5,     // bytes per second, a whole number
  kColumnAddress = 6,        // the download address
  kColumnProgressValue = 7,  // column 4 without "%"
  kDownloadColumns = 8,
};

// "1.50MB", "1.00GB": 1024-based, two decimals, GB from 1024 MiB on.
std::string SizeText(int64_t bytes);
// "1023KB", "1MB": whole units, cut, no "/s".
std::string SpeedText(int32_t bytesPerSecond);
// The sum of every item's speed: "1kb" below 1024 KiB/s, else "1.5MB".
std::string TotalSpeedText(const std::vector<DownloadItem>& items);
// The mean of every item's percentage as its row shows it, kept as a 32-bit float and rounded
// to two decimals; 0 without items.
float OverallProgress(const std::vector<DownloadItem>& items);
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
// progress column, and "失败：" with the reason as the tooltip.
DownloadRowTexts RowTexts(const DownloadItem& item);

// One tick of the window's timer: polls the queue and drops the items that finished, which
// leave the list (failed ones stay). Gives the status bar's new text, or "" to leave it: the
// state of the last item handled in list order, where an item that ended in this tick ends
// the walk, followed by the time left for the whole list when it is known.
std::string TickDownloads(DownloadQueue& queue, int64_t nowMs);
// The same for what ended without a poll (a start that found its file whole, a task the
// engine would not create), right after the user's action.
std::string SettleDownloads(DownloadQueue& queue);

enum class SpeedLimitResult {
  kApplied,       // the engine got the limit (or "no limit")
  kValueMissing,  // checked with an empty value box: the user must be told, the engine is untouched
};

// The speed-limit check box was clicked: unchecked lifts the limit, checked applies the value
// box's whole number of KB/s (text without leading digits gives 0, which the engine takes as
// no limit).
SpeedLimitResult ApplySpeedLimit(DownloadEngine& engine, bool checked, std::string_view value);

}  // namespace sf
