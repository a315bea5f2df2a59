// Globs over "/"-separated paths, as a user picks files of a share: "*" and "?" stay within
// one segment, "**" crosses segments, and "**/" also matches no folder at all ("a/**/b"
// matches "a/b"). Everything else matches itself, byte for byte; "?" takes one UTF-8
// character.
#pragma once

#include <string_view>

namespace sf {

bool GlobMatch(std::string_view pattern, std::string_view path);

}  // namespace sf
