#include "engine/file_naming.h"

namespace sf::engine {

std::string SafeFileName(std::string_view utf8, size_t maxBytes) {
  size_t limit = maxBytes > kNameReserve + 16 ? maxBytes - kNameReserve : 16;
  std::string name = MakeFileName(utf8, limit);
  return name.empty() ? "download" : name;
}

}  // namespace sf::engine
