#include "share/share_text.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "base/encoding.h"
#include "base/text.h"
#include "share/share_host.h"

namespace sf {
namespace {

// The service's codes are four letters or digits; a labelled run of another length is some
// other word ("Password: coming soon"), and a code is never guessed.
constexpr size_t kLabelledCodeLength = 4;
// A code the link itself carries is taken as it is, within reason.
constexpr size_t kMaxQueryCode = 32;
constexpr size_t kMaxId = 128;

// The texts the reader looks for, in GBK. Made once: the source holds them in UTF-8.
struct Words {
  // Blanks that are not line breaks: the full-width space, a no-break and a zero-width space.
  std::vector<std::string> wideSpaces = Gbk({"\u3000", "\u00a0", "\u200b", "\ufeff"});
  std::vector<std::string> colons = Gbk({"\uff1a", "\ufe55"});  // full-width and small colon
  // Longest first, so that a label is read whole and its code found right after it.
  std::vector<std::string> labels =
      Gbk({"提取密码", "访问密码", "提取码", "访问码", "密码", "口令"});
  std::vector<std::string> connectors = Gbk({"为", "是"});
  std::vector<std::string> openers = Gbk({"【", "（", "「", "『", "“", "‘", "《", "〔", "［"});
  // Full-width punctuation after a wrapped line ends the link's tail, but a full-width colon
  // makes the line's first word a label.
  std::string wideColon = Utf8ToGbk("\uff1a");

  static std::vector<std::string> Gbk(std::initializer_list<const char*> utf8) {
    std::vector<std::string> out;
    for (const char* u : utf8) out.push_back(Utf8ToGbk(u));
    return out;
  }
};

const Words& W() {
  static const Words words;
  return words;
}

bool IsAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsIdChar(char c) {
  return IsAlnum(c) || c == '-' || c == '_';
}
bool IsQueryChar(char c) {
  return IsAlnum(c) || (c != 0 && std::string_view("-_.~%=&+").find(c) != std::string_view::npos);
}
bool IsHostChar(char c) {
  return IsAlnum(c) || (c != 0 && std::string_view(".-_:/@").find(c) != std::string_view::npos);
}
char Fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// A found link: its characters [begin, end) and what it names.
struct Found {
  size_t begin = 0, end = 0;
  PastedShare share;
};

struct LabelledCode {
  size_t begin = 0;
  std::string code;
};

// The text as characters, so that every match starts and ends at a character boundary: an
// ASCII letter never matches the trail byte of a double-byte character.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {
    for (size_t pos = 0; pos < text.size();) {
      at_.push_back(pos);
      pos += std::max<size_t>(1, GbkCharLength(text.data() + pos, text.size() - pos));
    }
    at_.push_back(text.size());
  }

  size_t size() const { return at_.size() - 1; }
  std::string_view Char(size_t i) const {
    return i < size() ? text_.substr(at_[i], at_[i + 1] - at_[i]) : std::string_view();
  }
  // The ASCII character at i; 0 for any other character and past the end.
  char Ascii(size_t i) const {
    std::string_view c = Char(i);
    return c.size() == 1 && static_cast<unsigned char>(c[0]) < 0x80 ? c[0] : 0;
  }
  bool IsOneOf(size_t i, const std::vector<std::string>& chars) const {
    std::string_view c = Char(i);
    return !c.empty() && std::find(chars.begin(), chars.end(), c) != chars.end();
  }
  bool IsLineBreak(size_t i) const { return Ascii(i) == '\n' || Ascii(i) == '\r'; }
  bool IsSpace(size_t i) const {
    char c = Ascii(i);
    return c == ' ' || c == '\t' || c == '\f' || c == '\v' || IsOneOf(i, W().wideSpaces);
  }
  bool IsColon(size_t i) const { return Ascii(i) == ':' || IsOneOf(i, W().colons); }

  // How many characters `needle` (GBK) covers at i, ASCII letters folded when `fold`; 0 when
  // it does not stand there.
  size_t Match(size_t i, std::string_view needle, bool fold) const {
    size_t n = 0, k = 0;
    while (k < needle.size()) {
      std::string_view c = Char(i + n);
      if (c.empty() || needle.size() - k < c.size()) return 0;
      for (size_t b = 0; b < c.size(); ++b) {
        char x = c[b], y = needle[k + b];
        if ((c.size() == 1 && fold) ? Fold(x) != Fold(y) : x != y) return 0;
      }
      k += c.size();
      ++n;
    }
    return n;
  }

  size_t SkipSpaces(size_t i, bool lineBreaks) const {
    while (i < size() && (IsSpace(i) || (lineBreaks && IsLineBreak(i)))) ++i;
    return i;
  }

