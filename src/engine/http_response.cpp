#include "engine/http_response.h"

#include <curl/curl.h>

#include <cerrno>
#include <charconv>
#include <climits>

#include "base/text.h"

namespace sf::engine {
namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

bool Number(std::string_view s, int64_t& out) {
  if (s.empty()) return false;
  auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && out >= 0;
}

}  // namespace

std::optional<ContentRange> ParseContentRange(std::string_view value) {
  value = Trim(value);
  if (value.size() < 6) return std::nullopt;
  for (size_t i = 0; i < 5; ++i)
    if (Lower(value[i]) != "bytes"[i]) return std::nullopt;
  value = Trim(value.substr(5));
  size_t slash = value.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string_view span = value.substr(0, slash), total = value.substr(slash + 1);
  ContentRange r;
  if (total != "*" && !Number(total, r.total)) return std::nullopt;
  if (span == "*") return r.total >= 0 ? std::optional(r) : std::nullopt;
  size_t dash = span.find('-');
  if (dash == std::string_view::npos || !Number(span.substr(0, dash), r.first) ||
      !Number(span.substr(dash + 1), r.last) || r.last < r.first ||
      (r.total >= 0 && r.last >= r.total)) {
    return std::nullopt;
  }
  return r;
}

std::optional<std::string_view> HeaderValue(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return std::nullopt;
  for (size_t i = 0; i < name.size(); ++i)
    if (Lower(line[i]) != Lower(name[i])) return std::nullopt;
  return Trim(line.substr(name.size() + 1));
}

std::optional<int64_t> ParseContentLength(std::string_view value) {
  int64_t n = 0;
  if (value.empty()) return std::nullopt;
  for (char ch : value) {
    if (ch < '0' || ch > '9' || n > INT64_MAX / 10 - 10) return std::nullopt;
    n = n * 10 + (ch - '0');
  }
  return n;
}

std::optional<bool> SameVersion(const Validators& saved, const Validators& seen) {
  std::optional<bool> same;
  if (!saved.etag.empty() && !seen.etag.empty()) {
    if (saved.etag != seen.etag) return false;
    if (saved.etag.substr(0, 2) != "W/") same = true;
  }
  if (!saved.lastModified.empty() && !seen.lastModified.empty()) {
    if (saved.lastModified != seen.lastModified) return false;
    same = true;
  }
  return same;
}

std::string IfRangeValue(const Validators& v) {
  if (!v.etag.empty() && v.etag.substr(0, 2) != "W/") return v.etag;
  return v.lastModified;
}

void ResponseHead::ReadLine(std::string_view line) {
  auto keep = [](std::string_view v) {
    if (v.size() > kMaxValidatorLength || HasControlCharacters(v)) return std::string();
    return std::string(v);
  };
  if (line.substr(0, 5) == "HTTP/") {
    *this = ResponseHead();
  } else if (auto v = HeaderValue(line, "Content-Range")) {
    contentRange = ParseContentRange(*v);
  } else if (auto v = HeaderValue(line, "Content-Length")) {
    contentLength = ParseContentLength(*v).value_or(-1);
  } else if (auto v = HeaderValue(line, "ETag")) {
    validators.etag = keep(*v);
  } else if (auto v = HeaderValue(line, "Last-Modified")) {
    validators.lastModified = keep(*v);
  }
}

std::string_view AddressWithoutQuery(std::string_view url) {
  return url.substr(0, url.find_first_of("?#"));
}

int ErrnoForCurlCode(int code) {
  switch (code) {
    case CURLE_OK:
      return 0;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return EPROTONOSUPPORT;
    case CURLE_URL_MALFORMAT:
      return EINVAL;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return EHOSTUNREACH;
    case CURLE_COULDNT_CONNECT:
      return ECONNREFUSED;
    case CURLE_OPERATION_TIMEDOUT:
      return ETIMEDOUT;
    case CURLE_TOO_MANY_REDIRECTS:
      return ELOOP;
    case CURLE_OUT_OF_MEMORY:
      return ENOMEM;
    // A refused certificate is told apart from a broken protocol: the user can act on it.
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
      return EKEYREJECTED;
    case CURLE_SSL_CONNECT_ERROR:
      return EPROTO;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return ECONNRESET;
    default:
      return EIO;
  }
}

bool IsPermanentCurlFailure(int code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
      return true;
    default:
      return false;
  }
}

}  // namespace sf::engine
