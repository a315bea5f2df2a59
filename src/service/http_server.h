// Our thin adaptor over libmicrohttpd. It owns the daemon (an epoll thread pool with
// suspended connections, so event streams and held-back answers cost no thread), routes by
// method and path under the API prefix, serves a fixed set of static files, and applies the
// rules every request must pass before a route sees it: the Host allow-list, no foreign Origin
// on a request that changes something, the body limit, and the security headers on every
// answer. Nothing here throws out of a libmicrohttpd callback.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service/http_types.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace sf::service {

struct HttpServerOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 0;  // 0: the kernel picks, port() tells
  // Host names accepted beside the loopback names and the listen address.
  std::vector<std::string> allowedHosts;
  // Proxies whose X-Forwarded-For is believed.
  std::vector<std::string> trustedProxies;
  // The static files: the name a path asks for ("index.html" for "/") to the file's path.
  std::map<std::string, std::string> staticFiles;
  std::string apiPrefix = "/api/v1";
  size_t maxBody = 1 << 20;
  size_t maxHeader = 32 << 10;  // the memory a connection may use to read its header
  unsigned maxConnections = 512;
  unsigned maxPerAddress = 64;
  unsigned idleTimeoutSeconds = 30;  // also what a slow header gets
  unsigned threads = 2;
};

class HttpServer {
 public:
  explicit HttpServer(HttpServerOptions options);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Adds a route before Start. `pattern` follows the API prefix; a segment ":name" takes any
  // value, found in request.params["name"].
  void Route(const std::string& method, const std::string& pattern, HttpHandler handler);
  // A check run on every request once its header is read, after the adaptor's own; an answer
  // refuses the request (the service's ban on an address).
  void SetGate(std::function<std::optional<HttpResponse>(const HttpRequest&)> gate);

  // Empty when listening, else why not.
  [[nodiscard]] std::string Start();
  // Ends event streams, wakes held-back answers, and closes the daemon with every connection
  // still open. Safe twice.
  void Stop();
  uint16_t port() const { return port_; }
  // The connections open now, event streams and held-back answers among them.
  unsigned connections() const;
  const HttpServerOptions& options() const { return options_; }

  // Public for the C callbacks in the implementation file only.
  struct Exchange;
  struct Parked;
  std::optional<HttpResponse> Admit(const HttpRequest& request) const;
  HttpResponse Dispatch(HttpRequest& request) const;
  int Send(MHD_Connection* connection, const HttpResponse& response);
  // Puts the connection aside until the answer's delay has passed; false when stopping.
  bool Hold(MHD_Connection* connection, Exchange& exchange, HttpResponse& response);

 private:
  struct RouteEntry {
    std::string method;
    std::vector<std::string> segments;
    HttpHandler handler;
  };
  HttpResponse ServeStatic(const HttpRequest& request) const;
  void Remember(const std::shared_ptr<Parked>& parked);
  void TimerLoop();

  HttpServerOptions options_;
  std::vector<std::string> hosts_;
  std::vector<RouteEntry> routes_;
  std::function<std::optional<HttpResponse>(const HttpRequest&)> gate_;
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};

  std::mutex mutex_;  // guards parked_, due_ and timer state
  std::condition_variable wake_;
  std::vector<std::weak_ptr<Parked>> parked_;
  std::multimap<std::chrono::steady_clock::time_point, std::weak_ptr<Parked>> due_;
  std::thread timer_;
};

}  // namespace sf::service
