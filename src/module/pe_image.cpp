#include "module/pe_image.h"

#include <algorithm>

namespace sf::pe {
namespace {

constexpr uint64_t kNtFixedLength = sizeof(uint32_t) + sizeof(FileHeader);

template <class Optional>
void TakeOptionalHeader(const Optional& opt, NtHeaders* out) {
  out->imageBase = opt.ImageBase;
  out->sectionAlignment = opt.SectionAlignment;
  out->sizeOfImage = opt.SizeOfImage;
  out->entryRva = opt.AddressOfEntryPoint;
  uint32_t count = std::min<uint32_t>(opt.NumberOfRvaAndSizes, kDirectoryCount);
  for (uint32_t i = 0; i < count; ++i) out->directories[i] = opt.Directories[i];
}

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

}  // namespace

std::optional<NtHeaders> ReadNtHeaders(std::span<const uint8_t> bytes) {
  DosHeader dos;
  if (!ReadAt(bytes, 0, &dos) || dos.e_magic != kDosMagic || dos.e_lfanew < 0) return {};
  const uint64_t nt = static_cast<uint32_t>(dos.e_lfanew);

  uint32_t signature = 0;
  FileHeader file;
  if (!ReadAt(bytes, nt, &signature) || signature != kNtSignature) return {};
  if (!ReadAt(bytes, nt + sizeof(signature), &file)) return {};

  NtHeaders out;
  out.machine = file.Machine;
  out.characteristics = file.Characteristics;
  out.sectionCount = file.NumberOfSections;
  // The section table follows the optional header at the size the file header gives it, which
  // must at least hold the standard header with its sixteen directories.
  const uint64_t optionalOffset = nt + kNtFixedLength;
  out.sectionTableOffset = optionalOffset + file.SizeOfOptionalHeader;
  uint16_t magic = 0;
  if (!ReadAt(bytes, optionalOffset, &magic)) return {};
  if (magic == kMagicPe32) {
    OptionalHeader32 opt;
    if (file.SizeOfOptionalHeader < sizeof(opt) || !ReadAt(bytes, optionalOffset, &opt)) return {};
    TakeOptionalHeader(opt, &out);
  } else if (magic == kMagicPe32Plus) {
    OptionalHeader64 opt;
    if (file.SizeOfOptionalHeader < sizeof(opt) || !ReadAt(bytes, optionalOffset, &opt)) return {};
    out.pe32plus = true;
    TakeOptionalHeader(opt, &out);
  } else {
    return {};
  }
  return out;
}

std::optional<ImagePlan> PlanImage(std::span<const uint8_t> image) {
  std::optional<NtHeaders> headers = ReadNtHeaders(image);
  if (!headers || (headers->characteristics & kFileExecutableImage) == 0) return {};
  if (headers->sectionAlignment == 0) return {};

  ImagePlan plan;
  plan.headers = *headers;
  const uint64_t tableLength = uint64_t{sizeof(SectionHeader)} * headers->sectionCount;
  if (!InRange(image.size(), headers->sectionTableOffset, tableLength)) return {};
  plan.headersLength = headers->sectionTableOffset + tableLength;

  // The block must hold the headers as copied, whatever SizeOfImage claims, as well as every
  // section rounded up to the section alignment.
  uint64_t size = std::max<uint64_t>(headers->sizeOfImage, plan.headersLength);
  for (uint16_t i = 0; i < headers->sectionCount; ++i) {
    SectionHeader s;
    if (!ReadAt(image, headers->sectionTableOffset + i * uint64_t{sizeof(s)}, &s)) return {};
    uint64_t end = AlignUp(uint64_t{s.VirtualAddress} + std::max(s.SizeOfRawData, s.VirtualSize),
                           headers->sectionAlignment);
    size = std::max(size, end);
    if (s.SizeOfRawData == 0 || s.VirtualAddress == 0) continue;
    if (!InRange(image.size(), s.PointerToRawData, s.SizeOfRawData)) return {};
    plan.sections.push_back({s.VirtualAddress, s.PointerToRawData, s.SizeOfRawData});
  }
  if (size > kMaxImageSize) return {};
  if (headers->entryRva >= size) return {};
  plan.imageSize = size;
  return plan;
}

}  // namespace sf::pe
