#include "net/curl_http_platform.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "base/text.h"
#include "net/cookies.h"
#include "net/curl_common.h"
#include "net/web_client.h"

namespace sf {
namespace {

using Clock = std::chrono::steady_clock;

enum class Kind : uint32_t {
  kSession = 0x53455353,
  kConnection = 0x434F4E4E,
  kRequest = 0x52455155
};

struct HandleBase {
  explicit HandleBase(Kind k) : kind(k) {}
  virtual ~HandleBase() = default;
  Kind kind;
};

struct Session : HandleBase {
  Session() : HandleBase(Kind::kSession) {}
  int accessType = kAccessNoProxy;
  std::string proxyList;  // UTF-8
};

struct Connection : HandleBase {
  Connection() : HandleBase(Kind::kConnection) {}
  Session* session = nullptr;
  std::string host;  // UTF-8
  int port = 0;
};

// A cookie set by a redirect response, kept for the rest of the same call.
struct JarCookie {
  std::string name;
  std::string pair;
  std::string domain;
  bool hostOnly = true;
};

struct Request : HandleBase {
  Request() : HandleBase(Kind::kRequest) {}
  Connection* connection = nullptr;
  std::string method;
  std::string target;  // escaped path and query, UTF-8
  bool secure = false;
  long connectMs = 60000;
  long sendMs = 30000;
  long receiveMs = 30000;
  std::string user, password, proxyUser, proxyPassword;
  bool platformCookies = false;
  bool noRedirect = false;
  std::vector<std::string> headerLines;  // UTF-8, without CRLF
  CancelFlag cancel;

  enum class Outcome {
    kNotSent,
    kSendFailed,
    kNoResponse,
    kComplete,
    kBodyBroken
  } outcome = Outcome::kNotSent;
  std::string answeringHost;  // of the final response, UTF-8
  std::string headerBlock;    // bytes of the final response head, CRLF line ends
  std::string body;
  size_t readPos = 0;
};

struct Exchange {
  std::string scheme;  // "http" or "https"
  std::string host;
  int port = 0;
  std::string target;
  std::string method;
  std::string body;
  bool sendBody = false;
};

struct Transfer : ResponseCollector {
  curl_off_t lastDown = 0, lastUp = 0;
  long sendMs = 0, receiveMs = 0;
  CURL* curl = nullptr;
};

// Per-phase time-outs: once connected, a transfer that moves no byte for longer than the
// send or receive time-out is given up.
int OnProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
  auto* t = static_cast<Transfer*>(user);
  auto now = Clock::now();
  curl_off_t pretransfer = 0;
  curl_easy_getinfo(t->curl, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
  if (pretransfer == 0) {
    t->lastActivity = now;
    return 0;
  }
  if (dlnow != t->lastDown || ulnow != t->lastUp) {
    t->lastDown = dlnow;
    t->lastUp = ulnow;
    t->lastActivity = now;
    return 0;
  }
  long limit = t->headDone || t->status > 0 ? t->receiveMs : std::max(t->sendMs, t->receiveMs);
  auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - t->lastActivity).count();
  return idle > limit ? 1 : 0;
}

bool HostMatches(const JarCookie& c, const std::string& host) {
  std::string h = ToLowerAscii(host);
  return c.hostOnly ? h == c.domain : DomainMatches(h, c.domain);
}

void StoreRedirectCookies(const std::string& head, const std::string& host,
                          std::vector<JarCookie>* jar) {
  for (const std::string& line : SplitText(head, "\r\n")) {
    if (!StartsWithIgnoreCase(line, "Set-Cookie:")) continue;
    std::vector<std::string> parts = SplitText(std::string_view(line).substr(11), ";");
    JarCookie c;
    c.pair = TrimSpaces(parts[0]);
    size_t eq = c.pair.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    c.name = c.pair.substr(0, eq);
    c.domain = ToLowerAscii(host);
    bool expired = false, refused = false;
    for (size_t i = 1; i < parts.size(); ++i) {
      std::string attr = TrimSpaces(parts[i]);
      if (StartsWithIgnoreCase(attr, "domain=")) {
        std::string d = ToLowerAscii(attr.substr(7));
        while (!d.empty() && d.front() == '.') d.erase(0, 1);
        // A host sets cookies for itself and the names above it, never for another one.
        if (!d.empty() && !DomainMatches(ToLowerAscii(host), d)) refused = true;
        if (!d.empty()) {
          c.domain = d;
          c.hostOnly = false;
        }
      } else if (StartsWithIgnoreCase(attr, "max-age=")) {
        expired = ReadInteger(attr.substr(8)) <= 0;
      }
    }
    if (refused) continue;
    std::erase_if(*jar,
                  [&](const JarCookie& o) { return o.name == c.name && o.domain == c.domain; });
    if (!expired) jar->push_back(c);
  }
}

// The caller's Cookie line is that of the host the request was opened for: a redirect to
// another host carries none of it, only the jar's cookies that belong there.
std::vector<std::string> WithoutCookieLines(std::vector<std::string> lines) {
  std::erase_if(lines, [](const std::string& l) { return StartsWithIgnoreCase(l, "Cookie:"); });
  return lines;
}

// Puts the jar's cookies for `host` into the request's Cookie line: a pair of the same name
// takes the redirect's value, others are appended.
std::vector<std::string> WithJarCookies(std::vector<std::string> lines,
                                        const std::vector<JarCookie>& jar,
                                        const std::string& host) {
  std::vector<const JarCookie*> send;
  for (const JarCookie& c : jar)
    if (HostMatches(c, host)) send.push_back(&c);
  if (send.empty()) return lines;
  for (std::string& line : lines) {
    if (!StartsWithIgnoreCase(line, "Cookie:")) continue;
    std::vector<std::string> pairs;
    for (const std::string& p : SplitText(std::string_view(line).substr(7), ";")) {
      std::string pair = TrimSpaces(p);
      if (!pair.empty()) pairs.push_back(pair);
    }
    for (const JarCookie* c : send) {
      bool replaced = false;
      for (std::string& p : pairs) {
        if (p.substr(0, p.find('=')) == c->name) {
          p = c->pair;
          replaced = true;
        }
      }
      if (!replaced) pairs.push_back(c->pair);
    }
    std::string joined;
    for (const std::string& p : pairs) joined += (joined.empty() ? "" : "; ") + p;
    line = "Cookie: " + joined;
    return lines;
  }
  std::string joined;
  for (const JarCookie* c : send) joined += (joined.empty() ? "" : "; ") + c->pair;
  lines.push_back("Cookie: " + joined);
  return lines;
}

class CurlHttpPlatform final : public HttpPlatform {
 public:
  bool CheckPlatform() override { return true; }

