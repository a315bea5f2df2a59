#include "http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim_text.h"

namespace sf::sim {
namespace {

constexpr int kPollSliceMs = 100;

std::string_view HeaderName(std::string_view line) {
  size_t colon = line.find(':');
  return colon == std::string_view::npos ? std::string_view() : line.substr(0, colon);
}

std::string HeaderValue(std::string_view line) {
  size_t colon = line.find(':');
  std::string_view v = line.substr(colon + 1);
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  return std::string(v);
}

bool NameIs(std::string_view line, std::string_view name) {
  std::string_view n = HeaderName(line);
  return n.size() == name.size() && Lower(n) == Lower(name);
}

std::string Simple(int status, std::string_view body) {
  return "HTTP/1.1 " + std::to_string(status) + " " + HttpServer::Reason(status) +
         "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + std::string(body);
}

}  // namespace

std::string HttpRequest::Header(std::string_view name) const {
  for (const auto& line : headerLines)
    if (NameIs(line, name)) return HeaderValue(line);
  return {};
}

std::vector<std::string> HttpRequest::Headers(std::string_view name) const {
  std::vector<std::string> out;
  for (const auto& line : headerLines)
    if (NameIs(line, name)) out.push_back(HeaderValue(line));
  return out;
}

bool HttpRequest::HasHeader(std::string_view name) const {
  for (const auto& line : headerLines)
    if (NameIs(line, name)) return true;
  return false;
}

const char* HttpServer::Reason(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 206:
      return "Partial Content";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 413:
      return "Payload Too Large";
    case 416:
      return "Range Not Satisfiable";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    default:
      return "Unknown";
  }
}

bool HttpServer::Start(int port, Handler handler, std::string* error, Limits limits) {
  if (listenFd_ >= 0) {
    if (error) *error = "the server is already running";
    return false;
  }
  handler_ = std::move(handler);
  limits_ = limits;
  stopping_ = false;
  accepted_ = 0;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (port < 0 || port > 65535 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 128) != 0) {
    if (error)
      *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  listenFd_ = fd;
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void HttpServer::Stop() {
  if (listenFd_ < 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopCv_.notify_all();
  if (acceptThread_.joinable()) acceptThread_.join();
  ::close(listenFd_);
  listenFd_ = -1;
  std::vector<Connection*> open;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& c : connections_) {
      if (c->fd >= 0) ::shutdown(c->fd, SHUT_RDWR);  // wakes a blocked recv or send
      open.push_back(c.get());
    }
  }
  for (Connection* c : open)
    if (c->thread.joinable()) c->thread.join();
  connections_.clear();
}

bool HttpServer::Wait(std::chrono::milliseconds d) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stopCv_.wait_for(lock, d, [this] { return stopping_.load(); });
}

void HttpServer::ReapFinished() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->done) {
      (*it)->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void HttpServer::AcceptLoop() {
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, kPollSliceMs) <= 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ReapFinished();
    std::lock_guard<std::mutex> lock(mutex_);
    if (connections_.size() >= limits_.maxConnections) {
      std::string busy = Simple(503, "too many connections\n");
      ::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL);
      ::close(fd);
      continue;
    }
    auto conn = std::make_unique<Connection>();
    conn->fd = fd;
    Connection* raw = conn.get();
    connections_.push_back(std::move(conn));
    raw->thread = std::thread([this, raw] { Serve(raw); });
  }
}

