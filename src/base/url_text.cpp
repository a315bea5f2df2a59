#include "base/url_text.h"

#include <algorithm>

namespace sf {

std::string EncodeUrl(std::string_view utf8) {
  while (!utf8.empty() && (utf8.front() == ' ' || utf8.front() == '\t')) utf8.remove_prefix(1);
  while (!utf8.empty() &&
         (utf8.back() == ' ' || utf8.back() == '\t' || utf8.back() == '\r' || utf8.back() == '\n'))
    utf8.remove_suffix(1);
  return PercentEncodeBytes(utf8, "\"<>`");
}

std::string PercentEncodeBytes(std::string_view text, std::string_view alsoEncoded) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || alsoEncoded.find(c) != std::string_view::npos) {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::string HeaderSafe(std::string text) {
  std::erase_if(text, [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
  return text;
}

}  // namespace sf
