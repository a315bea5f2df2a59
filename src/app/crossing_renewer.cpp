#include "app/crossing_renewer.h"

#include <utility>

namespace sf::app {

void CrossingRenewer::Renew(const FileEntry& entry, Answer done) {
  const int key = nextKey_++;
  waiting_[key] = std::move(done);
  bridge_.Post([inner = inner_, answers = answers_, entry, key] {
    inner->Renew(entry, [answers, key](const std::string& link, const std::string& why) {
      std::lock_guard<std::mutex> lock(answers->mutex);
      answers->given.push_back({key, link, why});
    });
  });
}

void CrossingRenewer::HandOver() {
  std::deque<CrossingAnswers::Answer> given;
  {
    std::lock_guard<std::mutex> lock(answers_->mutex);
    given.swap(answers_->given);
  }
  for (auto& a : given) {
    auto at = waiting_.find(a.key);
    if (at == waiting_.end()) continue;
    Answer done = std::move(at->second);
    waiting_.erase(at);
    done(a.link, a.why);
  }
}

}  // namespace sf::app