  // A chat program that wraps a long link breaks its line inside the link. At a line break
  // right after link characters, the next line continues the link when it starts with a run
  // of link characters that ends where a link would: at a blank, the end, a query sign or
  // punctuation, but not at a colon or a dot, which start a label ("Code:"), another link
  // ("http:", "host.com/…") or a sentence. Gives the first character of the next line, or `i`.
  size_t Continuation(size_t i) const {
    if (!IsLineBreak(i)) return i;
    size_t k = i + (Ascii(i) == '\r' && Ascii(i + 1) == '\n' ? 2 : 1);
    size_t j = k;
    bool onlyDashes = true;
    std::string word;
    while (j < size() && (IsIdChar(Ascii(j)) || Ascii(j) == '?' || Ascii(j) == '&' ||
                          Ascii(j) == '=' || Ascii(j) == '%')) {
      onlyDashes = onlyDashes && (Ascii(j) == '-' || Ascii(j) == '_');
      if (word.size() == j - k && IsAlnum(Ascii(j))) word += Fold(Ascii(j));
      ++j;
    }
    if (j == k || onlyDashes) return i;
    for (const char* w : {"http", "https", "code", "pwd", "password", "link"})
      if (word == w) return i;
    if (j < size()) {
      char c = Ascii(j);
      bool ends = IsSpace(j) || IsLineBreak(j) || (c == 0 && Char(j) != W().wideColon) ||
                  (c != 0 && std::string_view("#)]}>\"',;!").find(c) != std::string_view::npos);
      if (!ends) return i;
    }
    return k;
  }

  // The labelled code at i ("提取码：abcd", "Code: abcd", "pwd=abcd"), if one starts there.
  bool LabelledCodeAt(size_t i, std::string* code) const {
    size_t j = 0;
    bool needsSeparator = false;
    for (const std::string& label : W().labels)
      if ((j = Match(i, label, false)) != 0) break;
    // An English label is a word of its own: "barcode: 1234" names no code.
    if (j == 0 && !(i > 0 && IsAlnum(Ascii(i - 1)))) {
      for (const char* label : {"password", "pwd", "code"})
        if ((j = Match(i, label, true)) != 0) break;
      needsSeparator = true;
    }
    if (j == 0) return false;
    j += i;
    if (!needsSeparator)
      while (IsOneOf(j, W().connectors)) ++j;
    j = SkipSpaces(j, false);
    bool separated = IsColon(j) || Ascii(j) == '=';
    if (needsSeparator && !separated) return false;
    if (separated) j = SkipSpaces(j + 1, true);
    if (Ascii(j) == '[' || Ascii(j) == '(' || Ascii(j) == '"' || Ascii(j) == '\'' ||
        IsOneOf(j, W().openers))
      ++j;
    std::string run;
    while (IsAlnum(Ascii(j))) run += Ascii(j++);
    if (run.size() != kLabelledCodeLength) return false;
    *code = run;
    return true;
  }

  std::vector<LabelledCode> LabelledCodes(const std::vector<Found>& links) const {
    std::vector<LabelledCode> codes;
    size_t next = 0;
    for (size_t i = 0; i < size(); ++i) {
      while (next < links.size() && links[next].end <= i) ++next;
      if (next < links.size() && i >= links[next].begin) {
        i = links[next].end - 1;
        continue;
      }
      std::string code;
      if (LabelledCodeAt(i, &code)) codes.push_back({i, code});
    }
    return codes;
  }

  // The characters from j on that `keep` takes, across the line breaks a chat program wraps a
  // link with; j ends after them.
  std::string TakeWrapped(size_t& j, bool (*keep)(char)) const {
    std::string taken;
    while (true) {
      if (keep(Ascii(j))) {
        taken += Ascii(j++);
      } else if (size_t k = Continuation(j); k != j && !taken.empty()) {
        j = k;
      } else {
        return taken;
      }
    }
  }

