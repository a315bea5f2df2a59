#include "view/download_list.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>

#include "base/encoding.h"
#include "base/text.h"
#include "engine_api/engine_api.h"
#include "view/failure_text.h"
#include "view/size_text.h"

namespace sf {
namespace {

struct Texts {
  std::string finished, downloading, paused, requesting, endingRequest;
  std::string progressLabel;
  std::string failedOpen, failedClose, alreadyComplete, timeLeft, rowTimeLeft;
  std::string waiting, pausedCell, failedCell, failedTip;
  std::string failedCount;
};

const Texts& T() {
  static const Texts texts = [] {
    Texts t;
    std::string prefix = Utf8ToGbk("Tavrin提示您：");
    t.failedCount = Utf8ToGbk(" 个下载失败");
    t.finished = prefix + Utf8ToGbk("[ 下载完毕 ]");
    t.downloading = prefix + Utf8ToGbk("[ 下载中 ]             当前下载速度：");
    t.paused = prefix + Utf8ToGbk("[ 已暂停 ]");
    t.requesting = prefix + Utf8ToGbk("[ 正在发送请求 ]");
    t.endingRequest = prefix + Utf8ToGbk("[ 结束请求 ]");
    t.progressLabel = Utf8ToGbk("  总下载进度:");
    t.failedOpen = prefix + Utf8ToGbk("[ 下载失败：");
    t.failedClose = " ]";
    t.alreadyComplete = prefix + Utf8ToGbk("[ 文件已经下载完毕，没有重新下载 ] ");
    t.timeLeft = Utf8ToGbk("  剩余时间 ");
    t.rowTimeLeft = Utf8ToGbk("剩余时间 ");
    t.waiting = Utf8ToGbk("等待中");
    t.pausedCell = Utf8ToGbk("已暂停");
    t.failedCell = Utf8ToGbk("失败");
    t.failedTip = Utf8ToGbk("失败：");
    return t;
  }();
  return texts;
}

// The percentage as column 4 shows it, without "%".
std::string PercentText(const DownloadItem& item) {
  return FormatNumber("%.2f", RoundTo2(static_cast<double>(item.progress) * 100.0));
}

std::string DownloadingText(const DownloadQueue& queue) {
  char progress[32];
  std::snprintf(progress, sizeof progress, "%g", static_cast<double>(OverallProgress(queue)));
  return T().downloading + TotalSpeedText(queue.Totals().speed) + T().progressLabel + progress +
         "%";
}

// The figures of the whole list come from the queue's running sums: a tick costs what is under
// way, however long the list.
std::string StateText(const DownloadItem& item, const DownloadQueue& queue) {
  const Texts& t = T();
  if (item.status == DownloadStatus::kPaused) return t.paused;
  switch (item.engineState) {
    case layout::kStateDownloading:
      return DownloadingText(queue);
    case layout::kStatePaused:
      return t.paused;
    case layout::kStateRequesting:
      return t.requesting;
    case layout::kStateEndingRequest:
      return t.endingRequest;
    default:
      return {};
  }
}

}  // namespace

// Whole KB below a MB a second; above, two decimals, as the status bar's total has them: a
// row cut to "1MB" beside a total of "1.87MB" read as two different speeds.
std::string SpeedText(int64_t bytesPerSecond) {
  const auto b = static_cast<double>(bytesPerSecond);
  if (b / 1024.0 - 1024.0 >= -kUnitEpsilon)
    return FormatNumber("%.2f", RoundTo2(b / 1048576.0)) + "MB";
  return std::to_string(bytesPerSecond / 1024) + "KB";
}

// The same units as each row's speed, so that one download's row and the total agree.
std::string TotalSpeedText(const std::vector<DownloadItem>& items) {
  int64_t sum = 0;
  for (const DownloadItem& item : items) sum += std::max<int64_t>(item.speed, 0);
  return SpeedText(sum);
}

std::string TotalSpeedText(int64_t bytesPerSecond) {
  return SpeedText(std::max<int64_t>(bytesPerSecond, 0));
}

float OverallProgress(const std::vector<DownloadItem>& items) {
  if (items.empty()) return 0;
  float sum = 0;
  for (const DownloadItem& item : items)
    sum += static_cast<float>(RoundTo2(static_cast<double>(item.progress) * 100.0));
  return static_cast<float>(RoundTo2(static_cast<double>(sum) / static_cast<double>(items.size())));
}

// The same mean from the queue's sum in whole hundredths, which a float would lose count of
// over a long list.
float OverallProgress(const DownloadQueue& queue) {
  const size_t n = queue.Items().size();
  if (n == 0) return 0;
  return static_cast<float>(
      RoundTo2(static_cast<double>(queue.PercentHundredths()) / 100.0 / static_cast<double>(n)));
}

BatchProgress::Bytes BatchProgress::Of(const DownloadItem& item) {
  Bytes b;
  b.size = item.KnownSize();
  b.done = item.done;
  b.finished = item.status == DownloadStatus::kFinished;
  if (b.finished && b.size >= 0) b.done = b.size;
  return b;
}

void BatchProgress::Count(const Bytes& b, int sign) {
  // A size nobody knows yet cannot be weighed; the file counts once it is.
  if (b.size <= 0) return;
  done_ += sign * std::min(b.done, b.size);
  size_ += sign * b.size;
}

void BatchProgress::See(const std::vector<DownloadItem>& items) {
  if (items.empty()) {
    items_.clear();
    done_ = size_ = 0;
    return;
  }
  std::map<int, Bytes> seen;
  const bool inOrder =
      std::adjacent_find(items.begin(), items.end(),
                         [](const auto& a, const auto& b) { return a.id >= b.id; }) == items.end();
  if (inOrder) {
    // The queue keeps its items by id: both lists merge in one pass, each entry put at the
    // end, instead of a lookup in a map of every item for each (a list of many after each
    // action).
    auto kept = items_.begin();
    auto keepFinishedBelow = [&](int id) {
      for (; kept != items_.end() && kept->first < id; ++kept)
        if (kept->second.finished) seen.emplace_hint(seen.end(), *kept);
    };
    for (const DownloadItem& item : items) {
      keepFinishedBelow(item.id);
      if (kept != items_.end() && kept->first == item.id) ++kept;
      seen.emplace_hint(seen.end(), item.id, Of(item));
    }
    keepFinishedBelow(std::numeric_limits<int>::max());
    if (kept != items_.end() && kept->second.finished) seen.emplace_hint(seen.end(), *kept);
  } else {
    for (const DownloadItem& item : items) seen[item.id] = Of(item);
    for (const auto& [id, b] : items_)
      if (b.finished && seen.count(id) == 0) seen[id] = b;
  }
  items_ = std::move(seen);
  done_ = size_ = 0;
  for (const auto& [id, b] : items_) Count(b, 1);
}

void BatchProgress::See(const DownloadItem& item) {
  auto [at, added] = items_.try_emplace(item.id);
  if (!added) Count(at->second, -1);
  at->second = Of(item);
  Count(at->second, 1);
}

void BatchProgress::Left(int id) {
  auto at = items_.find(id);
  if (at == items_.end() || at->second.finished) return;
  Count(at->second, -1);
  items_.erase(at);
}

int BatchProgress::Percent() const {
  return size_ > 0 ? static_cast<int>(done_ * 100 / size_) : 0;
}

std::string DurationText(int64_t seconds) {
  seconds = std::max<int64_t>(seconds, 0);
  char buffer[48];
  if (seconds >= 3600)
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld",
                  static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                  static_cast<long long>(seconds % 60));
  else
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  return buffer;
}

