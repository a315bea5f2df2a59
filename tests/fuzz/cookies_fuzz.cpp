// Feeds arbitrary header blocks and cookie texts through the scan and the merge, and checks
// what the merge promises: no blank inside a pair, no "=deleted" pair, no repeated item.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "base/text.h"
#include "net/cookies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t cut = input.find('\x01');
  std::string block = input.substr(0, cut);
  std::string old = cut == std::string::npos ? "" : input.substr(cut + 1);

  std::string normalized = sf::NormalizeSetCookie(block);
  std::string fresh, location;
  sf::ScanHeaderBlock(normalized, &fresh, &location);
  sf::MergeCookies(&old, &fresh);
  std::set<std::string> seen;
  for (const std::string& item : sf::SplitText(old, "; ")) {
    if (old.empty()) break;
    if (item.empty() || !seen.insert(item).second) std::abort();
    if (item.size() >= 8 && item.compare(item.size() - 8, 8, "=deleted") == 0) std::abort();
    if (item.find(' ') != std::string::npos) std::abort();
  }
  sf::CharsetFromMeta(block);
  sf::CharsetFromContentType(normalized);
  return 0;
}
