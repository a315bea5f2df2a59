// The shared speed limit and the per-task speed figure.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

namespace sf::engine {

using Clock = std::chrono::steady_clock;

// One bucket for every connection of every task. A connection may take a whole network chunk
// while any token is left, driving the bucket into debt; everyone then waits until it is paid
// back, so the long-run rate is exact and a burst is at most one chunk per connection.
class TokenBucket {
 public:
  // Bytes per second; 0 or less: unlimited.
  void SetRate(int64_t bytesPerSecond, Clock::time_point now);
  bool Limited() const { return rate_ > 0; }
  int64_t Rate() const { return rate_; }
  void Refill(Clock::time_point now);
  bool Available() const { return rate_ <= 0 || tokens_ > 0; }
  void Consume(int64_t bytes) {
    if (rate_ > 0) tokens_ -= bytes;
  }

 private:
  int64_t rate_ = 0;
  double tokens_ = 0;
  double capacity_ = 0;
  Clock::time_point last_{};
};

// Bytes per second over the last two seconds, in tenth-of-a-second buckets.
class SpeedMeter {
 public:
  void Add(int64_t bytes, Clock::time_point now);
  int64_t BytesPerSecond(Clock::time_point now);
  void Reset() { *this = SpeedMeter(); }

 private:
  void Advance(int64_t tick);
  static constexpr int kBuckets = 20;
  std::array<int64_t, kBuckets> buckets_{};
  int64_t currentTick_ = -1;
  int64_t firstTick_ = -1;
};

}  // namespace sf::engine
