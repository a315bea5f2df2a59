#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "file_content.h"

namespace sf::cli {

// SHA-256 (lower-case hex) of the file at `path`, to hold against the share's own digest.
inline std::string Digest(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return sim::Sha256Hex(s.str());
}

}  // namespace sf::cli
