// The program's version and the git commit it was built from, for --version and the About box.
// They live in a library of their own that only the two programs link, so a new commit
// recompiles one file and relinks two programs.
#pragma once

#include <string>

namespace sf {

// The version of the build, e.g. "0.1.0".
const char* VersionNumber();

// The commit the program was built from (12 hex digits); empty when it was built outside git.
const char* GitCommit();

// "PROGRAM 0.1.0 (commit 1a2b3c4d5e6f)", without the parenthesis when the commit is unknown.
std::string VersionLine(const std::string& program);

}  // namespace sf
