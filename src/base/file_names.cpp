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
  // A cut can end the name in blanks or dots, which cleaning the name again would drop (blanks)
  // or other file systems do: the name saved would then not be the name planned.
  while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
  if (out.empty()) out = "_";
  out += ext;
  return out;
}

std::string CleanNameSegment(std::string_view utf8, size_t maxBytes) {
  std::string name;
  name.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    char c = utf8[i];
    auto u = static_cast<unsigned char>(c);
    // U+0080 to U+009F are control characters too; some terminals act on them.
    if (u == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(utf8[i + 1]) < 0xA0) {
      name += '_';
      ++i;
      continue;
    }
    name += (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) ? '_' : c;
  }
  // Surrounding blanks make names that look alike but are not.
  size_t first = name.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  name = name.substr(first, name.find_last_not_of(' ') - first + 1);
  return ShortenFileName(name, maxBytes);
}

std::string MakeFileName(std::string_view utf8, size_t maxBytes) {
  std::string name = CleanNameSegment(utf8, maxBytes);
  // "." and ".." walk up; longer names of dots are no better as names, and look like them.
  if (!name.empty() && name.find_first_not_of('.') == std::string::npos) return "_";
  return name;
}

std::string NumberedName(std::string_view name, int n) {
  if (n <= 0) return std::string(name);
  size_t dot = FileNameExtensionStart(name);
  return std::string(name.substr(0, dot)) + " (" + std::to_string(n) + ")" +
         std::string(name.substr(dot));
}

}  // namespace sf
