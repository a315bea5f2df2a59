#include "service/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "service/request_checks.h"

namespace sf::service {

// A connection put aside: a held-back answer waiting for its time, or an event stream waiting
// for bytes. Suspending and resuming both happen under `mutex`, so a wake-up that comes while
// the stream is about to sleep is never lost.
struct HttpServer::Parked {
  std::mutex mutex;
  MHD_Connection* connection = nullptr;  // null once libmicrohttpd let go of it
  bool suspended = false;
  bool closing = false;
  std::shared_ptr<StreamSource> source;
  const std::atomic<bool>* stopping = nullptr;

  void Suspend() {
    suspended = true;
    MHD_suspend_connection(connection);
  }
  void Resume() {
    std::lock_guard lock(mutex);
    if (connection != nullptr && suspended) {
      suspended = false;
      MHD_resume_connection(connection);
    }
  }
};

// One request from its header to its answer.
struct HttpServer::Exchange {
  HttpRequest request;
  bool answered = false;
  bool tooLarge = false;
  std::optional<HttpResponse> held;
  std::shared_ptr<Parked> parked;
};

namespace {

const std::pair<const char*, const char*> kSecurityHeaders[] = {
    {"Content-Security-Policy",
     "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'"},
    {"X-Frame-Options", "DENY"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::vector<std::string> Segments(const std::string& path) {
  std::vector<std::string> parts;
  std::stringstream stream(path);
  for (std::string part; std::getline(stream, part, '/');)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto& map = *static_cast<std::map<std::string, std::string>*>(cls);
  std::string name = Lower(key), text = value ? value : "";
  auto [it, added] = map.emplace(name, text);
  if (!added) it->second += (name == "cookie" ? "; " : ", ") + text;
  return MHD_YES;
}

MHD_Result CollectArgument(void* cls, MHD_ValueKind, const char* key, const char* value) {
  static_cast<std::map<std::string, std::string>*>(cls)->emplace(key, value ? value : "");
  return MHD_YES;
}

std::string PeerAddress(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return {};
  char text[INET6_ADDRSTRLEN] = {};
  const sockaddr* address = info->client_addr;
  if (address->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  else if (address->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
              sizeof text);
  return text;
}

std::string ContentTypeOf(const std::string& name) {
  static const std::pair<const char*, const char*> types[] = {
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".json", "application/json"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".ico", "image/x-icon"},
      {".txt", "text/plain; charset=utf-8"}};
  for (auto [ending, type] : types)
    if (name.size() >= std::strlen(ending) &&
        name.compare(name.size() - std::strlen(ending), std::string::npos, ending) == 0)
      return type;
  return "application/octet-stream";
}

ssize_t ReadStream(void* cls, uint64_t, char* buffer, size_t max) {
  HttpServer::Parked& parked = **static_cast<std::shared_ptr<HttpServer::Parked>*>(cls);
  std::lock_guard lock(parked.mutex);
  if (parked.closing || *parked.stopping) return MHD_CONTENT_READER_END_OF_STREAM;
  size_t size = parked.source->Read(buffer, max);
  if (size > 0) return static_cast<ssize_t>(size);
  if (parked.source->Ended()) return MHD_CONTENT_READER_END_OF_STREAM;
  parked.Suspend();
  return 0;
}

void FreeStream(void* cls) {
  auto* holder = static_cast<std::shared_ptr<HttpServer::Parked>*>(cls);
  {
    std::lock_guard lock((*holder)->mutex);
    (*holder)->connection = nullptr;
    (*holder)->closing = true;
  }
  delete holder;
}

MHD_Result Access(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char* upload, size_t* uploadSize, void** context) {
  auto& server = *static_cast<HttpServer*>(cls);
  try {
    auto* exchange = static_cast<HttpServer::Exchange*>(*context);
    if (exchange == nullptr) {
      exchange = new HttpServer::Exchange;
      *context = exchange;
      HttpRequest& request = exchange->request;
      request.method = method;
      request.path = url;
      MHD_get_connection_values(connection, MHD_HEADER_KIND, CollectHeader, &request.headers);
      MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, CollectArgument, &request.query);
      request.peer = PeerAddress(connection);
      request.client = ClientAddress(request.peer, request.Header("x-forwarded-for"),
                                     server.options().trustedProxies);
      // Refused at the header: the body, if any, is never read.
      if (std::optional<HttpResponse> refusal = server.Admit(request)) {
        exchange->answered = true;
        return static_cast<MHD_Result>(server.Send(connection, *refusal));
      }
      return MHD_YES;
    }
    if (*uploadSize > 0) {
      if (exchange->request.body.size() + *uploadSize > server.options().maxBody)
        exchange->tooLarge = true;  // a chunked body: read on, keep nothing
      if (!exchange->tooLarge) exchange->request.body.append(upload, *uploadSize);
      *uploadSize = 0;
      return MHD_YES;
    }
    if (exchange->answered) return MHD_YES;
    if (exchange->held) {
      exchange->answered = true;
      {
        std::lock_guard lock(exchange->parked->mutex);
        exchange->parked->connection = nullptr;
      }
      HttpResponse held = std::move(*exchange->held);
      held.delay = {};
      return static_cast<MHD_Result>(server.Send(connection, held));
    }
    HttpResponse response =
        exchange->tooLarge
            ? ErrorResponse(413, "too-large", "the request body is larger than allowed")
            : server.Dispatch(exchange->request);
    if (response.delay.count() > 0 && server.Hold(connection, *exchange, response)) return MHD_YES;
    exchange->answered = true;
    return static_cast<MHD_Result>(server.Send(connection, response));
  } catch (...) {
    return MHD_NO;  // closes this connection; the daemon goes on
  }
}

void Completed(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
  delete static_cast<HttpServer::Exchange*>(*context);
  *context = nullptr;
}

}  // namespace

HttpServer::HttpServer(HttpServerOptions options) : options_(std::move(options)) {
  hosts_ = {"localhost", "127.0.0.1", "::1", "localhost.localdomain"};
  std::string listen = Lower(options_.address);
  if (listen != "0.0.0.0" && listen != "::") hosts_.push_back(listen);
  for (const std::string& host : options_.allowedHosts) hosts_.push_back(Lower(host));
}

HttpServer::~HttpServer() {
  Stop();
}

void HttpServer::Route(const std::string& method, const std::string& pattern, HttpHandler handler) {
  routes_.push_back({method, Segments(pattern), std::move(handler)});
}

void HttpServer::SetGate(std::function<std::optional<HttpResponse>(const HttpRequest&)> gate) {
  gate_ = std::move(gate);
}

std::string HttpServer::Start() {
  sockaddr_storage address{};
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, options_.address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(options_.port);
  } else if (inet_pton(AF_INET6, options_.address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(options_.port);
    flags |= MHD_USE_IPv6;
  } else {
    return "not a listen address: " + options_.address;
  }
  daemon_ = MHD_start_daemon(
      flags, options_.port, nullptr, nullptr, &Access, this, MHD_OPTION_SOCK_ADDR, &address,
      MHD_OPTION_NOTIFY_COMPLETED, &Completed, nullptr, MHD_OPTION_CONNECTION_LIMIT,
      options_.maxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, options_.maxPerAddress,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, options_.maxHeader, MHD_OPTION_CONNECTION_TIMEOUT,
      options_.idleTimeoutSeconds, MHD_OPTION_THREAD_POOL_SIZE, std::max(1u, options_.threads),
      MHD_OPTION_END);
  if (daemon_ == nullptr)
    return "cannot listen on " + options_.address + " port " + std::to_string(options_.port);
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info ? info->port : options_.port;
  timer_ = std::thread([this] { TimerLoop(); });
  return {};
}

void HttpServer::Stop() {
  if (daemon_ == nullptr) return;
  std::vector<std::shared_ptr<Parked>> parked;
  {
    // Set under the lock, so the timer cannot miss it between its check and its wait.
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& weak : parked_)
      if (auto p = weak.lock()) parked.push_back(p);
    parked_.clear();
    due_.clear();
  }
  wake_.notify_all();
  if (timer_.joinable()) timer_.join();
  // libmicrohttpd must not be stopped with a connection still suspended.
  for (auto& p : parked) {
    {
      std::lock_guard lock(p->mutex);
      p->closing = true;
    }
    p->Resume();
  }
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

unsigned HttpServer::connections() const {
  if (daemon_ == nullptr) return 0;
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
  return info ? info->num_connections : 0;
}

std::optional<HttpResponse> HttpServer::Admit(const HttpRequest& request) const {
  if (!HostAllowed(request.Header("host"), hosts_))
    return ErrorResponse(403, "host", "this host name is not served here");
  if (request.Changes() && (!SameOrigin(request.Header("origin"), request.Header("host")) ||
                            Lower(request.Header("sec-fetch-site")) == "cross-site"))
    return ErrorResponse(403, "origin", "requests from other sites are refused");
  const std::string length = request.Header("content-length");
  if (!length.empty() &&
      (length.size() > 18 || length.find_first_not_of("0123456789") != std::string::npos ||
       std::stoull(length) > options_.maxBody))
    return ErrorResponse(413, "too-large", "the request body is larger than allowed");
  if (gate_) return gate_(request);
  return std::nullopt;
}

HttpResponse HttpServer::Dispatch(HttpRequest& request) const {
  const std::string& prefix = options_.apiPrefix;
  if (request.path.compare(0, prefix.size(), prefix) != 0 ||
      (request.path.size() > prefix.size() && request.path[prefix.size()] != '/'))
    return ServeStatic(request);
  std::vector<std::string> segments = Segments(request.path.substr(prefix.size()));
  bool pathKnown = false;
  for (const RouteEntry& route : routes_) {
    if (route.segments.size() != segments.size()) continue;
    std::map<std::string, std::string> params;
    bool match = true;
    for (size_t i = 0; i < segments.size() && match; ++i) {
      if (route.segments[i][0] == ':')
        params[route.segments[i].substr(1)] = segments[i];
      else
        match = route.segments[i] == segments[i];
    }
    if (!match) continue;
    pathKnown = true;
    if (route.method != request.method) continue;
    request.params = std::move(params);
    return route.handler(request);
  }
  if (pathKnown) return ErrorResponse(405, "method", "this method is not allowed here");
  return ErrorResponse(404, "not-found", "no such API path");
}

HttpResponse HttpServer::ServeStatic(const HttpRequest& request) const {
  std::string name = StaticName(request.path);
  if (name.empty()) return ErrorResponse(400, "path", "this path is not allowed");
  auto it = options_.staticFiles.find(name);
  if (it == options_.staticFiles.end()) return ErrorResponse(404, "not-found", "no such file");
  if (request.method != "GET" && request.method != "HEAD")
    return ErrorResponse(405, "method", "this method is not allowed here");
  std::ifstream file(it->second, std::ios::binary);
  std::ostringstream bytes;
  if (!file || !(bytes << file.rdbuf()))
    return ErrorResponse(500, "unreadable", "the file cannot be read");
  HttpResponse response;
  response.contentType = ContentTypeOf(name);
  response.body = bytes.str();
  return response;
}

int HttpServer::Send(MHD_Connection* connection, const HttpResponse& response) {
  MHD_Response* reply = nullptr;
  if (response.stream) {
    auto parked = std::make_shared<Parked>();
    parked->connection = connection;
    parked->source = response.stream;
    parked->stopping = &stopping_;
    std::weak_ptr<Parked> weak = parked;
    response.stream->SetWaker([weak] {
      if (auto p = weak.lock()) p->Resume();
    });
    auto* holder = new std::shared_ptr<Parked>(parked);
    reply = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 << 10, &ReadStream, holder,
                                              &FreeStream);
    if (reply == nullptr) {
      delete holder;
      return MHD_NO;
    }
    Remember(parked);
  } else {
    reply = MHD_create_response_from_buffer(
        response.body.size(), const_cast<char*>(response.body.data()), MHD_RESPMEM_MUST_COPY);
    if (reply == nullptr) return MHD_NO;
  }
  for (auto [name, value] : kSecurityHeaders) MHD_add_response_header(reply, name, value);
  MHD_add_response_header(reply, "Content-Type", response.contentType.c_str());
  bool cacheSet = false;
  for (const auto& [name, value] : response.headers) {
    MHD_add_response_header(reply, name.c_str(), value.c_str());
    cacheSet = cacheSet || Lower(name) == "cache-control";
  }
  if (!cacheSet) MHD_add_response_header(reply, "Cache-Control", "no-store");
  MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(response.status), reply);
  MHD_destroy_response(reply);
  return queued;
}

