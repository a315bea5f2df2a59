#include "service/web_files.h"

#include <filesystem>
#include <system_error>

#include "base/paths.h"
#include "service/request_checks.h"

namespace sf::service {
namespace fs = std::filesystem;

namespace {

bool HasPage(const std::string& directory) {
  std::error_code error;
  return fs::is_regular_file(fs::path(directory) / "index.html", error);
}

}  // namespace

std::string WebDirectory(const std::string& programDirectory) {
  if (programDirectory.empty()) return {};
  std::string beside = programDirectory + "/web";
  if (HasPage(beside)) return beside;
  // <prefix>/lib/sharefetch for <prefix>/bin: the page is under <prefix>/share instead.
  std::string library = InstalledLibraryDirectory(programDirectory);
  if (library.empty()) return {};
  std::string prefix = DirectoryOf(DirectoryOf(library));
  std::string installed = (prefix == "/" ? "" : prefix) + "/share/sharefetch/web";
  return HasPage(installed) ? installed : std::string();
}

std::map<std::string, std::string> WebFiles(const std::string& directory) {
  std::map<std::string, std::string> files;
  if (directory.empty()) return files;
  std::error_code error;
  fs::recursive_directory_iterator it(directory, error), end;
  for (; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!name.empty() && name[0] == '.') {
      if (it->is_directory(error)) it.disable_recursion_pending();
      continue;
    }
    // A link could lead anywhere on the machine: only the page's own files are served.
    if (it->is_symlink(error) || !it->is_regular_file(error)) continue;
    std::string relative = it->path().lexically_relative(directory).generic_string();
    if (StaticName("/" + relative) == relative) files.emplace(relative, it->path().string());
  }
  return files;
}

}  // namespace sf::service
