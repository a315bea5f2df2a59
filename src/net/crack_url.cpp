#include "net/http_platform.h"

namespace sf {
namespace {

bool SchemeIs(const std::u16string& url, const char16_t* scheme, size_t len) {
  if (url.size() < len + 3) return false;
  for (size_t i = 0; i < len; ++i) {
    char16_t c = url[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    if (c != scheme[i]) return false;
  }
  return url.compare(len, 3, u"://") == 0;
}

}  // namespace

bool CrackHttpUrl(const std::u16string& url, CrackedUrl* out) {
  size_t schemeLen = 0;
  if (SchemeIs(url, u"https", 5)) {
    out->scheme = kSchemeHttps;
    schemeLen = 5;
  } else if (SchemeIs(url, u"http", 4)) {
    out->scheme = kSchemeHttp;
    schemeLen = 4;
  } else {
    return false;
  }
  size_t authBegin = schemeLen + 3;
  size_t authEnd = url.find_first_of(u"/?#", authBegin);
  if (authEnd == std::u16string::npos) authEnd = url.size();
  std::u16string authority = url.substr(authBegin, authEnd - authBegin);
  size_t at = authority.rfind(u'@');
  if (at != std::u16string::npos)
    authority.erase(0, at + 1);  // credentials in the URL are not used

  std::u16string host = authority;
  int port = out->scheme == kSchemeHttps ? 443 : 80;
  size_t colon = authority.rfind(u':');
  size_t bracket = authority.rfind(u']');
  if (colon != std::u16string::npos && (bracket == std::u16string::npos || colon > bracket)) {
    std::u16string digits = authority.substr(colon + 1);
    host = authority.substr(0, colon);
    if (!digits.empty()) {
      long value = 0;
      for (char16_t c : digits) {
        if (c < u'0' || c > u'9') return false;
        value = value * 10 + (c - u'0');
        if (value > 65535) return false;
      }
      if (value == 0) return false;
      port = static_cast<int>(value);
    }
  }
  if (host.size() >= 2 && host.front() == u'[' && host.back() == u']')
    host = host.substr(1, host.size() - 2);
  if (host.empty()) return false;
  out->host = host;
  out->port = port;

  size_t extraBegin = url.find_first_of(u"?#", authEnd);
  if (extraBegin == std::u16string::npos) extraBegin = url.size();
  out->path = url.substr(authEnd, extraBegin - authEnd);
  out->extra = url.substr(extraBegin);
  return true;
}

}  // namespace sf