  bool CrackUrl(const std::u16string& url, CrackedUrl* out) override {
    return CrackHttpUrl(url, out);
  }

  HttpHandle Open(int accessType, const std::u16string& proxyName) override {
    auto* s = new Session;
    s->accessType = accessType;
    s->proxyList = Utf16ToUtf8(proxyName);
    return reinterpret_cast<HttpHandle>(static_cast<HandleBase*>(s));
  }

  HttpHandle Connect(HttpHandle session, const std::u16string& host, int port) override {
    auto* s = As<Session>(session, Kind::kSession);
    if (!s || host.empty() || port <= 0 || port > 65535) return 0;
    auto* c = new Connection;
    c->session = s;
    c->host = Utf16ToUtf8(host);
    c->port = port;
    return reinterpret_cast<HttpHandle>(static_cast<HandleBase*>(c));
  }

  HttpHandle OpenRequest(HttpHandle connection, const std::u16string& method,
                         const std::u16string& path, uint32_t flags) override {
    auto* c = As<Connection>(connection, Kind::kConnection);
    if (!c) return 0;
    auto* r = new Request;
    r->connection = c;
    r->method = Utf16ToUtf8(method);
    std::string target = EscapeRequestTarget(Utf16ToUtf8(path));
    r->target = target.substr(0, target.find('#'));  // a fragment never goes on the wire
    if (r->target.empty()) r->target = "/";
    r->secure = (flags & kRequestFlagSecure) != 0;
    return reinterpret_cast<HttpHandle>(static_cast<HandleBase*>(r));
  }

  bool SetTimeouts(HttpHandle request, int resolveMs, int connectMs, int sendMs,
                   int receiveMs) override {
    auto* r = As<Request>(request, Kind::kRequest);
    if (!r) return false;
    r->connectMs = std::max(1, resolveMs) + std::max(1, connectMs);
    r->sendMs = std::max(1, sendMs);
    r->receiveMs = std::max(1, receiveMs);
    return true;
  }

  bool SetCredentials(HttpHandle request, int target, int scheme, const std::u16string& user,
                      const std::u16string& password) override {
    auto* r = As<Request>(request, Kind::kRequest);
    if (!r || scheme != kAuthSchemeBasic) return false;
    if (target == kAuthTargetServer) {
      r->user = Utf16ToUtf8(user);
      r->password = Utf16ToUtf8(password);
    } else if (target == kAuthTargetProxy) {
      r->proxyUser = Utf16ToUtf8(user);
      r->proxyPassword = Utf16ToUtf8(password);
    } else {
      return false;
    }
    return true;
  }

  bool SetOption(HttpHandle request, int option, uint32_t value) override {
    auto* r = As<Request>(request, Kind::kRequest);
    if (!r) return false;
    if (option == kOptionDisableFeature && value == kFeatureCookies)
      r->platformCookies = false;
    else if (option == kOptionDisableFeature && value == kFeatureRedirects)
      r->noRedirect = true;
    else if (option == kOptionEnableFeature && value == kFeatureCookies)
      r->platformCookies = true;
    else
      return false;
    return true;
  }

