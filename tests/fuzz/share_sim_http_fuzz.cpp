// Arbitrary bytes sent to a running simulator as one connection's worth of requests. The
// server runs in this process, so the sanitizers watch its request parsing and every
// endpoint; the connection must always end, and every answer must be an HTTP/1.1 answer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "share_simulator.h"

namespace {

constexpr const char* kFixture = R"({"shares": [
  {"id": "pub", "uk": 42, "shareid": 9001, "items": [{"name": "a.txt", "size": 10},
    {"name": "d", "children": [{"name": "b.txt", "size": 3}]}]},
  {"id": "locked", "uk": 43, "shareid": 9002, "password": "pw", "verifyCaptcha": true,
   "items": [{"name": "s.txt", "size": 5, "captcha": true}]},
  {"id": "flaky", "uk": 44, "shareid": 9003, "missingOnce": true, "items": []}]})";

sf::sim::ShareSimulator* Sim() {
  static sf::sim::ShareSimulator* sim = [] {
    auto* s = new sf::sim::ShareSimulator;
    if (!s->StartFromText(kFixture)) std::abort();
    s->SetKeepRequests(false);
    return s;
  }();
  return sim;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(Sim()->port()));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) std::abort();
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  std::string reply;
  char buf[65536];
  int waited = 0;
  while (true) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, 100);  // short slices: libFuzzer's timer interrupts long waits
    if (r < 0 && errno != EINTR) std::abort();
    if (r <= 0) {
      if ((waited += 100) > 15000) std::abort();  // the server must end the connection
      continue;
    }
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  if (!reply.empty() && reply.rfind("HTTP/1.1 ", 0) != 0) {
    std::fprintf(stderr, "answer does not start with a status line: %s\n",
                 reply.substr(0, 200).c_str());
    std::abort();
  }
  return 0;
}
