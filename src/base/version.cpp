#include "base/version.h"

#include "sf_git_commit.h"

namespace sf {

const char* VersionNumber() {
  return SF_VERSION;
}

const char* GitCommit() {
  return SF_GIT_COMMIT;
}

std::string VersionLine(const std::string& program) {
  std::string line = program + " " + VersionNumber();
  if (GitCommit()[0] != 0) line += std::string(" (commit ") + GitCommit() + ")";
  return line;
}

}  // namespace sf
