#include "base/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <random>

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

std::string DirectoryOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int ReplaceFile(const std::string& path, std::string_view bytes, unsigned mode) {
  // Whoever can write to the directory could have planted a link under a fixed name.
  static thread_local std::mt19937_64 random{std::random_device{}()};
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(random()));
    temporary = path + suffix;
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST) return errno;
  }
  if (fd < 0) return EEXIST;
  int error = 0;
  while (!bytes.empty() && error == 0) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno != EINTR) error = errno;
    if (n == 0) error = ENOSPC;
    if (n > 0) bytes.remove_prefix(static_cast<size_t>(n));
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temporary.c_str());
  return error;
}

int MakeDirectories(const std::string& path, unsigned mode) {
  if (path.empty()) return ENOENT;
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    // The umask can only take bits away from `mode`.
    if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return errno;
    if (slash == std::string::npos) break;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

}  // namespace sf
