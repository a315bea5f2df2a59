// Helpers shared by the loader's tests: preferred bases, holding an address range so the loader
// cannot have it, and checking that nothing is left allocated.
#pragma once

#include <sys/mman.h>

#include <cstdint>

#include "module/module_platform.h"

namespace sf::test {

// Out of the way of everything else in the process, sanitizer shadow included.
constexpr uint64_t kBase32 = 0x5A000000;
constexpr uint64_t kBase64 = 0x3A5A00000000;

// Keeps [address, address + length) mapped for its lifetime, so that a load preferring that
// address has to go elsewhere. Whatever was there already stays untouched.
class Reservation {
 public:
  Reservation(uint64_t address, uint64_t length) : length_(length) {
    void* at = reinterpret_cast<void*>(static_cast<uintptr_t>(address));
    void* p = mmap(at, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (p != MAP_FAILED && p != at) munmap(p, length);
    owned_ = p == at ? p : nullptr;
  }
  ~Reservation() {
    if (owned_ != nullptr) munmap(owned_, length_);
  }
  Reservation(const Reservation&) = delete;
  Reservation& operator=(const Reservation&) = delete;

 private:
  uint64_t length_;
  void* owned_;
};

// What the loader held and had mapped when the mark was taken.
class UsageMark {
 public:
  UsageMark() : before_(module_platform::CurrentUsage()) {}
  bool NothingHeld() const {
    module_platform::Usage now = module_platform::CurrentUsage();
    return now.liveBlocks == before_.liveBlocks && now.openLibraries == before_.openLibraries;
  }
  size_t BlocksMapped() const {
    return module_platform::CurrentUsage().blocksMapped - before_.blocksMapped;
  }
  size_t LibrariesOpen() const {
    return module_platform::CurrentUsage().openLibraries - before_.openLibraries;
  }

 private:
  module_platform::Usage before_;
};

}  // namespace sf::test
