// sharefetch-cli: the terminal front-end. Each command is a function that returns the exit
// status, so tests can run it in-process.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cli/resolve_command.h"

namespace {

constexpr const char* kUsage =
    "Usage: sharefetch-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  resolve   resolve a share link into its files and their direct links\n"
    "\n"
    "Run 'sharefetch-cli COMMAND --help' for a command's options.\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + std::min(argc, 2), argv + argc);
  sf::cli::Streams io{std::cin, std::cout, std::cerr};
  std::string command = argc >= 2 ? argv[1] : "";
  if (command == "resolve") return sf::cli::RunResolve(args, io);
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return 0;
  }
  if (command.empty()) std::cerr << "sharefetch-cli: missing COMMAND\n" << kUsage;
  else std::cerr << "sharefetch-cli: unknown command '" << command << "'\n" << kUsage;
  return 2;
}
