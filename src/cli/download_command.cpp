#include "cli/download_command.h"

#include <unistd.h>

#include <iostream>

#include "base/encoding.h"
#include "base/file_names.h"
#include "cli/command_line.h"
#include "cli/terminal_io.h"
#include "download/download_engine.h"
#include "download/download_manager.h"
#include "engine_api/engine_api.h"
#include "view/failure_text.h"

namespace sf::cli {

const char* const kDownloadUsage =
    "Usage: sharefetch-cli download [--dir DIR] [--limit KB] [--jobs N] [--name NAME] URL...\n"
    "  Downloads each URL into DIR, resuming what an earlier run left behind, and prints the\n"
    "  path of each saved file. A file already complete is not fetched again. Ctrl-C pauses\n"
    "  every download; the same command resumes them.\n"
    "  --dir DIR    where the files go (default: the current directory)\n"
    "  --limit KB   all downloads together at most KB kilobytes per second (0: no limit)\n"
    "  --jobs N     files downloading at once, 1 to 64 (default: 3)\n"
    "  --name NAME  the saved file's name, for a single URL (default: from the address)\n";
namespace {

// Text fields of the task record hold this many UTF-16 units; a longer value would be cut.
constexpr size_t kUrlUnits = layout::TextUnits(layout::param::kUrl);
constexpr size_t kPathUnits = layout::TextUnits(layout::param::kSaveDir);
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string NameFromUrl(std::string_view url) {
  url = url.substr(0, url.find_first_of("?#"));
  size_t scheme = url.find("://");
  if (scheme != std::string_view::npos) {
    url.remove_prefix(scheme + 3);
    size_t slash = url.find('/');
    url = slash == std::string_view::npos ? std::string_view() : url.substr(slash);
  }
  size_t last = url.rfind('/');
  std::string_view segment = last == std::string_view::npos ? url : url.substr(last + 1);
  std::string decoded;
  for (size_t i = 0; i < segment.size(); ++i) {
    if (segment[i] == '%' && i + 2 < segment.size() + 0 && HexValue(segment[i + 1]) >= 0 &&
        HexValue(segment[i + 2]) >= 0) {
      decoded += static_cast<char>(HexValue(segment[i + 1]) * 16 + HexValue(segment[i + 2]));
      i += 2;
    } else {
      decoded += segment[i];
    }
  }
  // Names from servers of the share service's region may be percent-encoded GBK.
  return IsValidUtf8(decoded) ? decoded : GbkToUtf8(decoded);
}

std::optional<DownloadOptions> ParseDownloadArgs(const std::vector<std::string>& args,
                                                 std::string& error) {
  static constexpr OptionSpec kOptions[] = {
      {"--dir", "--dir needs a value"},
      {"--name", "--name needs a value"},
      {"--jobs", "--jobs needs a value"},
      {"--limit", "--limit needs a value"},
  };
  DownloadOptions o;
  GivenOptions given;
  error = ReadOptions(args, kOptions, &given);
  if (!error.empty()) return std::nullopt;
  if (given.help) {
    o.help = true;
    return o;
  }
  o.dir = given.Last("--dir").value_or("");
  o.name = given.Last("--name").value_or("");
  if (std::optional<std::string> jobs = given.Last("--jobs")) {
    std::optional<int> n = ParseJobs(*jobs, error);
    if (!n) return std::nullopt;
    o.jobs = *n;
  }
  if (std::optional<std::string> limit = given.Last("--limit")) {
    o.limitKb = ParseLimitKb(*limit, error);
    if (!o.limitKb) return std::nullopt;
  }
  o.urls = given.operands;
  if (o.urls.empty()) {
    error = "no address given";
    return std::nullopt;
  }
  if (!o.name.empty() && o.urls.size() != 1) {
    error = "--name works with one address only";
    return std::nullopt;
  }
  if (o.name.find('/') != std::string::npos) {
    error = "--name takes a file name, not a path (use --dir for the directory)";
    return std::nullopt;
  }
  for (const auto& u : o.urls) {
    if (Utf8ToUtf16(u).size() > kUrlUnits) {
      error = "address longer than " + std::to_string(kUrlUnits) +
              " characters: " + u.substr(0, 60) + "...";
      return std::nullopt;
    }
  }
  return o;
}

int RunDownloads(DownloadEngine& engine, const DownloadOptions& options, const Console& console,
                 const std::atomic<bool>& interrupted) {
  const std::string dir = AbsoluteDirectory(options.dir);
  if (dir.empty()) {
    Say(console.err) << "cannot read the current directory\n";
    return 1;
  }
  if (Utf8ToUtf16(dir).size() > kPathUnits) {
    Say(console.err) << "directory path longer than " << kPathUnits << " characters: " << dir
                     << "\n";
    return 2;
  }
  std::vector<DownloadRequest> requests;
  for (const auto& url : options.urls) {
    std::string name = options.name.empty() ? NameFromUrl(url) : options.name;
    if (name.empty()) name = "download";
    // A UTF-8 byte never makes more than one UTF-16 unit, so this fits the record's field.
    if (Utf8ToUtf16(name).size() >= kPathUnits) name = ShortenFileName(name, kPathUnits - 1);
    requests.push_back({Utf8ToGbk(name), Utf8ToGbk(url), Utf8ToGbk(dir), "", "", -1});
  }

  DownloadManager downloads(engine);
  if (options.limitKb) downloads.SetSpeedLimit(*options.limitKb);
  downloads.SetJobs(options.jobs);
  for (auto& r : requests) downloads.Add(std::move(r));

  bool failed = false;
  return RunQueue(downloads, console, interrupted,
                  [&](const std::vector<ItemId>& ended,
                      const std::function<void()>& clearDisplay) -> std::optional<int> {
                    for (ItemId id : ended) {
                      const DownloadItem* item = downloads.Find(id);
                      if (item == nullptr) continue;
                      clearDisplay();
                      std::string name = GbkToUtf8(item->Name());
                      if (item->status == DownloadStatus::kFinished) {
                        console.out << dir << "/" << name << "\n";
                        if (item->alreadyComplete)
                          Say(console.err) << name << ": already complete, nothing downloaded\n";
                      } else {
                        failed = true;
                        Say(console.err) << name << ": " << FailureTextEnglish(item->failureCode)
                                         << " (failure code " << item->failureCode << ")\n";
                      }
                    }
                    // One write for the files a turn ended, not one each.
                    console.out.flush();
                    if (!downloads.Idle()) return std::nullopt;
                    return failed ? 1 : 0;
                  });
}

int RunDownload(const std::vector<std::string>& args) {
  std::string error;
  auto options = ParseDownloadArgs(args, error);
  if (!options)
    return UsageError({std::cin, std::cout, std::cerr}, "download", kDownloadUsage, error);
  if (options->help) {
    std::cout << kDownloadUsage;
    return 0;
  }
  EngineLoad load = LoadEngineFromProgramDirectory();
  if (!load.engine) {
    Say(std::cerr) << load.error << "\n";
    return 1;
  }
  InterruptOnSignals();
  Console console{std::cout, std::cerr, ::isatty(STDERR_FILENO) != 0};
  return RunDownloads(*load.engine, *options, console, InterruptedFlag());
}

}  // namespace sf::cli
