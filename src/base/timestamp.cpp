#include "base/timestamp.h"

#include <chrono>
#include <cstdio>

namespace sf {

std::string TimestampTextAt(const std::tm& local, int milliseconds) {
  std::tm copy = local;
  // timegm reads the broken-down fields as given, with no zone applied: exactly the
  // "difference of two local date-times" we need.
  long long seconds = static_cast<long long>(timegm(&copy)) - 8LL * 3600;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%lld%03d", seconds, milliseconds % 1000);
  return buf;
}

std::string TimestampText() {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  localtime_r(&secs, &local);
  return TimestampTextAt(local, static_cast<int>(ms % 1000));
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace sf
