#include "engine/task.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include "engine/file_naming.h"
#include "engine/save_directory.h"

namespace sf::engine {
namespace {

using layout::kStateDownloading;
using layout::kStateFailed;
using layout::kStateFinished;
using layout::kStatePaused;
using layout::kStateRequesting;

constexpr int kMaxConnections = 16;
constexpr int64_t kMinSlice = 1 << 20;                   // first split: no slice below 1 MiB
constexpr int64_t kMinSteal = 256 << 10;                 // never take over less than this
constexpr int64_t kPerConnectionUnderLimit = 128 << 10;  // bytes/s that justify a connection
constexpr long kBufferSize = 128 << 10;
constexpr int kMaxRestarts = 3;
// Failures in a row without one new byte, per slice in play, before a task gives up. A server
// that keeps answering with the wrong range or a short body would otherwise have its slices
// handed from one fresh connection to the next for ever; one hiccup that hits all
// connections at once must not end a download.
constexpr int kFailuresPerSlice = 8;
constexpr size_t kWriteBuffer = 256 << 10;
// Starting write-back as data arrives keeps the final sync short.
constexpr int64_t kWritebackEvery = 32 << 20;

bool Exists(int dirFd, const std::string& name) {
  struct stat st;
  return ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Nothing may unwind through libcurl: a callback that throws ends its transfer instead, and
// the task fails once the transfer is reported done.
size_t WriteCallback(char* data, size_t size, size_t n, void* user) {
  auto* c = static_cast<Connection*>(user);
  try {
    return c->task->OnData(*c, data, size * n);
  } catch (...) {
    c->verdict = Connection::kFailTask;
    c->verdictCode = ENOMEM;
    return 0;
  }
}

size_t HeaderCallback(char* data, size_t size, size_t n, void* user) {
  auto* c = static_cast<Connection*>(user);
  try {
    c->task->OnHeaderLine(*c, std::string_view(data, size * n));
    return size * n;
  } catch (...) {
    c->verdict = Connection::kFailTask;
    c->verdictCode = ENOMEM;
    return 0;
  }
}

// Another task, in this process or another, holds the partial file. Only a held lock counts:
// a file system that cannot lock at all must not stop every download.
bool LockedElsewhere(int fd) {
  return ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

}  // namespace

Task::Task(int32_t handle, TaskRequest request, EngineContext& ctx)
    : handle_(handle), request_(std::move(request)), ctx_(ctx) {}

Task::~Task() {
  AbortAll();
  if (dirFd_ >= 0) ::close(dirFd_);
}

// The directory to save into, opened (and made when missing) once for the task's life, and the
// requested name made safe for it.
int Task::Target(std::string& name) {
  if (request_.dir.empty()) return EINVAL;
  if (dirFd_ < 0) {
    if (int err = OpenSaveDirectory(request_.dir, request_.rootBytes, true, dirFd_)) return err;
  }
  long nameMax = ::fpathconf(dirFd_, _PC_NAME_MAX);
  name = SafeFileName(request_.name, nameMax > 0 ? static_cast<size_t>(nameMax) : 255);
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
int Task::PrepareFile(bool wholeFirst) {
  std::string name;
  if (int err = Target(name)) return err;
  NamingLock naming(dirFd_);
  struct stat whole;
  if (wholeFirst && ::fstatat(dirFd_, name.c_str(), &whole, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(whole.st_mode) && !Exists(dirFd_, name + std::string(kControlSuffix))) {
    wholeSize_ = whole.st_size;
    wholeName_ = name;
    return kFoundWhole;
  }
  std::string fresh = FormatControl({request_.url, -1, {}, {}});
  for (int n = 0; n < 10000; ++n) {
    std::string candidate = NumberedName(name, n);
    auto file = std::make_shared<PartFile>();
    file->dir = request_.dir;
    while (file->dir.size() > 1 && file->dir.back() == '/') file->dir.pop_back();
    file->name = candidate;
    file->partName = candidate + std::string(kPartSuffix);
    file->controlName = candidate + std::string(kControlSuffix);
    file->partPath = file->dir + "/" + file->partName;
    file->controlPath = file->dir + "/" + file->controlName;
    if (Exists(dirFd_, candidate)) continue;
    bool hasControl = Exists(dirFd_, file->controlName);
    file->fd = ::openat(dirFd_, file->partName.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (file->fd < 0 && errno != ENOENT) continue;  // a link or a file we may not write
    if (!request_.resume && (file->fd >= 0 || hasControl)) continue;
    std::optional<ControlData> data;
    if (file->fd >= 0) {
      if (LockedElsewhere(file->fd)) {
        // A task of this engine deleted a moment ago lets it go as soon as its last record is
        // written: worth waiting for. Anyone else's is in use.
        struct stat held;
        bool lettingGo = ::fstat(file->fd, &held) == 0 && ctx_.disk->LettingGo(held);
        return lettingGo ? kWaitForFile : EBUSY;
      }
      struct stat st;
      if (::fstat(file->fd, &st) != 0 || !S_ISREG(st.st_mode)) continue;
      // Read under the lock: the task that held it may have changed it until now.
      auto text = hasControl ? ReadSmallFile(dirFd_, file->controlName) : std::nullopt;
      data = text ? ParseControl(*text) : std::nullopt;
      if (hasControl && !data) continue;  // not ours: leave it and its partial alone
      bool intact =
          data && (data->done.Ranges().empty() || data->done.Ranges().back().end <= st.st_size);
      // A partial with unknown size came from a server without ranges: it restarts anyway.
      if (intact && data->size >= 0) {
        done_ = data->done;
        size_ = data->size;
        saved_ = std::move(*data);
      } else {
        data.reset();
        if (::ftruncate(file->fd, 0) != 0) continue;
      }
    } else {
      if (hasControl) {
        auto text = ReadSmallFile(dirFd_, file->controlName);
        if (!text || !ParseControl(*text)) continue;  // not ours
      }
      file->fd = ::openat(dirFd_, file->partName.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (file->fd < 0) {
        if (errno == EEXIST) continue;
        return errno;
      }
      if (LockedElsewhere(file->fd)) continue;  // opened by someone else in between: theirs
    }
    if (!data) {
      if (int err = WriteFileAtomically(dirFd_, file->controlName, fresh)) {
        ::unlinkat(dirFd_, file->partName.c_str(), 0);
        return err;
      }
    }
    // The file keeps the directory from now on; a task has one descriptor of it, not two.
    file->dirFd = std::exchange(dirFd_, -1);
    file_ = std::move(file);
    return 0;
  }
  return EEXIST;
}

void Task::Start(Clock::time_point now) {
  if (state_ != kStatePaused || file_) return;
  state_ = kStateRequesting;
  if (request_.url.empty()) return Fail(EINVAL);
  lastFlush_ = now;
  Claim(now);
}

void Task::Claim(Clock::time_point now) {
  waitingForFile_ = false;
  int err = PrepareFile(request_.resume);
  if (err == kWaitForFile) {
    waitingForFile_ = true;  // tried again each turn of the engine until the lock is gone
    return;
  }
  if (err == kFoundWhole) return LaunchProbe(0, now);
  if (err != 0) return Fail(err);
  Begin(now);
}

// With the file in hand: done when it is complete, else ask for the first byte missing.
void Task::Begin(Clock::time_point now) {
  if (size_ >= 0 && done_.Contains(0, size_)) {
    rangesServed_ = true;
    state_ = kStateDownloading;
    return CheckComplete();
  }
  auto missing = done_.Missing(size_ >= 0 ? size_ : INT64_MAX);
  LaunchProbe(missing.empty() ? 0 : missing.front().begin, now);
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

void Task::Launch(Connection& c, Clock::time_point now) {
  if (!c.probe && c.end != INT64_MAX && c.next >= c.end) {
    c.hasSlice = false;  // nothing left to ask for; an empty range would only earn a 416
    return;
  }
  c.easy = curl_easy_init();
  if (c.easy == nullptr) return Fail(ENOMEM);
  c.checked = c.stopAtEnd = c.paused = false;
  c.verdict = Connection::kNone;
  c.verdictCode = 0;
  c.head = ResponseHead();
  c.error[0] = 0;
  c.lastData = now;
  CURL* e = c.easy;
  bool original = c.probe || c.useOriginalUrl || effectiveUrl_.empty();
  curl_easy_setopt(e, CURLOPT_URL, original ? request_.url.c_str() : effectiveUrl_.c_str());
  curl_easy_setopt(e, CURLOPT_PRIVATE, &c);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, WriteCallback);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &c);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, HeaderCallback);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &c);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, c.error);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  // Separate connections are the point of segmenting; HTTP/2 would fold them into one.
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, 20L);
  curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
  // Under a limit a smaller chunk keeps the burst any one connection can take small.
  long buffer = kBufferSize;
  if (ctx_.bucket->Limited())
    buffer =
        static_cast<long>(std::clamp<int64_t>(ctx_.bucket->Rate() / 16, 16 << 10, kBufferSize));
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, buffer);
  curl_easy_setopt(e, CURLOPT_USERAGENT, kEngineUserAgent);
  if (!request_.referer.empty()) curl_easy_setopt(e, CURLOPT_REFERER, request_.referer.c_str());
  if (!request_.cookies.empty()) curl_easy_setopt(e, CURLOPT_COOKIE, request_.cookies.c_str());
  if (!ctx_.settings.caBundle.empty()) {
    curl_easy_setopt(e, CURLOPT_CAINFO, ctx_.settings.caBundle.c_str());
    curl_easy_setopt(e, CURLOPT_CAPATH, "/etc/ssl/certs");
  }
  std::string range = std::to_string(c.next) + "-";
  c.requestEnd = -1;
  if (!c.probe && c.end != INT64_MAX) {
    range += std::to_string(c.end - 1);
    c.requestEnd = c.end;
  }
  curl_easy_setopt(e, CURLOPT_RANGE, range.c_str());
  // A resume is only good for the version of the file whose bytes are on disk; a server that
  // has another answers with the whole new file instead. Within one run the slices do not
  // ask: the nodes of a server farm may give one file different ETags, and every mismatch
  // would start the download over.
  std::string ifRange = c.probe && done_.Total() > 0 ? IfRangeValue(saved_.validators) : "";
  if (!ifRange.empty()) {
    c.headers = curl_slist_append(nullptr, ("If-Range: " + ifRange).c_str());
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, c.headers);
  }
  if (curl_multi_add_handle(ctx_.multi, e) != CURLM_OK) {
    curl_easy_cleanup(e);
    c.easy = nullptr;
    return Fail(ENOMEM);
  }
  c.running = true;
}

