// A server on 127.0.0.1 that accepts every connection and never answers: what arrives is read
// and dropped until the peer hangs up. It stands in for a hung service, to test giving up.
#pragma once

#include <atomic>
#include <string>

#include "loopback_listener.h"

namespace sf::test {

class SilentServer {
 public:
  SilentServer();

  std::string Url(const std::string& pathAndQuery = "/") const;
  int accepted() const { return accepted_; }  // connections so far
  int held() const { return held_; }          // connections the peer has not hung up yet
  // Connections whose whole request head has arrived: their peer now waits for the answer.
  int asked() const { return asked_; }

 private:
  void Hold(int fd);

  std::atomic<int> accepted_{0};
  std::atomic<int> held_{0};
  std::atomic<int> asked_{0};
  LoopbackListener listener_;  // last: stopped before the counters go
};

}  // namespace sf::test
