// Loads arbitrary bytes as an image. Nothing from the input ever runs or is opened: a stand-in
// takes every entry-point call, and the resolver gives every import a made-up address, so no
// library the input names is ever loaded. A loaded image is queried and freed, and then
// nothing may be left held.
#include <cstdint>
#include <cstdlib>

#include "module/memory_module.h"
#include "module/module_platform.h"

namespace {

// Fits a 32-bit thunk, and lies beyond any image as an offset: an address table that is also
// read as a lookup table would otherwise keep feeding the walk with fresh "names".
uintptr_t AnyAddress(const char*, const char* procName, void*) {
  return 0x7F000000 + static_cast<unsigned char>(procName[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const bool refuseAttach = size > 0 && (data[size - 1] & 1) != 0;
  sf::MemoryModule m;
  m.SetEntryCaller([&](uintptr_t entry, uintptr_t instance, uint32_t reason, uintptr_t reserved) {
    if (entry < m.Base() || instance != 0 || reserved != 0 || reason > 1) std::abort();
    return reason == 1 && refuseAttach ? 0 : 1;
  });
  if (m.Load({data, size}, &AnyAddress, nullptr)) {
    for (const char* name : {"0", "1", "2", "65535", "4294967296", "Alpha", "Export", ""}) {
      uintptr_t address = m.GetProc(name);
      if (address != 0 && address <= m.Base()) std::abort();
    }
    if (m.EntryPoint() != 0 && m.EntryPoint() <= m.Base()) std::abort();
    if (!m.Free() || m.Base() != 0) std::abort();
  } else if (m.Base() != 0) {
    std::abort();
  }
  sf::module_platform::Usage usage = sf::module_platform::CurrentUsage();
  if (usage.liveBlocks != 0 || usage.openLibraries != 0) std::abort();
  return 0;
}
