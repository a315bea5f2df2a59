#include "engine/file_naming.h"

namespace sf::engine {

std::string SafeFileName(std::string_view utf8, size_t maxBytes) {
  size_t limit = maxBytes > kNameReserve + 16 ? maxBytes - kNameReserve : 16;
  std::string name = CleanNameSegment(utf8, limit);
  if (name.empty()) return "download";
  // A name of only dots walks up; shortening can leave one, so this comes last.
  if (name.find_first_not_of('.') == std::string::npos) return std::string(name.size(), '_');
  return name;
}

}  // namespace sf::engine
