#include "service/login_guard.h"

namespace sf::service {

bool LoginGuard::Banned(const std::string& address, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto it = records_.find(address);
  return it != records_.end() && it->second.bannedUntil > now;
}

bool LoginGuard::Failed(const std::string& address, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  if (records_.size() >= policy_.tracked && !records_.count(address)) Shrink(now);
  Record& record = records_[address];
  if (record.failures == 0 || now - record.first > policy_.window) {
    record.failures = 0;
    record.first = now;
  }
  if (++record.failures < policy_.failuresBeforeBan) return false;
  record.bannedUntil = now + policy_.ban;
  record.failures = 0;
  return true;
}

void LoginGuard::Succeeded(const std::string& address) {
  std::lock_guard lock(mutex_);
  auto it = records_.find(address);
  if (it != records_.end() && it->second.bannedUntil <= Clock::now()) records_.erase(it);
}

void LoginGuard::Shrink(Clock::time_point now) {
  std::erase_if(records_, [&](const auto& entry) {
    return entry.second.bannedUntil <= now && now - entry.second.first > policy_.window;
  });
  // Still full of recent failures: the oldest unbanned go first; bans stay.
  while (records_.size() >= policy_.tracked) {
    auto oldest = records_.end();
    for (auto it = records_.begin(); it != records_.end(); ++it)
      if (it->second.bannedUntil <= now &&
          (oldest == records_.end() || it->second.first < oldest->second.first))
        oldest = it;
    if (oldest == records_.end()) break;
    records_.erase(oldest);
  }
}

}  // namespace sf::service
