#include "loopback_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace sf::test {

LoopbackListener::LoopbackListener(std::function<void(int, int)> serve) : serve_(std::move(serve)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 64) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("test server: cannot listen on 127.0.0.1");
  }
  socklen_t len = sizeof addr;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

LoopbackListener::~LoopbackListener() {
  Stop();
}

void LoopbackListener::Stop() {
  if (stop_.exchange(true)) return;
  acceptThread_.join();
  ::close(listenFd_);
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
}

void LoopbackListener::AcceptLoop() {
  int connections = 0;
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    int id = ++connections;
    std::lock_guard<std::mutex> lock(mutex_);
    workers_.emplace_back([this, fd, id] { serve_(fd, id); });
  }
}

}  // namespace sf::test
