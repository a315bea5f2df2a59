// Names come from the caller and from the address, so from anyone who hands out a link. The
// first two bytes choose the file system's name limit, the rest is the name. Whatever it is,
// the name we make must be one path component inside the directory, never empty, and leave
// room for a counter and our suffixes; the numbered names tried after it must be the same.
// A name made once is made again unchanged, and a name planned with room for a counter, then
// numbered, is the very name the engine saves under.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/file_names.h"
#include "engine/file_naming.h"

namespace {

void CheckComponent(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t maxBytes = 17 + sf::engine::kNameReserve + ((data[0] | data[1] << 8) % 1024);
  std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);
  std::string name = sf::engine::SafeFileName(input, maxBytes);
  CheckComponent(name);
  if (name.size() + sf::engine::kNameReserve > maxBytes) std::abort();
  for (int n : {1, 99999}) {
    std::string numbered = sf::engine::NumberedName(name, n);
    CheckComponent(numbered);
    if (numbered.size() + sf::engine::kControlSuffix.size() +
            sf::engine::kTempSuffixPattern.size() >
        maxBytes)
      std::abort();
  }
  std::string made = sf::MakeFileName(input, maxBytes);
  if (sf::MakeFileName(made, maxBytes) != made || sf::MakeFileName(made, maxBytes + 9) != made)
    std::abort();
  std::string planned = sf::MakeFileName(input, maxBytes - sf::engine::kNameReserve - 8);
  if (planned.empty()) planned = "_";
  for (int n : {0, 1, 99999}) {
    std::string numbered = sf::NumberedName(planned, n);
    if (sf::engine::SafeFileName(numbered, maxBytes) != numbered) std::abort();
  }
  std::string shortened = sf::ShortenFileName(input, maxBytes);
  if (shortened.size() > maxBytes || (input.size() <= maxBytes && shortened != input) ||
      (!input.empty() && shortened.empty()))
    std::abort();
  return 0;
}
