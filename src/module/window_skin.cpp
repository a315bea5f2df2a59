#include "module/window_skin.h"

namespace sf {

bool WindowSkin::LoadLibraryImage(std::span<const uint8_t> libraryImage) {
  loaded_ = !libraryImage.empty() && module_.Load(libraryImage);
  return loaded_;
}

bool WindowSkin::AttachSkin(std::span<const uint8_t> skinFile, const char* password, int32_t a,
                            int32_t b, int32_t c) {
  skin_.assign(skinFile.begin(), skinFile.end());
  numbers_[0] = a;
  numbers_[1] = b;
  numbers_[2] = c;
  uintptr_t proc = loaded_ ? module_.GetProc("SkinH_AttachRes") : 0;
  if (proc == 0) return false;
  auto length = static_cast<int32_t>(skin_.size());
  if (call_) {
    call_(proc, skin_.data(), length, password, a, b, c);
    return true;
  }
#if defined(__x86_64__)
  // Only a library built for this machine runs; it expects the Microsoft x64 convention.
  if (!module_.RunsOnHost()) return false;
  using Attach = int32_t(__attribute__((ms_abi))*)(const uint8_t*, int32_t, const char*, int32_t,
                                                   int32_t, int32_t);
  reinterpret_cast<Attach>(proc)(skin_.data(), length, password, a, b, c);
  return true;
#else
  return false;
#endif
}

std::span<const uint8_t> CarriedSkinLibrary() {
  return {};
}

}  // namespace sf
