#include "view/download_tick.h"

#include <utility>

#include "base/text.h"
#include "engine_api/engine_api.h"
#include "view/download_list.h"

namespace sf {

SpeedLimitResult ApplySpeedLimit(DownloadManager& downloads, bool checked, std::string_view value) {
  if (!checked) {
    downloads.SetSpeedLimit(layout::kNoSpeedLimit);
    return SpeedLimitResult::kApplied;
  }
  if (value.empty()) return SpeedLimitResult::kValueMissing;
  downloads.SetSpeedLimit(ReadInt(value));
  return SpeedLimitResult::kApplied;
}

namespace {

// Worded while the items are still listed: the release takes the finished ones away.
std::string WordAndRelease(DownloadManager& downloads, std::vector<int> ended,
                           const std::vector<int>& now) {
  ended.insert(ended.end(), now.begin(), now.end());
  std::string text = StatusText(downloads.queue(), ended);
  downloads.ReleaseFinished();
  return text;
}

}  // namespace

std::string TickDownloads(DownloadManager& downloads, int64_t nowMs, std::vector<int> endedBefore) {
  return WordAndRelease(downloads, std::move(endedBefore), RawIds(downloads.Tick(nowMs)));
}

std::string SettleDownloads(DownloadManager& downloads, std::vector<int> endedBefore) {
  return WordAndRelease(downloads, std::move(endedBefore), downloads.Settle());
}

}  // namespace sf