void Task::Abort(Connection& c) {
  if (file_ && !Closing()) WriteBuffered(c);
  c.buffer.clear();
  CloseTransfer(c);
  c.running = c.paused = false;
}

void Task::CloseTransfer(Connection& c) noexcept {
  if (c.easy != nullptr) {
    curl_multi_remove_handle(ctx_.multi, c.easy);
    curl_easy_cleanup(c.easy);
    c.easy = nullptr;
  }
  curl_slist_free_all(c.headers);
  c.headers = nullptr;
}

void Task::AbortAll() {
  for (auto& c : connections_) Abort(*c);
  connections_.clear();
  pending_.clear();
}

void Task::DropConnections() noexcept {
  for (auto& c : connections_) CloseTransfer(*c);
  connections_.clear();
  pending_.clear();
}

void Task::OnHeaderLine(Connection& c, std::string_view line) {
  c.head.ReadLine(line);
}

// The bytes on disk may be continued only from the same version of the file: the validators
// decide, and where there are none to compare, the address without its query.
bool Task::ResumesSameFile(const Validators& seen) const {
  if (auto same = SameVersion(saved_.validators, seen)) return *same;
  return AddressWithoutQuery(saved_.url) == AddressWithoutQuery(request_.url);
}

Connection::Verdict Task::Judge(Connection& c, int& code) {
  long status = 0;
  curl_easy_getinfo(c.easy, CURLINFO_RESPONSE_CODE, &status);
  code = static_cast<int>(status);
  if (status >= 500 || status == 408 || status == 429) return Connection::kRetry;
  const auto& cr = c.head.contentRange;
  if (c.probe && !file_ && wholeSize_ >= 0 && (status == 200 || status == 206 || status == 416)) {
    int64_t served = status == 200 ? c.head.contentLength : cr ? cr->total : -1;
    if (served == wholeSize_) return Connection::kComplete;
    // Another file than the one on disk: it goes on under the next free name, as ever.
    wholeSize_ = -1;
    if (int err = PrepareFile(false)) {
      code = err == kWaitForFile ? EBUSY : err;
      return Connection::kFailTask;
    }
  }
  if (c.probe) {
    if ((status == 200 || status == 206) && done_.Total() > 0 &&
        !ResumesSameFile(c.head.validators))
      return Connection::kRestart;
    if (status == 206 && cr && cr->first == c.next && cr->total >= 0) {
      if (size_ >= 0 && cr->total != size_) return Connection::kRestart;  // the file changed
      SetUpAfterProbe(c, true, cr->total);
      return Connection::kAccept;
    }
    if (status == 200) {
      SetUpAfterProbe(c, false, c.head.contentLength);
      return Connection::kAccept;
    }
    if (status == 416 && cr && cr->first < 0) {
      if (cr->total == 0 && c.next == 0) {
        SetUpAfterProbe(c, true, 0);
        return Connection::kAccept;
      }
      if (size_ >= 0 && cr->total != size_) return Connection::kRestart;
    }
    if (status == 206) {
      code = EPROTO;
      return Connection::kRetry;
    }
    if (status >= 400) return Connection::kRefused;
    return Connection::kFailTask;
  }
  // A server that stopped serving ranges, or a file whose size changed, starts over.
  if (status == 206 && cr && cr->first == c.next && cr->total == size_) return Connection::kAccept;
  if (status == 200 || (status == 206 && cr && cr->total >= 0 && cr->total != size_))
    return Connection::kRestart;
  if (status >= 400) return Connection::kRefused;
  code = EPROTO;
  return Connection::kRetry;
}

