#include "net/cookies.h"

#include <unordered_set>
#include <vector>

#include "base/encoding.h"
#include "base/text.h"
#include "data/regex_object.h"
#include "net/http_platform.h"

namespace sf {
namespace {

constexpr std::string_view kSetCookie = "Set-Cookie";

std::string CookieName(std::string_view pair) {
  int eq = FindText(pair, "=");
  return TrimSpaces(eq < 0 ? pair : pair.substr(0, static_cast<size_t>(eq) - 1));
}

// Pairs of a cookie text split at ";". An empty text has no pairs, and empty pieces carry
// no cookie, so neither ends up as a stray "; " in a Cookie line.
std::vector<std::string> SplitPairs(std::string_view text) {
  std::vector<std::string> pairs;
  for (std::string& piece : SplitText(text, ";"))
    if (!piece.empty()) pairs.push_back(std::move(piece));
  return pairs;
}

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

std::string CookieOfLine(std::string_view line) {
  std::string value;
  if (FindText(line, ";") > 0) {
    value = MiddleText(line, "Set-Cookie:", ";");
  } else {
    value = ReplaceAll(line, "Set-Cookie:", "", /*caseInsensitive=*/true);
  }
  return TrimSpaces(value);
}

void DropTrailingSeparator(std::string* text) {
  if (text->size() >= 2)
    text->resize(text->size() - 2);
  else
    text->clear();
}

}  // namespace

std::string NormalizeSetCookie(std::string_view block) {
  return ReplaceAll(block, kSetCookie, kSetCookie, /*caseInsensitive=*/true);
}

std::string CollectCookies(std::string_view block) {
  std::string cookies;
  for (const std::string& line : SplitText(block, "\r\n")) {
    if (FindText(line, kSetCookie) < 0) continue;
    cookies += CookieOfLine(line);
    cookies += "; ";
  }
  if (!cookies.empty()) DropTrailingSeparator(&cookies);
  return cookies;
}

void ScanHeaderBlock(std::string_view block, std::string* newCookies, std::string* location) {
  std::string cookies;
  for (const std::string& line : SplitText(block, "\r\n")) {
    if (FindText(line, kSetCookie) > 0) {
      cookies += CookieOfLine(line);
      cookies += "; ";
    }
    if (location && line.size() >= 10 &&
        EqualsIgnoreCase(std::string_view(line).substr(0, 10), "Location: "))
      *location = line.substr(10);
  }
  if (!cookies.empty()) DropTrailingSeparator(&cookies);
  if (newCookies) *newCookies = std::move(cookies);
}

void MergeCookies(std::string* cookies, std::string* newCookies) {
  *cookies = RemoveSpaces(*cookies);
  *newCookies = RemoveSpaces(*newCookies);
  std::vector<std::string> merged = SplitPairs(*newCookies);
  std::unordered_set<std::string> names;
  for (const std::string& pair : merged) names.insert(CookieName(pair));
  for (std::string& pair : SplitPairs(*cookies)) {
    std::string name = CookieName(pair);
    if (names.insert(name).second) merged.push_back(std::move(pair));
  }
  std::string text;
  for (const std::string& pair : merged) {
    if (EndsWith(pair, "=deleted")) continue;
    text += pair;
    text += "; ";
  }
  DropTrailingSeparator(&text);
  std::string result;
  std::unordered_set<std::string> seen;
  for (std::string& item : SplitText(text, "; ")) {
    if (item.empty() || !seen.insert(item).second) continue;
    if (!result.empty()) result += "; ";
    result += item;
  }
  *cookies = std::move(result);
}

std::string CookieHostOf(std::string_view url) {
  // Taken apart by the request's own parser, so the answer is always the host a request goes to.
  CrackedUrl parts;
  if (!CrackHttpUrl(GbkToUtf16(url), &parts)) return {};
  return ToLowerAscii(Utf16ToGbk(parts.host));
}

bool DomainMatches(std::string_view host, std::string_view domain) {
  if (host.empty() || domain.empty()) return false;
  if (host == domain) return true;
  // An address names one machine: "1.2.3.4" is not below "2.3.4", nor any name below it.
  bool address = host.find(':') != std::string_view::npos ||
                 host.find_first_not_of("0123456789.") == std::string_view::npos;
  // A bare top-level name ("com") would cover every host under it.
  return !address && domain.find('.') != std::string_view::npos && host.size() > domain.size() &&
         host.substr(host.size() - domain.size()) == domain &&
         host[host.size() - domain.size() - 1] == '.';
}

std::string CookieLinesFor(std::string_view block, std::string_view requestHost,
                           std::string_view answeringHost) {
  if (requestHost == answeringHost) return std::string(block);
  std::string kept;
  bool first = true;
  for (const std::string& line : SplitText(block, "\r\n")) {
    if (FindText(line, kSetCookie) > 0) {
      std::string domain;
      for (const std::string& attr : SplitText(line, ";")) {
        std::string a = TrimSpaces(attr);
        if (StartsWithIgnoreCase(a, "domain=")) domain = ToLowerAscii(a.substr(7));
      }
      while (!domain.empty() && domain.front() == '.') domain.erase(0, 1);
      if (!DomainMatches(answeringHost, domain) || !DomainMatches(requestHost, domain)) continue;
    }
    if (!first) kept += "\r\n";
    kept += line;
    first = false;
  }
  return kept;
}

namespace {

// Whether "<meta" stands anywhere in `text`, in any letter case. "<" is never the second byte
// of a GBK character, so any match of the pattern holds one of these.
bool ContainsMetaTag(std::string_view text) {
  for (size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1))
    if (EqualsIgnoreCase(text.substr(at + 1, 4), "meta")) return true;
  return false;
}

}  // namespace

std::string CharsetFromMeta(std::string_view pageText) {
  std::string_view head = pageText.substr(0, 1024);
  // Every answer of a share's listing and links passes here, and none is a page: the pattern
  // is only built for a text that holds its opening at all.
  if (!ContainsMetaTag(head)) return {};
  RegexObject re;
  if (!re.Create("<meta.+?charset=[^\\w]?([-\\w]+)", head)) return {};
  return re.GetSubMatch(1, 1);
}

std::string CharsetFromContentType(std::string_view headerBlock) {
  std::string charset;
  for (const std::string& line : SplitText(headerBlock, "\r\n")) {
    if (!StartsWithIgnoreCase(line, "Content-Type:")) continue;
    charset.clear();
    int at = FindText(line, "charset=", 1, /*caseInsensitive=*/true);
    if (at < 0) continue;
    std::string value = line.substr(static_cast<size_t>(at) - 1 + 8);
    size_t end = value.find_first_of("; \t");
    value = value.substr(0, end);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    charset = value;
  }
  return charset;
}

std::string DecodeBodyText(std::string text, std::string_view bodyBytes, std::string_view charset) {
  if (charset.empty() || charset == "gbk" || charset == "gb2312") return text;
  auto decoded = DecodeToGbk(bodyBytes, charset);
  if (!decoded) return text;
  return std::move(*decoded);
}

}  // namespace sf
