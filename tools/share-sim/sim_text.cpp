#include "sim_text.h"

#include <cstdio>

namespace sf::sim {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Decodes one UTF-8 character at `i`; returns its length, 0 when the bytes are not valid.
size_t Utf8Char(std::string_view s, size_t i, uint32_t* cp) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  size_t n = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  uint32_t v = c & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    v = (v << 6) | (b(i + k) & 0x3F);
  }
  static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (v < kMin[n] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return n;
}

}  // namespace

Pairs SplitPairs(std::string_view text) {
  Pairs out;
  if (text.empty()) return out;
  size_t pos = 0;
  while (true) {
    size_t amp = text.find('&', pos);
    std::string_view piece = text.substr(pos, amp == std::string_view::npos ? amp : amp - pos);
    size_t eq = piece.find('=');
    if (eq == std::string_view::npos)
      out.emplace_back(std::string(piece), std::string());
    else
      out.emplace_back(std::string(piece.substr(0, eq)), std::string(piece.substr(eq + 1)));
    if (amp == std::string_view::npos) break;
    pos = amp + 1;
  }
  return out;
}

std::optional<std::string> Find(const Pairs& pairs, std::string_view key) {
  for (const auto& [k, v] : pairs)
    if (k == key) return v;
  return std::nullopt;
}

bool AllEqual(const Pairs& pairs, std::string_view key, std::string_view want) {
  bool seen = false;
  for (const auto& [k, v] : pairs) {
    if (k != key) continue;
    if (v != want) return false;
    seen = true;
  }
  return seen;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string PercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::optional<std::string> CookieValue(const std::vector<std::string>& cookieHeaders,
                                       std::string_view name) {
  for (const auto& header : cookieHeaders) {
    std::string_view rest = header;
    while (!rest.empty()) {
      size_t semi = rest.find(';');
      std::string_view pair = Trim(rest.substr(0, semi));
      rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
      size_t eq = pair.find('=');
      if (eq != std::string_view::npos && Trim(pair.substr(0, eq)) == name)
        return std::string(Trim(pair.substr(eq + 1)));
    }
  }
  return std::nullopt;
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

std::optional<uint64_t> ParseUint(std::string_view text) {
  if (!AllDigits(text) || text.size() > 20) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

bool IsValidLogId(std::string_view logid) {
  auto raw = Base64Decode(logid);
  if (!raw || raw->size() != 33 || (*raw)[13] != '.') return false;
  return AllDigits(std::string_view(*raw).substr(0, 13)) &&
         AllDigits(std::string_view(*raw).substr(14));
}

bool IsRandomFraction(std::string_view text, size_t digits) {
  return text.size() == digits + 2 && text.substr(0, 2) == "0." && AllDigits(text.substr(2));
}

std::optional<std::string> Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + k];
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        v[k] = 0;
        ++pad;
      } else {
        if (pad > 0) return std::nullopt;  // data after padding
        v[k] = value(c);
        if (v[k] < 0) return std::nullopt;
      }
    }
    unsigned n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out += static_cast<char>(n >> 16);
    if (pad < 2) out += static_cast<char>((n >> 8) & 0xFF);
    if (pad < 1) out += static_cast<char>(n & 0xFF);
  }
  return out;
}

bool IsStrictUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    uint32_t cp;
    size_t n = Utf8Char(bytes, i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string JsonString(std::string_view text, JsonStyle style) {
  std::string out = "\"";
  char buf[16];
  auto escape16 = [&](uint32_t u) {
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(u));
    out += buf;
  };
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      uint32_t cp = 0xFFFD;
      size_t n = Utf8Char(text, i, &cp);
      // A byte that is not UTF-8 becomes U+FFFD rather than breaking the JSON.
      std::string_view ch = n == 0 ? std::string_view("\xEF\xBF\xBD") : text.substr(i, n);
      i += n == 0 ? 1 : n;
      if (!style.asciiOnly) {
        out.append(ch);
      } else if (cp >= 0x10000) {
        escape16(0xD800 + ((cp - 0x10000) >> 10));
        escape16(0xDC00 + ((cp - 0x10000) & 0x3FF));
      } else {
        escape16(cp);
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '/':
        out += style.escapeSlash ? "\\/" : "/";
        break;
      case ';':
      case '<':
        if (style.scriptSafe)
          escape16(c);
        else
          out += static_cast<char>(c);
        break;
      default:
        if (c < 0x20)
          escape16(c);
        else
          out += static_cast<char>(c);
    }
    ++i;
  }
  out += '"';
  return out;
}

std::string ToHex(const uint8_t* bytes, size_t n) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 15];
  }
  return out;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace sf::sim
