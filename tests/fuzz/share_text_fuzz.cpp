// Pasted text of any kind through the share-text reader, raw and as UTF-8 turned into GBK as
// the programs do at their edges. Whatever it finds must be a clean link on the host, with no
// byte of the message around it, that reads back as itself, and a code of letters and digits
// that stands in the text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/encoding.h"
#include "share/share_text.h"

namespace {

constexpr std::string_view kHost = "http://127.0.0.1:8080";

bool Clean(std::string_view link) {
  for (char c : link) {
    bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              std::string_view(":/.?&=-_").find(c) != std::string_view::npos;
    if (!ok) return false;
  }
  return true;
}

void Check(const std::string& text) {
  // A link a chat program wrapped carries its code across the line break.
  std::string flat;
  for (char c : text)
    if (c != '\r' && c != '\n') flat += c;
  for (const sf::PastedShare& s : sf::ReadShareText(text, kHost)) {
    if (s.link.rfind(std::string(kHost) + "/s/", 0) != 0 &&
        s.link.rfind(std::string(kHost) + "/share/init?shareid=", 0) != 0)
      std::abort();
    if (!Clean(s.link)) std::abort();
    auto again = sf::ReadShareText(s.link, kHost);
    if (again.size() != 1 || again[0].link != s.link || !again[0].code.empty()) std::abort();
    if (s.code.size() > 32) std::abort();
    for (char c : s.code)
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
        std::abort();
    if (!s.code.empty() && flat.find(s.code) == std::string::npos) std::abort();
  }
  std::string code = sf::ReadExtractionCode(text);
  if (!code.empty() && (code.size() != 4 || text.find(code) == std::string::npos)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  Check(input);
  Check(sf::Utf8ToGbk(input));
  return 0;
}
