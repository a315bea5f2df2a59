#include "service/event_hub.h"

#include <deque>
#include <mutex>
#include <vector>

#include "service/secrets.h"

namespace sf::service {

struct EventHub::Core {
  struct Event {
    uint64_t sequence;
    std::string text;  // the event as sent, "id: ...\n" to the blank line
  };
  std::mutex mutex;
  size_t capacity;
  std::string run;  // ids of another run are never taken for ours
  uint64_t next = 1;
  std::deque<Event> ring;
  std::vector<std::weak_ptr<Subscriber>> subscribers;

  uint64_t oldest() const { return ring.empty() ? next : ring.front().sequence; }
  std::string Id(uint64_t sequence) const { return run + "-" + std::to_string(sequence); }
  std::string ResetText() const { return "id: " + Id(next - 1) + "\nevent: reset\ndata: {}\n\n"; }
};

class EventHub::Subscriber : public StreamSource {
 public:
  Subscriber(std::shared_ptr<Core> core, uint64_t next, std::string pending)
      : core_(std::move(core)), next_(next), pending_(std::move(pending)) {}

  size_t Read(char* buffer, size_t max) override {
    std::lock_guard lock(core_->mutex);
    if (pending_.empty()) Fill();
    size_t size = std::min(max, pending_.size());
    pending_.copy(buffer, size);
    pending_.erase(0, size);
    return size;
  }
  bool Ended() override { return false; }
  void SetWaker(std::function<void()> wake) override {
    std::lock_guard lock(core_->mutex);
    wake_ = std::move(wake);
  }

  // Under core->mutex.
  void AddHeartbeat() { heartbeat_ = true; }
  std::function<void()> waker() const { return wake_; }

 private:
  // Under core->mutex: moves what is due from the ring into pending_.
  void Fill() {
    if (next_ < core_->oldest()) {
      pending_ = core_->ResetText();
      next_ = core_->next;
    }
    for (auto it = core_->ring.begin(); it != core_->ring.end() && pending_.size() < (64 << 10);
         ++it) {
      if (it->sequence < next_) continue;
      pending_ += it->text;
      next_ = it->sequence + 1;
    }
    if (heartbeat_ && pending_.empty()) pending_ = "event: heartbeat\ndata: {}\n\n";
    heartbeat_ = false;
  }

  std::shared_ptr<Core> core_;
  uint64_t next_;
  std::string pending_;
  bool heartbeat_ = false;
  std::function<void()> wake_;
};

EventHub::EventHub(size_t capacity) : core_(std::make_shared<Core>()) {
  core_->capacity = std::max<size_t>(1, capacity);
  core_->run = RandomToken(4);
}

EventHub::~EventHub() = default;

std::string EventHub::Publish(const std::string& name, const nlohmann::json& data) {
  std::vector<std::function<void()>> wakers;
  std::string id;
  {
    std::lock_guard lock(core_->mutex);
    uint64_t sequence = core_->next++;
    id = core_->Id(sequence);
    core_->ring.push_back(
        {sequence, "id: " + id + "\nevent: " + name + "\ndata: " +
                       data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                       "\n\n"});
    if (core_->ring.size() > core_->capacity) core_->ring.pop_front();
    for (auto& weak : core_->subscribers)
      if (auto s = weak.lock()) wakers.push_back(s->waker());
  }
  // Woken outside the lock: a stream being read holds its own lock and then takes ours.
  for (auto& wake : wakers)
    if (wake) wake();
  return id;
}

void EventHub::Heartbeat() {
  std::vector<std::function<void()>> wakers;
  {
    std::lock_guard lock(core_->mutex);
    std::erase_if(core_->subscribers, [](const auto& weak) { return weak.expired(); });
    for (auto& weak : core_->subscribers)
      if (auto s = weak.lock()) {
        s->AddHeartbeat();
        wakers.push_back(s->waker());
      }
  }
  for (auto& wake : wakers)
    if (wake) wake();
}

std::shared_ptr<StreamSource> EventHub::Subscribe(const std::string& lastEventId) {
  std::lock_guard lock(core_->mutex);
  uint64_t next = core_->next;
  std::string pending;
  if (!lastEventId.empty()) {
    size_t dash = lastEventId.rfind('-');
    uint64_t seen = 0;
    bool ours = dash != std::string::npos && lastEventId.compare(0, dash, core_->run) == 0 &&
                dash + 1 < lastEventId.size() &&
                lastEventId.find_first_not_of("0123456789", dash + 1) == std::string::npos &&
                lastEventId.size() - dash - 1 <= 19;
    if (ours) seen = std::stoull(lastEventId.substr(dash + 1));
    if (ours && seen < core_->next && seen + 1 >= core_->oldest())
      next = seen + 1;
    else
      pending = core_->ResetText();
  }
  auto subscriber = std::make_shared<Subscriber>(core_, next, std::move(pending));
  std::erase_if(core_->subscribers, [](const auto& weak) { return weak.expired(); });
  core_->subscribers.push_back(subscriber);
  return subscriber;
}

size_t EventHub::streams() const {
  std::lock_guard lock(core_->mutex);
  size_t count = 0;
  for (auto& weak : core_->subscribers) count += weak.expired() ? 0 : 1;
  return count;
}

}  // namespace sf::service
