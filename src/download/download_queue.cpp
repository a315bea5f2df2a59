#include "download/download_queue.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "base/encoding.h"
#include "download/download_engine.h"
#include "download/downloads.h"
#include "engine_api/engine_api.h"

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

// Every byte is in and the engine makes the file safe on disk: the item is not finished yet, but
// its transfer no longer takes one of the slots.
bool Finishing(const DownloadItem& item) {
  return Running(item.status) && item.engineState == layout::kStateEndingRequest;
}

// A paused task is asked until its pause shows; from then on it holds still until the user
// acts. One paused while it waited for a retry has not run since it failed: the failure its
// task still reports is the one the user already saw.
bool Polled(const DownloadItem& item) {
  if (item.handle == 0) return false;
  if (item.status == DownloadStatus::kPaused)
    return item.engineState != layout::kStateFailed && item.engineState != layout::kStatePaused;
  return Running(item.status);
}

// The engine says of the item's task what the item already holds (or says nothing this time).
bool Unchanged(DownloadEngine& engine, TaskInfoRecord& info, const DownloadItem& item) {
  if (engine.QueryTaskInfoEx(item.handle, info.Address()) == 0) return true;
  return info.State() == item.engineState && info.Speed() == item.speed &&
         info.Downloaded() == item.done && info.TotalSize() == item.size;
}

