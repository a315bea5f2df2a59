#include "base/encoding.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <utility>

#include "base/text.h"

namespace sf {
namespace {

constexpr const char* kGbk = "GB18030";
constexpr const char* kUtf8 = "UTF-8";
constexpr const char* kUtf16 = "UTF-16LE";

// iconv descriptors are costly to open and not shareable between threads; keep a few per thread.
class ConverterCache {
 public:
  ~ConverterCache() {
    for (auto& [key, cd] : open_) iconv_close(cd);
  }
  iconv_t Get(const std::string& from, const std::string& to) {
    auto key = std::make_pair(from, to);
    auto it = open_.find(key);
    if (it != open_.end()) {
      iconv(it->second, nullptr, nullptr, nullptr, nullptr);  // reset shift state
      return it->second;
    }
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return cd;
    if (open_.size() > 32) {
      for (auto& [k, c] : open_) iconv_close(c);
      open_.clear();
    }
    open_.emplace(key, cd);
    return cd;
  }

 private:
  std::map<std::pair<std::string, std::string>, iconv_t> open_;
};

thread_local ConverterCache cache;

size_t UnitSize(const std::string& charset) {
  return charset.rfind("UTF-16", 0) == 0 ? 2 : 1;
}

// Converts with iconv, replacing each invalid or truncated input unit by `replacement`
// (already in the target encoding). Returns nothing when the pair is unknown.
std::optional<std::string> Convert(std::string_view in, const std::string& from,
                                   const std::string& to, std::string_view replacement) {
  iconv_t cd = cache.Get(from, to);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  out.resize(in.size() * 2 + 16);
  size_t outUsed = 0;
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  const size_t unit = UnitSize(from);
  while (true) {
    char* dst = out.data() + outUsed;
    size_t dstLeft = out.size() - outUsed;
    size_t r = srcLeft > 0 ? iconv(cd, &src, &srcLeft, &dst, &dstLeft)
                           : iconv(cd, nullptr, nullptr, &dst, &dstLeft);
    int err = errno;
    outUsed = out.size() - dstLeft;
    if (r != static_cast<size_t>(-1)) {
      if (srcLeft == 0) break;
      continue;
    }
    if (err == E2BIG) {
      out.resize(out.size() * 2 + 16);
      continue;
    }
    if (err == EILSEQ || err == EINVAL) {
      size_t skip = std::min(unit, srcLeft);
      if (skip == 0) break;
      src += skip;
      srcLeft -= skip;
      out.resize(std::max(out.size(), outUsed + replacement.size() + 16));
      std::memcpy(out.data() + outUsed, replacement.data(), replacement.size());
      outUsed += replacement.size();
      continue;
    }
    break;
  }
  out.resize(outUsed);
  // A result is often kept, a name or folder for each file of a share: the room guessed for it
  // above would be kept with it, and a short one fits inside the string itself.
  out.shrink_to_fit();
  return out;
}

std::string ConvertKnown(std::string_view in, const char* from, const char* to,
                         std::string_view replacement) {
  auto r = Convert(in, from, to, replacement);
  return r ? std::move(*r) : std::string();
}

constexpr std::string_view kQuestion = "?";
constexpr std::string_view kQuestion16("?\0", 2);

// ASCII is the same in GBK, UTF-8 and UTF-16: most texts that cross the wire (addresses, header
// lines, answers) are nothing else, and need no converter.
template <typename Char>
bool AllAscii(std::basic_string_view<Char> text) {
  for (Char c : text)
    if (static_cast<uint32_t>(c) >= 0x80) return false;
  return true;
}

template <typename To, typename From>
To Widened(From text) {
  return To(text.begin(), text.end());
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  if (AllAscii(gbk)) return std::string(gbk);
  return ConvertKnown(gbk, kGbk, kUtf8, kQuestion);
}
std::string Utf8ToGbk(std::string_view utf8) {
  if (AllAscii(utf8)) return std::string(utf8);
  return ConvertKnown(utf8, kUtf8, kGbk, kQuestion);
}

std::u16string GbkToUtf16(std::string_view gbk) {
  if (AllAscii(gbk)) return Widened<std::u16string>(gbk);
  return BytesToUtf16(ConvertKnown(gbk, kGbk, kUtf16, kQuestion16));
}
std::string Utf16ToGbk(std::u16string_view utf16) {
  if (AllAscii(utf16)) return Widened<std::string>(utf16);
  return ConvertKnown(Utf16ToBytes(utf16), kUtf16, kGbk, kQuestion);
}
std::string Utf16ToUtf8(std::u16string_view utf16) {
  if (AllAscii(utf16)) return Widened<std::string>(utf16);
  return ConvertKnown(Utf16ToBytes(utf16), kUtf16, kUtf8, kQuestion);
}
std::u16string Utf8ToUtf16(std::string_view utf8) {
  if (AllAscii(utf8)) return Widened<std::u16string>(utf8);
  return BytesToUtf16(ConvertKnown(utf8, kUtf8, kUtf16, kQuestion16));
}

std::string Utf16ToBytes(std::u16string_view utf16) {
  std::string bytes(utf16.size() * 2, '\0');
  for (size_t i = 0; i < utf16.size(); ++i) {
    bytes[2 * i] = static_cast<char>(utf16[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(utf16[i] >> 8);
  }
  return bytes;
}

std::u16string BytesToUtf16(std::string_view bytes) {
  std::u16string out(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return out;
}

std::optional<std::string> DecodeToGbk(std::string_view bytes, std::string_view from) {
  if (from.empty() || from.size() > 64) return std::nullopt;
  std::string name(from);
  // A byte-order mark is a marker, not text.
  std::string upper;
  for (char c : name) upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  if ((upper == "UTF-8" || upper == "UTF8") && bytes.substr(0, 3) == "\xEF\xBB\xBF")
    bytes.remove_prefix(3);
  // GBK and GB2312 texts are decoded as their superset, so nothing legal is lost.
  if (upper == "GBK" || upper == "GB2312" || upper == "CP936" || upper == "GB18030") name = kGbk;
  return Convert(bytes, name, kGbk, kQuestion);
}

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

}  // namespace sf

namespace sf {

std::string GbkToUtf8WithOffsets(std::string_view gbk, std::vector<size_t>* offsets) {
  std::string out;
  out.reserve(gbk.size() + gbk.size() / 2);
  offsets->clear();
  offsets->reserve(gbk.size() + gbk.size() / 2 + 1);
  size_t pos = 0;
  while (pos < gbk.size()) {
    size_t len = GbkCharLength(gbk.data() + pos, gbk.size() - pos);
    std::string piece = len == 1 && static_cast<unsigned char>(gbk[pos]) < 0x80
                            ? std::string(1, gbk[pos])
                            : GbkToUtf8(gbk.substr(pos, len));
    if (piece.empty()) piece = "?";
    out += piece;
    offsets->insert(offsets->end(), piece.size(), pos);
    pos += len;
  }
  offsets->push_back(gbk.size());
  return out;
}

}  // namespace sf
