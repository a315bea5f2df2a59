#include "engine/disk_worker.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <vector>

#include "engine/control_file.h"
#include "engine/file_naming.h"
#include "engine/save_directory.h"

namespace sf::engine {
namespace {

bool Exists(int dirFd, const std::string& name) {
  struct stat st;
  return ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// What keeps a job in order behind others: its file, or its claim's folder; 0: nothing.
uintptr_t OrderOf(const DiskJob& job) {
  return job.file ? reinterpret_cast<uintptr_t>(job.file.get()) : job.claimOrder;
}

bool Batched(const DiskJob& job) {
  return job.kind == DiskJob::kFinish && job.size <= DiskWorker::kBatchedSize;
}

// A descriptor and the file system it lies on, when known (0: looked up).
struct OnDevice {
  int fd;
  dev_t device;
};

// One sync of each file system the descriptors lie on. False when one could not be synced: the
// caller then syncs each of its own files, which says which of them failed.
bool SyncFileSystems(const std::vector<OnDevice>& fds) {
  std::set<dev_t> done;
  bool ok = true;
  for (const OnDevice& d : fds) {
    dev_t device = d.device;
    if (device == 0) {
      struct stat st;
      if (::fstat(d.fd, &st) != 0) return false;
      device = st.st_dev;
    }
    if (!done.insert(device).second) continue;
    if (::syncfs(d.fd) != 0) ok = false;
  }
  return ok;
}

bool SameFolder(const PartFile& a, const PartFile& b) {
  return a.dirInode != 0 && a.device == b.device && a.dirInode == b.dirInode;
}

// Renames under one hold of a folder's naming lock at most: other tasks claiming names there
// wait for it.
constexpr size_t kRenamesPerLock = 64;

}  // namespace

void RunBelowDriver(int lower) {
  if (lower <= 0) return;
  const auto self = static_cast<id_t>(::gettid());
  errno = 0;
  int now = ::getpriority(PRIO_PROCESS, self);
  if (now == -1 && errno != 0) return;
  ::setpriority(PRIO_PROCESS, self, std::min(now + lower, 19));
}

void PartFile::CloseFile() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

PartFile::~PartFile() {
  CloseFile();
}

int RenameNoReplace(int dirFd, const std::string& from, const std::string& name,
                    std::string& usedName) {
  for (int n = 0; n < 10000; ++n) {
    std::string to = NumberedName(name, n);
    // Another download's leftovers under that name would block its own finish later.
    if (n > 0 && (Exists(dirFd, to + std::string(kPartSuffix)) ||
                  Exists(dirFd, to + std::string(kControlSuffix))))
      continue;
    if (::renameat2(dirFd, from.c_str(), dirFd, to.c_str(), RENAME_NOREPLACE) == 0) {
      usedName = to;
      return 0;
    }
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // File systems without the no-replace flag: a hard link also refuses to replace.
    if (::linkat(dirFd, from.c_str(), dirFd, to.c_str(), 0) == 0) {
      ::unlinkat(dirFd, from.c_str(), 0);
      usedName = to;
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

void RemovePartFiles(PartFile& f) {
  std::lock_guard lock(f.mutex);
  if (f.closed || f.dirFd < 0) return;  // renamed into place: a finished file stays
  f.closed = true;                      // and no flush still queued writes the control file again
  if (f.fd < 0) {
    f.fd = ::openat(f.dirFd, f.partName.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (f.fd >= 0 && ::flock(f.fd, LOCK_EX | LOCK_NB) != 0) f.CloseFile();
  }
  if (f.fd < 0) return;
  NamingLock naming(f.dirFd, f.device, f.dirInode);
  if (naming.error() != 0) return;  // left in place, never removed unguarded
  // Only the very partial this lock is on: the name may have been given to another since.
  if (!StillNamed(f.dirFd, f.partName, f.fd)) return;
  ::unlinkat(f.dirFd, f.controlName.c_str(), 0);
  ::unlinkat(f.dirFd, f.partName.c_str(), 0);
}

DiskWorker::DiskWorker(std::function<void()> notify, int lower)
    : notify_(std::move(notify)), lower_(lower) {
  threads_.emplace_back([this] { Run(); });  // one at least, whatever starting more costs
}

DiskWorker::~DiskWorker() {
  Stop();
}

void DiskWorker::Post(DiskJob job) {
  struct stat st;
  bool lettingGo = false;
  if ((job.kind == DiskJob::kRelease || job.kind == DiskJob::kRemove) && job.file) {
    std::lock_guard lock(job.file->mutex);  // a job posted before may be closing it
    lettingGo = job.file->fd >= 0 && ::fstat(job.file->fd, &st) == 0;
  }
  if (lettingGo) job.lettingGo = {st.st_dev, st.st_ino};
  bool quiet = false;
  job.posted = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(mutex_);
    if (lettingGo) lettingGo_.insert(job.lettingGo);
    // The batch under way takes it up when it ends: nobody else is to wake for it.
    quiet = batching_ && Batched(job);
    // The thread at work on its file or folder goes on with it next.
    uintptr_t order = OrderOf(job);
    quiet = quiet || (order != 0 && busy_.count(order) != 0);
    // A job that waits for another's end needs no thread of its own either.
    job.heldBack = quiet;
    if (quiet) ++heldBack_;
    jobs_.push_back(std::move(job));
    if (!quiet && jobs_.size() - heldBack_ > idle_ && threads_.size() < kMaxThreads && !stop_) {
      try {
        threads_.emplace_back([this] { Run(); });
      } catch (...) {
        // The threads there are take the job in turn.
      }
    }
  }
  if (!quiet) wake_.notify_one();
}

bool DiskWorker::LettingGo(const struct stat& held) {
  std::lock_guard lock(mutex_);
  return lettingGo_.count({held.st_dev, held.st_ino}) != 0;
}

void DiskWorker::LetGo(const DiskJob& job) {
  {
    std::lock_guard lock(job.file->mutex);
    job.file->CloseFile();
  }
  std::lock_guard lock(mutex_);
  auto it = lettingGo_.find(job.lettingGo);
  if (it != lettingGo_.end()) lettingGo_.erase(it);
}

std::vector<DiskResult> DiskWorker::TakeResults() {
  std::lock_guard lock(mutex_);
  std::vector<DiskResult> out;
  out.swap(results_);
  return out;
}

void DiskWorker::Stop() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (auto& t : threads) t.join();
}

void DiskWorker::Run() {
  RunBelowDriver(lower_);
  std::unique_lock lock(mutex_);
  bool gathered = false;  // waited for more small finishes: the next batch goes at once
  uintptr_t after = 0;    // the file or folder this thread was last at work on
  while (true) {
    // The first job whose file no other thread is working on: a file's jobs keep their order.
    // While a batch runs, small finishes wait for the next one, and so do their files' later
    // jobs. Only a file's jobs can wait behind its small finish (a claim's key is odd, a
    // file's never): hundreds of finishes waiting for the next batch cost a claim nothing.
    auto ready = [&](std::deque<DiskJob>::iterator at) {
      uintptr_t f = OrderOf(*at);
      if (f == 0) return true;  // nothing to keep the order of
      if (busy_.count(f) != 0) return false;
      if (!batching_) return true;
      if (Batched(*at)) return false;
      return !at->file || std::none_of(jobs_.begin(), at, [f](const DiskJob& j) {
        return Batched(j) && OrderOf(j) == f;
      });
    };
    // Jobs posted for the file or folder this thread was at work on woke nobody: it takes the
    // first of them up itself.
    auto it = jobs_.end();
    if (after != 0) {
      it = std::find_if(jobs_.begin(), jobs_.end(),
                        [&](const DiskJob& j) { return OrderOf(j) == after; });
      if (it != jobs_.end() && !ready(it)) it = jobs_.end();
      after = 0;
    }
    if (it == jobs_.end()) {
      it = jobs_.begin();
      while (it != jobs_.end() && !ready(it)) ++it;
    }
    if (it == jobs_.end()) {
      if (stop_ && jobs_.empty()) return;  // stopping and drained
      ++idle_;
      wake_.wait(lock);
      --idle_;
      continue;
    }
    if (Batched(*it)) {
      auto now = std::chrono::steady_clock::now();
      if (!gathered && !stop_ && now - lastBatch_ < kStream && now < it->posted + kGather) {
        // Files are coming one after another: a moment's wait for the next few costs less
        // than a sync of the file system for each, which costs about as much for one file as
        // for fifty. Small finishes posted meanwhile wake nobody.
        batching_ = true;
        wake_.wait_until(lock, it->posted + kGather);
        batching_ = false;
        gathered = true;
        continue;
      }
      gathered = false;
      std::vector<DiskJob> batch = TakeBatch(it);
      batching_ = true;
      lock.unlock();
      FinishBatch(batch);
      lock.lock();
      lastBatch_ = std::chrono::steady_clock::now();
      for (const DiskJob& j : batch) busy_.erase(OrderOf(j));
      // The finishes that gathered meanwhile are this thread's next batch, whose sync makes
      // these names durable too; with none, the names get a sync of their own now.
      if (!named_.empty() && !BatchWaiting()) {
        lock.unlock();
        SyncNamed();
        lock.lock();
      }
      batching_ = false;
      // Finishes posted while the batch ran woke nobody: this thread may take another job
      // first, so one more may take them up.
      if (BatchWaiting()) wake_.notify_one();
      if (stop_ && jobs_.empty()) wake_.notify_all();
      continue;
    }
    DiskJob job = std::move(*it);
    jobs_.erase(it);
    if (job.heldBack) --heldBack_;
    uintptr_t order = OrderOf(job);
    if (order != 0) busy_.insert(order);
    lock.unlock();
    Carry(job);
    lock.lock();
    // The thread goes on with the file's next job, if any, itself.
    if (order != 0) busy_.erase(order);
    after = order;
    if (stop_ && jobs_.empty()) wake_.notify_all();
  }
}

void DiskWorker::Carry(DiskJob& job) {
  if (job.kind == DiskJob::kClaim) {
    int error = 0;
    try {
      if (job.work) job.work();
    } catch (...) {
      error = ENOMEM;
    }
    DiskResult result{job.handle, DiskJob::kClaim, error, {}};
    result.generation = job.generation;
    {
      std::lock_guard lock(mutex_);
      results_.push_back(std::move(result));
    }
    // Mostly the task's first answer wakes the engine thread, which takes this up then.
    if ((!job.claimDone || job.claimDone()) && notify_) notify_();
    return;
  }
  if (job.kind == DiskJob::kFlush) {
    job.file->flushQueued = false;
    try {
      Flush(job);
    } catch (...) {
      // A control file that could not be written stays at its older, still true version.
    }
    return;
  }
  if (job.kind == DiskJob::kWriteback) {
    job.file->writebackQueued = false;
    // Not only started but made durable: the disk's own cache is then emptied as the bytes
    // come, and the final sync waits for the last few megabytes instead of the whole file.
    if (job.file->fd >= 0) ::fdatasync(job.file->fd);
    return;
  }
  if (job.kind == DiskJob::kRelease) {
    try {
      Flush(job);
    } catch (...) {
    }
    LetGo(job);
    Report({job.handle, DiskJob::kRelease, 0, {}});
    return;
  }
  if (job.kind == DiskJob::kRemove) {
    LetGo(job);
    if (notify_) notify_();  // a task may wait for the lock
    return;
  }
  DiskResult result{job.handle, DiskJob::kFinish, ENOMEM, {}};
  try {
    result = Finish(job);
  } catch (...) {
  }
  Report(std::move(result));
}

std::vector<DiskJob> DiskWorker::TakeBatch(std::deque<DiskJob>::iterator first) {
  std::vector<DiskJob> batch;
  std::set<uintptr_t> seen;
  for (auto it = first; it != jobs_.end() && batch.size() < kMaxBatch;) {
    uintptr_t f = OrderOf(*it);
    // Only a file's first job: a later one must wait for those before it.
    bool firstOfFile = busy_.count(f) == 0 && seen.insert(f).second;
    if (firstOfFile && Batched(*it)) {
      busy_.insert(f);
      batch.push_back(std::move(*it));
      it = jobs_.erase(it);
      if (batch.back().heldBack) --heldBack_;
    } else {
      ++it;
    }
  }
  return batch;
}

bool DiskWorker::BatchWaiting() const {
  return std::any_of(jobs_.begin(), jobs_.end(), [this](const DiskJob& j) {
    return Batched(j) && busy_.count(OrderOf(j)) == 0;
  });
}

// The order the single finish keeps, for many files at once: every byte and length durable
// before any of them is renamed, every new name durable before any is reported. A crash in
// between leaves each file a partial (its control file, if it had one, still there until the
// rename) or whole under its name, never a name over bytes that are not on disk. One sync of
// the file system serves two batches: it makes this one's bytes durable and the names the
// batch before was given.
void DiskWorker::FinishBatch(std::vector<DiskJob>& batch) {
  std::vector<DiskResult> results;
  results.reserve(batch.size());
  for (const DiskJob& job : batch) results.push_back({job.handle, DiskJob::kFinish, 0, {}});
  try {
    if (batch.size() == 1 && named_.empty()) {
      results[0] = Finish(batch[0]);
    } else {
      std::vector<OnDevice> fds;
      for (size_t i = 0; i < batch.size(); ++i) {
        PartFile& f = *batch[i].file;
        std::lock_guard lock(f.mutex);
        if (f.closed || f.generation != batch[i].generation)
          results[i].error = ESTALE;
        else if (f.length != batch[i].size && ::ftruncate(f.fd, batch[i].size) != 0)
          results[i].error = errno;
        else
          fds.push_back({f.fd, f.device});  // a file lies where its folder does
      }
      for (const Named& n : named_) fds.push_back({n.job.file->dirFd, n.job.file->device});
      if (!SyncFileSystems(fds)) {
        for (size_t i = 0; i < batch.size(); ++i)
          if (results[i].error == 0 && ::fsync(batch[i].file->fd) != 0) results[i].error = errno;
        SyncEachFolder();
      }
      ReportNamed();
      RenameBatch(batch, results);
      // Only the failures are told now; the others once their names are durable.
      std::erase_if(results, [](const DiskResult& r) { return r.error == 0; });
    }
  } catch (...) {
    for (DiskResult& r : results)
      if (r.error == 0 && r.savedName.empty()) r.error = ENOMEM;
    try {
      SyncNamed();
    } catch (...) {
      // Out of memory even for that: those files stay unreported, in state 6.
    }
  }
  if (results.empty()) return;
  {
    std::lock_guard lock(mutex_);
    for (DiskResult& r : results) results_.push_back(std::move(r));
  }
  if (notify_) notify_();
}

void DiskWorker::RenameBatch(std::vector<DiskJob>& batch, std::vector<DiskResult>& results) {
  std::vector<size_t> order;
  for (size_t i = 0; i < batch.size(); ++i)
    if (results[i].error == 0) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const PartFile& x = *batch[a].file;
    const PartFile& y = *batch[b].file;
    return std::pair(x.device, x.dirInode) < std::pair(y.device, y.dirInode);
  });
  for (size_t k = 0; k < order.size();) {
    const PartFile& first = *batch[order[k]].file;
    NamingLock naming(first.dirFd, first.device, first.dirInode);
    size_t held = 0;
    do {
      size_t i = order[k];
      DiskResult renamed{batch[i].handle, DiskJob::kFinish, naming.error(), {}};
      if (renamed.error == 0) renamed = RenameHeld(batch[i]);
      if (renamed.error == 0)
        named_.push_back({batch[i], std::move(renamed)});
      else
        results[i] = std::move(renamed);
      ++k;
      ++held;
    } while (k < order.size() && held < kRenamesPerLock &&
             SameFolder(first, *batch[order[k]].file));
  }
}

void DiskWorker::SyncEachFolder() {
  for (Named& n : named_)
    if (n.result.error == 0 && ::fsync(n.job.file->dirFd) != 0) n.result.error = errno;
}

void DiskWorker::SyncNamed() {
  if (named_.empty()) return;
  std::vector<OnDevice> dirs;
  for (const Named& n : named_) dirs.push_back({n.job.file->dirFd, n.job.file->device});
  if (!SyncFileSystems(dirs)) SyncEachFolder();
  ReportNamed();
}

void DiskWorker::ReportNamed() {
  if (named_.empty()) return;
  {
    std::lock_guard lock(mutex_);
    for (Named& n : named_) results_.push_back(std::move(n.result));
  }
  named_.clear();
  if (notify_) notify_();
}

void DiskWorker::Report(DiskResult result) {
  {
    std::lock_guard lock(mutex_);
    results_.push_back(std::move(result));
  }
  if (notify_) notify_();
}

void DiskWorker::Flush(const DiskJob& job) {
  PartFile& f = *job.file;
  // The ranges named in the control file must be on disk before the file says so.
  if (f.fd >= 0) ::fdatasync(f.fd);
  std::lock_guard lock(f.mutex);
  if (f.closed || f.generation != job.generation) return;
  f.controlMayExist = true;  // even a write that fails may leave it
  WriteFileAtomically(f.dirFd, f.controlName, job.control);
}

DiskResult DiskWorker::Finish(const DiskJob& job) {
  PartFile& f = *job.file;
  {
    std::lock_guard lock(f.mutex);
    if (f.closed || f.generation != job.generation)
      return {job.handle, DiskJob::kFinish, ESTALE, {}};
    if ((f.length != job.size && ::ftruncate(f.fd, job.size) != 0) || ::fsync(f.fd) != 0)
      return {job.handle, DiskJob::kFinish, errno, {}};
  }
  DiskResult result = Rename(job);
  // The new name must be as durable as the bytes before the file is called finished.
  if (result.error == 0 && ::fsync(f.dirFd) != 0) result.error = errno;
  return result;
}

DiskResult DiskWorker::Rename(const DiskJob& job) {
  // Another task looking for the name sees the partial with its control file, or the file
  // whole without one.
  NamingLock naming(job.file->dirFd, job.file->device, job.file->dirInode);
  if (naming.error() != 0) return {job.handle, DiskJob::kFinish, naming.error(), {}};
  return RenameHeld(job);
}

DiskResult DiskWorker::RenameHeld(const DiskJob& job) {
  PartFile& f = *job.file;
  DiskResult result{job.handle, DiskJob::kFinish, 0, {}};
  std::lock_guard lock(f.mutex);
  if (f.closed || f.generation != job.generation) {
    result.error = ESTALE;
    return result;
  }
  std::string used;
  // A plain look (a plan's, without the lock) may fall between the two steps: the control file
  // goes first, so it sees a partial to go on with, never a whole file that still looks
  // unfinished and makes it take the next name.
  if (f.controlMayExist) ::unlinkat(f.dirFd, f.controlName.c_str(), 0);
  if (int err = RenameNoReplace(f.dirFd, f.partName, f.name, used)) {
    result.error = err;  // the task fails, and its last record brings the control file back
    return result;
  }
  f.closed = true;
  f.CloseFile();
  result.savedName = used;
  return result;
}

}  // namespace sf::engine
