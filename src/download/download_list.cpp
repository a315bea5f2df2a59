#include "download/download_list.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "base/encoding.h"
#include "base/text.h"
#include "download/download_engine.h"
#include "download/engine_api.h"

namespace sf {
namespace {

// Comparisons against a unit boundary allow for the error of the division before them.
constexpr double kEpsilon = 1e-7;

double RoundTo2(double v) {
  return std::round(v * 100.0) / 100.0;
}

std::string Format(const char* format, double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, v);
  return buffer;
}

// A cell as a number: its leading decimal number, 0 when it has none.
double ReadNumber(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  (void)end;
  return error == std::errc() && std::isfinite(value) ? value : 0;
}

struct StatusTexts {
  std::string finished, downloading, paused, requesting, endingRequest, cancelled;
  std::string progressLabel;
};

const StatusTexts& Texts() {
  static const StatusTexts texts = [] {
    StatusTexts t;
    std::string prefix = Utf8ToGbk("Tavrin提示您：");
    t.finished = prefix + Utf8ToGbk("[ 下载完毕 ]");
    t.downloading = prefix + Utf8ToGbk("[ 下载中 ]             当前下载速度：");
    t.paused = prefix + Utf8ToGbk("[ 已暂停 ]");
    t.requesting = prefix + Utf8ToGbk("[ 正在发送请求 ]");
    t.endingRequest = prefix + Utf8ToGbk("[ 结束请求 ]");
    t.cancelled = prefix + Utf8ToGbk("[ 已经取消 ]");
    t.progressLabel = Utf8ToGbk("  总下载进度:");
    return t;
  }();
  return texts;
}

void RefreshRow(DownloadsView& view, int row, const TaskInfoRecord& info) {
  view.SetCell(row, kColumnTotalSize, SizeText(info.TotalSize()));
  view.SetCell(row, kColumnDownloaded, SizeText(info.Downloaded()));
  view.SetCell(row, kColumnSpeed, SpeedText(info.Speed()));
  view.SetCell(row, kColumnFileName, info.FileName());
  std::string percent = Format("%.2f", RoundTo2(static_cast<double>(info.Progress()) * 100.0));
  view.SetCell(row, kColumnProgress, percent + "%");
  view.SetCell(row, kColumnSpeedBytes, std::to_string(info.Speed()));
  view.SetCell(row, kColumnProgressValue, percent);
}

}  // namespace

std::string SizeText(int64_t bytes) {
  double mib = static_cast<double>(bytes) / 1048576.0;
  if (mib - 1024.0 >= -kEpsilon)
    return Format("%.2f", RoundTo2(static_cast<double>(bytes) / 1073741824.0)) + "GB";
  return Format("%.2f", RoundTo2(mib)) + "MB";
}

std::string SpeedText(int32_t bytesPerSecond) {
  double kib = bytesPerSecond / 1024.0;
  if (kib - 1024.0 >= -kEpsilon)
    return std::to_string(static_cast<int64_t>(bytesPerSecond / 1048576.0)) + "MB";
  return std::to_string(static_cast<int64_t>(kib)) + "KB";
}

std::string TotalSpeedText(const DownloadsView& view) {
  double sum = 0;
  for (int row = 0; row < view.RowCount(); ++row)
    sum += ReadNumber(view.Cell(row, kColumnSpeedBytes));
  if (sum / 1024.0 - 1024.0 >= -kEpsilon) return Format("%.13g", RoundTo2(sum / 1048576.0)) + "MB";
  auto whole = static_cast<int64_t>(sum);
  return std::to_string(whole / 1024) + "kb";
}

float OverallProgress(const DownloadsView& view) {
  int rows = view.RowCount();
  if (rows <= 0) return 0;
  float sum = 0;
  for (int row = 0; row < rows; ++row)
    sum += static_cast<float>(ReadNumber(view.Cell(row, kColumnProgressValue)));
  return static_cast<float>(RoundTo2(static_cast<double>(sum) / rows));
}

void StartDownload(DownloadEngine& engine, DownloadTasks& tasks, DownloadsView& view,
                   const std::string& fileName, const std::string& address) {
  std::string saveDirectory = view.SaveDirectory();
  // With "是否用续传" set the engine continues from the partial file and its control file that
  // an earlier run left under this name in this directory.
  tasks.param.Init(address, {}, {}, fileName, saveDirectory, false, true, true);
  tasks.handles.push_back(engine.CreateTask(tasks.param.Address()));
  engine.StartTask(tasks.handles.back());
  tasks.info.Init();
  int row = static_cast<int>(tasks.handles.size()) - 1;
  view.InsertRow(row, fileName);
  view.SetCell(row, kColumnAddress, address);
  if (view.TimerPeriod() == 0) view.StartTimer(1000);
}

void PollDownloads(DownloadEngine& engine, DownloadTasks& tasks, DownloadsView& view) {
  const StatusTexts& texts = Texts();
  if (tasks.info.Address() == nullptr && tasks.info.Init() == nullptr) return;
  size_t count = tasks.handles.size();
  for (size_t i = 0; i < count && i < tasks.handles.size(); ++i) {
    int row = static_cast<int>(i);
    if (engine.QueryTaskInfoEx(tasks.handles[i], tasks.info.Address()) != 0) {
      switch (tasks.info.State()) {
        case layout::kStateFinished:
        case layout::kStateFailed:
          view.ShowStatus(tasks.info.State() == layout::kStateFinished ? texts.finished
                                                                       : texts.cancelled);
          tasks.handles.erase(tasks.handles.begin() + static_cast<std::ptrdiff_t>(i));
          if (row < view.RowCount()) view.RemoveRow(row);
          return;
        case layout::kStateDownloading: {
          char progress[32];
          std::snprintf(progress, sizeof progress, "%g",
                        static_cast<double>(OverallProgress(view)));
          view.ShowStatus(texts.downloading + TotalSpeedText(view) + texts.progressLabel +
                          progress + "%");
          break;
        }
        case layout::kStatePaused:
          view.ShowStatus(texts.paused);
          break;
        case layout::kStateRequesting:
          view.ShowStatus(texts.requesting);
          break;
        case layout::kStateEndingRequest:
          view.ShowStatus(texts.endingRequest);
          break;
        default:
          break;
      }
      if (row < view.RowCount()) RefreshRow(view, row, tasks.info);
      view.SetProgress(static_cast<int>(OverallProgress(view)));
    }
  }
}

SpeedLimitResult ApplySpeedLimit(DownloadEngine& engine, bool checked, std::string_view value) {
  if (!checked) {
    engine.SetSpeedLimit(layout::kNoSpeedLimit);
    return SpeedLimitResult::kApplied;
  }
  if (value.empty()) return SpeedLimitResult::kValueMissing;
  engine.SetSpeedLimit(ReadInt(value));
  return SpeedLimitResult::kApplied;
}

}  // namespace sf
