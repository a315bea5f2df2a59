// A library image held in memory, mapped without ever touching the disk: headers and sections
// are copied into one executable block, base relocations applied, imports bound and the entry
// point called, the way the system loader would for a DLL. Exports are found afterwards by name
// or by ordinal.
//
// Both 32-bit (PE32) and 64-bit (PE32+) images are accepted. Only images of the host's own
// machine ever run (x86-64 PE32+ images on an x86-64 host, called with the Microsoft x64
// convention); the others are mapped, relocated, bound and queried all the same, but their
// entry point is left alone unless an EntryCaller stands in for the call.
//
// Every read is checked against the image buffer and every write against the block; a
// malformed image is refused with nothing left allocated. Failures are reported only as false
// or a zero address.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

namespace sf {

class MemoryModule {
 public:
  // Asked first for every import: the address of `procName` (an import's name, or its
  // ordinal as decimal text) in `dllName`, or 0 to leave it to the host's shared libraries.
  using ImportResolver = uintptr_t (*)(const char* dllName, const char* procName, void* userData);
  // Calls the entry point at `entry` with (instance, reason, reserved) and returns its result;
  // 0 refuses an attach.
  using EntryCaller = std::function<int32_t(uintptr_t entry, uintptr_t instance, uint32_t reason,
                                            uintptr_t reserved)>;

  MemoryModule() = default;
  // Destroying the object leaves the image mapped: a library loaded at start serves until the
  // process ends. Call Free to unload.
  ~MemoryModule() = default;
  // One owner per block: a copy would release the same block twice.
  MemoryModule(const MemoryModule&) = delete;
  MemoryModule& operator=(const MemoryModule&) = delete;

  // Replaces how entry points are called, for every image from now on. Without one, images the
  // host runs are called directly and the entry points of all others are not called at all.
  void SetEntryCaller(EntryCaller caller) { caller_ = std::move(caller); }

  // Unloads any image held, then maps `image`, at its ImageBase when that is free and else
  // anywhere (an image without relocations only at its ImageBase; a 32-bit image always below
  // 4 GiB). Imports come from `resolver` when it gives one, else from the host's shared library
  // of that name; a 32-bit image's imports must lie below 4 GiB. For a DLL the entry point gets
  // (0, 1, 0); when it refuses, it gets (0, 0, 0) and the load fails. True when an image is
  // loaded.
  [[nodiscard]] bool Load(std::span<const uint8_t> image, ImportResolver resolver = nullptr,
                          void* userData = nullptr);

  // Calls a DLL's entry point with (0, 0, 0), releases the block and the libraries opened for
  // its imports. True when nothing is loaded afterwards.
  bool Free();

  // The address of an export, by name (exact, case-sensitive) or by ordinal written as decimal
  // text; 0 when there is none or nothing is loaded.
  uintptr_t GetProc(std::string_view name) const;

  // The image's entry point; 0 when it has none or nothing is loaded.
  uintptr_t EntryPoint() const;

  uintptr_t Base() const { return reinterpret_cast<uintptr_t>(block_); }

  // True when an image is loaded and it is for this host's machine, so its code can run.
  bool RunsOnHost() const { return block_ != nullptr && hostRuns_; }

 private:
  int32_t CallEntryPoint(uint32_t reason) const;
  void Release();

  uint8_t* block_ = nullptr;
  uint64_t size_ = 0;
  uint32_t entryRva_ = 0;
  bool dll_ = false;
  bool hostRuns_ = false;
  std::vector<void*> libraries_;
  EntryCaller caller_;
};

}  // namespace sf
