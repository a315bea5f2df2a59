#include "captcha.h"

#include <jpeglib.h>
#include <png.h>

#include <cctype>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sf::sim {
namespace {

constexpr size_t kMaxTokens = 4096;

struct GlyphRow {
  char c;
  std::array<uint8_t, 7> rows;
};

constexpr GlyphRow kFont[] = {
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x04}},
    {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
};

struct Rng {  // small and seedable, so a token's picture is the same on every fetch
  uint64_t s;
  uint64_t Next() {
    s += 0x9E3779B97F4A7C15ull;
    uint64_t z = s;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int Range(int lo, int hi) {
    return lo + static_cast<int>(Next() % static_cast<uint64_t>(hi - lo + 1));
  }
};

struct PngError {
  jmp_buf jump;
};

void PngWrite(png_structp png, png_bytep data, png_size_t n) {
  static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<char*>(data), n);
}

void PngFail(png_structp png, png_const_charp) {
  longjmp(static_cast<PngError*>(png_get_error_ptr(png))->jump, 1);
}

struct JpegError {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};

void JpegFail(j_common_ptr info) {
  longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}

}  // namespace

std::optional<std::array<uint8_t, 7>> Glyph(char c) {
  for (const auto& g : kFont)
    if (g.c == c) return g.rows;
  return std::nullopt;
}

GreyImage RenderCaptcha(const std::string& answer, uint64_t seed) {
  GreyImage img;
  img.width = kCaptchaWidth;
  img.height = kCaptchaHeight;
  img.pixels.resize(static_cast<size_t>(img.width * img.height));
  Rng rng{seed};
  auto set = [&](int x, int y, int v) {
    if (x >= 0 && y >= 0 && x < img.width && y < img.height)
      img.pixels[static_cast<size_t>(y * img.width + x)] = static_cast<char>(v);
  };
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x) set(x, y, rng.Range(225, 250));
  // Noise stays much lighter than the ink, so the characters keep their shapes.
  for (int line = 0; line < 2; ++line) {
    int y0 = rng.Range(4, img.height - 5), y1 = rng.Range(4, img.height - 5);
    for (int x = 0; x < img.width; ++x) set(x, y0 + (y1 - y0) * x / img.width, rng.Range(150, 175));
  }
  for (int i = 0; i < 160; ++i)
    set(rng.Range(0, img.width - 1), rng.Range(0, img.height - 1), rng.Range(140, 200));
  for (size_t k = 0; k < answer.size() && k < 4; ++k) {
    auto rows = Glyph(answer[k]);
    if (!rows) continue;
    int left = kGlyphLeft + static_cast<int>(k) * kGlyphPitch;
    int top = kGlyphTop + rng.Range(-kGlyphJitter, kGlyphJitter);
    int ink = rng.Range(20, 70);
    for (int r = 0; r < 7; ++r)
      for (int c = 0; c < 5; ++c)
        if ((*rows)[r] & (0x10 >> c))
          for (int dy = 0; dy < kGlyphScale; ++dy)
            for (int dx = 0; dx < kGlyphScale; ++dx)
              set(left + c * kGlyphScale + dx, top + r * kGlyphScale + dy, ink);
  }
  return img;
}

std::string EncodePng(const GreyImage& image) {
  std::string out;
  PngError err;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &err, PngFail, nullptr);
  if (!png) return {};
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(err.jump)) {
    png_destroy_write_struct(&png, info ? &info : nullptr);
    return {};
  }
  png_set_write_fn(png, &out, PngWrite, nullptr);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < image.height; ++y) {
    auto row = reinterpret_cast<png_const_bytep>(image.pixels.data() +
                                                 static_cast<size_t>(y * image.width));
    png_write_row(png, row);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

std::string EncodeJpeg(const GreyImage& image, int quality) {
  jpeg_compress_struct info{};
  JpegError err;
  info.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegFail;
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&info);
    std::free(mem);
    return {};
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &mem, &size);
  info.image_width = static_cast<JDIMENSION>(image.width);
  info.image_height = static_cast<JDIMENSION>(image.height);
  info.input_components = 1;
  info.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<char*>(
        image.pixels.data() + static_cast<size_t>(info.next_scanline) * image.width));
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  std::string out(reinterpret_cast<char*>(mem), size);
  jpeg_destroy_compress(&info);
  std::free(mem);
  return out;
}

CaptchaStore::CaptchaStore(uint64_t seed) : rng_(seed) {}

std::string CaptchaStore::Issue(bool jpeg) {
  std::lock_guard<std::mutex> lock(mutex_);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string token;
  do {
    token.clear();
    for (int i = 0; i < 40; ++i) token += kHex[rng_() % 16];
  } while (entries_.count(token));
  Entry e;
  for (int i = 0; i < 4; ++i) e.answer += kCaptchaAlphabet[rng_() % (sizeof kCaptchaAlphabet - 1)];
  e.jpeg = jpeg;
  e.seed = rng_();
  entries_.emplace(token, e);
  order_.push_back(token);
  while (order_.size() > kMaxTokens) {
    entries_.erase(order_.front());
    order_.pop_front();
  }
  return token;
}

std::optional<std::string> CaptchaStore::Answer(const std::string& token) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(token);
  if (it == entries_.end()) return std::nullopt;
  return it->second.answer;
}

std::optional<CaptchaPicture> CaptchaStore::Picture(const std::string& token) const {
  Entry e;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(token);
    if (it == entries_.end()) return std::nullopt;
    e = it->second;
  }
  GreyImage img = RenderCaptcha(e.answer, e.seed);
  CaptchaPicture pic;
  pic.bytes = e.jpeg ? EncodeJpeg(img) : EncodePng(img);
  pic.contentType = e.jpeg ? "image/jpeg" : "image/png";
  if (pic.bytes.empty()) return std::nullopt;
  return pic;
}

bool CaptchaStore::Redeem(const std::string& token, const std::string& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(token);
  if (it == entries_.end()) return false;
  bool ok = answer.size() == it->second.answer.size();
  for (size_t i = 0; ok && i < answer.size(); ++i)
    ok = std::toupper(static_cast<unsigned char>(answer[i])) == it->second.answer[i];
  entries_.erase(
      it);  // the order_ entry goes when it reaches the front; erase of a gone key is harmless
  return ok;
}

void CaptchaStore::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
  order_.clear();
}

}  // namespace sf::sim
