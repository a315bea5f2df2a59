// `sharefetch-cli download`: downloads addresses through the core's download queue, a few at a
// time, with a progress display, and resumes what an earlier run left behind.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/queue_console.h"

namespace sf {

class DownloadEngine;

namespace cli {

struct DownloadOptions {
  std::string dir;  // UTF-8; empty: the current directory
  std::optional<int32_t> limitKb;
  std::string name;  // UTF-8; empty: from the address
  int jobs = 3;      // downloads running at once
  std::vector<std::string> urls;
  bool help = false;  // --help: nothing else was read
};

extern const char* const kDownloadUsage;

// Parses the arguments after "download". Gives nothing and an explanation on bad input.
std::optional<DownloadOptions> ParseDownloadArgs(const std::vector<std::string>& args,
                                                 std::string& error);

// The last segment of the address's path, percent-decoded, as UTF-8 (or the raw bytes when
// they are not UTF-8); empty when the path has none.
std::string NameFromUrl(std::string_view url);

// Runs the downloads to their end and gives the exit status. When `interrupted` turns true, every
// download is paused, so its bytes stay for the next run, and the status is 130.
int RunDownloads(DownloadEngine& engine, const DownloadOptions& options, const Console& console,
                 const std::atomic<bool>& interrupted);

// The command as main() calls it, with the arguments after "download".
int RunDownload(const std::vector<std::string>& args);

}  // namespace cli
}  // namespace sf
