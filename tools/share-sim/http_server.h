// A small HTTP/1.1 server on raw sockets, bound to 127.0.0.1. It exists because the simulator
// must see requests exactly as they arrived (header lines in order, raw target, raw body
// bytes), which general-purpose server libraries do not keep. One thread per connection,
// keep-alive, bodies by Content-Length only, limits on head and body size, and a Stop that
// ends every connection promptly, even one that is sleeping in a throttled download.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sf::sim {

struct HttpRequest {
  std::string method;
  std::string target;                    // as sent: path and query, nothing decoded
  std::string version;                   // "HTTP/1.1"
  std::vector<std::string> headerLines;  // in arrival order, without CRLF
  std::string body;

  // First value of the header `name` (case-insensitive), leading blanks removed.
  std::string Header(std::string_view name) const;
  std::vector<std::string> Headers(std::string_view name) const;  // every value, in order
  bool HasHeader(std::string_view name) const;
};

// Given to a streaming body: `write` sends bytes (false once the connection is gone),
// `wait` sleeps unless the server is stopping (false when it is).
struct BodySink {
  std::function<bool(std::string_view)> write;
  std::function<bool(std::chrono::milliseconds)> wait;
};

struct HttpResponse {
  int status = 200;
  std::vector<std::string> headers;  // lines without CRLF; the server adds Content-Length
  std::string body;
  // When set, the body is `contentLength` bytes produced by `stream` instead of `body`.
  // Returning false (or writing fewer bytes) makes the server close the connection.
  std::function<bool(BodySink&)> stream;
  uint64_t contentLength = 0;
  bool close = false;  // close the connection after this response
  // No Content-Length: the body ends where the connection closes (implies `close`).
  bool noLength = false;
  // No answer at all: the connection is closed at once (`drop`), or held without a byte sent
  // until the server stops (`hang`).
  bool drop = false;
  bool hang = false;
};

class HttpServer {
 public:
  using Handler = std::function<HttpResponse(const HttpRequest&)>;
  struct Limits {
    size_t maxHeadBytes = 64 * 1024;
    size_t maxBodyBytes = 8 * 1024 * 1024;
    int idleTimeoutMs = 30000;
    size_t maxConnections = 512;
  };

  HttpServer() = default;
  ~HttpServer() { Stop(); }
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens on 127.0.0.1:`port` (0 picks a free one). False with a reason on failure.
  bool Start(int port, Handler handler, std::string* error, Limits limits);
  bool Start(int port, Handler handler, std::string* error) {
    return Start(port, std::move(handler), error, Limits());
  }
  void Stop();
  int port() const { return port_; }
  // Connections accepted since Start: a client that keeps its connections makes few.
  uint64_t ConnectionsAccepted() const { return accepted_; }
  // Told of every request whose head arrived but that was refused before the handler
  // (malformed, too large, chunked), with the status it got; set before Start.
  void SetRejectObserver(std::function<void(const HttpRequest&, int status)> observer) {
    rejected_ = std::move(observer);
  }

  static const char* Reason(int status);

  // Answers one connection's worth of request bytes in this process, without any socket:
  // what a client that sends `input` and then closes its side would read back. For fuzzing
  // the request handling; the server need not be started.
  std::string AnswerBytes(std::string_view input, const Handler& handler, Limits limits);

 private:
  // One connection's two ends as the request loop sees them.
  struct Peer {
    std::function<bool(std::string& buf)> readMore;  // appends what arrived; false at its end
    std::function<bool(std::string_view)> send;
    std::function<bool(std::chrono::milliseconds)> wait;  // false when the server stops
    bool socket = false;  // a real connection, which can be held unanswered
  };
  struct Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void AcceptLoop();
  void Serve(Connection* conn);
  // Reads requests from `peer` and answers them until it ends or the connection must close.
  void Converse(Peer& peer, const Handler& handler, const Limits& limits);
  bool SendAll(int fd, std::string_view bytes);
  bool Wait(std::chrono::milliseconds d);
  void ReapFinished();

  Handler handler_;
  std::function<void(const HttpRequest&, int)> rejected_;
  Limits limits_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> accepted_{0};
  std::thread acceptThread_;
  std::mutex mutex_;  // guards connections_ and every fd in it
  std::condition_variable stopCv_;
  std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace sf::sim
