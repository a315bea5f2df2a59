// What changed, told to every open event stream. Events are kept in a bounded ring so that a
// client coming back with Last-Event-ID gets what it missed; when its id is older than the
// ring, from another run of the service, or unknown, it gets a `reset` event instead and
// fetches its view again. A stream that falls behind the ring is reset the same way, so a
// slow reader costs no more memory than the ring.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "service/http_types.h"

namespace sf::service {

class EventHub {
 public:
  explicit EventHub(size_t capacity = 1024);
  ~EventHub();
  EventHub(const EventHub&) = delete;
  EventHub& operator=(const EventHub&) = delete;

  // Keeps the event and wakes every stream; returns its id.
  std::string Publish(const std::string& name, const nlohmann::json& data);
  // Tells every stream the service is alive; not kept, carries no id.
  void Heartbeat();
  // A stream of the events after `lastEventId` (empty: only those still to come).
  std::shared_ptr<StreamSource> Subscribe(const std::string& lastEventId);
  size_t streams() const;

 private:
  struct Core;
  class Subscriber;
  std::shared_ptr<Core> core_;
};

}  // namespace sf::service
