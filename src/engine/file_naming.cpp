#include "engine/file_naming.h"

#include <algorithm>

namespace sf::engine {
namespace {

// Room for " (99999)" and the longest suffix we add.
constexpr size_t kReserve = 8 + std::max(kPartSuffix.size(), kControlSuffix.size()) + 4;

size_t ExtensionStart(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return name.size();
  return dot;
}

// Cuts `s` to at most `bytes` bytes at a UTF-8 character boundary.
std::string_view CutUtf8(std::string_view s, size_t bytes) {
  if (s.size() <= bytes) return s;
  size_t n = bytes;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

}  // namespace

std::string SafeFileName(std::string_view utf8, size_t maxBytes) {
  std::string name;
  name.reserve(utf8.size());
  for (char c : utf8) {
    auto u = static_cast<unsigned char>(c);
    name += (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) ? '_' : c;
  }
  // Surrounding blanks make names that look alike but are not; a name of only dots walks up.
  while (!name.empty() && name.back() == ' ') name.pop_back();
  while (!name.empty() && name.front() == ' ') name.erase(0, 1);
  if (name.empty()) return "download";
  if (name.find_first_not_of('.') == std::string::npos) return std::string(name.size(), '_');

  size_t limit = maxBytes > kReserve + 16 ? maxBytes - kReserve : 16;
  if (name.size() <= limit) return name;
  size_t dot = ExtensionStart(name);
  std::string_view ext = std::string_view(name).substr(dot);
  if (ext.size() > 16) ext = {};
  std::string stem(CutUtf8(std::string_view(name).substr(0, dot), limit - ext.size()));
  return stem + std::string(ext);
}

std::string NumberedName(std::string_view name, int n) {
  if (n <= 0) return std::string(name);
  size_t dot = ExtensionStart(name);
  return std::string(name.substr(0, dot)) + " (" + std::to_string(n) + ")" +
         std::string(name.substr(dot));
}

}  // namespace sf::engine
