#include "net/web_client.h"

#include <vector>

#include "base/encoding.h"
#include "base/text.h"
#include "net/cookies.h"

namespace sf {
namespace {

// The error messages the client leaves in `statusText`, in GBK.
std::string Message(int code) {
  switch (code) {
    case 700:
      return Utf8ToGbk("700 当前系统不支持WinHttp服务!");
    case 701:
      return Utf8ToGbk("701 解析URL地址失败!");
    case 702:
      return Utf8ToGbk("702 创建WinHttp会话失败!");
    case 703:
      return Utf8ToGbk("703 创建WinHttp连接失败!");
    case 704:
      return Utf8ToGbk("704 创建WinHttp请求失败!");
    case 705:
      return Utf8ToGbk("705 设置超时时间失败!");
    case 707:
      return Utf8ToGbk("707 设置代理凭证失败!");
    case 708:
      return Utf8ToGbk("708 禁止自动设置Cookies失败!");
    case 709:
      return Utf8ToGbk("709 重定向设置失败!");
    case 710:
      return Utf8ToGbk("710 设置协议头失败!");
    case 711:
      return Utf8ToGbk("711 发送请求失败!");
    case 712:
      return Utf8ToGbk("712 服务器未响应!");
    case 713:
      return Utf8ToGbk("713 读取数据失败!");
    case kAnswerTooLarge:
      return Utf8ToGbk("714 响应数据过大!");
  }
  return {};
}

const char* MethodName(int method) {
  switch (method) {
    case 1:
      return "POST";
    case 2:
      return "HEAD";
    case 3:
      return "PUT";
    default:
      return "GET";
  }
}

struct DefaultLine {
  const char* key;
  bool caseInsensitive;
  const char* line;
};

// Added in this order, each only when its key is not yet in the header text.
constexpr DefaultLine kDefaultLines[] = {
    {"User-Agent: ", true,
     "User-Agent: Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)\r\n"},
    {"Accept: ", true, "Accept: text/html, application/xhtml+xml, */*\r\n"},
    {"Accept-Encoding: ", true, "Accept-Encoding: gbk, GB2312\r\n"},
    {"Accept-Language: ", true, "Accept-Language: zh-cn\r\n"},
    {"Content-Type:", false, "Content-Type: application/x-www-form-urlencoded\r\n"},
    {"Cache-Control: ", true, "Cache-Control: no-cache\r\n"},
};

// Holds the three handles of one call and closes them request, connection, session.
class Handles {
 public:
  explicit Handles(HttpPlatform& platform) : platform_(platform) {}
  ~Handles() { Close(); }

  HttpHandle session = 0;
  HttpHandle connection = 0;
  HttpHandle request = 0;

  void Close() {
    for (HttpHandle* h : {&request, &connection, &session}) {
      if (*h == 0) continue;
      platform_.CloseHandle(*h);
      *h = 0;
    }
  }

