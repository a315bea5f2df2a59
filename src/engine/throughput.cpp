#include "engine/throughput.h"

#include <algorithm>

namespace sf::engine {

void TokenBucket::SetRate(int64_t bytesPerSecond, Clock::time_point now) {
  rate_ = std::max<int64_t>(bytesPerSecond, 0);
  // A twentieth of a second of burst keeps the rate even over short windows; the floor lets a
  // very low limit still pass one network chunk.
  capacity_ = std::max<double>(static_cast<double>(rate_) / 20.0, 16384.0);
  tokens_ = std::min(tokens_, capacity_);
  last_ = now;
}

void TokenBucket::Refill(Clock::time_point now) {
  if (rate_ <= 0) return;
  double seconds = std::chrono::duration<double>(now - last_).count();
  last_ = now;
  if (seconds <= 0) return;
  tokens_ = std::min(capacity_, tokens_ + seconds * static_cast<double>(rate_));
}

void SpeedMeter::Advance(int64_t tick) {
  if (currentTick_ < 0) {
    currentTick_ = firstTick_ = tick;
    return;
  }
  for (int64_t t = currentTick_ + 1; t <= tick && t <= currentTick_ + kBuckets; ++t)
    buckets_[static_cast<size_t>(t % kBuckets)] = 0;
  currentTick_ = std::max(currentTick_, tick);
}

static int64_t TickOf(Clock::time_point now) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() /
         100;
}

void SpeedMeter::Add(int64_t bytes, Clock::time_point now) {
  Advance(TickOf(now));
  buckets_[static_cast<size_t>(currentTick_ % kBuckets)] += bytes;
}

int64_t SpeedMeter::BytesPerSecond(Clock::time_point now) {
  if (currentTick_ < 0) return 0;
  Advance(TickOf(now));
  int64_t sum = 0;
  for (int64_t b : buckets_) sum += b;
  // The current bucket is partly filled; a young meter averages over the time it has seen.
  int64_t spanTicks = std::min<int64_t>(kBuckets, currentTick_ - firstTick_ + 1);
  return sum * 10 / std::max<int64_t>(spanTicks, 1);
}

}  // namespace sf::engine
