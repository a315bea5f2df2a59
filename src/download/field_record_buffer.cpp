#include "download/field_record_buffer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace sf {
namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr auto kCrcTable = MakeCrcTable();

}  // namespace

uint32_t Crc32(std::string_view bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char b : bytes) crc = kCrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

uint8_t* FieldRecordBuffer::Create(int alignment, uint8_t padByte, int initialSize, int growth) {
  Release();
  // A zero alignment would divide by zero and a zero growth would never make room.
  alignment_ = std::max(alignment, 1);
  growth_ = std::max(growth, 1);
  padByte_ = padByte;
  try {
    block_.assign(static_cast<size_t>(std::max(initialSize, 1)), 0);
  } catch (const std::bad_alloc&) {
    block_.clear();
    return nullptr;
  }
  return block_.data();
}

void FieldRecordBuffer::Release() {
  fields_.clear();
  block_.clear();
  block_.shrink_to_fit();
  used_ = 0;
}

const FieldRecordBuffer::Descriptor* FieldRecordBuffer::Find(std::string_view name) const {
  uint32_t key = Crc32(name);
  for (const auto& d : fields_)
    if (d.key == key) return &d;
  return nullptr;
}

bool FieldRecordBuffer::AddField(std::string_view name, int width,
                                 std::optional<std::string_view> value) {
  if (block_.empty() || width < 0 || Find(name) != nullptr) return false;
  int pad = width % alignment_;
  if (pad != 0) pad = alignment_ - pad;
  // The padding counts toward the fit: filling it past the end of the block would write
  // outside the allocation.
  int64_t need = int64_t{used_} + width + pad;
  if (need > INT32_MAX) return false;
  try {
    if (need > Capacity()) {
      int64_t steps = (need - Capacity() + growth_ - 1) / growth_;
      int64_t capacity = Capacity() + steps * growth_;
      if (capacity > INT32_MAX) return false;
      block_.resize(static_cast<size_t>(capacity), 0);
    }
    fields_.push_back(Descriptor{std::string(name), used_, width, Crc32(name)});
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (value) {
    size_t n = std::min(value->size(), static_cast<size_t>(width));
    std::memcpy(block_.data() + used_, value->data(), n);
  }
  std::memset(block_.data() + used_ + width, padByte_, static_cast<size_t>(pad));
  used_ += width + pad;
  return true;
}

int FieldRecordBuffer::FindField(std::string_view name) const {
  const Descriptor* d = Find(name);
  return d == nullptr ? 0 : static_cast<int>(d - fields_.data()) + 1;
}

int FieldRecordBuffer::FieldOffset(std::string_view name) const {
  const Descriptor* d = Find(name);
  return d == nullptr ? -1 : d->offset;
}

std::string FieldRecordBuffer::ReadField(std::string_view name) const {
  const Descriptor* d = Find(name);
  if (d == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(block_.data()) + d->offset,
                     static_cast<size_t>(d->width));
}

bool FieldRecordBuffer::WriteField(std::string_view name, std::string_view value) {
  const Descriptor* d = Find(name);
  if (d == nullptr) return false;
  size_t n = std::min(value.size(), static_cast<size_t>(d->width));
  std::memcpy(block_.data() + d->offset, value.data(), n);
  return true;
}

}  // namespace sf
