#include "engine/task.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <functional>
#include <utility>

#include "engine/file_naming.h"
#include "engine/save_directory.h"

namespace sf::engine {
namespace {

using layout::kStateDownloading;
using layout::kStateEndingRequest;
using layout::kStateFailed;
using layout::kStateFinished;
using layout::kStatePaused;
using layout::kStateRequesting;

constexpr int kMaxRestarts = 3;

bool Exists(int dirFd, const std::string& name) {
  struct stat st;
  return ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// 1 when something is at `name`, 0 when nothing is, or minus the errno value of a look that
// could not tell.
int Lookup(int dirFd, const std::string& name) {
  struct stat st;
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return 1;
  return errno == ENOENT ? 0 : -(errno != 0 ? errno : EIO);
}

// An open that failed because of what stands at the name (a link, a folder, a file we may not
// use): the name is taken, the next one is tried. Any other failure (descriptors or memory
// run out, an I/O error) says nothing about the name and ends the task: taking the next name
// for it would make a copy.
bool TakenBy(int err) {
  return err == ELOOP || err == EACCES || err == EPERM || err == EISDIR || err == ENXIO ||
         err == ETXTBSY || err == ENODEV || err == EFBIG || err == ENOENT;
}

// Another task, in this process or another, holds the partial file. Only a held lock counts:
// a file system that cannot lock at all must not stop every download.
bool LockedElsewhere(int fd) {
  return ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

// Nothing stands at the control file's name of the requested file: a claim will not find
// ranges to go on from there.
bool NoControlFile(const TaskRequest& request) {
  std::string path = request.dir;
  if (path.empty()) return false;
  if (path.back() != '/') path += '/';
  path += SafeFileName(request.name);
  path += kControlSuffix;
  struct stat st;
  return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

}  // namespace

Task::Task(int32_t handle, TaskRequest request, EngineContext& ctx)
    : handle_(handle), request_(std::move(request)), ctx_(ctx) {}

Task::~Task() {
  AbortAll();
}

void ClaimOutcome::CallOff() {
  std::unique_lock lock(mutex_);
  if (phase_ == kQueued) phase_ = kCalledOff;
  done_.wait(lock, [this] { return phase_ != kRunning; });
}

bool ClaimOutcome::Begin() {
  std::lock_guard lock(mutex_);
  if (phase_ != kQueued) return false;
  phase_ = kRunning;
  return true;
}

bool ClaimOutcome::Done() {
  bool awaited;
  {
    std::lock_guard lock(mutex_);
    if (phase_ != kRunning) return false;  // called off: nobody takes the outcome up
    phase_ = kDone;
    awaited = awaited_;
  }
  done_.notify_all();
  return awaited;
}

bool ClaimOutcome::Await() {
  std::lock_guard lock(mutex_);
  if (phase_ == kDone) return true;
  awaited_ = true;
  return false;
}

// The directory to save into, opened (and made when missing) once for the task's life, and the
// requested name made safe for it.
static int Target(const TaskRequest& request, std::shared_ptr<SaveDirectory>& dir,
                  std::string& name) {
  if (request.dir.empty()) return EINVAL;
  if (!dir) {
    if (int err = ShareSaveDirectory(request.dir, request.rootBytes, dir)) return err;
  }
  name = SafeFileName(request.name, dir->nameMax);
  return 0;
}

// Picks the file this task writes: its own partial from an earlier run when resuming, else the
// first name under which no file exists yet. A partial nobody holds the lock of is free to take:
// with its control file it goes on, without one it starts from zero. A partial is never made
// again under a name whose control file outlived it. The partial is locked before anything
// reads its ranges or writes to it; when another task holds it, this one fails with EBUSY. All
// of it happens under the directory's naming lock, so no other task sees a name half claimed,
// nor a download half renamed into place.
//
// With `wholeFirst`, a file already under the requested name without a control file may be
// this very download, finished by an earlier run or by another task a moment ago: nothing is
// claimed then, its size is kept for the server's to decide, and the result is kFoundWhole.
void Task::PrepareFile(const TaskRequest& request, bool wholeFirst, DiskWorker& disk,
                       ClaimOutcome& out) {
  out.error = PrepareIn(request, wholeFirst, disk, out);
}

int Task::PrepareIn(const TaskRequest& request, bool wholeFirst, DiskWorker& disk,
                    ClaimOutcome& out, bool wait) {
  std::string name;
  if (int err = Target(request, out.directory, name)) return err;
  const SaveDirectory& directory = *out.directory;
  const int dirFd = directory.fd;
  NamingLock naming(dirFd, directory.device, directory.inode, wait);
  if (!wait && naming.error() == EWOULDBLOCK) return kWouldWait;
  if (naming.error() != 0) return naming.error();
  // What stands at the requested name itself, when the look for a whole file tells: the first
  // candidate is not looked at twice. -1: not known yet.
  int atName = -1;
  if (wholeFirst) {
    struct stat whole;
    if (::fstatat(dirFd, name.c_str(), &whole, AT_SYMLINK_NOFOLLOW) == 0) {
      atName = 1;
      if (S_ISREG(whole.st_mode) && !Exists(dirFd, name + std::string(kControlSuffix))) {
        out.wholeSize = whole.st_size;
        out.wholeName = name;
        return kFoundWhole;
      }
    } else if (errno == ENOENT) {
      atName = 0;
    }
  }
  for (int n = 0; n < 10000; ++n) {
    std::string candidate = NumberedName(name, n);
    auto file = std::make_shared<PartFile>();
    file->dir = request.dir;
    while (file->dir.size() > 1 && file->dir.back() == '/') file->dir.pop_back();
    file->name = candidate;
    file->partName = candidate + std::string(kPartSuffix);
    file->controlName = candidate + std::string(kControlSuffix);
    file->partPath = file->dir + "/" + file->partName;
    file->controlPath = file->dir + "/" + file->controlName;
    file->dirFd = dirFd;
    file->directory = out.directory;
    file->device = directory.device;
    file->dirInode = directory.inode;
    int there = n == 0 && atName >= 0 ? atName : Lookup(dirFd, candidate);
    int control = there == 0 ? Lookup(dirFd, file->controlName) : 0;
    if (there < 0 || control < 0) return -std::min(there, control);
    if (there > 0) continue;
    bool hasControl = control > 0;
    // What a run left behind is read, and may be written, on a disk thread.
    if (!wait && hasControl) return kWouldWait;
    if (!hasControl) {
      // Mostly the name is free and no partial waits under it: one call makes the partial.
      file->fd = ::openat(dirFd, file->partName.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (file->fd >= 0) {
        if (LockedElsewhere(file->fd)) continue;  // opened by someone else in between: theirs
        file->length = 0;
        out.file = std::move(file);
        return 0;
      }
      if (errno != EEXIST) return errno;
      if (!wait) return kWouldWait;
    }
    // A partial someone let go of a moment ago may have had its last control file written
    // since the look above, outside the naming lock: the finish takes it away too.
    file->controlMayExist = true;
    file->fd = ::openat(dirFd, file->partName.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (file->fd < 0 && errno != ENOENT) {
      if (TakenBy(errno)) continue;  // a link or a file we may not write
      return errno;
    }
    int readError = 0;
    if (!request.resume && (file->fd >= 0 || hasControl)) continue;
    std::optional<ControlData> data;
    if (file->fd >= 0) {
      if (LockedElsewhere(file->fd)) {
        // A task of this engine deleted a moment ago lets it go as soon as its last record is
        // written: worth waiting for. Anyone else's is in use.
        struct stat held;
        bool lettingGo = ::fstat(file->fd, &held) == 0 && disk.LettingGo(held);
        if (lettingGo) return kWaitForFile;
        // A task letting go closes its file before it stops being counted as letting go: one
        // that did so between the two looks has left the lock free, and it is ours now.
        if (LockedElsewhere(file->fd)) return EBUSY;
      }
      struct stat st;
      if (::fstat(file->fd, &st) != 0 || !S_ISREG(st.st_mode)) continue;
      // The task that let the partial go wrote its last control file before it let go, which
      // may have been after the look above: a control file that names ranges must not be
      // left beside a partial that starts from zero.
      if (!hasControl) {
        int again = Lookup(dirFd, file->controlName);
        if (again < 0) return -again;
        hasControl = again > 0;
      }
      // Read under the lock: the task that held it may have changed it until now.
      auto text =
          hasControl ? ReadSmallFile(dirFd, file->controlName, 1 << 20, &readError) : std::nullopt;
      if (hasControl && !text && !TakenBy(readError)) return readError;
      data = text ? ParseControl(*text) : std::nullopt;
      if (hasControl && !data) continue;  // not ours: leave it and its partial alone
      bool intact =
          data && (data->done.Ranges().empty() || data->done.Ranges().back().end <= st.st_size);
      // A partial with unknown size came from a server without ranges: it restarts anyway.
      if (intact && data->size >= 0) {
        out.resumed = true;
        out.saved = std::move(*data);
      } else {
        data.reset();
        if (::ftruncate(file->fd, 0) != 0) continue;
        file->length = 0;
      }
    } else {
      if (hasControl) {
        auto text = ReadSmallFile(dirFd, file->controlName, 1 << 20, &readError);
        if (!text && !TakenBy(readError)) return readError;
        if (!text || !ParseControl(*text)) continue;  // not ours
      }
      file->fd = ::openat(dirFd, file->partName.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (file->fd < 0) {
        if (errno == EEXIST) continue;
        return errno;
      }
      if (LockedElsewhere(file->fd)) continue;  // opened by someone else in between: theirs
      file->length = 0;
    }
    // A partial without a control file starts from zero, which is all a fresh one could say:
    // the control file is first written when it has ranges to keep (the periodic flush, a
    // pause, a failure), so a file that arrives whole at once never has one. One left by
    // another run must not go on claiming bytes this one drops.
    if (!data && hasControl) {
      std::string fresh = FormatControl({request.url, -1, {}, {}});
      if (int err = WriteFileAtomically(dirFd, file->controlName, fresh)) {
        ::unlinkat(dirFd, file->partName.c_str(), 0);
        return err;
      }
    }
    out.file = std::move(file);
    return 0;
  }
  return EEXIST;
}

void Task::Start(Clock::time_point now) {
  if (state_ != kStatePaused || file_ || claim_) return;
  state_ = kStateRequesting;
  if (request_.url.empty()) return Fail(EINVAL);
  lastFlush_ = now;
  // A claim handed to a disk thread and back costs more than the claim of a new file itself:
  // the engine thread claims it at once, and its first request goes out knowing what is on
  // disk. A disk thread takes it when the folder's naming lock is held (a batch renaming into
  // it, another program), when a run left files behind under the name, and for a while after
  // a claim here was slow: on a slow disk, claims side by side on the disk threads hold no
  // transfer up.
  if (now >= ctx_.claimsAwayUntil && ClaimHere()) return;
  Claim(now);
  // The first request goes out while the claim runs, so that the file's creation and the
  // server's answer overlap instead of following each other. It asks what a file with nothing
  // to go on from asks, from byte 0; its answer is judged, and its body taken, only once the
  // claim is in. Where a control file says there may be bytes to go on from, the request waits
  // for the claim: it would ask bytes already on disk. (The look is outside the naming lock,
  // a hint only: a claim that finds ranges after all drops the request for one of its own.)
  if (!request_.resume || NoControlFile(request_))
    LaunchProbe(0, now);
  else
    claim_->Await();
}

bool Task::ClaimHere() {
  // A new file in a folder held open takes a few tens of microseconds to claim, the first one
  // in a folder some hundreds; claims that take this long on average are a slow disk's.
  constexpr int64_t kSlowUs = 250;
  constexpr auto kAwayFor = std::chrono::seconds(1);
  const auto began = Clock::now();
  auto outcome = std::make_shared<ClaimOutcome>();
  outcome->directory = directory_;
  int err = 0;
  try {
    err = PrepareIn(request_, request_.resume, *ctx_.disk, *outcome, false);
  } catch (...) {
    err = ENOMEM;
  }
  const auto done = Clock::now();
  int64_t& average = ctx_.claimUs;
  average +=
      (std::chrono::duration_cast<std::chrono::microseconds>(done - began).count() - average) / 8;
  if (average > kSlowUs) {
    ctx_.claimsAwayUntil = done + kAwayFor;
    average = 0;
  }
  if (err == kWouldWait) {
    if (outcome->directory) directory_ = std::move(outcome->directory);
    return false;
  }
  outcome->error = err;
  ++claims_;
  claim_ = std::move(outcome);
  OnClaimed();
  return true;
}

void Task::Claim(Clock::time_point) {
  waitingForFile_ = false;
  if (claim_) return;
  auto outcome = std::make_shared<ClaimOutcome>();
  outcome->directory = directory_;
  DiskJob job;
  job.kind = DiskJob::kClaim;
  job.handle = handle_;
  job.generation = ++claims_;
  // Odd, so it never equals a file's key.
  job.claimOrder = std::hash<std::string>{}(request_.dir) | 1;
  // The task may be gone when the claim runs: it works on copies and on the outcome alone.
  job.work = [outcome, request = request_, disk = ctx_.disk] {
    if (!outcome->Begin()) return;
    try {
      PrepareFile(request, request.resume, *disk, *outcome);
    } catch (...) {
      outcome->error = ENOMEM;
    }
  };
  job.claimDone = [outcome] { return outcome->Done(); };
  claim_ = std::move(outcome);
  ctx_.disk->Post(std::move(job));
}

void Task::OnClaimed() {
  std::shared_ptr<ClaimOutcome> outcome = std::move(claim_);
  Adopt(*outcome);
  if (Closing() || state_ != kStateRequesting) return;  // paused or ended meanwhile
  auto now = Clock::now();
  int err = outcome->error;
  if (err == kWaitForFile) {
    AbortAll();              // a new claim, and its own request, come when the lock is free
    waitingForFile_ = true;  // tried again each turn of the engine until the lock is gone
    return;
  }
  if (err == kFoundWhole) {
    if (connections_.size() == 1 && connections_[0]->probe)
      return ReleaseProbe(*connections_[0], now);
    return LaunchProbe(0, now);
  }
  if (err != 0) return Fail(err);
  Begin(now);
}

void Task::ReleaseProbe(Connection& c, Clock::time_point now) {
  c.lastData = now;
  if (c.endedBeforeClaim) {
    c.endedBeforeClaim = false;
    return OnTransferDone(c, c.endedWith, now);
  }
  if (!c.heldForClaim) return;
  c.heldForClaim = false;
  curl_easy_pause(c.easy, CURLPAUSE_CONT);  // may deliver the held bytes right here
}

void Task::SettleClaim() {
  if (!claim_) return;
  std::shared_ptr<ClaimOutcome> outcome = std::move(claim_);
  // Called off, it found nothing but the directory; else what it found is the task's to keep
  // or let go.
  outcome->CallOff();
  Adopt(*outcome);
}

void Task::Adopt(ClaimOutcome& outcome) {
  if (outcome.directory) directory_ = std::move(outcome.directory);
  if (outcome.error == kFoundWhole) {
    wholeSize_ = outcome.wholeSize;
    wholeName_ = outcome.wholeName;
  }
  if (!outcome.file) return;
  if (outcome.resumed) {
    done_ = outcome.saved.done;
    size_ = outcome.saved.size;
    saved_ = std::move(outcome.saved);
  }
  file_ = std::move(outcome.file);
}

// With the file in hand: done when it is complete, else ask for the first byte missing.
void Task::Begin(Clock::time_point now) {
  const bool whole = size_ >= 0 && done_.Contains(0, size_);
  auto missing = done_.Missing(size_ >= 0 ? size_ : INT64_MAX);
  const int64_t from = missing.empty() ? 0 : missing.front().begin;
  if (connections_.size() == 1 && connections_[0]->probe) {
    // Sent while the claim ran: it asked from byte 0 without a validator, right for a file
    // with nothing on disk to go on from.
    if (!whole && from == 0 && done_.Total() == 0) return ReleaseProbe(*connections_[0], now);
    AbortAll();
  }
  if (whole) {
    rangesServed_ = true;
    state_ = kStateDownloading;
    return CheckComplete();
  }
  LaunchProbe(from, now);
}

// The first request of a run, from `from` on: its answer tells what the server serves.
void Task::LaunchProbe(int64_t from, Clock::time_point now) {
  auto probe = std::make_unique<Connection>();
  probe->task = this;
  probe->probe = true;
  probe->hasSlice = true;
  probe->next = from;
  probe->end = INT64_MAX;
  connections_.push_back(std::move(probe));
  Launch(*connections_.back(), now);
}

void Task::Pause() {
  if (Closing() || state_ == kStatePaused) return;
  AbortAll();  // writes out what the connections hold
  wholeSize_ = -1;
  waitingForFile_ = false;
  state_ = kStatePaused;
  if (!file_) return;
  // The bytes kept are this version of the file: a resume asks for the same one.
  saved_ = Recorded();
  PostFlush();
}

ControlData Task::Recorded() const {
  // Until a server's answer has taken the partial over, what the last run saved about it still
  // holds: a task that fails or pauses before then (its link refused, say) must not leave the
  // bytes on disk looking as if they could not be continued.
  if (!originValid_ && saved_.size >= 0)
    return {request_.url, saved_.size, done_, saved_.validators};
  return {request_.url, rangesServed_ ? size_ : -1, done_, validators_};
}

void Task::Resume(Clock::time_point now) {
  if (state_ != kStatePaused) return;
  if (!file_) return Start(now);
  state_ = kStateRequesting;
  lastFlush_ = now;
  restarts_ = 0;
  failuresWithoutProgress_ = 0;
  refusals_ = 0;
  Begin(now);
}

void Task::Delete(bool removeFiles) {
  AbortAll();
  // A finishing file becomes whole on disk; it is never removed.
  if (!file_ || state_ == kStateFinished || finishing_) return;
  if (removeFiles) {
    // Gone before the next command is carried out, so a new download of the same file right
    // after finds the name free, not half removed.
    RemovePartFiles(*file_);
    ctx_.disk->Post(Job(DiskJob::kRemove));
  } else if (!failing_ && !Ended()) {
    ctx_.disk->Post(Job(DiskJob::kRelease));
  }
}

void Task::Restart(Clock::time_point now) {
  if (++restarts_ > kMaxRestarts) return Fail(EPROTO);
  AbortAll();
  ResetFile();
  size_ = -1;
  learnedSize_ = -1;  // the file changed: what an earlier answer said of it is past
  rangesServed_ = false;
  state_ = kStateRequesting;
  LaunchProbe(0, now);
}

void Task::ResetFile() {
  if (done_.Total() > 0) ++startedOver_;  // reported, so a restart from zero is seen
  done_.Clear();
  saved_ = ControlData();
  validators_ = Validators();
  if (!file_) return;
  std::lock_guard lock(file_->mutex);
  file_->generation++;
  // The control file forgets the old ranges before the bytes go.
  file_->controlMayExist = true;
  WriteFileAtomically(file_->dirFd, file_->controlName, FormatControl({request_.url, -1, {}, {}}));
  // Nothing claims those bytes any more, so what is left in them does no harm; the finish
  // sets the length.
  file_->length = ::ftruncate(file_->fd, 0) == 0 ? 0 : -1;
}

// What is on disk stays usable for a later resume. The failure is reported once its last
// control-file write is done and the partial is let go, so a task started again at once
// finds it free.
void Task::Fail(int code) {
  if (Ended() || failing_) return;
  AbortAll();
  failureCode_ = code != 0 ? code : EIO;  // 0 would read as no failure at all
  if (!file_) {
    state_ = kStateFailed;
    return;
  }
  failing_ = true;
  ctx_.disk->Post(Job(DiskJob::kRelease));
}

void Task::Abandon(int code) noexcept {
  try {
    Fail(code);
    return;
  } catch (...) {
  }
  // Even failing failed: report it now; the partial is let go with the task.
  DropConnections();
  failing_ = false;
  failureCode_ = code != 0 ? code : EIO;
  state_ = kStateFailed;
}

void Task::Shutdown() {
  if (Closing()) return;
  AbortAll();
  PostFlush();
}

void Task::Tick(Clock::time_point now) {
  if (Closing() || state_ == kStatePaused) return;
  if (waitingForFile_) {
    Claim(now);
    if (claim_) claim_->Await();
    return;
  }
  for (size_t i = 0; i < connections_.size(); ++i) {
    Connection& c = *connections_[i];
    if (!c.running && c.hasSlice && now >= c.retryAt) Launch(c, now);
    if (Closing()) return;
  }
  if (rangesServed_ && state_ == kStateDownloading) {
    while (ActiveConnections() < MaxConnections()) {
      auto work = TakeWork();
      if (!work) break;
      auto c = std::make_unique<Connection>();
      c->task = this;
      c->hasSlice = true;
      c->useOriginalUrl = false;
      c->next = work->begin;
      c->end = work->end;
      connections_.push_back(std::move(c));
      Launch(*connections_.back(), now);
      if (Closing()) return;
    }
  }
  // A slow connection's bytes should not wait long in memory: progress reports and the
  // control file only count what is in the file.
  for (auto& c : connections_) {
    if (!c->buffer.empty() && now - c->bufferSince > std::chrono::milliseconds(200) &&
        !WriteBuffered(*c)) {
      return Fail(c->verdictCode);
    }
  }
  auto stall = std::chrono::seconds(ctx_.settings.stallSeconds);
  for (size_t i = 0; i < connections_.size(); ++i) {
    Connection& c = *connections_[i];
    if (c.running && !c.paused && !c.heldForClaim && !c.endedBeforeClaim &&
        now - c.lastData > stall) {
      Abort(c);
      Failure(c, ETIMEDOUT, now);
      if (Closing()) return;
    }
  }
  if (now - lastFlush_ >= std::chrono::seconds(1)) {
    lastFlush_ = now;
    PostFlush(false);
  }
  CheckComplete();
}

// Every byte is in hand and the disk makes the file durable and renames it: the transfer is
// over, so a caller that counts transfers may start the next one, but the file is reported
// finished only once it is safe on disk.
int32_t Task::ReportedState() const {
  return finishing_ && !Ended() ? kStateEndingRequest : state_;
}

TaskStatus Task::Status(Clock::time_point now) {
  TaskStatus s;
  s.state = ReportedState();
  publishedState_ = s.state;
  s.failureCode = failureCode_;
  s.startedOver = startedOver_;
  s.alreadyComplete = alreadyComplete_;
  s.name = file_ ? file_->name : alreadyComplete_ ? wholeName_ : request_.name;
  if (file_ && state_ != kStateFinished) {
    s.partPath = file_->partPath;
    s.controlPath = file_->controlPath;
  }
  s.size = std::max<int64_t>(size_, 0);
  s.downloaded = done_.Total();
  if (state_ == kStateFinished)
    s.progress = 1.0f;
  else if (size_ > 0)
    s.progress = static_cast<float>(static_cast<double>(s.downloaded) / static_cast<double>(size_));
  s.speed = state_ == kStateDownloading
                ? static_cast<int32_t>(std::min<int64_t>(meter_.BytesPerSecond(now), INT32_MAX))
                : 0;
  int running = 0;
  for (const auto& c : connections_)
    if (c->running) ++running;
  s.connections = running;
  s.originValid = originValid_;
  s.creatingFile = state_ == kStateRequesting;
  return s;
}

}  // namespace sf::engine