namespace {

// A file followed on a remote downloader: its figures always show, "已完成" once whole there,
// and the tooltip names the downloader.
DownloadRowTexts RemoteRowOf(const DownloadItem& item) {
  DownloadRowTexts row;
  auto& c = row.columns;
  c[kColumnFileName] = item.Name();
  const int64_t size = item.size, done = item.done;
  c[kColumnTotalSize] = SizeText(std::max<int64_t>(size, 0), SizeStyle::kWindow);
  c[kColumnDownloaded] = SizeText(done, SizeStyle::kWindow);
  char percent[32] = "0.00%";
  if (size > 0)
    std::snprintf(percent, sizeof percent, "%.2f%%",
                  static_cast<double>(done) * 100.0 / static_cast<double>(size));
  c[kColumnProgress] = percent;
  c[kColumnSpeed] = SpeedText(item.speed);
  std::string tip = Utf8ToGbk("远程：") + item.where;
  if (item.status == DownloadStatus::kFinished) {
    c[kColumnSpeed] = Utf8ToGbk("已完成");
  } else if (item.status == DownloadStatus::kFailed) {
    row.failed = true;
    c[kColumnSpeed] = Utf8ToGbk("失败");
    c[kColumnProgress] = item.failureReason;
    tip += Utf8ToGbk("\n失败：") + item.failureReason;
  } else if (item.renewing) {
    c[kColumnSpeed] = Utf8ToGbk("等待中");
    tip += Utf8ToGbk("\n正在获取新的下载链接");
  } else if (item.status == DownloadStatus::kPaused) {
    c[kColumnSpeed] = Utf8ToGbk("已暂停");
  } else if (item.status != DownloadStatus::kDownloading) {
    c[kColumnSpeed] = Utf8ToGbk("等待中");
  } else if (size >= 0 && item.speed > 0) {
    tip += Utf8ToGbk("\n剩余时间 ") + DurationText(std::max<int64_t>(0, size - done) / item.speed);
  }
  row.toolTip = tip + "\n" + Utf8ToGbk("已下载 ") + std::to_string(done) +
                (size > 0 ? " / " + std::to_string(size) : std::string()) + Utf8ToGbk(" 字节");
  return row;
}

}  // namespace

