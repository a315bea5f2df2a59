// Base relocations, import binding and export lookup over a mapped image. The tables all live
// inside the image, at offsets the image itself gives, so each one is read through the bounded
// helpers and a table that leaves the image fails the whole step.
#include <charconv>
#include <string>

#include "module/pe_image.h"

namespace sf::pe {
namespace {

template <class T>
bool AddAt(std::span<uint8_t> image, uint64_t offset, T delta) {
  T value;
  if (!ReadAt(std::span<const uint8_t>(image), offset, &value)) return false;
  return WriteAt(image, offset, static_cast<T>(value + delta));
}

// Import thunks are 32 bits wide in a PE32 image and 64 bits in a PE32+ one.
bool ReadThunk(std::span<const uint8_t> image, uint64_t offset, bool wide, uint64_t* out) {
  if (wide) return ReadAt(image, offset, out);
  uint32_t narrow = 0;
  if (!ReadAt(image, offset, &narrow)) return false;
  *out = narrow;
  return true;
}

bool WriteThunk(std::span<uint8_t> image, uint64_t offset, bool wide, uint64_t value) {
  if (wide) return WriteAt(image, offset, value);
  return WriteAt(image, offset, static_cast<uint32_t>(value));
}

// Decimal text names an ordinal; anything else (a sign, a blank, no digits) is a name.
bool IsDecimal(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool ApplyRelocations(std::span<uint8_t> image, const NtHeaders& headers, uint64_t delta) {
  const DataDirectory& dir = headers.directories[kDirectoryBaseReloc];
  const std::span<const uint8_t> view(image);
  if (!InRange(view.size(), dir.VirtualAddress, dir.Size)) return false;
  uint64_t pos = dir.VirtualAddress;
  const uint64_t end = pos + dir.Size;
  BaseRelocationBlock block;
  while (end - pos >= sizeof(block) && ReadAt(view, pos, &block) && block.VirtualAddress != 0) {
    // A block shorter than its own header would never advance the walk.
    if (block.SizeOfBlock < sizeof(block) || block.SizeOfBlock > end - pos) return false;
    const uint64_t count = (block.SizeOfBlock - sizeof(block)) / sizeof(uint16_t);
    for (uint64_t i = 0; i < count; ++i) {
      uint16_t entry = 0;
      if (!ReadAt(view, pos + sizeof(block) + i * sizeof(entry), &entry)) return false;
      const uint64_t target = uint64_t{block.VirtualAddress} + (entry & 0x0FFF);
      const uint16_t type = entry >> 12;
      if (type == kRelocHighLow) {
        if (!AddAt(image, target, static_cast<uint32_t>(delta))) return false;
      } else if (type == kRelocDir64 && headers.pe32plus) {
        if (!AddAt(image, target, delta)) return false;
      }
      // Anything else pads a block (ABSOLUTE) or belongs to another machine, and is skipped.
    }
    pos += block.SizeOfBlock;
  }
  return true;
}

bool BindImports(std::span<uint8_t> image, const NtHeaders& headers, ImportSource& source) {
  const DataDirectory& dir = headers.directories[kDirectoryImport];
  if (dir.VirtualAddress == 0) return true;
  const std::span<const uint8_t> view(image);
  const bool wide = headers.pe32plus;
  const uint64_t width = wide ? 8 : 4;
  const uint64_t ordinalFlag = wide ? (uint64_t{1} << 63) : 0x80000000u;

  for (uint64_t at = dir.VirtualAddress;; at += sizeof(ImportDescriptor)) {
    ImportDescriptor d;
    if (!ReadAt(view, at, &d)) return false;
    if (d.FirstThunk == 0) return true;
    std::optional<std::string_view> dll = ReadCString(view, d.Name);
    if (d.Name == 0 || !dll) return false;
    // The lookup table keeps the names even when the address table was bound ahead of time
    // to addresses of some other machine; without one, the address table holds the names.
    const uint64_t lookup = d.OriginalFirstThunk != 0 ? d.OriginalFirstThunk : d.FirstThunk;
    for (uint64_t i = 0;; ++i) {
      uint64_t entry = 0;
      if (!ReadThunk(view, lookup + i * width, wide, &entry)) return false;
      if (entry == 0) break;
      uintptr_t address = 0;
      if ((entry & ordinalFlag) != 0) {
        const uint16_t ordinal = static_cast<uint16_t>(entry & 0xFFFF);
        address = source.Find(dll->data(), std::to_string(ordinal).c_str());
      } else {
        if (entry > 0x7FFFFFFF) return false;
        // A hint/name entry: a 16-bit hint, then the name.
        std::optional<std::string_view> name = ReadCString(view, entry + 2);
        if (!name) return false;
        address = source.Find(dll->data(), name->data());
      }
      // An address the thunk cannot hold would bind the import to somewhere else entirely.
      if (address == 0 || (!wide && uint64_t{address} > UINT32_MAX)) return false;
      if (!WriteThunk(image, d.FirstThunk + i * width, wide, address)) return false;
    }
  }
}

std::optional<uint32_t> FindExport(std::span<const uint8_t> image, std::string_view name) {
  std::optional<NtHeaders> headers = ReadNtHeaders(image);
  if (!headers) return {};
  const DataDirectory& dir = headers->directories[kDirectoryExport];
  ExportDirectory exports;
  if (dir.VirtualAddress == 0 || dir.Size == 0 || !ReadAt(image, dir.VirtualAddress, &exports)) {
    return {};
  }

  auto functionAt = [&](uint64_t index) -> std::optional<uint32_t> {
    uint32_t rva = 0;
    if (index >= exports.NumberOfFunctions ||
        !ReadAt(image, exports.AddressOfFunctions + index * sizeof(rva), &rva)) {
      return {};
    }
    if (rva == 0 || rva >= image.size()) return {};
    // An address inside the export directory is a forwarder: text naming an export of another
    // library, which would be called as code if handed out.
    if (rva >= dir.VirtualAddress && rva - dir.VirtualAddress < dir.Size) return {};
    return rva;
  };

  if (IsDecimal(name)) {
    uint64_t ordinal = 0;
    // Digits beyond any 64-bit number name no export at all.
    if (std::from_chars(name.data(), name.data() + name.size(), ordinal).ec != std::errc() ||
        ordinal < exports.Base) {
      return {};
    }
    return functionAt(ordinal - exports.Base);
  }
  // Each name is found through its own entry of AddressOfNames; the names need not be stored
  // one after another.
  for (uint64_t i = 0; i < exports.NumberOfNames; ++i) {
    uint32_t nameRva = 0;
    uint16_t index = 0;
    if (!ReadAt(image, exports.AddressOfNames + i * sizeof(nameRva), &nameRva) ||
        !ReadAt(image, exports.AddressOfNameOrdinals + i * sizeof(index), &index)) {
      return {};
    }
    // Offset 0 is the DOS header, never a name: the table is broken, and walking on through
    // a table of zeros would only waste time.
    std::optional<std::string_view> candidate = ReadCString(image, nameRva);
    if (nameRva == 0 || !candidate) return {};
    if (*candidate != name) continue;
    if (std::optional<uint32_t> rva = functionAt(index)) return rva;
  }
  return {};
}

}  // namespace sf::pe