bool HttpServer::Hold(MHD_Connection* connection, Exchange& exchange, HttpResponse& response) {
  auto parked = std::make_shared<Parked>();
  parked->connection = connection;
  parked->stopping = &stopping_;
  {
    // Under mutex_, so Stop either sees this connection among the parked ones or has already
    // begun, and then nothing is put to sleep any more.
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    std::lock_guard parkedLock(parked->mutex);
    parked->Suspend();
    std::erase_if(parked_, [](const std::weak_ptr<Parked>& p) { return p.expired(); });
    parked_.push_back(parked);
    due_.emplace(std::chrono::steady_clock::now() + response.delay, parked);
  }
  exchange.held = std::move(response);
  exchange.parked = parked;
  wake_.notify_all();
  return true;
}

void HttpServer::Remember(const std::shared_ptr<Parked>& parked) {
  std::lock_guard lock(mutex_);
  std::erase_if(parked_, [](const std::weak_ptr<Parked>& p) { return p.expired(); });
  parked_.push_back(parked);
}

void HttpServer::TimerLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    auto now = std::chrono::steady_clock::now();
    while (!due_.empty() && due_.begin()->first <= now) {
      std::weak_ptr<Parked> weak = due_.begin()->second;
      due_.erase(due_.begin());
      if (auto parked = weak.lock()) {
        lock.unlock();
        parked->Resume();
        lock.lock();
      }
    }
    if (due_.empty())
      wake_.wait(lock);
    else
      wake_.wait_until(lock, due_.begin()->first);
  }
}

}  // namespace sf::service
