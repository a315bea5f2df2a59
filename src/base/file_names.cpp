#include "base/file_names.h"

namespace sf {
namespace {

// An "extension" longer than this is more likely part of the name itself.
constexpr size_t kMaxExtension = 16;

std::string_view CutUtf8(std::string_view s, size_t bytes) {
  if (s.size() <= bytes) return s;
  size_t n = bytes;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n > 0 ? n : bytes);
}

}  // namespace

size_t FileNameExtensionStart(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return name.size();
  return dot;
}

std::string ShortenFileName(std::string_view name, size_t maxBytes) {
  if (maxBytes == 0) maxBytes = 1;
  if (name.size() <= maxBytes) return std::string(name);
  size_t dot = FileNameExtensionStart(name);
  std::string_view stem = name.substr(0, dot), ext = name.substr(dot);
  if (ext.size() > kMaxExtension || ext.size() >= maxBytes) {
    stem = name;
    ext = {};
  }
  std::string out(CutUtf8(stem, maxBytes - ext.size()));
  out += ext;
  return out;
}

}  // namespace sf
