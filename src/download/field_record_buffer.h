// A growable zero-filled block in which named fixed-width fields are laid out one after
// another, found again by the CRC-32 of their name. The engine records are built with it.
// Names are GBK byte strings (our internal text); the key is the CRC-32 of those bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sf {

// Standard CRC-32 (reflected, polynomial 0xEDB88320, initial value 0, final xor).
uint32_t Crc32(std::string_view bytes);

class FieldRecordBuffer {
 public:
  FieldRecordBuffer() = default;
  FieldRecordBuffer(const FieldRecordBuffer&) = delete;
  FieldRecordBuffer& operator=(const FieldRecordBuffer&) = delete;

  // Releases any previous content and allocates a zero-filled block of `initialSize` bytes.
  // Gives the block's address, or nullptr when it cannot be allocated. Fields are padded to a
  // multiple of `alignment` with `padByte`; a field that does not fit grows the block by
  // `growth` bytes at a time.
  uint8_t* Create(int alignment = 1, uint8_t padByte = 0xCC, int initialSize = 1024,
                  int growth = 1024);
  void Release();

  // Appends a field of `width` bytes holding the first bytes of `value` (zeros after it).
  // False when the name is taken, the width is negative, or memory runs out.
  bool AddField(std::string_view name, int width,
                std::optional<std::string_view> value = std::nullopt);

  // 1-based position in the order of adding; 0 when no field has this name.
  int FindField(std::string_view name) const;
  // Offset of the field in the block, or -1.
  int FieldOffset(std::string_view name) const;
  // A copy of the field's bytes; empty when no field has this name.
  std::string ReadField(std::string_view name) const;
  // Copies up to the field's width of `value`; later bytes of the field keep their content.
  bool WriteField(std::string_view name, std::string_view value);

  int Size() const { return used_; }
  int Capacity() const { return static_cast<int>(block_.size()); }
  uint8_t* Address() { return block_.empty() ? nullptr : block_.data(); }
  const uint8_t* Address() const { return block_.empty() ? nullptr : block_.data(); }

 private:
  struct Descriptor {
    std::string name;
    int offset;
    int width;
    uint32_t key;
  };
  const Descriptor* Find(std::string_view name) const;

  uint8_t padByte_ = 0xCC;
  int used_ = 0;
  std::vector<uint8_t> block_;
  std::vector<Descriptor> fields_;
  int alignment_ = 1;
  int growth_ = 1024;
};

}  // namespace sf
