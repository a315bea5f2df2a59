#include "download/download_queue.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/encoding.h"
#include "download/download_engine.h"
#include "download/engine_api.h"
#include "download/failure_text.h"

namespace sf {
namespace {

// How quickly the smoothed speed follows the engine's: about this many milliseconds to take in
// most of a change, so one fast or slow second does not make the time left jump.
constexpr double kSpeedSmoothingMs = 5000;

std::string PathOf(const std::string& directory, const std::string& name) {
  std::string dir = GbkToUtf8(directory);
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir + "/" + GbkToUtf8(name);
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// DIR/NAME is a regular file of exactly `size` bytes and no control file says it is partial.
bool AlreadyWhole(const DownloadRequest& r) {
  if (r.expectedSize < 0 || r.name.empty() || r.directory.empty()) return false;
  std::string path = PathOf(r.directory, r.name);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return st.st_size == r.expectedSize && !Exists(path + std::string(layout::kControlSuffix));
}

bool Running(DownloadStatus s) {
  return s == DownloadStatus::kRequesting || s == DownloadStatus::kDownloading;
}

// A paused task is asked until its pause shows. One paused while it waited for a retry has not
// run since it failed: the failure its task still reports is the one the user already saw.
bool Polled(const DownloadItem& item) {
  if (item.handle == 0) return false;
  if (item.status == DownloadStatus::kPaused) return item.engineState != layout::kStateFailed;
  return Running(item.status);
}

}  // namespace

int64_t DownloadItem::KnownSize() const {
  if (size > 0 || (size == 0 && status == DownloadStatus::kFinished)) return size;
  return request.expectedSize;
}

bool HasPartialFiles(const std::string& directory, const std::string& name) {
  if (name.empty() || directory.empty()) return false;
  std::string path = PathOf(directory, name);
  return Exists(path + std::string(layout::kPartSuffix)) ||
         Exists(path + std::string(layout::kControlSuffix));
}

DownloadQueue::DownloadQueue(DownloadEngine& engine) : engine_(engine) {
  info_.Init();
}

int DownloadQueue::Add(DownloadRequest request) {
  DownloadItem item;
  item.id = nextId_++;
  item.request = std::move(request);
  items_.push_back(std::move(item));
  Schedule();
  return items_.back().id;
}

DownloadItem* DownloadQueue::Get(int id) {
  return const_cast<DownloadItem*>(std::as_const(*this).Find(id));
}

// Ids are handed out in ascending order and items only ever leave, so the list stays sorted
// by id: a share of many files looks each of them up on every poll.
const DownloadItem* DownloadQueue::Find(int id) const {
  auto it = std::lower_bound(items_.begin(), items_.end(), id,
                             [](const DownloadItem& item, int wanted) { return item.id < wanted; });
  return it != items_.end() && it->id == id ? &*it : nullptr;
}

int DownloadQueue::Running() const {
  return static_cast<int>(std::count_if(
      items_.begin(), items_.end(), [](const DownloadItem& i) { return sf::Running(i.status); }));
}

void DownloadQueue::SetMaxRunning(int n) {
  maxRunning_ = std::max(n, 1);
  Schedule();
}

// Lowering the limit lets running tasks finish; only new starts wait for it.
void DownloadQueue::Schedule() {
  // Counted only as far as the limit: adding a share's files one by one would otherwise count
  // the whole list for each of them.
  int running = 0;
  for (const auto& item : items_)
    if (sf::Running(item.status) && ++running >= maxRunning_) return;
  for (auto& item : items_) {
    if (running >= maxRunning_) break;
    if (item.status != DownloadStatus::kQueued) continue;
    Start(item);
    if (sf::Running(item.status)) ++running;
  }
}

void DownloadQueue::Start(DownloadItem& item) {
  if (item.handle != 0) {
    if (engine_.StartTask(item.handle) != 0) {
      item.status = DownloadStatus::kRequesting;
      return;
    }
    item.handle = 0;  // the engine no longer knows the task: make a new one
  }
  Create(item);
}

void DownloadQueue::Create(DownloadItem& item) {
  const DownloadRequest& r = item.request;
  if (AlreadyWhole(r)) {
    item.alreadyComplete = true;
    item.savedName = r.name;
    item.size = item.done = r.expectedSize;
    item.progress = 1.0f;
    return End(item, DownloadStatus::kFinished);
  }
  // Resuming is always on: a partial file an earlier run left under this name goes on.
  int32_t handle = 0;
  if (param_.Init(r.address, r.referer, r.cookies, r.name, r.directory, false, true, true) &&
      param_.SetExpectedSize(r.expectedSize) && param_.SetRoot(r.root))
    handle = engine_.CreateTask(param_.Address());
  if (handle == 0) {
    item.failureCode = kFailureNotCreated;
    item.failureText = FailureText(kFailureNotCreated);
    return End(item, DownloadStatus::kFailed);
  }
  item.handle = handle;
  engine_.StartTask(handle);
  item.status = DownloadStatus::kRequesting;
}

void DownloadQueue::End(DownloadItem& item, DownloadStatus status) {
  item.status = status;
  item.speed = 0;
  item.smoothedSpeed = 0;
  item.etaSeconds = -1;
  ended_.push_back(item.id);
}

int DownloadQueue::Pause(const std::vector<int>& ids) {
  int acted = 0;
  for (int id : ids) {
    DownloadItem* item = Get(id);
    if (item == nullptr) continue;
    if (sf::Running(item->status)) {
      if (engine_.StopTask(item->handle) == 0) continue;
    } else if (item->status != DownloadStatus::kQueued) {
      continue;
    }
    item->status = DownloadStatus::kPaused;
    item->speed = 0;
    item->smoothedSpeed = 0;
    item->etaSeconds = -1;
    ++acted;
  }
  Schedule();
  return acted;
}

int DownloadQueue::Resume(const std::vector<int>& ids) {
  return Requeue(ids, DownloadStatus::kPaused);
}

int DownloadQueue::Retry(const std::vector<int>& ids) {
  return Requeue(ids, DownloadStatus::kFailed);
}

// Back in line, each keeps its engine task: started again, it goes on from its bytes on disk.
int DownloadQueue::Requeue(const std::vector<int>& ids, DownloadStatus from) {
  int acted = 0;
  for (int id : ids) {
    DownloadItem* item = Get(id);
    if (item == nullptr || item->status != from) continue;
    item->status = DownloadStatus::kQueued;
    item->failureCode = 0;
    item->failureText.clear();
    ++acted;
  }
  Schedule();
  return acted;
}

int DownloadQueue::Cancel(const std::vector<int>& ids, bool removeFiles) {
  int acted = 0;
  for (int id : ids) {
    DownloadItem* item = Get(id);
    if (item == nullptr) continue;
    if (item->handle != 0) engine_.DeleteTask(item->handle, removeFiles ? 1 : 0);
    std::erase_if(items_, [id](const DownloadItem& i) { return i.id == id; });
    std::erase(ended_, id);
    ++acted;
  }
  Schedule();
  return acted;
}

bool DownloadQueue::Relink(int id, std::string address) {
  DownloadItem* item = Get(id);
  if (item == nullptr || item->status != DownloadStatus::kFailed) return false;
  // A task keeps the address it was made with; only a new one asks the new address.
  if (item->handle != 0) engine_.DeleteTask(item->handle, 0);
  item->handle = 0;
  item->request.address = std::move(address);
  Requeue({id}, DownloadStatus::kFailed);
  return true;
}

void DownloadQueue::Update(DownloadItem& item, int64_t nowMs) {
  if (engine_.QueryTaskInfoEx(item.handle, info_.Address()) == 0) return;  // as it was
  item.engineState = info_.State();
  item.size = info_.TotalSize();
  item.done = info_.Downloaded();
  item.progress = info_.Progress();
  item.speed = info_.Speed();
  item.startedOver = info_.StartedOver();
  std::string name = info_.FileName();
  if (!name.empty()) item.savedName = name;

  switch (item.engineState) {
    case layout::kStateFinished:
      item.alreadyComplete = info_.AlreadyComplete() == 1;
      return End(item, DownloadStatus::kFinished);
    case layout::kStateFailed:
      item.failureCode = info_.FailureCode();
      item.failureText = FailureText(item.failureCode);
      return End(item, DownloadStatus::kFailed);
    case layout::kStateDownloading:
      if (item.status == DownloadStatus::kRequesting) item.status = DownloadStatus::kDownloading;
      break;
    case layout::kStateRequesting:  // asking the server again, after a failed connection
      if (item.status == DownloadStatus::kDownloading) item.status = DownloadStatus::kRequesting;
      break;
    default:
      break;
  }
  if (item.status != DownloadStatus::kDownloading) {
    // A paused task may still report its last second's speed while it winds down.
    if (item.status == DownloadStatus::kPaused) item.speed = 0;
    item.smoothedSpeed = 0;
    item.etaSeconds = -1;
    item.lastPollMs = -1;
    return;
  }
  if (item.lastPollMs < 0 || item.smoothedSpeed <= 0) {
    item.smoothedSpeed = item.speed;
  } else {
    double dt = static_cast<double>(std::max<int64_t>(nowMs - item.lastPollMs, 0));
    double alpha = 1.0 - std::exp(-dt / kSpeedSmoothingMs);
    item.smoothedSpeed += alpha * (item.speed - item.smoothedSpeed);
  }
  item.lastPollMs = nowMs;
  int64_t size = item.KnownSize();
  item.etaSeconds =
      size > 0 && item.smoothedSpeed >= 1
          ? static_cast<int64_t>(std::ceil(
                static_cast<double>(std::max<int64_t>(size - item.done, 0)) / item.smoothedSpeed))
          : -1;
}

std::vector<int> DownloadQueue::Poll(int64_t nowMs) {
  for (auto& item : items_)
    if (Polled(item)) Update(item, nowMs);
  Schedule();
  return TakeEnded();
}

std::vector<int> DownloadQueue::TakeEnded() {
  std::vector<int> out;
  out.swap(ended_);
  return out;
}

DownloadTotals DownloadQueue::Totals() const {
  DownloadTotals t;
  int64_t remaining = 0;
  bool remainingKnown = true;
  double speed = 0;
  for (const auto& item : items_) {
    ++t.files;
    if (item.status == DownloadStatus::kFinished) ++t.filesDone;
    int64_t size = item.KnownSize();
    if (size >= 0)
      t.bytesTotal += size;
    else
      t.allSizesKnown = false;
    t.bytesDone += item.done;
    t.speed += item.speed;
    // Paused and failed items wait for the user; the time left counts what will come by itself.
    if (item.status == DownloadStatus::kQueued || sf::Running(item.status)) {
      if (size < 0)
        remainingKnown = false;
      else
        remaining += std::max<int64_t>(size - item.done, 0);
      speed += item.smoothedSpeed;
    }
  }
  if (remainingKnown && speed >= 1)
    t.etaSeconds = static_cast<int64_t>(std::ceil(static_cast<double>(remaining) / speed));
  return t;
}

}  // namespace sf
