#include "base/paths.h"

#include <unistd.h>

#include <climits>

namespace sf {

std::string ProgramDirectory() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<size_t>(n));
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string InstalledLibraryDirectory(const std::string& programDirectory) {
  std::string dir = programDirectory;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  auto slash = dir.rfind('/');
  if (slash == std::string::npos || dir.compare(slash + 1, std::string::npos, "bin") != 0)
    return {};
  return dir.substr(0, slash) + "/lib/sharefetch";
}

}  // namespace sf
