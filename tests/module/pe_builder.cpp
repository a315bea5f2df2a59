#include "pe_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace sf::test {
namespace {

constexpr uint32_t kHeadersLength = 0x400;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kFileAlignment = 0x200;

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

void Store(uint8_t* at, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

PeBuilder::PeBuilder(PeKind kind, uint64_t imageBase)
    : kind_(kind),
      imageBase_(imageBase),
      machine_(kind == PeKind::kPe32Plus ? 0x8664 : 0x014C),
      // Executable image and DLL, plus "32-bit machine" or "large address aware".
      characteristics_(kind == PeKind::kPe32Plus ? 0x2022 : 0x2102) {}

uint32_t PeBuilder::AddSection(uint32_t size) {
  uint32_t rva =
      sections_.empty()
          ? kSectionAlignment
          : AlignUp(sections_.back().rva + static_cast<uint32_t>(sections_.back().data.size()),
                    kSectionAlignment);
  sections_.push_back({rva, std::vector<uint8_t>(size)});
  return rva;
}

uint8_t* PeBuilder::At(uint32_t rva, size_t length) {
  for (Section& s : sections_) {
    if (rva >= s.rva && rva - s.rva + length <= s.data.size()) return s.data.data() + (rva - s.rva);
  }
  std::fprintf(stderr, "PeBuilder: %zu bytes at RVA 0x%x lie outside every section\n", length, rva);
  std::abort();
}

void PeBuilder::Put(uint32_t rva, std::span<const uint8_t> bytes) {
  std::memcpy(At(rva, bytes.size()), bytes.data(), bytes.size());
}
void PeBuilder::Put16(uint32_t rva, uint16_t value) {
  Store(At(rva, 2), value, 2);
}
void PeBuilder::Put32(uint32_t rva, uint32_t value) {
  Store(At(rva, 4), value, 4);
}
void PeBuilder::Put64(uint32_t rva, uint64_t value) {
  Store(At(rva, 8), value, 8);
}
void PeBuilder::PutText(uint32_t rva, std::string_view text) {
  uint8_t* at = At(rva, text.size() + 1);
  std::memcpy(at, text.data(), text.size());
  at[text.size()] = 0;
}

void PeBuilder::PutAddress(uint32_t rva, uint32_t targetRva) {
  Store(At(rva, addressWidth()), imageBase_ + targetRva, addressWidth());
  relocations_.push_back(rva);
}

uint32_t PeBuilder::PutRelocations(uint32_t rva) {
  std::map<uint32_t, std::vector<uint16_t>> pages;
  const uint16_t type = kind_ == PeKind::kPe32Plus ? 10 : 3;
  for (uint32_t target : relocations_) {
    pages[target & ~0xFFFu].push_back(static_cast<uint16_t>(type << 12 | (target & 0xFFF)));
  }
  uint32_t pos = rva;
  for (auto& [page, entries] : pages) {
    if (entries.size() % 2 != 0) entries.push_back(0);  // keeps blocks 32-bit aligned
    const uint32_t blockSize = 8 + 2 * static_cast<uint32_t>(entries.size());
    Put32(pos, page);
    Put32(pos + 4, blockSize);
    for (size_t i = 0; i < entries.size(); ++i)
      Put16(pos + 8 + 2 * static_cast<uint32_t>(i), entries[i]);
    pos += blockSize;
  }
  SetDirectory(kRelocationDirectory, rva, pos - rva);
  return pos - rva;
}

std::vector<uint32_t> PeBuilder::PutImports(uint32_t rva, const std::vector<Library>& libraries,
                                            bool lookupTables) {
  const uint32_t width = static_cast<uint32_t>(addressWidth());
  const uint64_t ordinalFlag = kind_ == PeKind::kPe32Plus ? uint64_t{1} << 63 : 0x80000000u;
  std::vector<uint32_t> slots;
  uint32_t pos = rva + 20 * static_cast<uint32_t>(libraries.size() + 1);
  std::vector<uint32_t> lookups, addressTables;
  for (const Library& library : libraries) {
    const uint32_t tableLength = width * static_cast<uint32_t>(library.imports.size() + 1);
    lookups.push_back(lookupTables ? pos : 0);
    if (lookupTables) pos += tableLength;
    addressTables.push_back(pos);
    pos += tableLength;
  }
  for (size_t i = 0; i < libraries.size(); ++i) {
    const Library& library = libraries[i];
    const uint32_t descriptor = rva + 20 * static_cast<uint32_t>(i);
    Put32(descriptor, lookups[i]);
    Put32(descriptor + 12, pos);
    Put32(descriptor + 16, addressTables[i]);
    PutText(pos, library.name);
    pos += static_cast<uint32_t>(library.name.size()) + 1;
    for (size_t j = 0; j < library.imports.size(); ++j) {
      const std::string& import = library.imports[j];
      uint64_t thunk = 0;
      if (import.starts_with("#")) {
        thunk = ordinalFlag | std::strtoul(import.c_str() + 1, nullptr, 10);
      } else {
        pos = AlignUp(pos, 2);
        Put16(pos, 0);  // hint
        PutText(pos + 2, import);
        thunk = pos;
        pos += 2 + static_cast<uint32_t>(import.size()) + 1;
      }
      const uint32_t offset = width * static_cast<uint32_t>(j);
      if (lookupTables) Store(At(lookups[i] + offset, width), thunk, width);
      Store(At(addressTables[i] + offset, width), thunk, width);
      slots.push_back(addressTables[i] + offset);
    }
  }
  SetDirectory(kImportDirectory, rva, 20 * static_cast<uint32_t>(libraries.size() + 1));
  return slots;
}

uint32_t PeBuilder::PutExports(uint32_t rva, uint32_t base, const std::vector<uint32_t>& functions,
                               const std::vector<ExportName>& names) {
  const uint32_t functionTable = rva + 40;
  const uint32_t nameTable = functionTable + 4 * static_cast<uint32_t>(functions.size());
  const uint32_t ordinalTable = nameTable + 4 * static_cast<uint32_t>(names.size());
  uint32_t pos = ordinalTable + 2 * static_cast<uint32_t>(names.size());
  Put32(rva + 12, pos);
  PutText(pos, "test.dll");
  pos += 9;
  Put32(rva + 16, base);
  Put32(rva + 20, static_cast<uint32_t>(functions.size()));
  Put32(rva + 24, static_cast<uint32_t>(names.size()));
  Put32(rva + 28, functionTable);
  Put32(rva + 32, nameTable);
  Put32(rva + 36, ordinalTable);
  for (size_t i = 0; i < functions.size(); ++i)
    Put32(functionTable + 4 * static_cast<uint32_t>(i), functions[i]);
  for (size_t i = 0; i < names.size(); ++i) {
    Put32(nameTable + 4 * static_cast<uint32_t>(i), pos);
    Put16(ordinalTable + 2 * static_cast<uint32_t>(i), names[i].index);
    PutText(pos, names[i].name);
    pos += static_cast<uint32_t>(names[i].name.size()) + 1;
  }
  SetDirectory(kExportDirectory, rva, pos - rva);
  return pos - rva;
}

void PeBuilder::SetDirectory(int index, uint32_t rva, uint32_t size) {
  directories_[index][0] = rva;
  directories_[index][1] = size;
}

size_t PeBuilder::SectionTableOffset() const {
  return kOptionalOffset + (kind_ == PeKind::kPe32Plus ? 240 : 224);
}

size_t PeBuilder::DirectoryOffset(int index) const {
  return kOptionalOffset + (kind_ == PeKind::kPe32Plus ? 112 : 96) + 8 * static_cast<size_t>(index);
}

size_t PeBuilder::ImageBaseOffset() const {
  return kOptionalOffset + (kind_ == PeKind::kPe32Plus ? 24 : 28);
}

std::vector<uint8_t> PeBuilder::Build() const {
  const bool plus = kind_ == PeKind::kPe32Plus;
  uint32_t fileLength = kHeadersLength;
  for (const Section& s : sections_)
    fileLength += AlignUp(static_cast<uint32_t>(s.data.size()), kFileAlignment);
  std::vector<uint8_t> image(fileLength);
  uint8_t* p = image.data();

  p[0] = 'M';
  p[1] = 'Z';
  Store(p + kLfanewOffset, kNtOffset, 4);
  std::memcpy(p + kNtOffset, "PE\0\0", 4);
  Store(p + kNtOffset + 4, machine_, 2);
  Store(p + kSectionCountOffset, sections_.size(), 2);
  Store(p + kOptionalSizeOffset, plus ? 240 : 224, 2);
  Store(p + kCharacteristicsOffset, characteristics_, 2);

  uint8_t* opt = p + kOptionalOffset;
  uint32_t sizeOfImage = kSectionAlignment;
  if (!sections_.empty()) {
    sizeOfImage =
        AlignUp(sections_.back().rva + static_cast<uint32_t>(sections_.back().data.size()),
                kSectionAlignment);
  }
  Store(opt, plus ? 0x20B : 0x10B, 2);
  Store(opt + 16, entryPoint_, 4);
  Store(opt + (plus ? 24 : 28), imageBase_, plus ? 8 : 4);
  Store(opt + 32, kSectionAlignment, 4);
  Store(opt + 36, kFileAlignment, 4);
  Store(opt + 48, 6, 2);  // subsystem version
  Store(opt + 56, sizeOfImage, 4);
  Store(opt + 60, kHeadersLength, 4);
  Store(opt + 68, 2, 2);  // GUI subsystem
  Store(opt + (plus ? 108 : 92), 16, 4);
  for (int i = 0; i < 16; ++i) {
    Store(p + DirectoryOffset(i), directories_[i][0], 4);
    Store(p + DirectoryOffset(i) + 4, directories_[i][1], 4);
  }

  uint32_t raw = kHeadersLength;
  for (size_t i = 0; i < sections_.size(); ++i) {
    const Section& s = sections_[i];
    uint8_t* header = p + SectionTableOffset() + 40 * i;
    const char name[8] = {'.', 's', static_cast<char>('0' + i % 10)};
    std::memcpy(header, name, sizeof(name));
    const uint32_t rawSize = AlignUp(static_cast<uint32_t>(s.data.size()), kFileAlignment);
    Store(header + kSectionVirtualSize, s.data.size(), 4);
    Store(header + kSectionVirtualAddress, s.rva, 4);
    Store(header + kSectionRawSize, rawSize, 4);
    Store(header + kSectionRawPointer, raw, 4);
    Store(header + 36, 0xE0000060, 4);  // code, data, execute, read, write
    std::memcpy(p + raw, s.data.data(), s.data.size());
    raw += rawSize;
  }
  return image;
}

void Poke16(std::vector<uint8_t>& image, size_t offset, uint16_t value) {
  Store(&image.at(offset + 1) - 1, value, 2);
}
void Poke32(std::vector<uint8_t>& image, size_t offset, uint32_t value) {
  Store(&image.at(offset + 3) - 3, value, 4);
}
void Poke64(std::vector<uint8_t>& image, size_t offset, uint64_t value) {
  Store(&image.at(offset + 7) - 7, value, 8);
}

uint32_t Load32(uintptr_t address) {
  uint32_t value;
  std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof(value));
  return value;
}

uint64_t Load64(uintptr_t address) {
  uint64_t value;
  std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof(value));
  return value;
}

}  // namespace sf::test
