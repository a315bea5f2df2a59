// The small text chores tests share: our texts are GBK bytes while the sources are UTF-8, and
// what a download wrote is judged by its bytes or their SHA-256.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace sf::test {

// The GBK bytes of a UTF-8 literal, to compare with what the core keeps and writes.
std::string G(const char* utf8);

// The whole file as bytes; "" when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// SHA-256 in lower-case hex, of bytes or of a file's contents.
std::string Sha256Hex(std::string_view bytes);
std::string FileSha256(const std::filesystem::path& path);

}  // namespace sf::test
