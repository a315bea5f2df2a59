#include "silent_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sf::test {

SilentServer::SilentServer() : listener_([this](int fd, int) { Hold(fd); }) {}

std::string SilentServer::Url(const std::string& pathAndQuery) const {
  return "http://127.0.0.1:" + std::to_string(listener_.port()) + pathAndQuery;
}

void SilentServer::Hold(int fd) {
  ++accepted_;
  ++held_;
  char buffer[4096];
  std::string head;  // until its end has come
  bool asked = false;
  while (!listener_.stopping()) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    if (asked) continue;
    head.append(buffer, static_cast<size_t>(n));
    if (head.find("\r\n\r\n") != std::string::npos) {
      asked = true;
      ++asked_;
    }
  }
  --held_;
  ::close(fd);
}

}  // namespace sf::test
