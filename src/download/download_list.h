// The running downloads as the window shows them: starting a task, the once-a-second poll
// that refreshes one row per task, the texts of sizes and speeds, the overall progress and the
// speed limit. The window's list is reached through DownloadsView so this logic runs, and is
// tested, without any window. Texts are GBK.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "download/task_records.h"

namespace sf {

class DownloadEngine;

// Columns of the download list. The last three are hidden; they carry values from one poll to
// the next and the address to the settings file.
enum DownloadColumn : int {
  kColumnFileName = 0,
  kColumnTotalSize = 1,
  kColumnDownloaded = 2,
  kColumnSpeed = 3,
  kColumnProgress = 4,
  kColumnSpeedBytes = 5,     // bytes per second, a whole number
  kColumnAddress = 6,        // the download address
  kColumnProgressValue = 7,  // column 4 without "%"
};

// The window's side: the download list's rows, the save directory, the status text, the
// overall progress bar and the poll timer.
class DownloadsView {
 public:
  virtual ~DownloadsView() = default;
  virtual int RowCount() const = 0;
  virtual void InsertRow(int index, const std::string& fileName) = 0;
  virtual void RemoveRow(int index) = 0;
  virtual std::string Cell(int row, int column) const = 0;
  virtual void SetCell(int row, int column, const std::string& text) = 0;
  virtual std::string SaveDirectory() const = 0;
  virtual void ShowStatus(const std::string& text) = 0;
  virtual void SetProgress(int position) = 0;
  virtual int TimerPeriod() const = 0;  // milliseconds; 0 while the timer is idle
  virtual void StartTimer(int periodMs) = 0;
};

// The download objects the whole program shares: one task-description record, the handles of
// the running tasks (the handle at position i belongs to row i of the list) and one progress
// record, which only ever describes the task queried last.
struct DownloadTasks {
  TaskParamRecord param;
  std::vector<int32_t> handles;
  TaskInfoRecord info;
};

// "1.50MB", "1.00GB": 1024-based, two decimals, GB from 1024 MiB on.
std::string SizeText(int64_t bytes);
// "1023KB", "1MB": whole units, cut, no "/s".
std::string SpeedText(int32_t bytesPerSecond);
// The sum of every row's speed: "1kb" below 1024 KiB/s, else "1.5MB".
std::string TotalSpeedText(const DownloadsView& view);
// The mean of every row's percentage, kept as a 32-bit float and rounded to two decimals; 0
// without rows.
float OverallProgress(const DownloadsView& view);

// Creates and starts a task for `address`, saved as `fileName` in the view's save directory,
// resuming what an earlier run left on disk, and appends its row. The first start sets the
// poll timer going.
void StartDownload(DownloadEngine& engine, DownloadTasks& tasks, DownloadsView& view,
                   const std::string& fileName, const std::string& address);

// One tick of the timer: queries every task listed when the tick began, refreshes its row and
// the status text, and drops a task the engine reports finished or cancelled together with its
// row. Such a drop ends the tick; the tasks after it are refreshed on the next one. Every
// engine call returns at once, so a tick runs to its end without letting other handlers in.
void PollDownloads(DownloadEngine& engine, DownloadTasks& tasks, DownloadsView& view);

enum class SpeedLimitResult {
  kApplied,       // the engine got the limit (or "no limit")
  kValueMissing,  // checked with an empty value box: the user must be told, the engine is untouched
};

// The speed-limit check box was clicked: unchecked lifts the limit, checked applies the value
// box's whole number of KB/s (text without leading digits gives 0, which the engine takes as
// no limit).
SpeedLimitResult ApplySpeedLimit(DownloadEngine& engine, bool checked, std::string_view value);

}  // namespace sf