void Task::SetUpAfterProbe(Connection& c, bool rangesServed, int64_t size) {
  originValid_ = true;
  if (size >= 0) learnedSize_ = size;
  rangesServed_ = rangesServed;
  validators_ = c.head.validators;
  state_ = kStateDownloading;
  char* url = nullptr;
  curl_easy_getinfo(c.easy, CURLINFO_EFFECTIVE_URL, &url);
  effectiveUrl_ = url ? url : request_.url;
  c.probe = false;
  c.useOriginalUrl = false;
  if (!rangesServed) {
    // The body comes from byte 0 whatever we asked for.
    if (c.next != 0 || done_.Total() > 0) ResetFile();
    size_ = size;
    c.next = 0;
    c.end = size >= 0 ? size : INT64_MAX;
  } else {
    size_ = size;
    auto slices = PlanSlices(done_.Missing(size_), MaxConnections(), kMinSlice);
    std::sort(slices.begin(), slices.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
    pending_.clear();
    c.end = c.next;
    for (const auto& s : slices) {
      if (s.begin == c.next)
        c.end = s.end;
      else
        pending_.push_back(s);
    }
  }
  if (size_ > 0) {
    if (int err = Preallocate()) {
      c.verdictCode = err;
      c.verdict = Connection::kDiskError;
    }
  }
  PostFlush();
}

size_t Task::OnData(Connection& c, const char* data, size_t len) {
  if (Closing() || c.verdict == Connection::kDiskError || c.verdict == Connection::kFailTask)
    return 0;
  if (!c.checked) {
    c.checked = true;
    int code = 0;
    auto verdict = Judge(c, code);
    if (c.verdict == Connection::kDiskError) return 0;
    if (verdict != Connection::kAccept) {
      c.verdict = verdict;
      c.verdictCode = code;
      return 0;
    }
    refusals_ = 0;
  }
  if (!ctx_.bucket->Available()) {
    c.paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(len), c.end - c.next));
  // libcurl hands over at most 16 KiB at a time; gathering them saves most write calls.
  if (c.buffer.size() + n > kWriteBuffer && !WriteBuffered(c)) return 0;
  auto now = Clock::now();
  if (c.buffer.empty()) c.bufferSince = now;
  c.buffer.append(data, n);
  c.next += static_cast<int64_t>(n);
  ctx_.bucket->Consume(static_cast<int64_t>(n));
  meter_.Add(static_cast<int64_t>(n), now);
  c.lastData = now;
  // A server that ignores ranges and drops every answer at the same point sends the same
  // bytes again and again: they keep the connection alive, but they are no progress.
  bool progress = n > 0 && (rangesServed_ || c.next > furthestHeld_);
  if (!rangesServed_) furthestHeld_ = std::max(furthestHeld_, c.next);
  if (progress) {
    c.failures = 0;
    failuresWithoutProgress_ = 0;
  }
  bool sliceEnd = c.next == c.end;
  if ((sliceEnd || c.buffer.size() >= kWriteBuffer) && !WriteBuffered(c)) return 0;
  if (n < len || (sliceEnd && c.requestEnd != c.end)) {
    c.stopAtEnd = true;  // the rest of this response belongs to another slice
    return 0;
  }
  return len;
}

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

