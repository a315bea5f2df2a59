// Password verification of a protected share: find the share's ids from the address its link
// redirects to, send the password (and a captcha answer when one was asked for), and leave the
// service's BDCLND cookie in the session's cookie text.
#include "base/text.h"
#include "base/timestamp.h"
#include "share/share_session.h"

namespace sf {
namespace {

// A Location given relative to the host would not work as the next page address; make it
// absolute against the link it came from.
std::string AbsoluteAddress(const std::string& base, const std::string& location) {
  if (StartsWithIgnoreCase(location, "http://") || StartsWithIgnoreCase(location, "https://"))
    return location;
  int schemeEnd = FindText(base, "://");
  if (schemeEnd < 0) return location;
  size_t hostBegin = static_cast<size_t>(schemeEnd) + 2;
  size_t pathBegin = base.find('/', hostBegin);
  std::string origin = base.substr(0, pathBegin);
  if (location.rfind("//", 0) == 0) return base.substr(0, hostBegin - 2) + location;
  if (!location.empty() && location[0] == '/') return origin + location;
  std::string path = pathBegin == std::string::npos ? "/" : base.substr(pathBegin);
  path = path.substr(0, path.find_first_of("?#"));
  return origin + path.substr(0, path.rfind('/') + 1) + location;
}

}  // namespace

int ShareSession::VerifyPassword(std::string& shareUrl, const std::string& password,
                                 const std::string& captchaAnswer) {
  // The link answers a redirect to an address that carries the share's ids; an empty
  // Location names no address and changes nothing.
  std::string location;
  if (!Ask({.url = shareUrl, .cookies = &cookies_, .noRedirect = true, .location = &location}))
    return kShareTooLarge;
  if (!location.empty()) shareUrl = AbsoluteAddress(shareUrl, location);

  std::string shareid = MiddleText(shareUrl, "shareid=", "&");
  std::string uk = MiddleText(shareUrl + "&", "uk=", "&");
  std::string t = TimestampText();
  std::string logid = MakeLogId();
  std::string url =
      host_ + "/share/verify?shareid=" + shareid + "&uk=" + uk + "&t=" + t +
      "&bdstoken=null&channel=chunlei&clienttype=0&web=1&app_id=250528&logid=" + logid;
  std::string body = "pwd=" + password + "&vcode=" + captchaAnswer + "&vcode_str=" + vcodeStr_;
  // A captcha token serves one verification at most, whatever its outcome.
  vcodeStr_.clear();
  std::optional<std::string> answer = Ask({.url = url,
                                           .method = 1,
                                           .body = body,
                                           .cookies = &cookies_,
                                           .headerLines = "Referer:" + shareUrl});
  return answer ? ReadErrno(*answer) : kShareTooLarge;
}

}  // namespace sf
