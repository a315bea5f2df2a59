// Listens on 127.0.0.1 at a port the kernel picks and hands every accepted connection to a
// thread of its own; destruction stops accepting and waits for those threads. The test
// servers build on it.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace sf::test {

class LoopbackListener {
 public:
  // `serve` gets the socket and the connection's number (1, 2, ...) and closes the socket.
  explicit LoopbackListener(std::function<void(int fd, int connection)> serve);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  // Stops accepting and waits for every connection's thread. The owner calls it before its
  // own members go, since the threads use them; safe to call twice.
  void Stop();

  int port() const { return port_; }
  // True once destruction began; long-running connections should end then.
  bool stopping() const { return stop_; }

 private:
  void AcceptLoop();

  std::function<void(int, int)> serve_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::thread> workers_;
  std::thread acceptThread_;
};

}  // namespace sf::test
