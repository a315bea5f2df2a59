#include "engine/disk_worker.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/control_file.h"
#include "engine/file_naming.h"

namespace sf::engine {
namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void SyncDirectory(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

PartFile::~PartFile() {
  CloseFile();
}

void PartFile::CloseFile() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int RenameNoReplace(const std::string& from, const std::string& dir, const std::string& name,
                    std::string& usedName) {
  for (int n = 0; n < 10000; ++n) {
    std::string candidate = NumberedName(name, n);
    std::string to = dir + "/" + candidate;
    // Another download's leftovers under that name would block its own finish later.
    if (n > 0 &&
        (Exists(to + std::string(kPartSuffix)) || Exists(to + std::string(kControlSuffix))))
      continue;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
      usedName = candidate;
      return 0;
    }
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // File systems without the no-replace flag: a hard link also refuses to replace.
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      usedName = candidate;
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

DiskWorker::DiskWorker(std::function<void()> notify) : notify_(std::move(notify)) {
  thread_ = std::thread([this] { Run(); });
}

DiskWorker::~DiskWorker() {
  Stop();
}

void DiskWorker::Post(DiskJob job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

std::vector<DiskResult> DiskWorker::TakeResults() {
  std::lock_guard lock(mutex_);
  std::vector<DiskResult> out;
  out.swap(results_);
  return out;
}

void DiskWorker::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void DiskWorker::Run() {
  while (true) {
    DiskJob job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
      if (jobs_.empty()) return;  // stopping and drained
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    if (job.kind == DiskJob::kFlush) {
      job.file->flushQueued = false;
      try {
        Flush(job);
      } catch (...) {
        // A control file that could not be written stays at its older, still true version.
      }
      continue;
    }
    if (job.kind == DiskJob::kWriteback) {
      job.file->writebackQueued = false;
      if (job.file->fd >= 0) ::sync_file_range(job.file->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
      continue;
    }
    if (job.kind == DiskJob::kRelease) {
      try {
        Flush(job);
      } catch (...) {
      }
      {
        std::lock_guard lock(job.file->mutex);
        job.file->CloseFile();
      }
      Report({job.handle, DiskJob::kRelease, 0, {}});
      continue;
    }
    if (job.kind == DiskJob::kRemove) {
      Remove(job);  // the task is gone; nobody waits for a result
      continue;
    }
    DiskResult result{job.handle, DiskJob::kFinish, ENOMEM, {}};
    try {
      result = Finish(job);
    } catch (...) {
    }
    Report(std::move(result));
  }
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
  WriteFileAtomically(f.controlPath, job.control);
}

void DiskWorker::Remove(const DiskJob& job) {
  PartFile& f = *job.file;
  std::lock_guard lock(f.mutex);
  if (f.closed) return;  // renamed into place: a finished file stays
  f.closed = true;       // and no flush still queued writes the control file again
  bool held = f.fd >= 0;
  if (!held) {
    f.fd = ::open(f.partPath.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    // Another task may have taken the partial since this one let it go: it stays theirs.
    held = f.fd >= 0 && ::flock(f.fd, LOCK_EX | LOCK_NB) == 0;
  }
  if (held) {
    // The control file first: a partial without one is never taken for a download's bytes.
    ::unlink(f.controlPath.c_str());
    ::unlink(f.partPath.c_str());
  }
  f.CloseFile();
}

DiskResult DiskWorker::Finish(const DiskJob& job) {
  PartFile& f = *job.file;
  DiskResult result{job.handle, DiskJob::kFinish, 0, f.name};
  std::lock_guard lock(f.mutex);
  if (f.closed || f.generation != job.generation) {
    result.error = ESTALE;
    return result;
  }
  if (::ftruncate(f.fd, job.size) != 0 || ::fsync(f.fd) != 0) {
    result.error = errno;
    return result;
  }
  std::string used;
  int err = RenameNoReplace(f.partPath, f.dir, f.name, used);
  if (err != 0) {
    result.error = err;
    return result;
  }
  f.closed = true;
  ::unlink(f.controlPath.c_str());
  f.CloseFile();
  SyncDirectory(f.dir);
  result.savedName = used;
  return result;
}

}  // namespace sf::engine
