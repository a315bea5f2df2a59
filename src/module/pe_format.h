// The structures of the PE/COFF image format that the loader reads, laid out byte for byte as
// they stand in a file and in a mapped image, and bounded readers over raw bytes. Nothing here
// ever casts a pointer into an image: fields are copied out with memcpy, so odd offsets in a
// hostile image cannot turn into unaligned accesses.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

namespace sf::pe {

static_assert(std::endian::native == std::endian::little,
              "image fields are copied out as they stand, which needs a little-endian host");

constexpr uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;

constexpr uint16_t kFileExecutableImage = 0x0002;
constexpr uint16_t kFileDll = 0x2000;

constexpr int kDirectoryExport = 0;
constexpr int kDirectoryImport = 1;
constexpr int kDirectoryBaseReloc = 5;
constexpr int kDirectoryCount = 16;

constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocHighLow = 3;
constexpr uint16_t kRelocDir64 = 10;

constexpr uint32_t kDllProcessDetach = 0;
constexpr uint32_t kDllProcessAttach = 1;

#pragma pack(push, 1)

struct DosHeader {
  uint16_t e_magic;
  uint8_t unused[58];
  int32_t e_lfanew;
};

struct FileHeader {
  uint16_t Machine;
  uint16_t NumberOfSections;
  uint32_t TimeDateStamp;
  uint32_t PointerToSymbolTable;
  uint32_t NumberOfSymbols;
  uint16_t SizeOfOptionalHeader;
  uint16_t Characteristics;
};

struct DataDirectory {
  uint32_t VirtualAddress;
  uint32_t Size;
};

struct OptionalHeader32 {
  uint16_t Magic;
  uint8_t MajorLinkerVersion;
  uint8_t MinorLinkerVersion;
  uint32_t SizeOfCode;
  uint32_t SizeOfInitializedData;
  uint32_t SizeOfUninitializedData;
  uint32_t AddressOfEntryPoint;
  uint32_t BaseOfCode;
  uint32_t BaseOfData;
  uint32_t ImageBase;
  uint32_t SectionAlignment;
  uint32_t FileAlignment;
  uint16_t MajorOperatingSystemVersion;
  uint16_t MinorOperatingSystemVersion;
  uint16_t MajorImageVersion;
  uint16_t MinorImageVersion;
  uint16_t MajorSubsystemVersion;
  uint16_t MinorSubsystemVersion;
  uint32_t Win32VersionValue;
  uint32_t SizeOfImage;
  uint32_t SizeOfHeaders;
  uint32_t CheckSum;
  uint16_t Subsystem;
  uint16_t DllCharacteristics;
  uint32_t SizeOfStackReserve;
  uint32_t SizeOfStackCommit;
  uint32_t SizeOfHeapReserve;
  uint32_t SizeOfHeapCommit;
  uint32_t LoaderFlags;
  uint32_t NumberOfRvaAndSizes;
  DataDirectory Directories[kDirectoryCount];
};

struct OptionalHeader64 {
  uint16_t Magic;
  uint8_t MajorLinkerVersion;
  uint8_t MinorLinkerVersion;
  uint32_t SizeOfCode;
  uint32_t SizeOfInitializedData;
  uint32_t SizeOfUninitializedData;
  uint32_t AddressOfEntryPoint;
  uint32_t BaseOfCode;
  uint64_t ImageBase;
  uint32_t SectionAlignment;
  uint32_t FileAlignment;
  uint16_t MajorOperatingSystemVersion;
  uint16_t MinorOperatingSystemVersion;
  uint16_t MajorImageVersion;
  uint16_t MinorImageVersion;
  uint16_t MajorSubsystemVersion;
  uint16_t MinorSubsystemVersion;
  uint32_t Win32VersionValue;
  uint32_t SizeOfImage;
  uint32_t SizeOfHeaders;
  uint32_t CheckSum;
  uint16_t Subsystem;
  uint16_t DllCharacteristics;
  uint64_t SizeOfStackReserve;
  uint64_t SizeOfStackCommit;
  uint64_t SizeOfHeapReserve;
  uint64_t SizeOfHeapCommit;
  uint32_t LoaderFlags;
  uint32_t NumberOfRvaAndSizes;
  DataDirectory Directories[kDirectoryCount];
};

struct SectionHeader {
  char Name[8];
  uint32_t VirtualSize;
  uint32_t VirtualAddress;
  uint32_t SizeOfRawData;
  uint32_t PointerToRawData;
  uint32_t PointerToRelocations;
  uint32_t PointerToLinenumbers;
  uint16_t NumberOfRelocations;
  uint16_t NumberOfLinenumbers;
  uint32_t Characteristics;
};

struct ImportDescriptor {
  uint32_t OriginalFirstThunk;
  uint32_t TimeDateStamp;
  uint32_t ForwarderChain;
  uint32_t Name;
  uint32_t FirstThunk;
};

struct ExportDirectory {
  uint32_t Characteristics;
  uint32_t TimeDateStamp;
  uint16_t MajorVersion;
  uint16_t MinorVersion;
  uint32_t Name;
  uint32_t Base;
  uint32_t NumberOfFunctions;
  uint32_t NumberOfNames;
  uint32_t AddressOfFunctions;
  uint32_t AddressOfNames;
  uint32_t AddressOfNameOrdinals;
};

struct BaseRelocationBlock {
  uint32_t VirtualAddress;
  uint32_t SizeOfBlock;
};

#pragma pack(pop)

static_assert(sizeof(DosHeader) == 64);
static_assert(sizeof(FileHeader) == 20);
static_assert(sizeof(OptionalHeader32) == 224);
static_assert(sizeof(OptionalHeader64) == 240);
static_assert(sizeof(SectionHeader) == 40);
static_assert(sizeof(ImportDescriptor) == 20);
static_assert(sizeof(ExportDirectory) == 40);
static_assert(sizeof(BaseRelocationBlock) == 8);

// True when [offset, offset + length) lies inside a range of `size` bytes; never overflows.
constexpr bool InRange(uint64_t size, uint64_t offset, uint64_t length) {
  return offset <= size && length <= size - offset;
}

// Copies a T out of `bytes` at `offset`; false (and `out` untouched) when it does not fit.
template <class T>
bool ReadAt(std::span<const uint8_t> bytes, uint64_t offset, T* out) {
  if (!InRange(bytes.size(), offset, sizeof(T))) return false;
  std::memcpy(out, bytes.data() + offset, sizeof(T));
  return true;
}

// Stores a T into `bytes` at `offset`; false when it does not fit.
template <class T>
bool WriteAt(std::span<uint8_t> bytes, uint64_t offset, const T& value) {
  if (!InRange(bytes.size(), offset, sizeof(T))) return false;
  std::memcpy(bytes.data() + offset, &value, sizeof(T));
  return true;
}

// The zero-terminated text at `offset`; nothing when it is not terminated inside `bytes`.
inline std::optional<std::string_view> ReadCString(std::span<const uint8_t> bytes,
                                                   uint64_t offset) {
  if (offset >= bytes.size()) return std::nullopt;
  const uint8_t* start = bytes.data() + offset;
  const void* end = std::memchr(start, 0, bytes.size() - offset);
  if (end == nullptr) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(start),
                          static_cast<const uint8_t*>(end) - start);
}

}  // namespace sf::pe
