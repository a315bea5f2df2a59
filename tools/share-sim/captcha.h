// Captchas: one-use tokens with a 4-character answer each, and their pictures, drawn with a
// built-in bitmap font and encoded as real PNG or JPEG bytes.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>

namespace sf::sim {

// The characters answers are drawn from; look-alikes (0/O, 1/I) are left out.
inline constexpr const char kCaptchaAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";

// Rows of the 5x7 glyph of `c` (bit 4 is the leftmost column); nothing for other characters.
std::optional<std::array<uint8_t, 7>> Glyph(char c);

// Picture geometry, shared with tests that read the characters back.
inline constexpr int kCaptchaWidth = 120;
inline constexpr int kCaptchaHeight = 44;
inline constexpr int kGlyphScale = 4;   // each font dot is 4x4 pixels
inline constexpr int kGlyphLeft = 12;   // x of the first glyph
inline constexpr int kGlyphPitch = 26;  // distance between glyph starts
inline constexpr int kGlyphTop = 8;     // y of a glyph before its jitter
inline constexpr int kGlyphJitter = 2;  // each glyph moves up or down by at most this much

// 8-bit grey pixels, row by row.
struct GreyImage {
  int width = 0, height = 0;
  std::string pixels;
};
GreyImage RenderCaptcha(const std::string& answer, uint64_t seed);
std::string EncodePng(const GreyImage& image);  // empty on failure
std::string EncodeJpeg(const GreyImage& image, int quality = 90);

struct CaptchaPicture {
  std::string bytes;
  std::string contentType;
};

class CaptchaStore {
 public:
  explicit CaptchaStore(uint64_t seed);
  // A fresh token with a random answer; `jpeg` picks the picture's encoding.
  std::string Issue(bool jpeg);
  std::optional<std::string> Answer(const std::string& token) const;
  std::optional<CaptchaPicture> Picture(const std::string& token) const;
  // True when `token` is known and `answer` matches it (letter case ignored). A known token
  // is spent by the attempt, right or wrong.
  bool Redeem(const std::string& token, const std::string& answer);
  void Clear();

 private:
  struct Entry {
    std::string answer;
    bool jpeg = false;
    uint64_t seed = 0;
  };
  mutable std::mutex mutex_;
  std::mt19937_64 rng_;
  std::unordered_map<std::string, Entry> entries_;
  std::deque<std::string> order_;  // oldest first, so the store stays bounded
};

}  // namespace sf::sim