  bool AddRequestHeaders(HttpHandle request, const std::u16string& headers, uint32_t) override {
    auto* r = As<Request>(request, Kind::kRequest);
    if (!r) return false;
    for (std::string& line : SplitText(Utf16ToUtf8(headers), "\r\n"))
      if (!line.empty()) r->headerLines.push_back(std::move(line));
    return true;
  }

  bool SendRequest(HttpHandle request, const std::string& body) override {
    auto* r = As<Request>(request, Kind::kRequest);
    if (!r || r->outcome != Request::Outcome::kNotSent) return false;
    Run(*r, body);
    return r->outcome != Request::Outcome::kSendFailed;
  }

  bool ReceiveResponse(HttpHandle request) override {
    auto* r = As<Request>(request, Kind::kRequest);
    return r && (r->outcome == Request::Outcome::kComplete ||
                 r->outcome == Request::Outcome::kBodyBroken);
  }

  bool QueryDataAvailable(HttpHandle request, uint32_t* available) override {
    auto* r = As<Request>(request, Kind::kRequest);
    if (!r || !ReceiveResponse(request)) return false;
    size_t left = r->body.size() - r->readPos;
    // A body cut short still reports a byte, so that the read of it fails as the drop did.
    if (left == 0 && r->outcome == Request::Outcome::kBodyBroken) left = 1;
    *available = static_cast<uint32_t>(std::min<size_t>(left, 65536));
    return true;
  }

  bool ReadData(HttpHandle request, char* buffer, uint32_t size, uint32_t* read) override {
    auto* r = As<Request>(request, Kind::kRequest);
    if (!r) return false;
    size_t left = r->body.size() - r->readPos;
    if (left == 0 && r->outcome == Request::Outcome::kBodyBroken) return false;
    size_t n = std::min<size_t>(left, size);
    std::memcpy(buffer, r->body.data() + r->readPos, n);
    r->readPos += n;
    *read = static_cast<uint32_t>(n);
    return true;
  }

  bool QueryRawHeaders(HttpHandle request, std::u16string* block) override {
    auto* r = As<Request>(request, Kind::kRequest);
    if (!r || !ReceiveResponse(request)) return false;
    *block = IsValidUtf8(r->headerBlock) ? Utf8ToUtf16(r->headerBlock) : GbkToUtf16(r->headerBlock);
    return true;
  }

  void SetCancelFlag(HttpHandle request, const CancelFlag& cancel) override {
    if (auto* r = As<Request>(request, Kind::kRequest)) r->cancel = cancel;
  }

  std::u16string AnsweringHost(HttpHandle request) override {
    auto* r = As<Request>(request, Kind::kRequest);
    return r ? Utf8ToUtf16(r->answeringHost) : std::u16string();
  }

  void CloseHandle(HttpHandle handle) override {
    auto* base = reinterpret_cast<HandleBase*>(handle);
    if (!base) return;
    delete base;
  }

 private:
  template <typename T>
  static T* As(HttpHandle h, Kind kind) {
    auto* base = reinterpret_cast<HandleBase*>(h);
    return base && base->kind == kind ? static_cast<T*>(base) : nullptr;
  }

  void Run(Request& r, const std::string& body) {
    const Session& session = *r.connection->session;
    Exchange ex;
    ex.scheme = r.secure ? "https" : "http";
    ex.host = r.connection->host;
    ex.port = r.connection->port;
    ex.target = r.target;
    ex.method = r.method;
    ex.body = body;
    ex.sendBody = !body.empty() || r.method == "POST" || r.method == "PUT";
    std::vector<JarCookie> jar;

    for (int hop = 0;; ++hop) {
      std::string proxy =
          session.accessType == kAccessNamedProxy ? PickProxy(session.proxyList, ex.scheme) : "";
      Transfer t;
      bool sent = false;
      bool ownHost = EqualsIgnoreCase(ex.host, r.connection->host);
      CURLcode code = Perform(
          r, ex, proxy,
          WithJarCookies(ownHost ? r.headerLines : WithoutCookieLines(r.headerLines), jar, ex.host),
          &t, &sent);
      if (!t.headDone) {
        r.outcome = sent ? Request::Outcome::kNoResponse : Request::Outcome::kSendFailed;
        return;
      }
      bool redirect = t.status == 301 || t.status == 302 || t.status == 303 || t.status == 307 ||
                      t.status == 308;
      std::string location;
      for (const std::string& line : SplitText(t.head, "\r\n"))
        if (StartsWithIgnoreCase(line, "Location:")) location = TrimSpaces(line.substr(9));
      Exchange next = ex;
      if (!r.noRedirect && redirect && !location.empty() && hop < 10 &&
          Resolve(ex, location, &next) && !(ex.scheme == "https" && next.scheme == "http")) {
        if (r.platformCookies) StoreRedirectCookies(t.head, ex.host, &jar);
        if (t.status == 303 || ((t.status == 301 || t.status == 302) && ex.method == "POST")) {
          if (next.method != "HEAD") next.method = "GET";
          next.body.clear();
          next.sendBody = false;
        }
        ex = next;
        continue;
      }
      r.answeringHost = ex.host;
      r.headerBlock = std::move(t.head);
      r.body = std::move(t.body);
      r.outcome = code == CURLE_OK ? Request::Outcome::kComplete : Request::Outcome::kBodyBroken;
      return;
    }
  }

