// Where the running program lives, so it can find the files it ships beside itself.
#pragma once

#include <string>

namespace sf {

// The directory of the running executable (from /proc/self/exe), without a trailing slash;
// empty when the link cannot be read.
std::string ProgramDirectory();

}  // namespace sf