void Task::CollectPaused(std::vector<Connection*>& out) {
  for (auto& c : connections_)
    if (c->paused && c->easy != nullptr) out.push_back(c.get());
}

void Task::Unpause(Connection& c, Clock::time_point now) {
  c.paused = false;
  c.lastData = now;
  curl_easy_pause(c.easy, CURLPAUSE_CONT);  // may deliver the held chunk right here
}

void Task::OnTransferDone(Connection& c, CURLcode code, Clock::time_point now) {
  if (!c.checked && c.verdict == Connection::kNone && code == CURLE_OK) {
    c.checked = true;  // a response without a body: judge its head now
    int judged = 0;
    auto v = Judge(c, judged);
    if (c.verdict != Connection::kDiskError) {
      c.verdict = v;
      c.verdictCode = judged;
    }
  }
  Abort(c);  // also writes out what the connection still holds
  auto verdict = c.verdict;
  int verdictCode = c.verdictCode;
  if (Closing()) return;
  switch (verdict) {
    case Connection::kDiskError:
    case Connection::kFailTask:
      return Fail(verdictCode);
    case Connection::kRestart:
      return Restart(now);
    case Connection::kComplete:
      AbortAll();
      alreadyComplete_ = true;
      state_ = kStateFinished;
      return;
    case Connection::kRetry:
      return Failure(c, verdictCode, now);
    case Connection::kRefused:
      // A link refused for good is refused to every slice: one more try confirms it, then
      // the task ends, so that its caller can ask for a fresh link at once instead of the
      // slices asking the server again and again.
      if (++refusals_ > 1) return Fail(verdictCode);
      return Failure(c, verdictCode, now);
    case Connection::kAccept:
    case Connection::kNone:
      break;
  }
  bool clean = code == CURLE_OK || (code == CURLE_WRITE_ERROR && c.stopAtEnd);
  // A body of unknown length that ended cleanly is the whole file, unless the file is known
  // to be longer: then the connection was cut, however politely it closed.
  if (clean && !rangesServed_ && size_ < 0 && c.end == INT64_MAX && c.next >= ExpectedSize()) {
    size_ = c.next;
    c.end = c.next;
  }
  // A slice that holds all its bytes is done, however its connection ended.
  if (c.next >= c.end) return SliceFinished(c, now);
  if (clean) {
    // Cut short. A body that ends before the range its own head announced breaks the
    // protocol; anything else may be a connection closed early.
    const auto& cr = c.head.contentRange;
    bool promisedMore = cr && cr->first >= 0 && cr->last + 1 > c.next;
    return Failure(c, promisedMore ? EPROTO : ECONNRESET, now);
  }
  if (IsPermanentCurlFailure(code)) return Fail(ErrnoForCurlCode(code));
  return Failure(c, ErrnoForCurlCode(code), now);
}

