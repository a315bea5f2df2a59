// The bytes of the files behind the simulator's direct links. Nothing is stored: every byte is
// a function of the file's fs_id and its offset, so any range can be produced on demand and a
// test can compute the expected digest of a download without the file existing anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sf::sim {

// Writes the `n` bytes of file `fsId` that start at `offset` into `out`.
void FileContent(uint64_t fsId, uint64_t offset, char* out, size_t n);

// Incremental SHA-256.
class Sha256 {
 public:
  Sha256();
  void Update(std::string_view bytes);
  void Update(const char* bytes, size_t n) { Update(std::string_view(bytes, n)); }
  std::string HexDigest();  // finishes the digest; the object is spent afterwards

 private:
  void Block(const uint8_t* p);
  uint32_t h_[8];
  uint8_t buf_[64];
  size_t bufLen_ = 0;
  uint64_t total_ = 0;
};

std::string Sha256Hex(std::string_view bytes);

// SHA-256 (lower-case hex) of the whole file `fsId` of `size` bytes, streamed.
std::string FileSha256Hex(uint64_t fsId, uint64_t size);

}  // namespace sf::sim