bool HttpServer::SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void HttpServer::Serve(Connection* conn) {
  const int fd = conn->fd;
  char chunk[16384];
  bool peerClosed = false;
  Peer peer;
  // Reads what is there; false when the peer left, the server stops or the line stayed idle.
  peer.readMore = [&](std::string& buf) {
    int idle = 0;
    while (!stopping_) {
      pollfd p{fd, POLLIN, 0};
      int r = ::poll(&p, 1, kPollSliceMs);
      if (r < 0 && errno != EINTR) return false;
      if (r <= 0) {
        idle += kPollSliceMs;
        if (idle >= limits_.idleTimeoutMs) return false;
        continue;
      }
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) {
        peerClosed = true;
        return false;
      }
      buf.append(chunk, static_cast<size_t>(n));
      return true;
    }
    return false;
  };
  peer.send = [&](std::string_view bytes) { return SendAll(fd, bytes); };
  peer.wait = [this](std::chrono::milliseconds d) { return Wait(d); };
  peer.socket = true;
  Converse(peer, handler_, limits_);
  if (!peerClosed && !stopping_) {
    // Closing with unread input makes the kernel reset the connection, and a reset can
    // destroy the answer just sent (a 413 or 400) before the client reads it. So the
    // sending side is closed first and what still arrives is read and dropped, briefly.
    ::shutdown(fd, SHUT_WR);
    size_t drained = 0;
    for (int waited = 0; waited < 1000 && drained < (1u << 20) && !stopping_;) {
      pollfd p{fd, POLLIN, 0};
      int r = ::poll(&p, 1, kPollSliceMs);
      if (r <= 0) {
        waited += kPollSliceMs;
        continue;
      }
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      drained += static_cast<size_t>(n);
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ::close(fd);
  conn->fd = -1;
  conn->done = true;
}

std::string HttpServer::AnswerBytes(std::string_view input, const Handler& handler, Limits limits) {
  std::string answer;
  Peer peer;
  peer.readMore = [&](std::string& buf) {
    if (input.empty()) return false;
    buf.append(input);
    input = {};
    return true;
  };
  peer.send = [&](std::string_view bytes) {
    answer.append(bytes);
    return true;
  };
  peer.wait = [](std::chrono::milliseconds) { return true; };  // no throttle worth waiting for
  Converse(peer, handler, limits);
  return answer;
}

void HttpServer::Converse(Peer& peer, const Handler& handler, const Limits& limits) {
  std::string buf;
  auto readMore = [&]() { return peer.readMore(buf); };
  bool keepAlive = true;
  while (keepAlive && !stopping_) {
    size_t headEnd;
    bool tooBig = false;
    while ((headEnd = buf.find("\r\n\r\n")) == std::string::npos) {
      if (buf.size() > limits.maxHeadBytes) {
        tooBig = true;
        break;
      }
      if (!readMore()) return;
    }
    if (tooBig || headEnd + 4 > limits.maxHeadBytes) {
      peer.send(Simple(431, "request head too large\n"));
      break;
    }
    HttpRequest req;
    int refused = 0;
    std::string why;
    {
      std::string_view head(buf.data(), headEnd);
      size_t eol = head.find("\r\n");
      std::string_view line = head.substr(0, eol);
      size_t a = line.find(' ');
      size_t b = line.rfind(' ');
      if (a == std::string_view::npos || b == a) {
        req.method = std::string(line);
        refused = 400;
        why = "malformed request line";
      } else {
        req.method = std::string(line.substr(0, a));
        req.target = std::string(line.substr(a + 1, b - a - 1));
        req.version = std::string(line.substr(b + 1));
        if ((req.version != "HTTP/1.1" && req.version != "HTTP/1.0") || req.target.empty() ||
            req.target.find(' ') != std::string::npos) {
          refused = 400;
          why = "malformed request line";
        }
      }
      while (eol != std::string_view::npos) {
        size_t next = head.find("\r\n", eol + 2);
        std::string_view h =
            head.substr(eol + 2, next == std::string_view::npos ? next : next - eol - 2);
        if (!refused && (h.find(':') == std::string_view::npos || h.empty() || h.front() == ' ' ||
                         h.front() == '\t')) {
          refused = 400;
          why = "malformed header line";
        }
        req.headerLines.emplace_back(h);
        eol = next;
      }
    }
    uint64_t length = 0;
    if (!refused && req.HasHeader("Transfer-Encoding")) {
      refused = 501;
      why = "request bodies must have a Content-Length";
    }
    if (!refused) {
      auto values = req.Headers("Content-Length");
      for (size_t i = 0; i < values.size() && !refused; ++i) {
        auto v = ParseUint(values[i]);
        if (!v || (i > 0 && *v != length)) {
          refused = 400;
          why = "malformed Content-Length";
        } else {
          length = *v;
        }
      }
    }
    if (!refused && length > limits.maxBodyBytes) {
      refused = 413;
      why = "request body too large";
    }
    if (refused) {
      if (rejected_) rejected_(req, refused);
      peer.send(Simple(refused, why + "\n"));
      break;
    }
    size_t need = headEnd + 4 + static_cast<size_t>(length);
    if (buf.size() < need && Lower(req.Header("Expect")) == "100-continue")
      peer.send("HTTP/1.1 100 Continue\r\n\r\n");
    while (buf.size() < need)
      if (!readMore()) return;
    req.body = buf.substr(headEnd + 4, static_cast<size_t>(length));
    buf.erase(0, need);

    std::string connection = Lower(req.Header("Connection"));
    keepAlive = req.version == "HTTP/1.1" ? connection != "close" : connection == "keep-alive";

    HttpResponse resp;
    try {
      resp = handler(req);
    } catch (const std::exception& e) {
      resp = HttpResponse{};
      resp.status = 500;
      resp.headers = {"Content-Type: text/plain; charset=utf-8"};
      resp.body = std::string("internal error: ") + e.what() + "\n";
      resp.close = true;
    }
    if (resp.drop) break;
    if (resp.hang) {
      while (peer.socket && peer.wait(std::chrono::milliseconds(100))) {
      }
      break;
    }
    if (resp.close || resp.noLength) keepAlive = false;
    uint64_t bodyLength = resp.stream ? resp.contentLength : resp.body.size();
    std::string out =
        "HTTP/1.1 " + std::to_string(resp.status) + " " + Reason(resp.status) + "\r\n";
    for (const auto& h : resp.headers) out += h + "\r\n";
    if (!resp.noLength) out += "Content-Length: " + std::to_string(bodyLength) + "\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    bool head = req.method == "HEAD";
    if (!resp.stream && !head) out += resp.body;
    if (!peer.send(out)) break;
    if (resp.stream && !head) {
      uint64_t sent = 0;
      BodySink sink;
      sink.write = [&](std::string_view bytes) {
        if (stopping_ || !peer.send(bytes)) return false;
        sent += bytes.size();
        return true;
      };
      sink.wait = peer.wait;
      bool ok = resp.stream(sink);
      if (!ok || sent != bodyLength) break;  // the peer must not wait for missing bytes
    }
  }
}

}  // namespace sf::sim
