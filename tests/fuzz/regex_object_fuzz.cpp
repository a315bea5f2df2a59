// Arbitrary patterns over arbitrary subjects: compiling, matching, positions and replacing
// must never crash, and every reported position must hold the reported text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "data/regex_object.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  uint8_t flags = data[0];
  size_t cut = input.find('\x01');
  std::string pattern = input.substr(0, cut);
  std::string subject = cut == std::string::npos ? "" : input.substr(cut + 1);
  sf::RegexObject re;
  if (!re.Create(pattern, subject, flags & 1, flags & 2, flags & 4, flags & 8)) return 0;
  int count = re.MatchCount();
  for (int i = 1; i <= count && i <= 50; ++i) {
    int pos = -2;
    std::string m = re.GetMatch(i, &pos);
    if (pos < 0 || subject.compare(static_cast<size_t>(pos), m.size(), m) != 0) std::abort();
    for (int g = 1; g <= re.SubMatchCount() && g <= 10; ++g) {
      std::string s = re.GetSubMatch(i, g, &pos);
      if (pos >= 0 && subject.compare(static_cast<size_t>(pos), s.size(), s) != 0) std::abort();
    }
  }
  re.Replace("[$1$&$$$`$']");
  return 0;
}