std::string_view WithoutSlash(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

size_t PlaceHash(std::string_view directory, std::string_view name) {
  size_t h = std::hash<std::string_view>()(WithoutSlash(directory));
  return h ^ (std::hash<std::string_view>()(name) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
}

// The names an item is found under: the one asked for, and the engine's when it differs.
template <typename F>
void ForEachPlace(const DownloadItem& item, F f) {
  f(PlaceHash(item.request.directory, item.request.name));
  if (!item.savedName.empty() && item.savedName != item.request.name)
    f(PlaceHash(item.request.directory, item.savedName));
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

DownloadQueue::DownloadQueue(DownloadEngine& engine, std::shared_ptr<IdSource> ids)
    : engine_(engine), ids_(ids ? std::move(ids) : std::make_shared<IdSource>()) {
  info_.Init();
}

void DownloadQueue::Sums::Add(const DownloadItem& item, int sign) {
  files += sign;
  if (item.status == DownloadStatus::kFinished) filesDone += sign;
  int64_t size = item.KnownSize();
  if (size >= 0)
    bytesTotal += sign * size;
  else
    unknownSizes += sign;
  bytesDone += sign * item.done;
  speed += sign * item.speed;
  if (item.status == DownloadStatus::kQueued || sf::Running(item.status)) {
    if (size < 0)
      unknownRemaining += sign;
    else
      remaining += sign * std::max<int64_t>(size - item.done, 0);
    smoothedSpeed += sign * item.smoothedSpeed;
  }
}

// A row shows its percentage with two decimals; the mean of the list is of those.
static int64_t HundredthsOf(const DownloadItem& item) {
  return std::llround(static_cast<double>(item.progress) * 100.0 * 100.0);
}

void DownloadQueue::Forget(const DownloadItem& item) {
  if (item.status == DownloadStatus::kQueued) queued_.erase(item.id);
  if (item.status == DownloadStatus::kFailed) --failed_;
  percentHundredths_ -= HundredthsOf(item);
  if (Finishing(item))
    --finishing_;
  else if (sf::Running(item.status))
    --running_;
  if (sf::Running(item.status) || item.status == DownloadStatus::kPaused) started_.erase(item.id);
  if (Polled(item))
    watched_.erase(item.id);
  else
    settled_.Add(item, -1);
  ForEachPlace(item, [&](size_t place) {
    auto [from, to] = places_.equal_range(place);
    for (auto it = from; it != to; ++it)
      if (it->second == item.id) {
        places_.erase(it);
        break;
      }
  });
}

void DownloadQueue::Keep(const DownloadItem& item) {
  if (item.status == DownloadStatus::kQueued) queued_.insert(item.id);
  if (item.status == DownloadStatus::kFailed) ++failed_;
  percentHundredths_ += HundredthsOf(item);
  if (Finishing(item))
    ++finishing_;
  else if (sf::Running(item.status))
    ++running_;
  if (sf::Running(item.status) || item.status == DownloadStatus::kPaused) started_.insert(item.id);
  if (Polled(item))
    watched_.insert(item.id);
  else
    settled_.Add(item, 1);
  ForEachPlace(item, [&](size_t place) { places_.emplace(place, item.id); });
}

int DownloadQueue::Add(DownloadRequest request) {
  DownloadItem item;
  item.id = ids_->NextItem();
  item.request = std::move(request);
  items_.push_back(std::move(item));
  Keep(items_.back());
  int id = items_.back().id;
  Schedule();
  return id;
}

void DownloadQueue::Reserve(size_t more) {
  size_t wanted = items_.size() + more;
  if (wanted > items_.capacity()) items_.reserve(std::max(wanted, 2 * items_.capacity()));
}

int DownloadQueue::Listed(const std::string& directory, const std::string& name) const {
  const std::string_view dir = WithoutSlash(directory);
  int first = 0;
  auto [from, to] = places_.equal_range(PlaceHash(directory, name));
  for (auto it = from; it != to; ++it) {
    const DownloadItem* item = Find(it->second);
    if (item && item->status != DownloadStatus::kFinished &&
        WithoutSlash(item->request.directory) == dir &&
        (item->request.name == name || item->savedName == name) && (first == 0 || item->id < first))
      first = item->id;
  }
  return first;
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

void DownloadQueue::SetMaxRunning(int n) {
  maxRunning_ = std::max(n, 1);
  Schedule();
}

int DownloadQueue::FinishingRoom() {
  // Read once: each finishing file holds two descriptors, and the rest of the program (the
  // running transfers' connections, the window's or the service's own) keeps a good margin.
  static const int room = [] {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
      return kMaxFinishing;
    const auto spare = static_cast<int64_t>(limit.rlim_cur) - 256;
    return static_cast<int>(std::clamp<int64_t>(spare / 3, 16, kMaxFinishing));
  }();
  return room;
}

// Lowering the limit lets running tasks finish; only new starts wait for it.
void DownloadQueue::Schedule() {
  const int finishingRoom = FinishingRoom();
  // A start always takes the item out of line: it runs, or it ended at once.
  while (running_ < maxRunning_ && finishing_ < finishingRoom && !queued_.empty()) {
    DownloadItem& item = *Get(*queued_.begin());
    Forget(item);
    Start(item);
    Keep(item);
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
    Forget(*item);
    item->status = DownloadStatus::kPaused;
    item->speed = 0;
    item->smoothedSpeed = 0;
    item->etaSeconds = -1;
    Keep(*item);
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
    Forget(*item);
    item->status = DownloadStatus::kQueued;
    item->failureCode = 0;
    Keep(*item);
    ++acted;
  }
  Schedule();
  return acted;
}

// The list is closed up once for all of them: the window lets every finished file go at once.
int DownloadQueue::Cancel(const std::vector<int>& ids, bool removeFiles) {
  std::unordered_set<int> gone;
  for (int id : ids) {
    DownloadItem* item = Get(id);
    if (item == nullptr || !gone.insert(id).second) continue;
    if (item->handle != 0) engine_.DeleteTask(item->handle, removeFiles ? 1 : 0);
    Forget(*item);
  }
  if (!gone.empty()) {
    std::erase_if(items_, [&](const DownloadItem& i) { return gone.count(i.id) != 0; });
    std::erase_if(ended_, [&](int id) { return gone.count(id) != 0; });
  }
  Schedule();
  return static_cast<int>(gone.size());
}

int DownloadQueue::Drop(const std::vector<int>& ids) {
  std::unordered_set<int> gone;
  for (int id : ids) {
    const DownloadItem* item = Find(id);
    if (item == nullptr || item->status != DownloadStatus::kFinished || !gone.insert(id).second)
      continue;
    // Its engine task went when it finished; its sums go back among the settled ones.
    Forget(*item);
    settled_.Add(*item, 1);
  }
  if (!gone.empty()) {
    std::erase_if(items_, [&](const DownloadItem& i) { return gone.count(i.id) != 0; });
    std::erase_if(ended_, [&](int id) { return gone.count(id) != 0; });
  }
  return static_cast<int>(gone.size());
}

bool DownloadQueue::Relink(int id, std::string address) {
  DownloadItem* item = Get(id);
  if (item == nullptr || item->status != DownloadStatus::kFailed) return false;
  // A task keeps the address it was made with; only a new one asks the new address.
  if (item->handle != 0) engine_.DeleteTask(item->handle, 0);
  Forget(*item);
  item->handle = 0;
  item->request.address = std::move(address);
  Keep(*item);
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
  // Converted only when it changed: a poll reads every running download.
  if (size_t key = info_.FileNameKey(); key != item.savedNameKey) {
    item.savedNameKey = key;
    std::string name = info_.FileName();
    if (!name.empty()) item.savedName = name;
  }

  switch (item.engineState) {
    case layout::kStateFinished:
      item.alreadyComplete = info_.AlreadyComplete() == 1;
      // The engine has nothing more to say of a finished file, and what it said stays here: it
      // forgets the task, so a share of many files does not keep every one of them twice.
      engine_.DeleteTask(item.handle, 0);
      item.handle = 0;
      return End(item, DownloadStatus::kFinished);
    case layout::kStateFailed:
      item.failureCode = info_.FailureCode();
      return End(item, DownloadStatus::kFailed);
    case layout::kStateDownloading:
    case layout::kStateEndingRequest:
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
  std::vector<int> watched(watched_.begin(), watched_.end());
  moved_.clear();
  for (int id : watched) {
    DownloadItem& item = *Get(id);
    // Hundreds of small files may wait for the disk at once, and a poll comes as each other file
    // moves: one whose answer shows nothing new is left as it is, not taken out and put back.
    if (Finishing(item) && Unchanged(engine_, info_, item)) continue;
    Forget(item);
    Update(item, nowMs);
    Keep(item);
    moved_.push_back(id);
  }
  Schedule();
  return TakeEnded();
}

std::vector<int> DownloadQueue::TakeEnded() {
  std::vector<int> out;
  out.swap(ended_);
  return out;
}

// Paused and failed items wait for the user; the time left counts what will come by itself.
DownloadTotals DownloadQueue::Sums::Totals() const {
  DownloadTotals t;
  t.files = files;
  t.filesDone = filesDone;
  t.bytesTotal = bytesTotal;
  t.allSizesKnown = unknownSizes == 0;
  t.bytesDone = bytesDone;
  t.speed = speed;
  if (unknownRemaining == 0 && smoothedSpeed >= 1)
    t.etaSeconds = static_cast<int64_t>(std::ceil(static_cast<double>(remaining) / smoothedSpeed));
  return t;
}

DownloadTotals DownloadQueue::Totals() const {
  Sums sums = settled_;
  for (int id : watched_) sums.Add(*Find(id), 1);
  return sums.Totals();
}

DownloadTotals DownloadQueue::TotalsOf(const std::vector<DownloadItem>& items) {
  Sums sums;
  for (const DownloadItem& item : items) sums.Add(item, 1);
  return sums.Totals();
}

}  // namespace sf
