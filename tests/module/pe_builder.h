// Builds small PE images in memory for the loader's tests, written byte by byte at the offsets
// of the published format (independently of the loader's own structures, so a layout mistake
// on either side shows). Layout: DOS header, NT headers at 0x40, the section table, headers
// padded to 0x400; sections at consecutive 0x1000-aligned RVAs from 0x1000, their raw data
// 0x200-aligned after the headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sf::test {

enum class PeKind { kPe32, kPe32Plus };

// File offsets of header fields in every built image, for tests that damage them.
constexpr size_t kLfanewOffset = 0x3C;
constexpr size_t kNtOffset = 0x40;
constexpr size_t kSectionCountOffset = kNtOffset + 6;
constexpr size_t kOptionalSizeOffset = kNtOffset + 20;
constexpr size_t kCharacteristicsOffset = kNtOffset + 22;
constexpr size_t kOptionalOffset = kNtOffset + 24;
constexpr size_t kEntryPointOffset = kOptionalOffset + 16;
constexpr size_t kSectionAlignmentOffset = kOptionalOffset + 32;
constexpr size_t kSizeOfImageOffset = kOptionalOffset + 56;
// Within a section header.
constexpr size_t kSectionVirtualSize = 8;
constexpr size_t kSectionVirtualAddress = 12;
constexpr size_t kSectionRawSize = 16;
constexpr size_t kSectionRawPointer = 20;

constexpr int kExportDirectory = 0;
constexpr int kImportDirectory = 1;
constexpr int kRelocationDirectory = 5;

class PeBuilder {
 public:
  PeBuilder(PeKind kind, uint64_t imageBase);

  PeKind kind() const { return kind_; }
  uint64_t imageBase() const { return imageBase_; }
  size_t addressWidth() const { return kind_ == PeKind::kPe32Plus ? 8 : 4; }

  // A section of `size` bytes at the next free RVA; its raw data covers all of it.
  uint32_t AddSection(uint32_t size);

  void Put(uint32_t rva, std::span<const uint8_t> bytes);
  void Put16(uint32_t rva, uint16_t value);
  void Put32(uint32_t rva, uint32_t value);
  void Put64(uint32_t rva, uint64_t value);
  void PutText(uint32_t rva, std::string_view text);  // with its terminating zero

  // Writes the linked address of `targetRva` (imageBase + targetRva, 32 or 64 bits by kind) at
  // `rva` and records a relocation for it.
  void PutAddress(uint32_t rva, uint32_t targetRva);
  // Lays out the recorded relocations at `rva`, one block per page, and points the relocation
  // directory at them. Returns their length.
  uint32_t PutRelocations(uint32_t rva);

  struct Library {
    std::string name;
    std::vector<std::string> imports;  // "#7" imports ordinal 7
  };
  // Lays out import descriptors, lookup tables (unless `lookupTables` is false), address
  // tables and names at `rva`, and points the import directory at them. Returns the RVA of
  // every address-table slot, in order.
  std::vector<uint32_t> PutImports(uint32_t rva, const std::vector<Library>& libraries,
                                   bool lookupTables = true);

  struct ExportName {
    std::string name;
    uint16_t index;  // into `functions`
  };
  // Lays out an export directory with `base`, the function RVAs and the names at `rva`, names
  // stored one after another, and points the export directory at it. Returns its length.
  uint32_t PutExports(uint32_t rva, uint32_t base, const std::vector<uint32_t>& functions,
                      const std::vector<ExportName>& names);

  void SetDirectory(int index, uint32_t rva, uint32_t size);
  void SetEntryPoint(uint32_t rva) { entryPoint_ = rva; }
  void SetCharacteristics(uint16_t value) { characteristics_ = value; }
  void SetMachine(uint16_t value) { machine_ = value; }

  std::vector<uint8_t> Build() const;

  size_t SectionTableOffset() const;
  size_t DirectoryOffset(int index) const;
  size_t ImageBaseOffset() const;

 private:
  struct Section {
    uint32_t rva;
    std::vector<uint8_t> data;
  };
  uint8_t* At(uint32_t rva, size_t length);

  PeKind kind_;
  uint64_t imageBase_;
  uint16_t machine_;
  uint16_t characteristics_;
  uint32_t entryPoint_ = 0;
  uint32_t directories_[16][2] = {};
  std::vector<Section> sections_;
  std::vector<uint32_t> relocations_;
};

// Little-endian stores into a built image, and loads from mapped memory.
void Poke16(std::vector<uint8_t>& image, size_t offset, uint16_t value);
void Poke32(std::vector<uint8_t>& image, size_t offset, uint32_t value);
void Poke64(std::vector<uint8_t>& image, size_t offset, uint64_t value);
uint32_t Load32(uintptr_t address);
uint64_t Load64(uintptr_t address);

}  // namespace sf::test
