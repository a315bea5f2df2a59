#include "base/text.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace sf {
namespace {

constexpr std::string_view kQuoteMarker = "#\xD2\xFD\xBA\xC5";  // "#引号" in GBK

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// Compares `needle` against `text` at `pos`, folding ASCII letters that stand alone as
// characters (a letter inside a double-byte character is compared exactly).
bool MatchesAt(std::string_view text, size_t pos, std::string_view needle, bool fold) {
  if (text.size() - pos < needle.size()) return false;
  if (!fold) return std::memcmp(text.data() + pos, needle.data(), needle.size()) == 0;
  size_t i = 0;
  while (i < needle.size()) {
    size_t len = GbkCharLength(needle.data() + i, needle.size() - i);
    if (len == 1) {
      if (FoldAscii(text[pos + i]) != FoldAscii(needle[i])) return false;
    } else if (std::memcmp(text.data() + pos + i, needle.data() + i, len) != 0) {
      return false;
    }
    i += len;
  }
  return true;
}

// 0-based byte offset of the first match at a character boundary at or after `from`
// (which must itself be a boundary), or npos.
size_t FindFrom(std::string_view text, std::string_view needle, size_t from, bool fold) {
  if (from > text.size()) return std::string_view::npos;
  if (needle.empty()) return from;
  size_t pos = from;
  while (pos + needle.size() <= text.size()) {
    if (MatchesAt(text, pos, needle, fold)) return pos;
    pos += GbkCharLength(text.data() + pos, text.size() - pos);
  }
  return std::string_view::npos;
}

// Rounds a 0-based byte offset up to the next character boundary.
size_t BoundaryAtOrAfter(std::string_view text, size_t offset) {
  size_t pos = 0;
  while (pos < offset && pos < text.size())
    pos += GbkCharLength(text.data() + pos, text.size() - pos);
  return std::min(pos, text.size());
}

std::string ExpandQuoteMarker(std::string_view marker) {
  return ReplaceAll(marker, kQuoteMarker, "\"");
}

bool IsLeadingSpace(std::string_view t, size_t pos, size_t* len) {
  if (t[pos] == ' ') {
    *len = 1;
    return true;
  }
  if (pos + 1 < t.size() && static_cast<unsigned char>(t[pos]) == 0xA1 &&
      static_cast<unsigned char>(t[pos + 1]) == 0xA1) {
    *len = 2;
    return true;
  }
  return false;
}

}  // namespace

size_t GbkCharLength(const char* p, size_t left) {
  if (left == 0) return 0;
  auto b0 = static_cast<unsigned char>(p[0]);
  if (b0 < 0x81 || b0 == 0xFF || left < 2) return 1;
  auto b1 = static_cast<unsigned char>(p[1]);
  // GB18030 four-byte form: what we produce for characters GBK lacks.
  if (b1 >= 0x30 && b1 <= 0x39) {
    if (left >= 4) {
      auto b2 = static_cast<unsigned char>(p[2]);
      auto b3 = static_cast<unsigned char>(p[3]);
      if (b2 >= 0x81 && b2 <= 0xFE && b3 >= 0x30 && b3 <= 0x39) return 4;
    }
    return 1;
  }
  if (b1 >= 0x40 && b1 != 0x7F && b1 != 0xFF) return 2;
  return 1;
}

int FindText(std::string_view text, std::string_view needle, int start, bool caseInsensitive) {
  if (start < 1) start = 1;
  if (static_cast<size_t>(start) - 1 > text.size()) return -1;
  size_t from = BoundaryAtOrAfter(text, static_cast<size_t>(start) - 1);
  size_t at = FindFrom(text, needle, from, caseInsensitive);
  if (at == std::string_view::npos || at > static_cast<size_t>(std::numeric_limits<int>::max() - 1))
    return -1;
  return static_cast<int>(at) + 1;
}

std::string MiddleText(std::string_view text, std::string_view left, std::string_view right,
                       int start, bool caseInsensitive) {
  std::string l = ExpandQuoteMarker(left);
  std::string r = ExpandQuoteMarker(right);
  int a = FindText(text, l, start, caseInsensitive);
  if (a < 0) return {};
  size_t begin = static_cast<size_t>(a) - 1 + l.size();
  size_t end = FindFrom(text, r, begin, caseInsensitive);
  if (end == std::string_view::npos) return {};
  return std::string(text.substr(begin, end - begin));
}

std::string TextAfterLast(std::string_view text, std::string_view marker) {
  if (marker.empty()) return {};
  size_t last = std::string_view::npos;
  for (size_t at = FindFrom(text, marker, 0, false); at != std::string_view::npos;
       at = FindFrom(text, marker, at + marker.size(), false)) {
    last = at;
  }
  if (last == std::string_view::npos) return {};
  return std::string(text.substr(last + marker.size()));
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to,
                       bool caseInsensitive) {
  if (from.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  for (size_t at = FindFrom(text, from, 0, caseInsensitive); at != std::string_view::npos;
       at = FindFrom(text, from, pos, caseInsensitive)) {
    out.append(text.substr(pos, at - pos));
    out.append(to);
    pos = at + from.size();
  }
  out.append(text.substr(pos));
  return out;
}

std::vector<std::string> SplitText(std::string_view text, std::string_view separator) {
  std::vector<std::string> parts;
  if (separator.empty()) {
    parts.emplace_back(text);
    return parts;
  }
  size_t pos = 0;
  for (size_t at = FindFrom(text, separator, 0, false); at != std::string_view::npos;
       at = FindFrom(text, separator, pos, false)) {
    parts.emplace_back(text.substr(pos, at - pos));
    pos = at + separator.size();
  }
  parts.emplace_back(text.substr(pos));
  return parts;
}

std::string TrimSpaces(std::string_view text) {
  size_t begin = 0, len = 0;
  while (begin < text.size() && IsLeadingSpace(text, begin, &len)) begin += len;
  // Walk characters so a trailing A1 A1 is only taken when it is a whole character.
  size_t end = begin, pos = begin;
  while (pos < text.size()) {
    if (IsLeadingSpace(text, pos, &len)) {
      pos += len;
      continue;
    }
    pos += GbkCharLength(text.data() + pos, text.size() - pos);
    end = pos;
  }
  return std::string(text.substr(begin, end - begin));
}

std::string RemoveSpaces(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0, len = 0;
  while (pos < text.size()) {
    if (IsLeadingSpace(text, pos, &len)) {
      pos += len;
      continue;
    }
    size_t n = GbkCharLength(text.data() + pos, text.size() - pos);
    out.append(text.substr(pos, n));
    pos += n;
  }
  return out;
}

std::string ToLowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = FoldAscii(c);
  return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

bool HasControlCharacters(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  return false;
}

int64_t ReadInteger(std::string_view text) {
  size_t i = 0;
  while (i < text.size() &&
         (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n'))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint64_t value = 0;
  bool overflow = false;
  constexpr uint64_t kLimit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    auto digit = static_cast<uint64_t>(text[i] - '0');
    if (overflow || value > (kLimit + 1 - digit) / 10) {
      overflow = true;
      continue;
    }
    value = value * 10 + digit;
  }
  if (negative) {
    if (overflow || value > kLimit) return std::numeric_limits<int64_t>::min();
    return -static_cast<int64_t>(value);
  }
  if (overflow || value > kLimit) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(value);
}

int ReadInt(std::string_view text) {
  int64_t v = ReadInteger(text);
  return static_cast<int>(
      std::clamp<int64_t>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

}  // namespace sf
