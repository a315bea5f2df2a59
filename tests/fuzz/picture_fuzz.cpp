// Captcha pictures arrive from the network: any bytes must decode or be refused, never crash.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "data/picture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto picture = sf::DecodePicture(std::string_view(reinterpret_cast<const char*>(data), size));
  if (picture && picture->rgba.size() !=
                     static_cast<size_t>(picture->width) * static_cast<size_t>(picture->height) * 4)
    std::abort();
  return 0;
}
