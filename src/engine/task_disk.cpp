// What a task hands to the disk: the bytes its connections hold, the space reserved for the
// file, and the jobs that make it durable, finish it or let it go.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "engine/task.h"

namespace sf::engine {
namespace {

using layout::kStateDownloading;
using layout::kStateFailed;
using layout::kStateFinished;

// Syncing the bytes as they arrive keeps the final sync short.
constexpr int64_t kWritebackEvery = 8 << 20;
// Files up to this size get no space reserved ahead of their bytes.
constexpr int64_t kReserveFrom = 256 << 10;
// How long a look at the free space serves the files that follow, and how much of it must be
// left over for a file to go without another look.
constexpr auto kFreeSpaceLookFor = std::chrono::seconds(1);
constexpr int64_t kFreeSpaceMargin = int64_t{256} << 20;

}  // namespace

bool Task::WriteBuffered(Connection& c) {
  if (c.buffer.empty()) return true;
  int64_t at = c.next - static_cast<int64_t>(c.buffer.size());
  size_t written = 0;
  int error = 0;
  while (written < c.buffer.size()) {
    ssize_t w = ::pwrite(file_->fd, c.buffer.data() + written, c.buffer.size() - written,
                         at + static_cast<int64_t>(written));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      error = w < 0 ? errno : ENOSPC;
      break;
    }
    written += static_cast<size_t>(w);
  }
  // Only bytes that reached the file count as done; the rest is fetched again later.
  done_.Add(at, at + static_cast<int64_t>(written));
  if (int64_t length = file_->length; length >= 0)
    file_->length = std::max(length, at + static_cast<int64_t>(written));
  c.buffer.clear();
  unsyncedBytes_ += static_cast<int64_t>(written);
  if (unsyncedBytes_ >= kWritebackEvery && !file_->writebackQueued.exchange(true)) {
    unsyncedBytes_ = 0;
    ctx_.disk->Post(Job(DiskJob::kWriteback));
  }
  if (error != 0) {
    c.next = at + static_cast<int64_t>(written);
    c.verdict = Connection::kDiskError;
    c.verdictCode = error;
    return false;
  }
  return true;
}

int Task::Preallocate() {
  if (!file_ || size_ <= 0) return 0;
  // A size the disk cannot hold fails at once, before it takes the disk's last free byte. A
  // partial holding none of our bytes is new or was cut to nothing: it needs the whole size.
  int64_t need = size_;
  struct stat st;
  if (done_.Total() > 0 && ::fstat(file_->fd, &st) == 0)
    need = size_ - static_cast<int64_t>(st.st_blocks) * 512;
  if (need > 0) {
    // Files far smaller than what was free a moment ago fit without another look: a stream
    // of small files asks the file system once a second, not once each.
    FreeSpaceLook& last = ctx_.freeSpace;
    auto now = Clock::now();
    bool fits = file_->device != 0 && last.device == file_->device &&
                now - last.at < kFreeSpaceLookFor && last.free - need >= kFreeSpaceMargin;
    if (fits) {
      last.free -= need;
    } else {
      struct statvfs fs;
      if (::fstatvfs(file_->fd, &fs) == 0 && fs.f_frsize > 0) {
        if (static_cast<uint64_t>(need) / fs.f_frsize >= fs.f_bavail) return ENOSPC;
        last = {file_->device, now,
                static_cast<int64_t>(std::min<uint64_t>(fs.f_bavail, INT64_MAX / fs.f_frsize) *
                                     fs.f_frsize) -
                    need};
      }
    }
  }
  // A small file is written whole at once, its few blocks allocated as it is written back:
  // reserving them first only adds a change of its extents to undo on the first write.
  if (size_ <= kReserveFrom) return 0;
  if (::fallocate(file_->fd, 0, 0, size_) == 0) {
    if (int64_t length = file_->length; length >= 0) file_->length = std::max(length, size_);
    return 0;
  }
  if (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINTR) return 0;
  return errno;
}

DiskJob Task::Job(DiskJob::Kind kind) const {
  DiskJob job;
  job.kind = kind;
  job.handle = handle_;
  job.file = file_;
  job.generation = file_->generation;
  job.size = size_;
  // The size is only worth keeping when ranges let a later run continue.
  if (kind == DiskJob::kFlush || kind == DiskJob::kRelease) job.control = FormatControl(Recorded());
  return job;
}

void Task::PostFlush(bool always) {
  if (!file_) return;
  // The periodic flush waits for the previous one; the last one before an end always goes.
  if (file_->flushQueued.exchange(true) && !always) return;
  ctx_.disk->Post(Job(DiskJob::kFlush));
}

void Task::CheckComplete() {
  if (Closing() || state_ != kStateDownloading || size_ < 0 || !done_.Contains(0, size_)) return;
  for (const auto& c : connections_)
    if (c->running) return;
  AbortAll();
  finishing_ = true;
  // No last flush: the finish syncs the whole file before it takes the control file away, and
  // until then the control file written last is still true, if short of the last ranges.
  ctx_.disk->Post(Job(DiskJob::kFinish));
}

void Task::OnDiskResult(const DiskResult& result) {
  if (result.kind == DiskJob::kClaim) {
    // A claim settled before it came back was taken over then.
    if (claim_ && result.generation == claims_) OnClaimed();
    return;
  }
  if (Ended()) return;
  if (result.kind == DiskJob::kRelease) {
    state_ = kStateFailed;
    return;
  }
  // Renamed into place: the name it reports from now on, finished or not.
  if (!result.savedName.empty()) file_->name = result.savedName;
  if (result.error != 0) {
    // Its bytes or its name may not be on disk yet: never reported finished then.
    finishing_ = false;
    return Fail(result.error);
  }
  state_ = kStateFinished;
}

}  // namespace sf::engine