 private:
  HttpPlatform& platform_;
};

std::string ComposeHeaders(const WebRequest& r) {
  std::string headers = r.headerLines;
  if (!headers.empty()) headers += "\r\n";
  for (const DefaultLine& d : kDefaultLines)
    if (FindText(headers, d.key, 1, d.caseInsensitive) < 0) headers += d.line;
  if (FindText(headers, "Cookie: ", 1, true) < 0 && r.cookies && !r.cookies->empty())
    headers += "Cookie: " + *r.cookies + "\r\n";
  return headers;
}

}  // namespace

std::string WebClient::ErrorText(int code) {
  return Message(code);
}

WebClient::WebClient(bool mergeCookies, std::shared_ptr<HttpPlatform> platform)
    : mergeCookies_(mergeCookies),
      platform_(platform ? std::move(platform) : DefaultHttpPlatform()) {}

std::string WebClient::Request(const WebRequest& r) const {
  HttpPlatform& p = *platform_;
  Handles h(p);
  auto fail = [&](int code) {
    if (r.statusText) *r.statusText = Message(code);
    h.Close();
    return std::string();
  };

  if (!p.CheckPlatform()) return fail(700);

  CrackedUrl url;
  if (!p.CrackUrl(GbkToUtf16(r.url), &url)) return fail(701);
  bool secure = url.scheme == kSchemeHttps;
  std::u16string path = url.path.empty() ? u"/" : url.path + url.extra;

  if (r.proxy.empty()) {
    h.session = p.Open(kAccessNoProxy, u"");
  } else {
    std::string name = secure ? r.proxy : "http=" + r.proxy;
    h.session = p.Open(kAccessNamedProxy, GbkToUtf16(name));
  }
  if (!h.session) return fail(702);

  h.connection = p.Connect(h.session, url.host, url.port);
  if (!h.connection) return fail(703);

  h.request = p.OpenRequest(h.connection, GbkToUtf16(MethodName(r.method)), path,
                            secure ? kRequestFlagSecure : 0);
  if (!h.request) return fail(704);
  p.SetCancelFlag(h.request, cancel_);

  int t = r.timeoutSeconds > 0 ? r.timeoutSeconds * 1000 : 30000;
  if (!p.SetTimeouts(h.request, t, t, t, t)) return fail(705);

  if (!r.userName.empty() && !r.password.empty() &&
      !p.SetCredentials(h.request, kAuthTargetServer, kAuthSchemeBasic, GbkToUtf16(r.userName),
                        GbkToUtf16(r.password)))
    return fail(707);
  if (!r.proxyUserName.empty() && !r.proxyPassword.empty() &&
      !p.SetCredentials(h.request, kAuthTargetProxy, kAuthSchemeBasic, GbkToUtf16(r.proxyUserName),
                        GbkToUtf16(r.proxyPassword)))
    return fail(707);

  bool cookieOption = r.cookies ? p.SetOption(h.request, kOptionEnableFeature, kFeatureCookies)
                                : p.SetOption(h.request, kOptionDisableFeature, kFeatureCookies);
  if (!cookieOption) return fail(708);

  if (r.noRedirect && !p.SetOption(h.request, kOptionDisableFeature, kFeatureRedirects))
    return fail(709);

  std::u16string headers = GbkToUtf16(ComposeHeaders(r));
  if (!p.AddRequestHeaders(h.request, headers, kAddHeadersAddReplace)) return fail(710);
  if (!p.SendRequest(h.request, r.body)) return fail(711);
  if (!p.ReceiveResponse(h.request)) return fail(712);

  std::string bytes;
  std::vector<char> buffer;
  while (true) {
    uint32_t available = 0;
    if (!p.QueryDataAvailable(h.request, &available) || available < 1) break;
    buffer.assign(available, '\0');
    uint32_t read = 0;
    if (!p.ReadData(h.request, buffer.data(), available, &read)) {
      if (r.statusText) *r.statusText = Message(713);
      break;
    }
    bytes.append(buffer.data(), std::min(read, available));
    if (bytes.size() > kMaxAnswerBytes) return fail(kAnswerTooLarge);
  }

  std::u16string block16;
  if (!p.QueryRawHeaders(h.request, &block16)) {
    h.Close();
    return {};
  }
  std::string block = NormalizeSetCookie(Utf16ToGbk(block16));
  if (r.responseHeaders) *r.responseHeaders = block;
  if (r.statusText) {
    size_t eol = block.size() > 9 ? block.find("\r\n", 9) : std::string::npos;
    *r.statusText = eol == std::string::npos ? std::string() : block.substr(9, eol - 9);
  }
  // What another host answered after a redirect is no cookie of the host asked: the caller
  // keeps one cookie text per host and would otherwise send that host's cookies here.
  std::string collected;
  ScanHeaderBlock(block, nullptr, r.location);
  std::string answering = ToLowerAscii(Utf16ToGbk(p.AnsweringHost(h.request)));
  std::string asked = ToLowerAscii(Utf16ToGbk(url.host));
  ScanHeaderBlock(answering.empty() ? block : CookieLinesFor(block, asked, answering), &collected,
                  nullptr);
  if (mergeCookies_ && r.cookies) MergeCookies(r.cookies, &collected);
  if (r.newCookies) *r.newCookies = collected;
  if (r.responseBytes) *r.responseBytes = bytes;

  std::string text = bytes.substr(0, bytes.find('\0'));
  // Pages name their character set in a meta tag; service answers (JSON) only in their
  // Content-Type, so that is the fallback, or their names would reach the user garbled.
  std::string charset = CharsetFromMeta(text);
  if (charset.empty()) charset = CharsetFromContentType(block);
  text = DecodeBodyText(std::move(text), bytes, charset);
  h.Close();
  return text;
}

}  // namespace sf
