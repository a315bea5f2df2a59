// What the window's controls of the downloads do beyond asking the DownloadManager: the speed
// limit's check box and value, and the timer's tick with the status bar's wording of it. Texts
// are GBK.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "download/download_manager.h"

namespace sf {

enum class SpeedLimitResult {
  kApplied,       // the engine got the limit (or "no limit")
  kValueMissing,  // checked with an empty value box: the user must be told, the engine is untouched
};

// The speed-limit check box was clicked: unchecked lifts the limit, checked applies the value
// box's whole number of KB/s (text without leading digits gives 0, which the engine takes as
// no limit).
SpeedLimitResult ApplySpeedLimit(DownloadManager& downloads, bool checked, std::string_view value);

// One tick of the window's timer: the manager moves, the status bar's text is worded from what
// ended (StatusText), and the finished items leave the list (failed ones stay). `endedBefore`:
// items that ended in Ticks made in between, whose wording waited for this one.
std::string TickDownloads(DownloadManager& downloads, int64_t nowMs,
                          std::vector<int> endedBefore = {});
// The same for what ended without a poll, right after the user's action.
std::string SettleDownloads(DownloadManager& downloads, std::vector<int> endedBefore = {});

}  // namespace sf
