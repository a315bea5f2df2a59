#pragma once

#include <string>
#include <string_view>

namespace sf {

// Standard Base64 (RFC 4648 alphabet, "=" padding); empty input gives empty text.
std::string Base64Encode(std::string_view bytes);

}  // namespace sf
