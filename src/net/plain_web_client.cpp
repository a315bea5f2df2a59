#include "net/plain_web_client.h"

#include <array>

#include "base/text.h"
#include "net/cookies.h"

namespace sf {
namespace {

constexpr size_t kHeaderBufferSize = 5000;

struct Target {
  std::string host;
  int port = 80;
  std::string path;
};

// Host, port and path by the client's text rules, not by a URL parser.
Target TakeApart(const std::string& url) {
  std::string lower = ToLowerAscii(url);
  if (lower.empty() || lower.back() != '/') lower += '/';
  std::string hostPort;
  if (lower.rfind("https://", 0) == 0) {
    hostPort = MiddleText(lower, "https://", "/");
  } else {
    if (FindText(lower, "http://") < 0) lower = "http://" + lower;
    hostPort = MiddleText(lower, "http://", "/");
  }
  Target t;
  t.host = hostPort.substr(0, hostPort.find(':'));
  size_t colon = hostPort.rfind(':');
  if (colon != std::string::npos)
    t.port = ReadInt(hostPort.substr(colon + 1));
  else
    t.port = ToLowerAscii(url.substr(0, 5)) == "https" ? 443 : 80;
  t.path = "/";
  // The host is looked for after the scheme: a short host such as "h" would otherwise be
  // found inside "http" and turn the path into "//h".
  int schemeEnd = FindText(url, "://");
  int from = schemeEnd > 0 ? schemeEnd + 3 : 1;
  int at = t.host.empty() ? -1 : FindText(url, t.host, from, true);
  if (at > 0) {
    int slash = FindText(url, "/", at, true);
    if (slash > 0) t.path = url.substr(static_cast<size_t>(slash) - 1);
  }
  return t;
}

std::string UserAgent(const std::string& headerLines) {
  if (FindText(headerLines, "User-Agent:", 1, true) < 0)
    return "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
  std::string agent = TrimSpaces(MiddleText(headerLines + "\r\n", "User-Agent:", "\r\n"));
  if (!agent.empty()) return agent;
  // A line written "user-agent:" gives no case-sensitive match: take the value after the
  // first colon, up to the end of its line (a line break must never reach the agent).
  std::string rest = headerLines.substr(headerLines.find(':') + 1);
  return TrimSpaces(rest.substr(0, rest.find("\r\n")));
}

}  // namespace

PlainWebClient::PlainWebClient(std::shared_ptr<InetPlatform> platform)
    : platform_(platform ? std::move(platform) : DefaultInetPlatform()) {}

std::string PlainWebClient::Request(const PlainRequest& r) const {
  InetPlatform& p = *platform_;
  int method = (r.method >= 0 && r.method <= 2) ? r.method : 0;
  static constexpr const char* kMethods[] = {"GET", "POST", "HEAD"};
  bool secure = ToLowerAscii(r.url.substr(0, 8)) == "https://";
  std::string lines = r.headerLines ? *r.headerLines : std::string();
  std::string agent = UserAgent(lines);

  HttpHandle internet = r.proxy.empty() ? p.InternetOpen(agent, kInetOpenDirect, "", "")
                                        : p.InternetOpen(agent, kInetOpenProxy,
                                                         secure ? r.proxy : "http=" + r.proxy, "");
  if (!internet) return {};
  Target target = TakeApart(r.url);
  HttpHandle connection = p.InternetConnect(internet, target.host, target.port, kInetServiceHttp);
  if (!connection) {
    p.InternetCloseHandle(internet);
    return {};
  }
  uint32_t flags = kInetFlagReload | kInetFlagNeedFile;
  if (r.cookies) flags |= kInetFlagNoCookies;
  if (r.noRedirect) flags |= kInetFlagNoAutoRedirect;
  flags |= secure ? kInetFlagSecure : kInetFlagIgnoreRedirectToHttps;
  HttpHandle request =
      p.HttpOpenRequest(connection, kMethods[method], target.path, "HTTP/1.1", flags);
  if (!request) {
    p.InternetCloseHandle(connection);
    p.InternetCloseHandle(internet);
    return {};
  }
  p.SetCancelFlag(request, cancel_);

  if (lines.empty())
    lines = "Accept: */*";
  else if (FindText(lines, "Accept:") < 0)
    lines += "\r\nAccept: */*";
  if (FindText(lines, "Referer:") < 0) lines += "\r\nReferer: " + r.url;
  if (FindText(lines, "Accept-Language:") < 0) lines += "\r\nAccept-Language: zh-cn";
  if (FindText(lines, "Content-Type:") < 0)
    lines += "\r\nContent-Type: application/x-www-form-urlencoded";
  if (r.cookies && !r.cookies->empty()) {
    if (FindText(*r.cookies, "Cookie:") < 0)
      lines += "\r\nCookie: " + *r.cookies;
    else
      lines += "\r\n" + *r.cookies;
  }
  if (r.headerLines) *r.headerLines = lines;

  if (method != 0) {
    std::string local;
    std::string& data = r.bodyBytes ? *r.bodyBytes : local;
    if (data.empty()) data = r.body;
    p.HttpSendRequest(request, lines, data);
  } else {
    p.HttpSendRequest(request, lines, "");
  }

  std::string body;
  std::array<char, 1024> piece{};
  uint32_t read = 0;
  while (p.InternetReadFile(request, piece.data(), piece.size(), &read) && read > 0) {
    body.append(piece.data(), read);
    if (body.size() > kMaxAnswerBytes) {
      p.InternetCloseHandle(request);
      p.InternetCloseHandle(connection);
      p.InternetCloseHandle(internet);
      return {};
    }
  }

  std::string headers(kHeaderBufferSize, ' ');
  uint32_t size = kHeaderBufferSize;
  if (p.HttpQueryInfo(request, kInetQueryRawHeadersCrlf, headers.data(), &size)) {
    size_t end = headers.find('\0');
    if (end != std::string::npos) headers.resize(end);
  } else {
    headers.assign(kHeaderBufferSize, ' ');
  }
  headers = NormalizeSetCookie(headers);

  p.InternetCloseHandle(request);
  p.InternetCloseHandle(connection);
  p.InternetCloseHandle(internet);

  if (r.responseHeaders) *r.responseHeaders = headers;
  if (r.newCookies) *r.newCookies = CollectCookies(headers);
  return body;
}

}  // namespace sf
