#include "module/module_platform.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

namespace sf::module_platform {
namespace {

std::atomic<size_t> gLiveBlocks{0};
std::atomic<size_t> gBlocksMapped{0};
std::atomic<size_t> gOpenLibraries{0};

constexpr int kProtection = PROT_READ | PROT_WRITE | PROT_EXEC;
constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS;
constexpr uint64_t k4GiB = uint64_t{1} << 32;

uint64_t PageSize() {
  long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

uint64_t MappedLength(uint64_t size) {
  const uint64_t page = PageSize();
  return (size + page - 1) / page * page;
}

bool EndsBy(uint64_t start, uint64_t length, uint64_t limit) {
  return start <= limit && length <= limit - start;
}

// Maps with `flags` near `hint` and keeps the block only if `accept` holds for it.
template <class Accept>
uint8_t* TryMap(uint64_t hint, uint64_t length, int flags, Accept accept) {
  void* p = mmap(reinterpret_cast<void*>(static_cast<uintptr_t>(hint)), length, kProtection,
                 kFlags | flags, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  if (!accept(reinterpret_cast<uintptr_t>(p))) {
    munmap(p, length);
    return nullptr;
  }
  return static_cast<uint8_t*>(p);
}

}  // namespace

uint8_t* MapBlock(uint64_t size, uint64_t preferred, uint64_t limit) {
  if (size == 0 || size > UINTPTR_MAX) return nullptr;
  const uint64_t length = MappedLength(size);
  auto fits = [&](uint64_t start) { return EndsBy(start, length, limit); };

  uint8_t* block = nullptr;
  if (preferred != 0 && preferred % PageSize() == 0 && preferred <= UINTPTR_MAX &&
      fits(preferred)) {
#ifdef MAP_FIXED_NOREPLACE
    const int noReplace = MAP_FIXED_NOREPLACE;
#else
    const int noReplace = 0;
#endif
    // Kernels older than MAP_FIXED_NOREPLACE take the address as a mere hint.
    block = TryMap(preferred, length, noReplace, [&](uint64_t at) { return at == preferred; });
  }
  if (block == nullptr) block = TryMap(0, length, 0, fits);
  if (block == nullptr && limit <= k4GiB) {
    // A 32-bit image's absolute addresses reach only the low 4 GiB, so it must sit there.
#ifdef MAP_32BIT
    block = TryMap(0, length, MAP_32BIT, fits);
#else
    block = TryMap(0x10000000, length, 0, fits);
#endif
  }
  if (block != nullptr) {
    ++gLiveBlocks;
    ++gBlocksMapped;
  }
  return block;
}

bool UnmapBlock(uint8_t* block, uint64_t size) {
  if (block == nullptr || munmap(block, MappedLength(size)) != 0) return false;
  --gLiveBlocks;
  return true;
}

void* OpenLibrary(const char* name) {
  void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (library != nullptr) ++gOpenLibraries;
  return library;
}

uintptr_t FindSymbol(void* library, const char* name) {
  return reinterpret_cast<uintptr_t>(dlsym(library, name));
}

void CloseLibrary(void* library) {
  if (library != nullptr && dlclose(library) == 0) --gOpenLibraries;
}

bool HostRuns(uint16_t machine, bool pe32plus) {
#if defined(__x86_64__)
  return pe32plus && machine == 0x8664;
#else
  (void)machine;
  (void)pe32plus;
  return false;
#endif
}

int32_t CallEntry(uintptr_t entry, uintptr_t instance, uint32_t reason, uintptr_t reserved) {
#if defined(__x86_64__)
  using Entry = int32_t(__attribute__((ms_abi))*)(uintptr_t, uint32_t, uintptr_t);
  return reinterpret_cast<Entry>(entry)(instance, reason, reserved);
#else
  (void)entry;
  (void)instance;
  (void)reason;
  (void)reserved;
  return 0;
#endif
}

Usage CurrentUsage() {
  return {gLiveBlocks.load(), gBlocksMapped.load(), gOpenLibraries.load()};
}

}  // namespace sf::module_platform
