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

}  // namespace sf::engine
