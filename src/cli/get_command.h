// `sharefetch-cli get`: a whole share onto disk in one command. It resolves the share as
// `resolve` does (the same prompts and status lines), keeps the share's folders under DIR,
// downloads through the queue a few files at a time with the live display of `download`,
// skips what an earlier run finished, resumes what it left, and asks the share once for a
// fresh link when a file server refuses one.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "cli/terminal_io.h"

namespace sf {

class DownloadEngine;

namespace cli {

extern const char* const kGetUsage;

// The command with the arguments after "get". `engine` is asked for only when there is
// something to download; it gives null (with a message) when the engine cannot be loaded.
// `live`: draw the live display (standard error is a terminal).
int RunGet(const std::vector<std::string>& args, Streams io,
           const std::function<DownloadEngine*(std::string& error)>& engine, bool live,
           const std::atomic<bool>& interrupted);

// The command as main() calls it.
int RunGet(const std::vector<std::string>& args);

}  // namespace cli
}  // namespace sf