void Task::SliceFinished(Connection& c, Clock::time_point now) {
  c.hasSlice = c.next < c.end;
  if (!c.hasSlice && rangesServed_ && ActiveConnections() < MaxConnections()) {
    if (auto work = TakeWork()) {
      c.hasSlice = true;
      c.next = work->begin;
      c.end = work->end;
    }
  }
  if (c.hasSlice) {
    Launch(c, now);
  } else {
    RemoveIdle();
  }
  CheckComplete();
}

void Task::Failure(Connection& c, int code, Clock::time_point now) {
  if (c.hasSlice && c.next >= c.end) return SliceFinished(c, now);
  c.failures++;
  c.useOriginalUrl = true;  // a signed address may have expired; ask the origin again
  if (BudgetSpent()) return Fail(code);
  if (!rangesServed_ && state_ == kStateDownloading) {
    // Without ranges the body can only start over at byte 0; ask again what the server
    // serves, it may have changed.
    ResetFile();
    state_ = kStateRequesting;
    c.probe = true;
    c.next = 0;
    c.end = INT64_MAX;
  }
  if (c.failures >= ctx_.settings.maxTries) {
    if (rangesServed_ && ActiveConnections() > 1) {
      if (c.next < c.end) pending_.push_back({c.next, c.end});
      c.hasSlice = false;
      RemoveIdle();
      return;
    }
    return Fail(code);
  }
  int64_t pause = int64_t{ctx_.settings.retryBaseMs} << std::min(c.failures - 1, 5);
  c.retryAt = now + std::chrono::milliseconds(pause);
}

