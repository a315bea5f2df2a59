// The window skin the program may carry inside itself: a skin library image, mapped from
// memory at start, and a skin file handed to the library's SkinH_AttachRes once the main
// window exists. A build that carries no library for the host skips the attach silently; the
// window then gets its look from the program's own theme alone.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "module/memory_module.h"

namespace sf {

class WindowSkin {
 public:
  // Calls the export at `proc` with SkinH_AttachRes's six arguments.
  using AttachCall = std::function<int32_t(uintptr_t proc, const uint8_t* skin, int32_t length,
                                           const char* password, int32_t a, int32_t b, int32_t c)>;

  // The start routine: maps `libraryImage` (empty when the build carries none). True when
  // a library is mapped.
  bool LoadLibraryImage(std::span<const uint8_t> libraryImage);

  // Keeps a copy of the skin file and the three numbers, then calls SkinH_AttachRes with the
  // copy when the library is mapped, exports it and can run here. True when it was called.
  bool AttachSkin(std::span<const uint8_t> skinFile, const char* password, int32_t a, int32_t b,
                  int32_t c);

  // Replaces the call itself (tests record it; a 32-bit library can be attached through it).
  void SetAttachCall(AttachCall call) { call_ = std::move(call); }

  const std::vector<uint8_t>& skinFile() const { return skin_; }
  MemoryModule& module() { return module_; }

 private:
  MemoryModule module_;
  bool loaded_ = false;
  std::vector<uint8_t> skin_;
  int32_t numbers_[3] = {0, 0, 0};
  AttachCall call_;
};

// The skin library image this build carries for the host's architecture: none.
std::span<const uint8_t> CarriedSkinLibrary();

}  // namespace sf
