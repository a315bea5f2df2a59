#include "engine/file_naming.h"

#include "base/file_names.h"

namespace sf::engine {

std::string SafeFileName(std::string_view utf8, size_t maxBytes) {
  std::string name;
  name.reserve(utf8.size());
  for (char c : utf8) {
    auto u = static_cast<unsigned char>(c);
    name += (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) ? '_' : c;
  }
  // Surrounding blanks make names that look alike but are not.
  while (!name.empty() && name.back() == ' ') name.pop_back();
  while (!name.empty() && name.front() == ' ') name.erase(0, 1);
  if (name.empty()) return "download";
  size_t limit = maxBytes > kNameReserve + 16 ? maxBytes - kNameReserve : 16;
  name = ShortenFileName(name, limit);
  // A name of only dots walks up; shortening can leave one, so this comes last.
  if (name.find_first_not_of('.') == std::string::npos) return std::string(name.size(), '_');
  return name;
}

std::string NumberedName(std::string_view name, int n) {
  if (n <= 0) return std::string(name);
  size_t dot = FileNameExtensionStart(name);
  return std::string(name.substr(0, dot)) + " (" + std::to_string(n) + ")" +
         std::string(name.substr(dot));
}

}  // namespace sf::engine
