// The image most loader tests start from, with its fixed layout.
#pragma once

#include "loader_support.h"
#include "pe_builder.h"

namespace sf::test {

constexpr uint32_t kText = 0x1000;  // code section, 0x1000 bytes
constexpr uint32_t kData = 0x2000;  // data section, 0x1000 bytes; the image ends at 0x3000
constexpr uint32_t kImageEnd = 0x3000;
constexpr uint32_t kValue = kData;           // a 32-bit value, 0xC0FFEE
constexpr uint32_t kPointer = kData + 0x10;  // the linked address of kValue
constexpr uint32_t kRelocations = kData + 0x100;
constexpr uint32_t kTables = kData + 0x200;  // free for the test's own tables

// A DLL without entry point: a value, a pointer to it and (unless told otherwise) the
// relocation that fixes the pointer up when the image moves.
inline PeBuilder SampleImage(PeKind kind, bool relocations = true) {
  PeBuilder b(kind, kind == PeKind::kPe32Plus ? kBase64 : kBase32);
  b.AddSection(0x1000);
  b.AddSection(0x1000);
  b.Put32(kValue, 0xC0FFEE);
  b.PutAddress(kPointer, kValue);
  if (relocations) b.PutRelocations(kRelocations);
  return b;
}

}  // namespace sf::test