  // The share link that starts at i, if one does.
  bool LinkAt(size_t i, const std::vector<std::string>& authorities, std::string_view host,
              Found* found) const {
    size_t j = i;
    size_t scheme = Match(i, "https://", true);
    if (scheme == 0) scheme = Match(i, "http://", true);
    if (scheme == 0 && i > 0 && IsHostChar(Ascii(i - 1))) return false;
    j += scheme;
    size_t authority = 0;
    for (const std::string& a : authorities)
      if ((authority = Match(j, a, true)) != 0) break;
    if (authority == 0) return false;
    j += authority;
    if (Ascii(j) != '/') return false;
    ++j;

    std::string id;
    std::string query;
    if (size_t s = Match(j, "s/", false); s != 0) {
      j += s;
      id = TakeWrapped(j, IsIdChar);
      if (id.empty()) return false;
    } else {
      size_t page = 0;
      for (const char* p : {"share/init", "share/link", "wap/init", "wap/link"})
        if ((page = Match(j, p, false)) != 0) break;
      if (page == 0 || Ascii(j + page) != '?') return false;
      j += page;
    }
    if (Ascii(j) == '?') {
      ++j;
      query = TakeWrapped(j, IsQueryChar);
    }
    // A sentence's full stop after the link is not part of it.
    while (j > i && Ascii(j - 1) == '.') --j;

    std::string surl, shareId, uk, code;
    for (const std::string& pair : SplitText(query, "&")) {
      size_t eq = pair.find('=');
      if (eq == std::string::npos) continue;
      std::string key = ToLowerAscii(pair.substr(0, eq));
      std::string_view value = std::string_view(pair).substr(eq + 1);
      auto leading = [&](bool (*take)(char)) {
        size_t n = 0;
        while (n < value.size() && take(value[n])) ++n;
        return std::string(value.substr(0, n));
      };
      if (key == "pwd" && code.empty()) code = leading(IsAlnum);
      if (key == "surl" && surl.empty()) surl = leading(IsIdChar);
      if (key == "shareid" && shareId.empty())
        shareId = leading([](char c) { return c >= '0' && c <= '9'; });
      if (key == "uk" && uk.empty()) uk = leading([](char c) { return c >= '0' && c <= '9'; });
    }
    if (code.size() > kMaxQueryCode) code.clear();
    // Ids are a few dozen characters at most; a run of thousands is no link of this service.
    if (id.size() > kMaxId || surl.size() > kMaxId || shareId.size() > 20 || uk.size() > 20)
      return false;

    std::string link(host);
    if (!id.empty())
      link += "/s/" + id;
    else if (!surl.empty())
      link += "/s/1" + surl;
    else if (!shareId.empty() && !uk.empty())
      link += "/share/init?shareid=" + shareId + "&uk=" + uk;
    else
      return false;
    found->begin = i;
    found->end = j;
    found->share = {link, code};
    return true;
  }

 private:
  std::string_view text_;
  std::vector<size_t> at_;
};

// "127.0.0.1:8080" out of "http://127.0.0.1:8080/".
std::string AuthorityOf(std::string_view host) {
  for (std::string_view scheme : {"http://", "https://"})
    if (StartsWithIgnoreCase(host, scheme)) host.remove_prefix(scheme.size());
  return std::string(host.substr(0, host.find('/')));
}

}  // namespace

std::vector<PastedShare> ReadShareText(std::string_view text, std::string_view host) {
  while (!host.empty() && host.back() == '/') host.remove_suffix(1);
  std::vector<std::string> authorities;
  for (std::string_view h : {host, std::string_view(kDefaultShareHost)}) {
    std::string a = AuthorityOf(h);
    if (!a.empty() && std::find(authorities.begin(), authorities.end(), a) == authorities.end())
      authorities.push_back(a);
  }
  // A longer authority first: "host:8080" must not be read as "host" followed by ":8080".
  std::sort(authorities.begin(), authorities.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });

  Reader reader(text);
  std::vector<Found> links;
  for (size_t i = 0; i < reader.size();) {
    Found found;
    if (reader.LinkAt(i, authorities, host, &found)) {
      links.push_back(found);
      i = std::max(found.end, i + 1);
    } else {
      ++i;
    }
  }
  if (links.empty()) return {};

  // Each link takes the code of its own query, else the nearest labelled code on its side: a
  // text that gives its first code before its first link puts every code before its link.
  // The stretches of text the links look in never overlap, and codes come in text order, so
  // each code is looked at by one link at most: a list of thousands stays linear.
  std::vector<LabelledCode> codes = reader.LabelledCodes(links);
  std::vector<bool> used(codes.size());
  const bool codeFirst = !codes.empty() && codes.front().begin < links.front().begin;
  auto firstAtOrAfter = [&](size_t pos) {
    return static_cast<size_t>(
        std::lower_bound(codes.begin(), codes.end(), pos,
                         [](const LabelledCode& c, size_t p) { return c.begin < p; }) -
        codes.begin());
  };
  for (size_t l = 0; l < links.size(); ++l) {
    if (!links[l].share.code.empty()) continue;
    size_t lo = codeFirst ? (l == 0 ? 0 : links[l - 1].end) : links[l].end;
    size_t hi =
        codeFirst ? links[l].begin : (l + 1 < links.size() ? links[l + 1].begin : reader.size());
    std::optional<size_t> pick;
    for (size_t c = firstAtOrAfter(lo); c < codes.size() && codes[c].begin < hi; ++c) {
      if (used[c]) continue;
      pick = c;
      if (!codeFirst) break;
    }
    if (pick) {
      used[*pick] = true;
      links[l].share.code = codes[*pick].code;
    }
  }

  std::vector<PastedShare> shares;
  std::unordered_map<std::string, size_t> seen;  // link -> its place in `shares`
  for (Found& f : links) {
    auto [at, added] = seen.try_emplace(f.share.link, shares.size());
    if (added)
      shares.push_back(std::move(f.share));
    else if (shares[at->second].code.empty())
      shares[at->second].code = f.share.code;
  }
  return shares;
}

std::string ReadExtractionCode(std::string_view text) {
  Reader reader(text);
  std::vector<LabelledCode> codes = reader.LabelledCodes({});
  return codes.empty() ? std::string() : codes.front().code;
}

}  // namespace sf
