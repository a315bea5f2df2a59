// How a task spreads a file over its connections: the slices planned after the first answer,
// the work a connection takes on when its own is done, and the failure budget.
#include <algorithm>
#include <cerrno>
#include <climits>

#include "engine/task.h"

namespace sf::engine {
namespace {

using layout::kStateDownloading;
using layout::kStateRequesting;

constexpr int kMaxConnections = 16;
constexpr int64_t kMinSlice = 1 << 20;                   // first split: no slice below 1 MiB
constexpr int64_t kMinSteal = 256 << 10;                 // never take over less than this
constexpr int64_t kPerConnectionUnderLimit = 128 << 10;  // bytes/s that justify a connection
// A request asks for about a second of a connection's bytes, within these bounds: what it
// asked for is its own, and only the bytes beyond are free for another connection to take.
constexpr int64_t kMinRequest = 512 << 10;
constexpr int64_t kMaxRequest = 64 << 20;
// Failures in a row without one new byte, per slice in play, before a task gives up. A server
// that keeps answering with the wrong range or a short body would otherwise have its slices
// handed from one fresh connection to the next for ever; one hiccup that hits all
// connections at once must not end a download.
constexpr int kFailuresPerSlice = 8;

}  // namespace

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
    c.requestEnd = -1;
    c.next = 0;
    c.end = size >= 0 ? size : INT64_MAX;
  } else {
    size_ = size;
    // What this answer carries is this connection's; the rest is planned around it, so that
    // no byte the server sends here is asked for again on another connection.
    const auto& cr = c.head.contentRange;
    int64_t answered = cr && cr->first >= 0 ? std::min(cr->last + 1, size) : c.next;
    c.requestEnd = answered;
    c.end = answered;
    RangeSet planned = done_;
    planned.Add(c.next, answered);
    auto slices = PlanSlices(planned.Missing(size_), MaxConnections(), kMinSlice);
    std::sort(slices.begin(), slices.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
    pending_.assign(slices.begin(), slices.end());
  }
  if (size_ > 0) {
    if (int err = Preallocate()) {
      c.verdictCode = err;
      c.verdict = Connection::kDiskError;
    }
  }
  // No flush here: no byte of this answer is on disk yet, so a control file written now could
  // keep nothing a later run could not ask again; the periodic flush records the first ranges.
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
  std::optional<ByteRange> taken;
  for (auto& c : connections_) {
    if (!c->hasSlice || c->end == INT64_MAX) continue;
    auto half = StealHalf(c->next, c->end, kMinSteal);
    if (!half) continue;
    // What a running request asked for stays with it: the server may be sending it already,
    // and asked again elsewhere it would be sent twice.
    if (c->running) {
      if (c->requestEnd < 0) continue;
      half->begin = std::max(half->begin, c->requestEnd);
      if (half->Length() < kMinSteal) continue;
    }
    if (!taken || half->Length() > taken->Length()) {
      taken = half;
      victim = c.get();
    }
  }
  if (victim != nullptr) victim->end = taken->begin;
  return taken;
}

int64_t Task::RequestEnd(const Connection& c, Clock::time_point now) {
  if (!c.probe && !rangesServed_) return c.end == INT64_MAX ? -1 : c.end;
  int64_t end = c.end;
  // A first request stops where the next range already on disk begins.
  if (c.probe) {
    for (const auto& r : done_.Ranges()) {
      if (r.begin > c.next) {
        end = r.begin;
        break;
      }
    }
  }
  int64_t span = c.span;
  if (span <= 0) {
    // A connection's first request: its share of what the task moves now.
    int running = 0;
    for (const auto& other : connections_)
      if (other->running) ++running;
    span = meter_.BytesPerSecond(now) / (running + 1);
  }
  span = std::clamp(span, kMinRequest, kMaxRequest);
  // A rest too short to be taken over goes with this request rather than after it.
  return end - c.next > span + kMinSteal ? c.next + span : end;
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

}  // namespace sf::engine
