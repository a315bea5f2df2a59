// A tiny HTTP/1.1 server on 127.0.0.1 for transport tests: it records every request byte for
// byte and answers with whatever raw bytes the test's handler returns, one request per
// connection. Real sockets, a free port chosen by the kernel.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "loopback_listener.h"

namespace sf::test {

struct RawRequest {
  std::string raw;                       // everything that arrived: head and body
  std::string requestLine;               // "GET /a?b=1 HTTP/1.1"
  std::vector<std::string> headerLines;  // in arrival order, without CRLF
  std::string body;

  std::string Target() const;                         // the request target of the request line
  std::string Header(const std::string& name) const;  // first value, case-insensitive name
  int CountHeader(const std::string& name) const;
};

struct RawResponse {
  std::string bytes;        // written as they are
  bool closeEarly = false;  // true: close without reading further, even mid-body
  int delayMs = 0;          // wait before answering
  // When set, called after `bytes` with a writer that sends more and gives false once the
  // client is gone or the server stops: for answers of any length, even endless ones.
  std::function<void(const std::function<bool(std::string_view)>& write)> more{};
};

class RawHttpServer {
 public:
  using Handler = std::function<RawResponse(const RawRequest&)>;

  explicit RawHttpServer(Handler handler);
  ~RawHttpServer();
  RawHttpServer(const RawHttpServer&) = delete;
  RawHttpServer& operator=(const RawHttpServer&) = delete;

  int port() const { return listener_->port(); }
  std::string Url(const std::string& pathAndQuery = "/") const;
  std::vector<RawRequest> Requests() const;

  // Builds a plain response with a Content-Length.
  static RawResponse Reply(int status, const std::string& reason,
                           const std::vector<std::string>& headers, const std::string& body);

 private:
  void Serve(int fd);

  Handler handler_;
  mutable std::mutex mutex_;
  std::vector<RawRequest> requests_;
  // Stopped first thing in the destructor, so its threads end before the members they use.
  std::unique_ptr<LoopbackListener> listener_;
};

}  // namespace sf::test
