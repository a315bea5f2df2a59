#include "raw_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace sf::test {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool WriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string RawRequest::Target() const {
  auto a = requestLine.find(' ');
  auto b = requestLine.rfind(' ');
  if (a == std::string::npos || b == a) return {};
  return requestLine.substr(a + 1, b - a - 1);
}

std::string RawRequest::Header(const std::string& name) const {
  std::string want = Lower(name) + ":";
  for (const auto& line : headerLines) {
    if (Lower(line.substr(0, want.size())) == want) {
      std::string v = line.substr(want.size());
      while (!v.empty() && v.front() == ' ') v.erase(0, 1);
      return v;
    }
  }
  return {};
}

int RawRequest::CountHeader(const std::string& name) const {
  std::string want = Lower(name) + ":";
  int n = 0;
  for (const auto& line : headerLines)
    if (Lower(line.substr(0, want.size())) == want) ++n;
  return n;
}

RawHttpServer::RawHttpServer(Handler handler) : handler_(std::move(handler)) {
  listener_ = std::make_unique<LoopbackListener>([this](int fd, int) { Serve(fd); });
}

RawHttpServer::~RawHttpServer() {
  listener_->Stop();
}

std::string RawHttpServer::Url(const std::string& pathAndQuery) const {
  return "http://127.0.0.1:" + std::to_string(port()) + pathAndQuery;
}

std::vector<RawRequest> RawHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

RawResponse RawHttpServer::Reply(int status, const std::string& reason,
                                 const std::vector<std::string>& headers, const std::string& body) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  for (const auto& h : headers) out += h + "\r\n";
  out += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  return RawResponse{out};
}

void RawHttpServer::Serve(int fd) {
  std::string data;
  char buf[16384];
  size_t headEnd = std::string::npos;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto readMore = [&]() {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0)
      return !listener_->stopping() && std::chrono::steady_clock::now() < deadline;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    data.append(buf, static_cast<size_t>(n));
    return true;
  };
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos)
    if (!readMore()) break;
  if (headEnd == std::string::npos) {
    ::close(fd);
    return;
  }
  RawRequest req;
  std::string head = data.substr(0, headEnd);
  size_t pos = 0;
  bool first = true;
  while (pos <= head.size()) {
    size_t eol = head.find("\r\n", pos);
    std::string line = head.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
    if (first)
      req.requestLine = line;
    else
      req.headerLines.push_back(line);
    first = false;
    if (eol == std::string::npos) break;
    pos = eol + 2;
  }
  size_t want = static_cast<size_t>(std::atoll(req.Header("Content-Length").c_str()));
  while (data.size() < headEnd + 4 + want)
    if (!readMore()) break;
  req.body = data.substr(headEnd + 4, want);
  req.raw = data.substr(0, headEnd + 4 + want);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(req);
  }
  RawResponse resp = handler_(req);
  if (resp.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(resp.delayMs));
  if (WriteAll(fd, resp.bytes) && resp.more)
    resp.more(
        [&](std::string_view bytes) { return !listener_->stopping() && WriteAll(fd, bytes); });
  ::shutdown(fd, SHUT_WR);
  if (!resp.closeEarly) {
    // Let the client finish reading before the socket goes away.
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 200);
  }
  ::close(fd);
}

}  // namespace sf::test
