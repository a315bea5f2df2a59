// Refused logins, counted per address: each refusal is answered late, and an address that
// keeps failing is banned for a while. Only that address: one client guessing never locks
// everybody else out. The table is bounded, so a flood of addresses cannot grow it forever.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace sf::service {

struct LoginPolicy {
  int failuresBeforeBan = 5;
  std::chrono::seconds window{15 * 60};  // failures older than this are forgotten
  std::chrono::seconds ban{30 * 60};
  std::chrono::milliseconds refusalDelay{1000};
  size_t tracked = 4096;
};

class LoginGuard {
 public:
  using Clock = std::chrono::steady_clock;
  explicit LoginGuard(LoginPolicy policy) : policy_(policy) {}

  bool Banned(const std::string& address, Clock::time_point now);
  // Counts a refused login; true when it got the address banned.
  bool Failed(const std::string& address, Clock::time_point now);
  void Succeeded(const std::string& address);
  const LoginPolicy& policy() const { return policy_; }

 private:
  struct Record {
    int failures = 0;
    Clock::time_point first;
    Clock::time_point bannedUntil;
  };
  void Shrink(Clock::time_point now);

  LoginPolicy policy_;
  std::mutex mutex_;
  std::map<std::string, Record> records_;
};

}  // namespace sf::service
