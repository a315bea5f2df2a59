#include "share/quick_mode.h"

#include "base/encoding.h"
#include "base/text.h"
#include "net/cookies.h"
#include "share/log_id.h"

namespace sf {
namespace {

// The fixed query values every API request of the quick mode ends with, before its logid.
constexpr const char* kCommonQuery =
    "bdstoken=null&channel=chunlei&clienttype=0&web=1&app_id=250528&logid=";

// Both `t` values are fixed numbers the service accepts, not the time of the request.
constexpr const char* kVerifyTime = "1495278759042";
constexpr const char* kCaptchaTime = "0.9393451915774635";

// The first "Set-Cookie: " line's text up to its first ";". The pair ends with its line even
// when the cookie has no attributes: the next header lines must not come with it, or they
// would travel inside the Cookie line of every later request.
std::string FirstSetCookie(const std::string& headerBlock) {
  std::string line = MiddleText(headerBlock + "\r\n", "Set-Cookie: ", "\r\n");
  return line.substr(0, line.find(';'));
}

class RunGuard {
 public:
  explicit RunGuard(bool& running) : running_(running) { running_ = true; }
  ~RunGuard() { running_ = false; }
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;

 private:
  bool& running_;
};

}  // namespace

QuickMode::QuickMode(std::string host, QuickModeView& view, std::shared_ptr<HttpPlatform> http,
                     std::shared_ptr<InetPlatform> inet)
    : host_(std::move(host)),
      view_(view),
      client_(/*mergeCookies=*/false, std::move(http)),
      plain_(std::move(inet)) {}

void QuickMode::SetCancelFlag(const CancelFlag& cancel) {
  client_.SetCancelFlag(cancel);
  plain_.SetCancelFlag(cancel);
}

bool QuickMode::Parse(const std::string& url, const std::string& password) {
  if (running_) return false;
  RunGuard guard(running_);
  QuickModeState& s = state_;
  s.shareId = MiddleText(url, "shareid=", "&");
  s.userId = TextAfterLast(url, "=");

  // Only the cookies the share page sets; nothing of an earlier parse may survive, even when
  // this request fails and leaves the collected cookies unwritten. They are the share host's
  // only when the link names it: a page of another host keeps its cookies, and never gets the
  // share host's (the key a verification gives least of all).
  s.cookies.clear();
  std::string otherHostCookies;
  std::string* pageCookies =
      CookieHostOf(url) == CookieHostOf(host_) ? &s.cookies : &otherHostCookies;
  client_.Request({.url = url, .newCookies = pageCookies});
  s.requestId = NewLogId();

  // A URL that names both ids is the address a protected share redirects to.
  const bool isPublic = s.shareId.empty() || s.userId.empty();
  std::string page, target, body;
  if (isPublic) {
    page = client_.Request({.url = url, .cookies = pageCookies});
    s.userId = MiddleText(page, "\"uk\":", ",");
    s.shareId = MiddleText(page, "\"shareid\":", ",");
    target = host_ + "/pcloud/like/data?" + kCommonQuery + s.requestId;
    body = "type=1&query_uk=" + s.userId + "&source_id=" + s.shareId;
    view_.ShowStatus(Utf8ToGbk("无需输入分享密码"));
  } else {
    target = host_ + "/share/verify?shareid=" + s.shareId + "&uk=" + s.userId +
             "&t=" + kVerifyTime + "&" + kCommonQuery + s.requestId;
    body = "pwd=" + password + "&vcode=&vcode_str=";
    view_.ShowStatus(Utf8ToGbk("需要输入分享密码"));
  }
  std::string headers;
  std::string answer = client_.Request({.url = target,
                                        .method = 1,
                                        .body = body,
                                        .cookies = &s.cookies,
                                        .headerLines = "Referer: " + url,
                                        .responseHeaders = &headers});
  // A wrong password ends the parse. The status that asked for a password would read the same
  // after a right one, so it says what went wrong instead.
  if (FindText(answer, "{\"errno\":-12") > 0) {
    view_.ShowStatus(Utf8ToGbk("分享密码错误，请检查后重新解析"));
    return true;
  }

  // The answer's first cookie carries the key that unlocks the share.
  s.cookies = FirstSetCookie(headers);
  if (!isPublic) page = client_.Request({.url = url, .cookies = pageCookies});
  s.sign = MiddleText(page, "\"sign\":\"", "\"");
  s.timestamp = MiddleText(page, "\"timestamp\":", ",");
  s.fileId = MiddleText(page, ":[{\"fs_id\":", ",");
  s.sekey = TextAfterLast(s.cookies, "=");
  // The first link request carries the sign and the key where captcha texts go later.
  RequestLink(s.sign, s.sekey);
  return true;
}

bool QuickMode::SubmitCaptcha() {
  if (running_) return false;
  RunGuard guard(running_);
  RequestLink(view_.CaptchaText(), state_.captchaId);
  return true;
}

void QuickMode::RequestLink(const std::string& vcodeInput, const std::string& vcodeStr) {
  const QuickModeState& s = state_;
  std::string target = host_ + "/api/sharedownload?sign=" + s.sign + "&timestamp=" + s.timestamp +
                       "&" + kCommonQuery + s.requestId;
  std::string body = "encrypt=0&extra=%7B%22sekey%22%3A%22" + s.sekey +
                     "%22%7D&product=share&vcode_input=" + vcodeInput + "&vcode_str=" + vcodeStr +
                     "&uk=" + s.userId + "&primaryid=" + s.shareId + "&fid_list=%5B" + s.fileId +
                     "%5D";
  std::string cookies = s.cookies;
  std::string answer =
      client_.Request({.url = target, .method = 1, .body = body, .cookies = &cookies});
  if (FindText(answer, "{\"errno\":-20") > 0) {
    FetchCaptcha();
    return;
  }
  // The answer writes every "/" of the link as "\/"; the link ends before its "&dp-l…" part.
  view_.SetOutput(ReplaceAll(MiddleText(answer, "\"dlink\":\"", "&dp-l"), "\\", ""));
}

void QuickMode::FetchCaptcha() {
  std::string answer = client_.Request({.url = host_ + "/api/getvcode?prod=pan&t=" + kCaptchaTime +
                                               "&" + kCommonQuery + state_.requestId});
  state_.captchaId = MiddleText(answer, "\"vcode\":\"", "\"");
  std::string image = ReplaceAll(MiddleText(answer, "\"img\":\"", "\""), "\\", "");
  view_.ShowCaptchaPicture(plain_.Request({.url = image}));
  view_.ClearCaptchaText();
}

}  // namespace sf
