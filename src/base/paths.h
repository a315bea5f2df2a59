// Where the running program lives, so it can find the files it ships beside itself.
#pragma once

#include <string>

namespace sf {

// The directory of the running executable (from /proc/self/exe), without a trailing slash;
// empty when the link cannot be read.
std::string ProgramDirectory();

// The private library directory of an installed program: <prefix>/lib/sharefetch for a program
// in <prefix>/bin; empty for a program directory not named bin.
std::string InstalledLibraryDirectory(const std::string& programDirectory);

}  // namespace sf
