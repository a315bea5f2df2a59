// A task's connections: the request each one sends, the answer judged against what the task
// holds, the body taken in, and what a finished transfer means for the task.
#include <algorithm>
#include <cerrno>
#include <climits>

#include "engine/task.h"
#include "engine_api/engine_client.h"

namespace sf::engine {
namespace {

using layout::kStateFinished;

constexpr long kBufferSize = 128 << 10;
constexpr size_t kWriteBuffer = 256 << 10;

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

// An answer whose body ends where the slice ends is read to its end: cut short, it would cost
// its connection, and the next request (the next small file above all) a new one.
bool AnswerEndsAt(const ResponseHead& head, int64_t end) {
  if (head.contentRange) return head.contentRange->first >= 0 && head.contentRange->last + 1 == end;
  return head.contentLength >= 0 && head.contentLength == end;
}

}  // namespace

void Task::Launch(Connection& c, Clock::time_point now) {
  if (!c.probe && c.end != INT64_MAX && c.next >= c.end) {
    c.hasSlice = false;  // nothing left to ask for; an empty range would only earn a 416
    return;
  }
  c.easy = curl_easy_init();
  if (c.easy == nullptr) return Fail(ENOMEM);
  c.checked = c.stopAtEnd = c.paused = c.heldForClaim = c.endedBeforeClaim = false;
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
  c.requestEnd = RequestEnd(c, now);
  c.requestFrom = c.next;
  c.requestSince = now;
  if (c.requestEnd >= 0) range += std::to_string(c.requestEnd - 1);
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
  SettleClaim();
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
    ClaimOutcome outcome;
    outcome.directory = directory_;
    PrepareFile(request_, false, *ctx_.disk, outcome);
    Adopt(outcome);
    if (int err = outcome.error) {
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

size_t Task::OnData(Connection& c, const char* data, size_t len) {
  if (Closing() || c.verdict == Connection::kDiskError || c.verdict == Connection::kFailTask)
    return 0;
  if (claim_) {
    c.heldForClaim = true;  // curl keeps the bytes until the claim lets them go on
    claim_->Await();
    return CURL_WRITEFUNC_PAUSE;
  }
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
  int64_t limit = c.requestEnd >= 0 ? std::min(c.end, c.requestEnd) : c.end;
  size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(len), limit - c.next));
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
  if (n < len || (sliceEnd && c.requestEnd != c.end && !AnswerEndsAt(c.head, c.end))) {
    c.stopAtEnd = true;  // the rest of this response belongs to another slice
    return 0;
  }
  return len;
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
  if (claim_) {
    // Ended before the claim is in (an answer without a body, a failed connection): it is
    // judged once the claim says what is on disk.
    c.endedBeforeClaim = true;
    c.endedWith = code;
    claim_->Await();
    return;
  }
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
  // The request ended where it asked to: the slice goes on with the next one, as long as this
  // connection moves in about a second.
  if (clean && rangesServed_ && c.requestEnd >= 0 && c.next >= c.requestEnd) {
    auto took = std::chrono::duration_cast<std::chrono::microseconds>(now - c.requestSince);
    c.span = (c.next - c.requestFrom) * 1000000 / std::max<int64_t>(took.count(), 1);
    return Launch(c, now);
  }
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

}  // namespace sf::engine