  // Resolves a Location value against the current exchange.
  static bool Resolve(const Exchange& from, const std::string& location, Exchange* to) {
    CURLU* u = curl_url();
    if (!u) return false;
    std::string base = from.scheme + "://" + BracketHost(from.host) + ":" +
                       std::to_string(from.port) + from.target;
    bool ok = curl_url_set(u, CURLUPART_URL, base.c_str(),
                           CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) == CURLUE_OK &&
              curl_url_set(u, CURLUPART_URL, EscapeRequestTarget(location).c_str(),
                           CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) == CURLUE_OK;
    auto part = [&](CURLUPart which, unsigned flags) -> std::string {
      char* v = nullptr;
      if (curl_url_get(u, which, &v, flags) != CURLUE_OK || !v) return {};
      std::string s(v);
      curl_free(v);
      return s;
    };
    if (ok) {
      to->scheme = ToLowerAscii(part(CURLUPART_SCHEME, 0));
      to->host = part(CURLUPART_HOST, 0);
      if (to->host.size() >= 2 && to->host.front() == '[')
        to->host = to->host.substr(1, to->host.size() - 2);
      to->port = static_cast<int>(ReadInteger(part(CURLUPART_PORT, CURLU_DEFAULT_PORT)));
      std::string query = part(CURLUPART_QUERY, 0);
      to->target = part(CURLUPART_PATH, 0) + (query.empty() ? "" : "?" + query);
      ok = (to->scheme == "http" || to->scheme == "https") && !to->host.empty() && to->port > 0;
    }
    curl_url_cleanup(u);
    return ok;
  }

  CURLcode Perform(const Request& r, const Exchange& ex, const std::string& proxy,
                   const std::vector<std::string>& lines, Transfer* t, bool* sent) {
    CurlConnectionPool::Lease lease = connections_.Borrow();
    CURL* curl = lease.easy;
    if (!curl) return CURLE_FAILED_INIT;
    t->curl = curl;
    t->sendMs = r.sendMs;
    t->receiveMs = r.receiveMs;
    std::string origin = ex.scheme + "://" + BracketHost(ex.host) + ":" + std::to_string(ex.port);
    std::string url = origin + "/";
    // The target goes out exactly as built; through a proxy a plain request names the origin.
    std::string target = (!proxy.empty() && ex.scheme == "http") ? origin + ex.target : ex.target;

    curl_slist* headers = OurHeaderList(lines);

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_REQUEST_TARGET, target.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, r.connectMs);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, t);
    t->Attach(curl);
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());  // "" also ignores proxy variables
    if (!proxy.empty() && !r.proxyUser.empty()) {
      curl_easy_setopt(curl, CURLOPT_PROXYAUTH, CURLAUTH_BASIC);
      curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, r.proxyUser.c_str());
      curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, r.proxyPassword.c_str());
    }
    if (!r.user.empty()) {
      curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
      curl_easy_setopt(curl, CURLOPT_USERNAME, r.user.c_str());
      curl_easy_setopt(curl, CURLOPT_PASSWORD, r.password.c_str());
    }
    if (ex.method == "HEAD") {
      curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else {
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, ex.method.c_str());
      if (ex.sendBody) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(ex.body.size()));
        curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, ex.body.c_str());
      }
    }
    CURLcode code = PerformUnlessCancelled(lease, r.cancel);
    long requestSize = 0;
    curl_easy_getinfo(curl, CURLINFO_REQUEST_SIZE, &requestSize);
    *sent = requestSize > 0;
    connections_.GiveBack(lease);
    curl_slist_free_all(headers);
    return code;
  }

  CurlConnectionPool connections_;
};

}  // namespace

std::shared_ptr<HttpPlatform> MakeCurlHttpPlatform() {
  InitCurlOnce();
  return std::make_shared<CurlHttpPlatform>();
}

std::shared_ptr<HttpPlatform> DefaultHttpPlatform() {
  static std::shared_ptr<HttpPlatform> platform = MakeCurlHttpPlatform();
  return platform;
}

}  // namespace sf
