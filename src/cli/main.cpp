// sharefetch-cli: the terminal front-end.
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kUsage =
    "Usage: sharefetch-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  --help     show this text\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::fprintf(stderr, "sharefetch-cli: unknown command '%s'\n%s", argv[1], kUsage);
  return 2;
}
