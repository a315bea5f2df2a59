// Tests wait on conditions, not for fixed times: this polls `done` until it holds or a
// generous limit has passed, and tells which.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace sf::test {

inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace sf::test
