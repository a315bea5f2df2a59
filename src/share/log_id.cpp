#include "share/log_id.h"

#include <atomic>
#include <chrono>
#include <random>

#include "base/base64.h"
#include "base/timestamp.h"

namespace sf {
namespace {

// Every reseed adds this, so two calls in the same millisecond still draw different digits.
std::atomic<uint64_t> reseedCounter{0};

}  // namespace

std::string RandomDigitText(int count) {
  if (count <= 0) count = 19;
  auto ticks = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
  std::mt19937_64 generator(ticks + reseedCounter.fetch_add(1));
  std::uniform_int_distribution<int> digit(0, 9);
  std::string out;
  out.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) out += static_cast<char>('0' + digit(generator));
  return out;
}

std::string LogIdWithDigits(const std::string& digits) {
  return Base64Encode(TimestampText() + "." + digits);
}

std::string NewLogId() {
  return LogIdWithDigits(RandomDigitText(19));
}

}  // namespace sf
