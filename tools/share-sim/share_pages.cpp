// The share page (with its redirect and its quirks), password verification and the "like"
// call that hands a public share's visitor a sekey.
#include <ctime>
#include <random>

#include "base/encoding.h"
#include "sim_impl.h"

namespace sf::sim {
namespace {

constexpr size_t kMaxPassedVisitors = 10000;

std::string RandomHex(size_t n, bool upper) {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  const char* hex = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) out += hex[rng() % 16];
  return out;
}

std::string HostName(const std::string& host) {
  if (!host.empty() && host.front() == '[') return host.substr(0, host.find(']') + 1);
  return host.substr(0, host.find(':'));
}

std::string PageHead(const std::string& title, const std::string& charset) {
  return "<!DOCTYPE html>\n<html>\n<head>\n<meta http-equiv=\"Content-Type\" content=\"text/html; "
         "charset=" +
         charset + "\">\n<title>" + HtmlEscape(title) + "</title>\n</head>\n<body>\n";
}

}  // namespace

HttpResponse ShareSimulator::Impl::ShortLink(const HttpRequest& req, const std::string& id) {
  auto it = fixture->byId.find(id);
  if (it == fixture->byId.end()) {
    // An unknown link looks like one that was taken down.
    Share unknown;
    unknown.gone = true;
    return SharePage(req, unknown);
  }
  const Share& s = *it->second;
  if (s.redirect != RedirectMode::kNone && !s.gone) {
    std::string where =
        "/share/init?shareid=" + std::to_string(s.shareid) + "&uk=" + std::to_string(s.uk);
    if (s.redirect == RedirectMode::kAbsolute) where = "http://" + Host(req) + where;
    HttpResponse r;
    r.status = 302;
    r.headers = {"Content-Type: text/html; charset=utf-8", "Location: " + where};
    r.body = "<html><body>Moved to <a href=\"" + HtmlEscape(where) + "\">here</a></body></html>";
    return r;
  }
  return SharePage(req, s);
}

HttpResponse ShareSimulator::Impl::InitPage(const HttpRequest& req, const Pairs& query) {
  std::string why;
  const Share* s = FindShare(query, "shareid", "uk", &why);
  if (s) return SharePage(req, *s);
  Share unknown;
  unknown.gone = true;
  return SharePage(req, unknown);
}

HttpResponse ShareSimulator::Impl::SharePage(const HttpRequest& req, const Share& s) {
  std::vector<std::string> cookieHeaders = req.Headers("Cookie");
  std::string host = Host(req);
  std::string domain = HostName(host);
  int64_t now = std::time(nullptr);
  HttpResponse r;
  std::vector<std::string> cookies;
  // Cookies with every kind of attribute, a repeated name and a deleted one, as a real site
  // sends them; the client has to keep only what matters.
  if (!CookieValue(cookieHeaders, "SHAREUID"))
    cookies.push_back("SHAREUID=" + RandomHex(32, true) +
                      ":FG=1; expires=" + HttpDate(now + 31536000, true) +
                      "; max-age=31536000; path=/; domain=" + domain + "; version=1");
  cookies.push_back("PANWEB=1; path=/; domain=" + domain +
                    "; expires=" + HttpDate(now + 31536000, true));
  cookies.push_back("csrfToken=" + RandomHex(24, false) + "; path=/");
  cookies.push_back("csrfToken=" + RandomHex(24, false) + "; path=/; HttpOnly");
  cookies.push_back(
      "STOKEN=deleted; expires=Thu, 01-Jan-1970 00:00:01 GMT; max-age=0; path=/; domain=" + domain);

  std::string html;
  bool missing = false;
  if (s.missingOnce) {
    std::lock_guard<std::mutex> lock(stateMutex);
    missing = missingShown.insert(s.id).second;
  }
  std::string charset = s.pageCharset;
  if (s.gone) {
    html = PageHead("链接不存在", charset) +
           "<div class=\"error\">啊哦，你来晚了，分享的文件已经被删除了，下次要早点哟。</div>\n"
           "<div class=\"error-code\">链接不存在</div>\n</body>\n</html>\n";
  } else if (missing) {
    html = PageHead("页面不存在", charset) +
           "<div class=\"error\">啊哦，你所访问的页面不存在了。</div>\n</body>\n</html>\n";
  } else if (s.isProtected() &&
             !KeyValid(s, CookieValue(cookieHeaders, "BDCLND").value_or(""), true)) {
    html = PageHead(s.owner + " 的加密分享", charset) +
           "<div class=\"verify-form\">\n<p>请输入提取密码：</p>\n"
           "<input id=\"pwd\" type=\"text\" maxlength=\"4\">\n<a "
           "id=\"submitBtn\">提取文件</a>\n</div>\n"
           "<script type=\"text/javascript\">var yunData = window.yunData || "
           "{};</script>\n</body>\n</html>\n";
  } else {
    std::string title = s.top.children.empty() ? "分享" : s.top.children.front()->name;
    html = PageHead(title + "_免费高速下载", charset) + "<div class=\"share-owner\">" +
           HtmlEscape(s.owner) + " 分享的文件</div>\n";
    if (!s.noPageData) {
      JsonStyle st = Style();
      st.scriptSafe = true;  // the data sits inside a script: no ";" or "<" in its strings
      uint64_t ts = static_cast<uint64_t>(now);
      std::string data =
          "{\"sign\":\"" + Sign(s, ts) + "\",\"timestamp\":" + std::to_string(ts) +
          ",\"bdstoken\":\"" + Bdstoken(s) + "\",\"uk\":" + std::to_string(s.uk) +
          ",\"shareid\":" + std::to_string(s.shareid) +
          ",\"linkusername\":" + JsonString(s.owner, st) + ",\"ctime\":" + std::to_string(s.ctime) +
          ",\"public\":" + (s.isProtected() ? "0" : "1") + ",\"file_list\":{\"errno\":0,\"list\":[";
      bool first = true;
      for (const auto& c : s.top.children) {
        data += (first ? "" : ",") + ItemJson(*c, st);
        first = false;
      }
      data += "]}}";
      html +=
          "<script type=\"text/javascript\">\nvar yunData = window.yunData || "
          "{};\nyunData.setData(" +
          data + ");\n</script>\n";
    }
    html += "</body>\n</html>\n";
  }
  if (charset == "gbk") html = sf::Utf8ToGbk(html);
  r.headers.push_back("Content-Type: text/html; charset=" + charset);
  r.headers.push_back("Cache-Control: no-cache");
  for (auto& c : cookies) r.headers.push_back("Set-Cookie: " + c);
  r.body = std::move(html);
  return r;
}

