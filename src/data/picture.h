// Decodes the captcha pictures the service sends, PNG or JPEG, into pixels. Anything else, or
// bytes that are cut short or broken, give nothing; no input can crash it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sf {

struct Picture {
  int width = 0;
  int height = 0;
  std::string rgba;  // width * height * 4 bytes, rows top to bottom
};

// Pictures larger than this many pixels are refused: a captcha is tiny, and a hostile header
// must not make us allocate gigabytes.
inline constexpr int64_t kMaxPicturePixels = 16 * 1024 * 1024;

std::optional<Picture> DecodePicture(std::string_view bytes);

}  // namespace sf
