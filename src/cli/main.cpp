// sharefetch-cli: the terminal front-end. Each command is a function that returns the exit
// status, so tests can run it in-process.
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "base/version.h"
#include "cli/download_command.h"
#include "cli/get_command.h"
#include "cli/quick_command.h"
#include "cli/resolve_command.h"
#include "cli/terminal_io.h"

namespace {

constexpr const char* kUsage =
    "Usage: sharefetch-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands (SHARE: a share link, or the text it came in, such as\n"
    "\"链接：… 提取码：…\" or a link with ?pwd=; its code answers the password prompt):\n"
    "  resolve [--host URL] [--password TEXT] [--json] SHARE\n"
    "             resolve a share link into its files and their direct links\n"
    "  quick [--host URL] [--password TEXT] SHARE\n"
    "             print the direct link of the share's first file, the quick way\n"
    "  download [--dir DIR] [--limit KB] [--jobs N] [--name NAME] URL...\n"
    "             download each URL into DIR (default: the current directory), N at a\n"
    "             time (default 3), resuming what an earlier run left; --limit caps all\n"
    "             downloads together at KB kilobytes per second; prints each saved file's\n"
    "             path; a file already complete is not fetched again; Ctrl-C pauses\n"
    "             every download, and the same command resumes them\n"
    "  get [--host URL] [--password TEXT] [--dir DIR] [--limit KB] [--jobs N]\n"
    "      [--include GLOB]... [--exclude GLOB]... [--dry-run] [--json] SHARE...\n"
    "             download every file of a share into DIR in the share's own folders,\n"
    "             N at a time (default 3); GLOBs over paths in the share pick files\n"
    "             (\"*\" and \"?\" within a folder, \"**\" across folders); --dry-run prints\n"
    "             SIZE<TAB>PATH of each file instead; files already whole are skipped,\n"
    "             partial ones resumed, and a refused link is renewed once; with several\n"
    "             shares, each goes into a folder of its own under DIR\n"
    "  get ... --input FILE [SHARE]...\n"
    "             also the shares in FILE, one share text a line (- for standard input;\n"
    "             blank lines and lines starting with # are skipped)\n"
    "  get ... --rpc URL [--rpc-secret TOKEN] [--rpc URL [--rpc-secret TOKEN]]...\n"
    "      [--follow] SHARE\n"
    "             hand the files to aria2 at its JSON-RPC address URL instead, into its\n"
    "             directory or DIR there; prints GID<TAB>PATH of each file it took; several\n"
    "             --rpc share the files by bytes; --follow follows them there to the end,\n"
    "             renewing refused links (--rpc-secret @FILE reads the secret from FILE)\n"
    "  get ... --export FILE SHARE\n"
    "             write the files as an input file for aria2c -i instead (- for standard\n"
    "             output)\n"
    "  --version  print the version and the git commit of the build\n"
    "  --help     show this text\n";

// Other users can read a process's arguments; once copied, the secret's bytes are starred
// over there, as aria2c does with its own.
void HideSecrets(int argc, char** argv) {
  const std::string option = "--rpc-secret";
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    char* value = nullptr;
    if (a == option && i + 1 < argc)
      value = argv[++i];
    else if (a.rfind(option + "=", 0) == 0)
      value = argv[i] + option.size() + 1;
    if (value != nullptr) std::memset(value, '*', std::strlen(value));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + std::min(argc, 2), argv + argc);
  HideSecrets(argc, argv);
  std::string command = argc >= 2 ? argv[1] : "";
  if (command == "resolve") return sf::cli::RunResolve(args, {std::cin, std::cout, std::cerr});
  if (command == "quick") return sf::cli::RunQuick(args, {std::cin, std::cout, std::cerr});
  if (command == "download") return sf::cli::RunDownload(args);
  if (command == "get") return sf::cli::RunGet(args);
  if (command == "--version") {
    std::cout << sf::VersionLine("sharefetch-cli") << "\n";
    return 0;
  }
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return 0;
  }
  if (command.empty())
    sf::cli::Say(std::cerr) << "missing COMMAND\n" << kUsage;
  else
    sf::cli::Say(std::cerr) << "unknown command '" << command << "'\n" << kUsage;
  return 2;
}
