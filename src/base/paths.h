// Where the running program lives, so it can find the files it ships beside itself, and the
// file-system helpers the programs share for the files they write.
#pragma once

#include <string>
#include <string_view>

namespace sf {

// The directory of the running executable (from /proc/self/exe), without a trailing slash;
// empty when the link cannot be read.
std::string ProgramDirectory();

// The private library directory of an installed program: <prefix>/lib/sharefetch for a program
// in <prefix>/bin; empty for a program directory not named bin.
std::string InstalledLibraryDirectory(const std::string& programDirectory);

// The directory part of `path`: "." for a bare name, "/" for a name at the root.
std::string DirectoryOf(const std::string& path);

// Replaces the file at `path` with `bytes` through a new temporary file beside it, under a name
// nobody can foresee, and a rename: a failed write leaves the old file whole, and a link
// planted beside it is never written through. The file then has no permission bits beyond
// `mode`. 0, or the errno value of what failed.
int ReplaceFile(const std::string& path, std::string_view bytes, unsigned mode);

// Makes the directory `path` and those above it that are missing, each new one with no
// permission bits beyond `mode` whatever the umask; directories that exist stay as they are.
// 0, or the errno value of what failed.
int MakeDirectories(const std::string& path, unsigned mode);

}  // namespace sf
