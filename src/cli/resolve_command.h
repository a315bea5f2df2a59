#pragma once

#include <string>
#include <vector>

#include "cli/terminal_io.h"

namespace sf::cli {

// sharefetch-cli resolve [--host URL] [--password TEXT] [--json] SHARE
// Exit status: 0 when the share resolved, 1 when it did not (a declined prompt included),
// 2 for wrong usage.
int RunResolve(const std::vector<std::string>& args, Streams io);

extern const char* const kResolveUsage;

}  // namespace sf::cli
