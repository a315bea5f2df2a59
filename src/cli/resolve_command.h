#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace sf::cli {

// The program's three streams; tests run commands in-process with their own.
struct Streams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

// sharefetch-cli resolve [--host URL] [--password TEXT] [--json] SHARE_URL
// Exit status: 0 when the share resolved, 1 when it did not (a declined prompt included),
// 2 for wrong usage.
int RunResolve(const std::vector<std::string>& args, Streams io);

extern const char* const kResolveUsage;

}  // namespace sf::cli
