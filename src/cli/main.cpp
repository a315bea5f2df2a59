// sharefetch-cli: the terminal front-end.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/download_command.h"

namespace {

constexpr const char* kUsage =
    "Usage: sharefetch-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  download [--dir DIR] [--limit KB] [--name NAME] URL...\n"
    "             download each URL into DIR (default: the current directory), resuming\n"
    "             what an earlier run left; --limit caps all downloads together at KB\n"
    "             kilobytes per second; prints each saved file's path\n"
    "  --help     show this text\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  if (std::strcmp(argv[1], "download") == 0)
    return sf::cli::RunDownload(std::vector<std::string>(argv + 2, argv + argc));
  std::fprintf(stderr, "sharefetch-cli: unknown command '%s'\n%s", argv[1], kUsage);
  return 2;
}
