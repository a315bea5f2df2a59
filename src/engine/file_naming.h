// Turning the name a caller asked for into one that is safe to create inside the chosen
// directory, and the numbered names tried when it is taken.
#pragma once

#include <string>
#include <string_view>

namespace sf::engine {

// Suffixes of the two files kept beside a target while it downloads.
inline constexpr std::string_view kPartSuffix = ".sfpart";
inline constexpr std::string_view kControlSuffix = ".sfctl";

// A single path component: separators and control characters become "_", "." and ".." and
// the empty name are replaced, and the name is shortened (keeping a short extension, never
// splitting a UTF-8 character) so that it, a " (N)" counter and our longest suffix fit in
// `maxBytes`, the file system's name limit.
std::string SafeFileName(std::string_view utf8, size_t maxBytes = 255);

// "name (n).ext" for n >= 1; the name itself for n == 0.
std::string NumberedName(std::string_view name, int n);

}  // namespace sf::engine
