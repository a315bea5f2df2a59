#include "share/share_host.h"

#include <cstdlib>

#include "base/text.h"

namespace sf {

std::optional<std::string> ChooseShareHost(const std::optional<std::string>& option,
                                           std::string* error) {
  std::string value;
  std::string source;
  if (option) {
    value = *option;
    source = "--host";
  } else if (const char* env = std::getenv(kShareHostVariable); env && *env) {
    value = env;
    source = kShareHostVariable;
  } else {
    return std::string(kDefaultShareHost);
  }
  std::string lower = ToLowerAscii(value);
  size_t schemeLength = lower.rfind("http://", 0) == 0    ? 7
                        : lower.rfind("https://", 0) == 0 ? 8
                                                          : 0;
  bool hasHost = schemeLength > 0 && value.size() > schemeLength && value[schemeLength] != '/';
  bool clean = value.find_first_of(" \t\r\n?#") == std::string::npos;
  if (!hasHost || !clean) {
    if (error)
      *error = source + ": \"" + value +
               "\" is not an http:// or https:// address such as http://127.0.0.1:8080";
    return std::nullopt;
  }
  while (value.size() > schemeLength + 1 && value.back() == '/') value.pop_back();
  return value;
}

}  // namespace sf