DownloadRowTexts RowTexts(const DownloadItem& item) {
  if (!item.where.empty()) return RemoteRowOf(item);
  const Texts& t = T();
  DownloadRowTexts row;
  auto& c = row.columns;
  c[kColumnFileName] = item.Name();
  bool reported = item.engineState != 0 || item.status == DownloadStatus::kFinished;
  if (reported) {
    std::string percent = PercentText(item);
    c[kColumnTotalSize] = SizeText(std::max<int64_t>(item.size, 0), SizeStyle::kWindow);
    c[kColumnDownloaded] = SizeText(item.done, SizeStyle::kWindow);
    c[kColumnSpeed] = SpeedText(item.speed);
    c[kColumnProgress] = percent + "%";
  } else if (item.request.expectedSize >= 0) {
    c[kColumnTotalSize] = SizeText(item.request.expectedSize, SizeStyle::kWindow);
  }
  switch (item.status) {
    case DownloadStatus::kQueued:
      c[kColumnSpeed] = t.waiting;
      break;
    case DownloadStatus::kPaused:
      c[kColumnSpeed] = t.pausedCell;
      break;
    case DownloadStatus::kFailed:
      row.failed = true;
      // "失败：连接被拒绝" would not fit the speed column: the reason takes the progress column.
      c[kColumnSpeed] = t.failedCell;
      c[kColumnProgress] = FailureText(item.failureCode);
      row.toolTip = t.failedTip + FailureText(item.failureCode);
      break;
    default:
      break;
  }
  if (!row.failed && item.etaSeconds >= 0)
    row.toolTip = t.rowTimeLeft + DurationText(item.etaSeconds);
  // The columns round to two decimals of a unit; the exact count is a hover away.
  if (reported) {
    std::string bytes = Utf8ToGbk("已下载 ") + std::to_string(item.done);
    if (item.size > 0) bytes += " / " + std::to_string(item.size);
    bytes += Utf8ToGbk(" 字节");
    row.toolTip = row.toolTip.empty() ? bytes : row.toolTip + "\n" + bytes;
  }
  return row;
}

std::string StatusText(const DownloadQueue& queue, const std::vector<int>& ended) {
  const Texts& t = T();
  std::string text;
  // In list order (ids ascend along it) the first listed item that ended ends the walk, and
  // its words are the last; before it, or without one, the last item started (running or
  // paused) with a state to tell has them: queued and ended items tell nothing.
  const DownloadItem* first = nullptr;
  for (int id : ended)
    if (const DownloadItem* item = queue.Find(id); item && (!first || id < first->id)) first = item;
  // "下载完毕" says the downloads are over: while others still wait or run, a file that
  // finished is no news, and a queue of small files would otherwise show it all along.
  bool passedFinished = false;
  if (first) {
    if (first->status == DownloadStatus::kFailed)
      text = t.failedOpen + FailureText(first->failureCode) + t.failedClose;
    else if (first->alreadyComplete)
      text = t.alreadyComplete + first->Name();
    else if (queue.Moving())
      passedFinished = true;
    else
      text = t.finished;
  }
  if (!first || passedFinished) {
    const std::set<int>& started = queue.Started();
    for (auto it = started.rbegin(); it != started.rend() && text.empty(); ++it)
      if (const DownloadItem* item = queue.Find(*it)) text = StateText(*item, queue);
  }
  // The next files have not reported yet: the downloads go on all the same.
  if (text.empty() && passedFinished) text = DownloadingText(queue);
  // Failed rows wait for the user, so whatever state the bar shows it says how many there are.
  // With only failed rows left nothing is handled and the bar keeps its text, as it did when the
  // last of the others ended: another tab's message is not pushed out every second.
  if (!text.empty() && queue.Failed() > 0)
    text += "  " + std::to_string(queue.Failed()) + t.failedCount;
  // A time left only while something moves: paused and failed rows wait for the user.
  int64_t eta = queue.Totals().etaSeconds;
  if (!text.empty() && queue.Moving() && eta >= 0) text += t.timeLeft + DurationText(eta);
  return text;
}

}  // namespace sf
