// The loader's edge to the operating system: executable memory, shared libraries, and calls
// into code built for the host's own machine. Everything here is process-wide.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sf::module_platform {

// Maps `size` bytes of zeroed memory that can be read, written and executed. Tries `preferred`
// first without displacing anything already mapped there, then anywhere. The whole block ends
// at or below `limit`. Returns nullptr when no such block can be had.
uint8_t* MapBlock(uint64_t size, uint64_t preferred, uint64_t limit);

// Releases a block from MapBlock, whole; `size` is the one it was mapped with.
bool UnmapBlock(uint8_t* block, uint64_t size);

// A shared library of the host, by the name an image imports it under; nullptr when none.
void* OpenLibrary(const char* name);
uintptr_t FindSymbol(void* library, const char* name);
void CloseLibrary(void* library);

// True when code of an image for `machine` (PE32+ or not) runs on this host.
bool HostRuns(uint16_t machine, bool pe32plus);

// Calls an entry point of an image for which HostRuns holds, with the calling convention of
// that image's platform. Returns its result, or 0 on a host that runs no image at all.
int32_t CallEntry(uintptr_t entry, uintptr_t instance, uint32_t reason, uintptr_t reserved);

// What the loader holds right now and has ever mapped; tests use it to prove that a refused
// image leaves nothing behind.
struct Usage {
  size_t liveBlocks = 0;
  size_t blocksMapped = 0;
  size_t openLibraries = 0;
};
Usage CurrentUsage();

}  // namespace sf::module_platform
