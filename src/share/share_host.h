// Where the share service lives: the command-line option, else the environment variable
// SHAREFETCH_HOST, else the service's own web host. Both programs choose it the same way.
#pragma once

#include <optional>
#include <string>

namespace sf {

inline constexpr const char* kDefaultShareHost = "http://pan.baidu.com";
inline constexpr const char* kShareHostVariable = "SHAREFETCH_HOST";

// The host to use, without a trailing "/"; nothing, with `error` set, for a value that is not
// an http or https address.
std::optional<std::string> ChooseShareHost(const std::optional<std::string>& option,
                                           std::string* error);

}  // namespace sf