// Counts one failure against the task's budget; true when the budget is spent.
bool Task::BudgetSpent() {
  int slices = ActiveConnections() + static_cast<int>(pending_.size());
  return ++failuresWithoutProgress_ >= kFailuresPerSlice * std::clamp(slices, 1, kMaxConnections);
}

std::optional<ByteRange> Task::TakeWork() {
  if (!pending_.empty()) {
    ByteRange r = pending_.front();
    pending_.pop_front();
    return r;
  }
  Connection* victim = nullptr;
  for (auto& c : connections_) {
    if (!c->hasSlice || c->end == INT64_MAX) continue;
    if (victim == nullptr || c->end - c->next > victim->end - victim->next) victim = c.get();
  }
  if (victim == nullptr) return std::nullopt;
  auto half = StealHalf(victim->next, victim->end, kMinSteal);
  if (half) victim->end = half->begin;
  return half;
}

void Task::RemoveIdle() {
  std::erase_if(connections_,
                [](const std::unique_ptr<Connection>& c) { return !c->running && !c->hasSlice; });
}

int Task::ActiveConnections() const {
  int n = 0;
  for (const auto& c : connections_)
    if (c->running || c->hasSlice) ++n;
  return n;
}

int64_t Task::ExpectedSize() const {
  return learnedSize_ >= 0 ? learnedSize_ : request_.expectedSize;
}

int Task::MaxConnections() const {
  if (!rangesServed_) return 1;
  if (!ctx_.bucket->Limited()) return kMaxConnections;
  return static_cast<int>(
      std::clamp<int64_t>(ctx_.bucket->Rate() / kPerConnectionUnderLimit, 1, kMaxConnections));
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
  WriteFileAtomically(file_->dirFd, file_->controlName, FormatControl({request_.url, -1, {}, {}}));
  if (::ftruncate(file_->fd, 0) != 0) {
    // Nothing claims those bytes any more, so what is left in them does no harm.
  }
}

int Task::Preallocate() {
  if (!file_ || size_ <= 0) return 0;
  // A size the disk cannot hold fails at once, before it takes the disk's last free byte.
  struct stat st;
  struct statvfs fs;
  if (::fstat(file_->fd, &st) == 0 && ::fstatvfs(file_->fd, &fs) == 0 && fs.f_frsize > 0) {
    int64_t need = size_ - static_cast<int64_t>(st.st_blocks) * 512;
    if (need > 0 && static_cast<uint64_t>(need) / fs.f_frsize >= fs.f_bavail) return ENOSPC;
  }
  if (::fallocate(file_->fd, 0, 0, size_) == 0) return 0;
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
  PostFlush();
  ctx_.disk->Post(Job(DiskJob::kFinish));
}

void Task::OnDiskResult(const DiskResult& result) {
  if (Ended()) return;
  if (result.kind == DiskJob::kRelease) {
    state_ = kStateFailed;
    return;
  }
  if (result.error != 0) {
    finishing_ = false;
    return Fail(result.error);
  }
  file_->name = result.savedName;
  state_ = kStateFinished;
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
  if (waitingForFile_) return Claim(now);
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
    if (c.running && !c.paused && now - c.lastData > stall) {
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

TaskStatus Task::Status(Clock::time_point now) {
  TaskStatus s;
  s.state = state_;
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
