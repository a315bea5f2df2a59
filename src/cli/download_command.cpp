#include "cli/download_command.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <map>
#include <thread>

#include "base/encoding.h"
#include "base/file_names.h"
#include "base/text.h"
#include "download/download_engine.h"
#include "download/download_list.h"
#include "download/download_queue.h"
#include "download/engine_api.h"
#include "download/failure_text.h"

namespace sf::cli {
namespace {

// Text fields of the task record hold this many UTF-16 units; a longer value would be cut.
constexpr size_t kUrlUnits = 2084;
constexpr size_t kPathUnits = 260;
constexpr int kMaxJobs = 64;

std::atomic<bool> gInterrupted{false};

void OnSignal(int) {
  gInterrupted = true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Size(int64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1024 && u < 4) {
    v /= 1024;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
  return buf;
}

// One line per running file.
std::string Line(const DownloadItem& item) {
  std::string line = GbkToUtf8(item.Name()) + "  ";
  switch (item.status) {
    case DownloadStatus::kRequesting:
      return line + "requesting...";
    case DownloadStatus::kPaused:
      return line + "paused";
    case DownloadStatus::kQueued:
      return line + "waiting";
    default:
      break;
  }
  int64_t size = item.KnownSize();
  char pct[16];
  std::snprintf(pct, sizeof pct, "%5.1f%%", static_cast<double>(item.progress) * 100.0);
  line += Size(item.done) + " / " + (size >= 0 ? Size(size) : std::string("?")) + "  " + pct +
          "  " + Size(item.speed) + "/s";
  if (item.etaSeconds >= 0) line += "  " + DurationText(item.etaSeconds) + " left";
  return line;
}

// "2/5 files, 12.0 MiB of 40.0 MiB, 3.2 MiB/s, 0:09 left"
std::string TotalLine(const DownloadTotals& t) {
  return std::to_string(t.filesDone) + "/" + std::to_string(t.files) + " files, " +
         Size(t.bytesDone) + " of " + (t.allSizesKnown ? Size(t.bytesTotal) : std::string("?")) +
         ", " + Size(t.speed) + "/s, " +
         (t.etaSeconds >= 0 ? DurationText(t.etaSeconds) : std::string("--:--")) + " left";
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The live display: redrawn in place on the error stream, below whatever was printed before.
class LiveDisplay {
 public:
  explicit LiveDisplay(FILE* err) : err_(err) {}
  // Moves back to where the display began and clears it, so other lines can be printed there.
  void Erase() {
    if (drawn_ > 0) std::fprintf(err_, "\x1b[%zuA\r\x1b[J", drawn_);
    drawn_ = 0;
  }
  void Draw(const DownloadQueue& queue) {
    Erase();
    for (const DownloadItem& item : queue.Items()) {
      if (item.Ended() || item.status == DownloadStatus::kQueued) continue;
      std::fprintf(err_, "\x1b[2K%s\n", Line(item).c_str());
      ++drawn_;
    }
    std::fprintf(err_, "\x1b[2K%s\n", TotalLine(queue.Totals()).c_str());
    ++drawn_;
    std::fflush(err_);
  }

 private:
  FILE* err_;
  size_t drawn_ = 0;
};

bool AllEnded(const DownloadQueue& queue) {
  for (const DownloadItem& item : queue.Items())
    if (!item.Ended()) return false;
  return true;
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
  DownloadOptions o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* flag) -> std::optional<std::string> {
      if (i + 1 >= args.size()) {
        error = std::string(flag) + " needs a value";
        return std::nullopt;
      }
      return args[++i];
    };
    if (a == "--dir") {
      auto v = value("--dir");
      if (!v) return std::nullopt;
      o.dir = *v;
    } else if (a == "--name") {
      auto v = value("--name");
      if (!v) return std::nullopt;
      o.name = *v;
    } else if (a == "--jobs") {
      auto v = value("--jobs");
      if (!v) return std::nullopt;
      if (v->empty() || v->size() > 3 || v->find_first_not_of("0123456789") != std::string::npos ||
          ReadInteger(*v) < 1 || ReadInteger(*v) > kMaxJobs) {
        error = "--jobs takes how many downloads run at once, 1 to " + std::to_string(kMaxJobs);
        return std::nullopt;
      }
      o.jobs = static_cast<int>(ReadInteger(*v));
    } else if (a == "--limit") {
      auto v = value("--limit");
      if (!v) return std::nullopt;
      if (v->empty() || v->find_first_not_of("0123456789") != std::string::npos ||
          ReadInteger(*v) > INT32_MAX) {
        error = "--limit takes kilobytes per second, a whole number (0: no limit)";
        return std::nullopt;
      }
      o.limitKb = static_cast<int32_t>(ReadInteger(*v));
    } else if (a.size() > 1 && a[0] == '-') {
      error = "unknown option " + a;
      return std::nullopt;
    } else {
      o.urls.push_back(a);
    }
  }
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
  std::string dir = options.dir;
  if (dir.empty() || dir[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
      std::fprintf(console.err, "sharefetch-cli: cannot read the current directory\n");
      return 1;
    }
    dir = dir.empty() ? std::string(cwd) : std::string(cwd) + "/" + dir;
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (Utf8ToUtf16(dir).size() > kPathUnits) {
    std::fprintf(console.err, "sharefetch-cli: directory path longer than %zu characters: %s\n",
                 kPathUnits, dir.c_str());
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

  engine.Init();
  if (options.limitKb) engine.SetSpeedLimit(*options.limitKb);
  DownloadQueue queue(engine);
  queue.SetMaxRunning(options.jobs);
  for (auto& r : requests) queue.Add(std::move(r));

  LiveDisplay live(console.err);
  auto lastPlain = std::chrono::steady_clock::now();
  bool failed = false;
  std::map<int, int32_t> startedOver;  // as last reported, per item
  while (true) {
    std::vector<int> ended = queue.Poll(NowMs());
    if (console.live) live.Erase();
    for (const DownloadItem& item : queue.Items()) {
      int32_t& seen = startedOver[item.id];
      if (item.startedOver > seen)
        std::fprintf(console.err,
                     "sharefetch-cli: %s: cannot continue the partial download; starting over "
                     "from the beginning\n",
                     GbkToUtf8(item.Name()).c_str());
      seen = std::max(seen, item.startedOver);
    }
    for (int id : ended) {
      const DownloadItem* item = queue.Find(id);
      if (item == nullptr) continue;
      std::string name = GbkToUtf8(item->Name());
      if (item->status == DownloadStatus::kFinished) {
        std::fprintf(console.out, "%s/%s\n", dir.c_str(), name.c_str());
        std::fflush(console.out);
        if (item->alreadyComplete)
          std::fprintf(console.err, "sharefetch-cli: %s: already complete, nothing downloaded\n",
                       name.c_str());
      } else {
        failed = true;
        std::fprintf(console.err, "sharefetch-cli: %s: %s (failure code %d)\n", name.c_str(),
                     FailureTextEnglish(item->failureCode).c_str(), item->failureCode);
      }
    }
    bool done = AllEnded(queue);
    if (console.live) {
      live.Draw(queue);
    } else {
      auto now = std::chrono::steady_clock::now();
      if (!done && now - lastPlain >= std::chrono::seconds(console.plainEverySeconds)) {
        lastPlain = now;
        for (const DownloadItem& item : queue.Items())
          if (!item.Ended() && item.status != DownloadStatus::kQueued)
            std::fprintf(console.err, "%s\n", Line(item).c_str());
        std::fprintf(console.err, "%s\n", TotalLine(queue.Totals()).c_str());
      }
    }
    std::fflush(console.err);
    if (done) return failed ? 1 : 0;
    if (interrupted) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(console.live ? 250 : 100));
  }

  // Paused rather than dropped: each task closes its connections and records what is on disk,
  // so the same command resumes. The engine says so by reporting the paused state.
  std::vector<int> ids;
  for (const DownloadItem& item : queue.Items()) ids.push_back(item.id);
  queue.Pause(ids);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < until) {
    queue.Poll(NowMs());
    bool settled = true;
    for (const DownloadItem& item : queue.Items())
      if (item.handle != 0 && !item.Ended() && item.engineState != layout::kStatePaused)
        settled = false;
    if (settled) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (console.live) live.Draw(queue);
  std::fprintf(console.err, "sharefetch-cli: paused; run the same command again to resume\n");
  return 130;
}

int RunDownload(const std::vector<std::string>& args) {
  std::string error;
  auto options = ParseDownloadArgs(args, error);
  if (!options) {
    std::fprintf(stderr,
                 "sharefetch-cli download: %s\n"
                 "Usage: sharefetch-cli download [--dir DIR] [--limit KB] [--jobs N] [--name NAME] "
                 "URL...\n",
                 error.c_str());
    return 2;
  }
  EngineLoad load = LoadEngineFromProgramDirectory();
  if (!load.engine) {
    std::fprintf(stderr, "sharefetch-cli: %s\n", load.error.c_str());
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // A file-size limit fails the download with EFBIG instead of killing the program.
  signal(SIGXFSZ, SIG_IGN);
  Console console;
  console.live = ::isatty(STDERR_FILENO) != 0;
  return RunDownloads(*load.engine, *options, console, gInterrupted);
}

}  // namespace sf::cli