HttpResponse ShareSimulator::Impl::Verify(const HttpRequest& req, const Pairs& query) {
  if (req.method != "POST") return Errno(2, "verify must be a POST");
  std::string why;
  const Share* s = FindShare(query, "shareid", "uk", &why);
  if (!s) return Errno(2, why);
  if (s->gone) return Errno(-7, "the share was cancelled");
  auto t = Find(query, "t").value_or("");
  if (t.size() != 13 || !AllDigits(t)) return Errno(2, "t must be 13 digits");
  why = CheckCommon(query, true, true);
  if (!why.empty()) return Errno(2, why);
  if (req.Header("Referer").empty()) return Errno(2, "a Referer line is required");
  // The client writes its values unencoded, so "&" and "=" may sit inside them: the body
  // is read by its fixed pieces from the right, not split at every "&".
  const std::string& body = req.body;
  size_t strPos = body.rfind("&vcode_str=");
  size_t codePos = strPos == std::string::npos ? std::string::npos : body.rfind("&vcode=", strPos);
  if (body.rfind("pwd=", 0) != 0 || codePos == std::string::npos)
    return Errno(2, "the body must be pwd=…&vcode=…&vcode_str=…");
  std::string pwd = body.substr(4, codePos - 4);
  std::string vcode = body.substr(codePos + 7, strPos - codePos - 7);
  std::string vcodeStr = body.substr(strPos + 11);

  if (s->verifyCaptcha) {
    std::string visitor = CookieValue(req.Headers("Cookie"), "SHAREUID").value_or("");
    std::string key = std::to_string(s->shareid) + "|" + visitor;
    bool passed;
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      passed = !visitor.empty() && passedVisitors.count(key);
    }
    if (!passed) {
      if (vcodeStr.empty() || !captchas.Redeem(vcodeStr, PercentDecode(vcode)))
        return Errno(-62, "a captcha is required");
      if (!visitor.empty()) {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (passedVisitors.insert(key).second) passedOrder.push_back(key);
        while (passedOrder.size() > kMaxPassedVisitors) {
          passedVisitors.erase(passedOrder.front());
          passedOrder.pop_front();
        }
      }
    }
  }
  if (s->isProtected()) {
    if (pwd.empty()) return Errno(-9, "no password");
    if (pwd != s->password && PercentDecode(pwd) != s->password)
      return Errno(-12, "wrong password");
  }
  std::string domain = HostName(Host(req));
  int64_t now = std::time(nullptr);
  // BDCLND comes first, and other cookies follow it: readers take the first cookie of this
  // answer as the key, and a cookie text must not end with it.
  return Json(
      "{\"errno\":0,\"err_msg\":\"\",\"request_id\":" + std::to_string(NextRequestId()) + "}",
      {"BDCLND=" + IssueKey(*s, 'v') + "; expires=" + HttpDate(now + 86400, true) +
           "; max-age=86400; path=/; domain=" + domain,
       "STOKEN=deleted; expires=Thu, 01-Jan-1970 00:00:01 GMT; max-age=0; path=/; domain=" + domain,
       "PANPSC=" + RandomHex(32, false) + "; path=/; HttpOnly"});
}

HttpResponse ShareSimulator::Impl::Like(const HttpRequest& req, const Pairs& query) {
  if (req.method != "POST") return Errno(2, "like/data must be a POST");
  std::string why = CheckCommon(query, true, true);
  if (!why.empty()) return Errno(2, why);
  Pairs body = SplitPairs(req.body);
  if (!AllEqual(body, "type", "1")) return Errno(2, "type must be 1");
  const Share* s = FindShare(body, "source_id", "query_uk", &why);
  if (!s) return Errno(2, why);
  if (s->gone) return Errno(-7, "the share was cancelled");
  std::vector<std::string> cookies;
  // Only a public share hands out a key here; a protected one needs its password.
  if (!s->isProtected())
    cookies.push_back("BDCLND=" + IssueKey(*s, 'l') + "; path=/; domain=" + HostName(Host(req)));
  cookies.push_back("PANPSC=" + RandomHex(32, false) + "; path=/; HttpOnly");
  return Json("{\"errno\":0,\"request_id\":" + std::to_string(NextRequestId()) +
                  ",\"data\":{\"liked\":0,\"like_count\":" + std::to_string(s->shareid % 97) + "}}",
              cookies);
}

}  // namespace sf::sim
