#include "cli/download_command.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#include "base/encoding.h"
#include "base/file_names.h"
#include "base/text.h"
#include "download/download_engine.h"
#include "download/engine_api.h"
#include "download/task_records.h"

namespace sf::cli {
namespace {

// Text fields of the task record hold this many UTF-16 units; a longer value would be cut.
constexpr size_t kUrlUnits = 2084;
constexpr size_t kPathUnits = 260;

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

std::string Duration(int64_t seconds) {
  char buf[32];
  if (seconds >= 3600)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  else
    std::snprintf(buf, sizeof buf, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  return buf;
}

std::string FailureText(int32_t code) {
  if (code >= 400) return "HTTP " + std::to_string(code);
  if (code == EBUSY) return "in use by another download";
  if (code == ENOSPC) return "disk full";
  if (code > 0) return std::strerror(code);
  return "failed";
}

int32_t StartedOver(TaskInfoRecord& info) {
  const uint8_t* at = info.Address() + layout::info::kStartedOver.offset;
  return static_cast<int32_t>(at[0] | (at[1] << 8) | (at[2] << 16) |
                              (static_cast<uint32_t>(at[3]) << 24));
}

struct Job {
  std::string name;  // UTF-8
  int32_t handle = 0;
  int32_t state = layout::kStatePaused;
  int32_t failure = 0;
  int64_t size = 0;
  int64_t done = 0;
  float progress = 0;
  int32_t speed = 0;
  int32_t startedOver = 0;
  bool reported = false;
};

std::string Line(const Job& j) {
  std::string line = j.name + "  ";
  switch (j.state) {
    case layout::kStateFinished:
      return line + "done, " + Size(j.size);
    case layout::kStateFailed:
      return line + "failed: " + FailureText(j.failure);
    case layout::kStateRequesting:
      return line + "requesting...";
    case layout::kStatePaused:
      return line + "waiting";
    default:
      break;
  }
  char pct[16];
  std::snprintf(pct, sizeof pct, "%5.1f%%", static_cast<double>(j.progress) * 100.0);
  line += Size(j.done) + " / " + (j.size > 0 ? Size(j.size) : std::string("?")) + "  " + pct +
          "  " + Size(j.speed) + "/s";
  if (j.speed > 0 && j.size > 0 && j.size >= j.done)
    line += "  " + Duration((j.size - j.done) / j.speed) + " left";
  return line;
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
  engine.Init();
  if (options.limitKb) engine.SetSpeedLimit(*options.limitKb);

  std::vector<Job> jobs;
  TaskParamRecord param;
  for (const auto& url : options.urls) {
    Job j;
    j.name = options.name.empty() ? NameFromUrl(url) : options.name;
    if (j.name.empty()) j.name = "download";
    // A UTF-8 byte never makes more than one UTF-16 unit, so this fits the record's field.
    if (Utf8ToUtf16(j.name).size() >= kPathUnits) j.name = ShortenFileName(j.name, kPathUnits - 1);
    if (param.Init(Utf8ToGbk(url), "", "", Utf8ToGbk(j.name), Utf8ToGbk(dir), false, true, true) ==
        nullptr) {
      std::fprintf(console.err, "sharefetch-cli: out of memory\n");
      return 1;
    }
    j.handle = engine.CreateTask(param.Address());
    if (j.handle == 0) {
      std::fprintf(console.err, "sharefetch-cli: the engine refused %s\n", url.c_str());
      j.state = layout::kStateFailed;
      j.reported = true;
    } else {
      engine.StartTask(j.handle);
    }
    jobs.push_back(j);
  }

  TaskInfoRecord info;
  info.Init();
  size_t drawn = 0;
  auto lastPlain = std::chrono::steady_clock::now();
  bool failed = false;
  while (true) {
    bool allEnded = true;
    std::vector<std::string> notes;
    for (auto& j : jobs) {
      if (!j.reported && engine.QueryTaskInfoEx(j.handle, info.Address()) != 0) {
        if (StartedOver(info) > j.startedOver) {
          j.startedOver = StartedOver(info);
          notes.push_back(
              "sharefetch-cli: " + j.name +
              ": cannot continue the partial download; starting over from the beginning");
        }
        j.state = info.State();
        j.failure = info.FailureCode();
        j.size = info.TotalSize();
        j.done = info.Downloaded();
        j.progress = info.Progress();
        j.speed = info.Speed();
        std::string saved = GbkToUtf8(info.FileName());
        if (!saved.empty()) j.name = saved;
      }
      if (j.state == layout::kStateFailed) failed = true;
      if (j.state != layout::kStateFinished && j.state != layout::kStateFailed) allEnded = false;
    }
    bool stop = allEnded || interrupted;
    if (console.live) {
      // Notes go above the display, which is drawn again below them.
      if (drawn > 0) std::fprintf(console.err, "\x1b[%zuA", drawn);
      for (const auto& n : notes) std::fprintf(console.err, "\r\x1b[2K%s\n", n.c_str());
      for (const auto& j : jobs) std::fprintf(console.err, "\r\x1b[2K%s\n", Line(j).c_str());
      drawn = jobs.size();
      std::fflush(console.err);
    } else {
      for (const auto& n : notes) std::fprintf(console.err, "%s\n", n.c_str());
      auto now = std::chrono::steady_clock::now();
      if (stop || now - lastPlain >= std::chrono::seconds(console.plainEverySeconds)) {
        lastPlain = now;
        for (const auto& j : jobs)
          if (!j.reported) std::fprintf(console.err, "%s\n", Line(j).c_str());
        std::fflush(console.err);
      }
    }
    for (auto& j : jobs) {
      if (j.reported) continue;
      if (j.state == layout::kStateFinished) {
        std::fprintf(console.out, "%s/%s\n", dir.c_str(), j.name.c_str());
        std::fflush(console.out);
        j.reported = true;
      } else if (j.state == layout::kStateFailed) {
        std::fprintf(console.err, "sharefetch-cli: %s: %s (failure code %d)\n", j.name.c_str(),
                     FailureText(j.failure).c_str(), j.failure);
        j.reported = true;
      }
    }
    if (allEnded) return failed ? 1 : 0;
    if (interrupted) {
      std::fprintf(console.err, "sharefetch-cli: stopped; run the same command again to resume\n");
      return 130;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(console.live ? 250 : 100));
  }
}

int RunDownload(const std::vector<std::string>& args) {
  std::string error;
  auto options = ParseDownloadArgs(args, error);
  if (!options) {
    std::fprintf(stderr,
                 "sharefetch-cli download: %s\n"
                 "Usage: sharefetch-cli download [--dir DIR] [--limit KB] [--name NAME] URL...\n",
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
