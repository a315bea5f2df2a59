// Reading an image's headers and working out how it is to be mapped, and the steps that turn
// a block holding the copied image into a bound one: base relocations, import binding and
// export lookup. All of it works on byte spans, so every access is checked against the buffer
// or the block it belongs to.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "module/pe_format.h"

namespace sf::pe {

// The fields of the DOS and NT headers that the loader uses.
struct NtHeaders {
  bool pe32plus = false;
  uint16_t machine = 0;
  uint16_t characteristics = 0;
  uint16_t sectionCount = 0;
  uint64_t sectionTableOffset = 0;
  uint64_t imageBase = 0;
  uint32_t sectionAlignment = 0;
  uint32_t sizeOfImage = 0;
  uint32_t entryRva = 0;
  // Directories past NumberOfRvaAndSizes read as empty.
  DataDirectory directories[kDirectoryCount] = {};
};

// DOS header, signature, file header and optional header (PE32 or PE32+) at the start of
// `bytes`; nothing when any of them is missing, cut short or of an unknown kind.
std::optional<NtHeaders> ReadNtHeaders(std::span<const uint8_t> bytes);

struct SectionPlacement {
  uint32_t virtualAddress = 0;
  uint32_t rawOffset = 0;
  uint32_t rawSize = 0;
};

// Everything needed to map an image, all of it already checked against the image buffer.
struct ImagePlan {
  NtHeaders headers;
  uint64_t headersLength = 0;  // up to the end of the section table; copied as they stand
  uint64_t imageSize = 0;      // the block to allocate
  std::vector<SectionPlacement> sections;  // only those with bytes to copy
};

// Larger images are refused: no library we carry comes near it, and walking tables across
// gigabytes of zero pages would only stall the loader.
constexpr uint64_t kMaxImageSize = 256ull << 20;

// Checks an image buffer and works out its mapping; nothing when the image is malformed.
std::optional<ImagePlan> PlanImage(std::span<const uint8_t> image);

// Adds `delta` to every absolute address named by the base relocation directory. False when a
// block or a fix-up lies outside the directory or the image.
bool ApplyRelocations(std::span<uint8_t> image, const NtHeaders& headers, uint64_t delta);

// Supplies the address of one import, or 0 when it cannot.
class ImportSource {
 public:
  virtual ~ImportSource() = default;
  // `procName` is the import's name, or its ordinal as decimal text.
  virtual uintptr_t Find(const char* dllName, const char* procName) = 0;
};

// Resolves every import through `source` and writes the addresses into the import address
// tables. False for a descriptor, thunk or name outside the image, or an import without an
// address (also one too wide for a 32-bit image's thunk).
bool BindImports(std::span<uint8_t> image, const NtHeaders& headers, ImportSource& source);

// The offset in the image of an export, by name or, for decimal text, by ordinal; nothing when
// the image has no such export or its export tables point outside the image. Forwarded exports
// (text naming another library's export) are not resolved and give nothing.
std::optional<uint32_t> FindExport(std::span<const uint8_t> image, std::string_view name);

}  // namespace sf::pe
