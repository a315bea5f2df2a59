#pragma once

#include <string>
#include <vector>

#include "cli/terminal_io.h"

namespace sf::cli {

// sharefetch-cli quick [--host URL] [--password TEXT] SHARE
// The quick path to the direct link of a share's first file. Exit status: 0 when a link was
// printed, 1 when none was obtained (end of input at a captcha included), 2 for wrong usage.
int RunQuick(const std::vector<std::string>& args, Streams io);

extern const char* const kQuickUsage;

}  // namespace sf::cli
