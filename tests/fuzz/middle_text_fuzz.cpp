// Splits the input into a text and two markers and checks what MiddleText promises: the
// result, when not empty, stands in the text right after the left marker.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t a = input.find('\x01');
  size_t b = a == std::string::npos ? std::string::npos : input.find('\x01', a + 1);
  if (b == std::string::npos) return 0;
  std::string text = input.substr(0, a);
  std::string left = input.substr(a + 1, b - a - 1);
  std::string right = input.substr(b + 1);
  int start = text.empty() ? 1 : static_cast<int>(static_cast<unsigned char>(text[0]) % 8) + 1;
  std::string mid = sf::MiddleText(text, left, right, start, (size & 1) != 0);
  if (!mid.empty() && text.find(mid) == std::string::npos) std::abort();
  sf::TextAfterLast(text, left);
  sf::TrimSpaces(text);
  sf::ReadInteger(text);
  return 0;
}
