#include "sim_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <random>

#include "base/base64.h"
#include "sim_text.h"

namespace sf::sim::test {

std::string Reply::Header(std::string_view name) const {
  auto all = Headers(name);
  return all.empty() ? std::string() : all.front();
}

std::vector<std::string> Reply::Headers(std::string_view name) const {
  std::vector<std::string> out;
  for (const auto& h : headers) {
    size_t colon = h.find(':');
    if (colon == std::string::npos || Lower(h.substr(0, colon)) != Lower(name)) continue;
    std::string v = h.substr(colon + 1);
    while (!v.empty() && v.front() == ' ') v.erase(0, 1);
    out.push_back(v);
  }
  return out;
}

Connection::Connection(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Connection::~Connection() {
  if (fd_ >= 0) ::close(fd_);
}

bool Connection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool Connection::Fill() {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 10000) <= 0) return false;
  char chunk[65536];
  ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  buf_.append(chunk, static_cast<size_t>(n));
  return true;
}

std::optional<Reply> Connection::Read(bool headOnly, std::string* partial) {
  size_t end;
  while ((end = buf_.find("\r\n\r\n")) == std::string::npos)
    if (!Fill()) return std::nullopt;
  Reply r;
  std::string head = buf_.substr(0, end);
  buf_.erase(0, end + 4);
  size_t pos = head.find("\r\n");
  std::string status = head.substr(0, pos);
  r.status = std::atoi(status.c_str() + status.find(' ') + 1);
  while (pos != std::string::npos) {
    size_t next = head.find("\r\n", pos + 2);
    r.headers.push_back(head.substr(pos + 2, next == std::string::npos ? next : next - pos - 2));
    pos = next;
  }
  if (r.status == 100) return Read(headOnly, partial);
  size_t length = headOnly ? 0 : std::strtoull(r.Header("Content-Length").c_str(), nullptr, 10);
  while (buf_.size() < length) {
    if (!Fill()) {
      if (partial) *partial = buf_;
      return std::nullopt;
    }
  }
  r.body = buf_.substr(0, length);
  buf_.erase(0, length);
  return r;
}

bool Connection::ClosedWithin(int ms) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, ms) <= 0) return false;
  char c;
  return ::recv(fd_, &c, 1, MSG_PEEK) == 0;
}

Reply Fetch(int port, const std::string& method, const std::string& target,
            const std::vector<std::string>& headers, const std::string& body) {
  std::string raw =
      method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
  for (const auto& h : headers) raw += h + "\r\n";
  if (!body.empty() || method == "POST")
    raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  raw += "Connection: close\r\n\r\n" + body;
  Connection c(port);
  if (!c.ok() || !c.Send(raw)) return {};
  auto r = c.Read(method == "HEAD");
  return r ? *r : Reply{};
}

std::string LogId() {
  static std::mt19937_64 rng{12345};
  std::string digits;
  for (int i = 0; i < 19; ++i) digits += static_cast<char>('0' + rng() % 10);
  return sf::Base64Encode("1733650000123." + digits);
}

std::string Fraction() {
  static std::mt19937_64 rng{678};
  std::string digits = "0.";
  for (int i = 0; i < 16; ++i) digits += static_cast<char>('0' + rng() % 10);
  return digits;
}

}  // namespace sf::sim::test
