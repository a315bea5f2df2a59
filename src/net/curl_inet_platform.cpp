// The plain request client's HTTP layer over libcurl. The exchange runs on HttpSendRequest;
// reads then hand out the body in pieces. libcurl keeps no cache, so every answer comes from
// the server, as the client's reload flag asks.
#include <curl/curl.h>

#include <algorithm>
#include <cstring>

#include "base/encoding.h"
#include "base/text.h"
#include "net/curl_common.h"
#include "net/inet_platform.h"

namespace sf {
namespace {

struct InetHandle {
  enum class Kind { kInternet, kConnection, kRequest } kind;
  explicit InetHandle(Kind k) : kind(k) {}
  virtual ~InetHandle() = default;
};

struct Internet : InetHandle {
  Internet() : InetHandle(Kind::kInternet) {}
  std::string agent;
  int access = kInetOpenDirect;
  std::string proxyList;
};

struct Connection : InetHandle {
  Connection() : InetHandle(Kind::kConnection) {}
  Internet* internet = nullptr;
  std::string host;
  int port = 0;
};

struct Request : InetHandle {
  Request() : InetHandle(Kind::kRequest) {}
  Connection* connection = nullptr;
  std::string method;
  std::string target;
  uint32_t flags = 0;
  bool done = false;
  CancelFlag cancel;
  ResponseCollector response;
  size_t readPos = 0;
};

template <typename T>
T* As(HttpHandle h, InetHandle::Kind kind) {
  auto* base = reinterpret_cast<InetHandle*>(h);
  return base && base->kind == kind ? static_cast<T*>(base) : nullptr;
}

HttpHandle ToHandle(InetHandle* h) {
  return reinterpret_cast<HttpHandle>(h);
}

class CurlInetPlatform final : public InetPlatform {
 public:
  HttpHandle InternetOpen(const std::string& agent, int accessType, const std::string& proxy,
                          const std::string&) override {
    auto* h = new Internet;
    h->agent = GbkToUtf8(agent);
    h->access = accessType;
    h->proxyList = GbkToUtf8(proxy);
    return ToHandle(h);
  }

  HttpHandle InternetConnect(HttpHandle internet, const std::string& host, int port,
                             int service) override {
    auto* i = As<Internet>(internet, InetHandle::Kind::kInternet);
    if (!i || service != kInetServiceHttp || host.empty() || port <= 0 || port > 65535) return 0;
    auto* c = new Connection;
    c->internet = i;
    c->host = GbkToUtf8(host);
    c->port = port;
    return ToHandle(c);
  }

  HttpHandle HttpOpenRequest(HttpHandle connection, const std::string& method,
                             const std::string& path, const std::string&, uint32_t flags) override {
    auto* c = As<Connection>(connection, InetHandle::Kind::kConnection);
    if (!c) return 0;
    auto* r = new Request;
    r->connection = c;
    r->method = method;
    std::string target = EscapeRequestTarget(GbkToUtf8(path));
    r->target = target.substr(0, target.find('#'));
    if (r->target.empty()) r->target = "/";
    r->flags = flags;
    return ToHandle(r);
  }

  bool HttpSendRequest(HttpHandle request, const std::string& headers,
                       const std::string& data) override {
    auto* r = As<Request>(request, InetHandle::Kind::kRequest);
    if (!r || r->done) return false;
    r->done = true;
    return Perform(*r, GbkToUtf8(headers), data);
  }

  bool InternetReadFile(HttpHandle request, char* buffer, uint32_t size, uint32_t* read) override {
    auto* r = As<Request>(request, InetHandle::Kind::kRequest);
    if (!r) return false;
    size_t n = std::min<size_t>(size, r->response.body.size() - r->readPos);
    std::memcpy(buffer, r->response.body.data() + r->readPos, n);
    r->readPos += n;
    *read = static_cast<uint32_t>(n);
    return true;
  }

  bool HttpQueryInfo(HttpHandle request, int level, char* buffer, uint32_t* size) override {
    auto* r = As<Request>(request, InetHandle::Kind::kRequest);
    if (!r || level != kInetQueryRawHeadersCrlf || r->response.status == 0) return false;
    std::string block =
        IsValidUtf8(r->response.head) ? Utf8ToGbk(r->response.head) : r->response.head;
    if (block.size() + 1 > *size) return false;
    std::memcpy(buffer, block.data(), block.size());
    buffer[block.size()] = '\0';
    *size = static_cast<uint32_t>(block.size());
    return true;
  }

  void InternetCloseHandle(HttpHandle handle) override {
    delete reinterpret_cast<InetHandle*>(handle);
  }

  void SetCancelFlag(HttpHandle request, const CancelFlag& cancel) override {
    if (auto* r = As<Request>(request, InetHandle::Kind::kRequest)) r->cancel = cancel;
  }

 private:
  bool Perform(Request& r, const std::string& headers, const std::string& data) {
    CurlConnectionPool::Lease lease = connections_.Borrow();
    CURL* curl = lease.easy;
    if (!curl) return false;
    const Connection& c = *r.connection;
    const Internet& i = *c.internet;
    bool secure = (r.flags & kInetFlagSecure) != 0;
    std::string scheme = secure ? "https" : "http";
    std::string proxy = i.access == kInetOpenProxy ? PickProxy(i.proxyList, scheme) : "";
    std::string origin = scheme + "://" + BracketHost(c.host) + ":" + std::to_string(c.port);
    std::string url = origin + r.target;

    curl_slist* list = OurHeaderList(SplitText(headers, "\r\n"));

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, i.agent.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
    bool follow = (r.flags & kInetFlagNoAutoRedirect) == 0;
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, follow ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    // From https only https; from http also https, as the redirect flag of a plain URL allows.
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    r.response.Attach(curl);
    // No custom method string: with one, libcurl keeps "POST" on the request that follows a
    // redirect while dropping its body. Left to itself it turns a redirected POST into a GET,
    // as the platform interface this layer stands in for does.
    if (r.method == "HEAD") {
      curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (r.method == "POST") {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(data.size()));
      curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, data.c_str());
    } else {
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    CURLcode code = PerformUnlessCancelled(lease, r.cancel);
    connections_.GiveBack(lease);
    curl_slist_free_all(list);
    return code == CURLE_OK;
  }

  CurlConnectionPool connections_;
};

}  // namespace

std::shared_ptr<InetPlatform> DefaultInetPlatform() {
  InitCurlOnce();
  static std::shared_ptr<InetPlatform> platform = std::make_shared<CurlInetPlatform>();
  return platform;
}

}  // namespace sf
