#include "text_helpers.h"

#include <openssl/sha.h>

#include <fstream>
#include <iterator>

#include "base/encoding.h"

namespace sf::test {

std::string G(const char* utf8) {
  return Utf8ToGbk(utf8);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Sha256Hex(std::string_view bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char b : digest) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

std::string FileSha256(const std::filesystem::path& path) {
  return Sha256Hex(ReadFile(path));
}

}  // namespace sf::test
