#include "service/secrets.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <charconv>
#include <vector>

namespace sf::service {
namespace {

constexpr std::string_view kScheme = "pbkdf2-sha256";
constexpr size_t kHashBytes = 32;

std::string Hex(const unsigned char* bytes, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

bool Unhex(std::string_view text, std::vector<unsigned char>& out) {
  if (text.empty() || text.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
    if (ec != std::errc() || end != text.data() + i + 2) return false;
    out.push_back(static_cast<unsigned char>(value));
  }
  return true;
}

bool Derive(std::string_view password, const std::vector<unsigned char>& salt, int iterations,
            unsigned char* out) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                           static_cast<int>(salt.size()), iterations, EVP_sha256(),
                           static_cast<int>(kHashBytes), out) == 1;
}

}  // namespace

std::string RandomToken(size_t bytes) {
  std::vector<unsigned char> buffer(bytes);
  if (bytes == 0 || RAND_bytes(buffer.data(), static_cast<int>(bytes)) != 1) return {};
  return Hex(buffer.data(), bytes);
}

std::string HashPassword(std::string_view password, int iterations) {
  if (iterations < 1) return {};
  std::vector<unsigned char> salt(16);
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) return {};
  unsigned char hash[kHashBytes];
  if (!Derive(password, salt, iterations, hash)) return {};
  return std::string(kScheme) + "$" + std::to_string(iterations) + "$" +
         Hex(salt.data(), salt.size()) + "$" + Hex(hash, kHashBytes);
}

bool VerifyPassword(std::string_view password, const std::string& stored) {
  std::string_view rest = stored;
  auto take = [&rest](std::string_view& field) {
    size_t dollar = rest.find('$');
    field = rest.substr(0, dollar);
    rest = dollar == std::string_view::npos ? std::string_view() : rest.substr(dollar + 1);
    return !field.empty();
  };
  std::string_view scheme, iterationText, saltText, hashText;
  if (!take(scheme) || !take(iterationText) || !take(saltText) || !take(hashText)) return false;
  if (scheme != kScheme || !rest.empty()) return false;
  int iterations = 0;
  auto [end, ec] = std::from_chars(iterationText.data(),
                                   iterationText.data() + iterationText.size(), iterations);
  if (ec != std::errc() || end != iterationText.data() + iterationText.size() || iterations < 1)
    return false;
  std::vector<unsigned char> salt, expected;
  if (!Unhex(saltText, salt) || !Unhex(hashText, expected) || expected.size() != kHashBytes)
    return false;
  unsigned char hash[kHashBytes];
  if (!Derive(password, salt, iterations, hash)) return false;
  return CRYPTO_memcmp(hash, expected.data(), kHashBytes) == 0;
}

std::string TokenDigest(std::string_view token) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(token.data()), token.size(), digest);
  return Hex(digest, sizeof digest);
}

bool SameSecret(std::string_view a, std::string_view b) {
  // Comparing digests keeps the time independent of both contents and lengths.
  std::string da = TokenDigest(a), db = TokenDigest(b);
  return CRYPTO_memcmp(da.data(), db.data(), da.size()) == 0;
}

}  // namespace sf::service
