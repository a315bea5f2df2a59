#include "cli/get_command.h"

#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

#include "base/encoding.h"
#include "base/text.h"
#include "cli/get_remote.h"
#include "cli/queue_console.h"
#include "cli/terminal_prompts.h"
#include "download/download_engine.h"
#include "download/failure_text.h"
#include "download/share_download.h"
#include "share/resolve_driver.h"

namespace sf::cli {

const char* const kGetUsage =
    "Usage: sharefetch-cli get [--host URL] [--password TEXT] [--dir DIR] [--limit KB] [--jobs N]\n"
    "                          [--include GLOB]... [--exclude GLOB]... [--dry-run] [--json]\n"
    "                          [--rpc URL [--rpc-secret TOKEN] | --export FILE] SHARE_URL\n"
    "  Downloads every file of a share into DIR, in the share's own folders.\n"
    "  --host URL       the share service's web host (default: $SHAREFETCH_HOST, else the "
    "service)\n"
    "  --password TEXT  answers the first extraction-password prompt\n"
    "  --dir DIR        where the share's folders go (default: the current directory)\n"
    "  --limit KB       all downloads together at most KB kilobytes per second (0: no limit)\n"
    "  --jobs N         files downloading at once, 1 to 64 (default: 3)\n"
    "  --include GLOB   only files whose path in the share matches; \"*\" and \"?\" stay within\n"
    "                   a folder, \"**\" crosses folders; may be given again\n"
    "  --exclude GLOB   no file whose path in the share matches; may be given again\n"
    "  --dry-run        print SIZE<TAB>PATH of each file it would take, download nothing\n"
    "  --json           print one JSON object at the end instead of the saved paths\n"
    "  --rpc URL        hand the files to aria2 at this JSON-RPC address instead, e.g.\n"
    "                   http://127.0.0.1:6800/jsonrpc; DIR is then its directory (default:\n"
    "                   aria2's own); prints GID<TAB>PATH of each file it took\n"
    "  --rpc-secret TOKEN  aria2's --rpc-secret\n"
    "  --export FILE    write the files as an input file for aria2c -i instead (- for standard\n"
    "                   output); DIR is where aria2c puts them (default: where it runs)\n";

namespace {

struct GetOptions {
  ShareCommandArgs share;
  std::string dir;
  std::optional<int32_t> limitKb;
  int jobs = 3;
  bool jobsGiven = false;
  ShareFilter filter;
  bool dryRun = false;
  RemoteOptions remote;
  bool secretGiven = false;
};

// What the options for another downloader exclude. Never names the secret's value.
std::string RemoteProblem(const GetOptions& o) {
  const RemoteOptions& r = o.remote;
  if (o.secretGiven && r.rpc.empty()) return "--rpc-secret goes with --rpc";
  if (!r.wanted()) return {};
  if (!r.rpc.empty() && !r.exportTo.empty()) return "--rpc and --export cannot go together";
  if (o.dryRun || o.limitKb || o.jobsGiven)
    return "--dry-run, --limit and --jobs are for downloads on this machine";
  if (!r.exportTo.empty() && o.share.json) return "--json goes with --rpc, not with --export";
  if (!r.rpc.empty() && !StartsWithIgnoreCase(r.rpc, "http://") &&
      !StartsWithIgnoreCase(r.rpc, "https://"))
    return "--rpc needs an http:// or https:// address";
  if (HasControlCharacters(r.rpc)) return "--rpc holds a control character";
  if (HasControlCharacters(r.secret)) return "--rpc-secret holds a control character";
  return {};
}

// Takes get's own options out of `args` and leaves the share options to the shared parser.
std::optional<int> ParseGetArgs(const std::vector<std::string>& args, Streams io, GetOptions* o) {
  auto fail = [&](const std::string& problem) {
    io.err << "sharefetch-cli get: " << problem << "\n" << kGetUsage;
    return 2;
  };
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto take = [&](std::string_view name, std::string* into) {
      return TakeOptionValue(args, i, name, into);
    };
    std::string value, error;
    int taken = 0;
    if (a == "--dry-run") {
      o->dryRun = true;
    } else if ((taken = take("--dir", &value)) != 0) {
      if (taken < 0 || value.empty()) return fail("--dir needs a directory");
      o->dir = value;
    } else if ((taken = take("--limit", &value)) != 0) {
      std::optional<int32_t> limit = taken < 0 ? std::nullopt : ParseLimitKb(value, error);
      if (!limit) return fail(taken < 0 ? "--limit needs a value" : error);
      o->limitKb = limit;
    } else if ((taken = take("--jobs", &value)) != 0) {
      std::optional<int> jobs = taken < 0 ? std::nullopt : ParseJobs(value, error);
      if (!jobs) return fail(taken < 0 ? "--jobs needs a value" : error);
      o->jobs = *jobs;
      o->jobsGiven = true;
    } else if ((taken = take("--include", &value)) != 0) {
      if (taken < 0 || value.empty()) return fail("--include needs a glob");
      o->filter.include.push_back(value);
    } else if ((taken = take("--exclude", &value)) != 0) {
      if (taken < 0 || value.empty()) return fail("--exclude needs a glob");
      o->filter.exclude.push_back(value);
    } else if ((taken = take("--rpc", &value)) != 0) {
      if (taken < 0 || value.empty()) return fail("--rpc needs an address");
      o->remote.rpc = value;
    } else if ((taken = take("--rpc-secret", &value)) != 0) {
      if (taken < 0) return fail("--rpc-secret needs a value");
      o->remote.secret = value;
      o->secretGiven = true;
    } else if ((taken = take("--export", &value)) != 0) {
      if (taken < 0 || value.empty())
        return fail("--export needs a file, or - for standard output");
      o->remote.exportTo = value;
    } else {
      rest.push_back(a);
    }
  }
  if (std::optional<int> status =
          ParseShareCommandArgs(rest, "get", kGetUsage, true, io, &o->share))
    return status;
  if (std::string problem = RemoteProblem(*o); !problem.empty()) return fail(problem);
  o->remote.dir = o->dir;
  o->remote.json = o->share.json;
  return std::nullopt;
}

const char* StatusWord(ShareFileStatus status) {
  switch (status) {
    case ShareFileStatus::kDone:
      return "done";
    case ShareFileStatus::kSkipped:
      return "skipped";
    default:
      return "failed";
  }
}

std::string Reason(const ShareFile& f) {
  if (!f.problem.empty()) return f.problem;
  if (f.failureCode != 0)
    return FailureTextEnglish(f.failureCode) + (f.renewed ? ", with a fresh link too" : "");
  return f.Ended() ? "failed" : "stopped before it ended";
}

}  // namespace

int RunGet(const std::vector<std::string>& args, Streams io,
           const std::function<DownloadEngine*(std::string& error)>& engineFor, bool live,
           const std::atomic<bool>& interrupted) {
  GetOptions o;
  if (std::optional<int> status = ParseGetArgs(args, io, &o)) return *status;
  // Another downloader's directory is its own: it is passed on as given.
  std::string dir = o.remote.wanted() ? o.dir : AbsoluteDirectory(o.dir);
  if (!o.remote.wanted() && dir.empty()) {
    io.err << "sharefetch-cli: cannot read the current directory\n";
    return 1;
  }

  ShareSession session(o.share.host);
  TerminalPrompts prompts(io, o.share.password
                                  ? std::optional<std::string>(Utf8ToGbk(*o.share.password))
                                  : std::nullopt);
  TerminalView view(io);
  ResolveDriver driver(session, prompts, view);
  const std::string shareUrl = Utf8ToGbk(o.share.url);
  const int result = driver.Run([&] { return shareUrl; });
  // What was found is taken in any case; folders left out make the run a failure.
  const bool resolved = driver.complete();
  const std::vector<FileEntry>& entries = driver.entries();
  const std::vector<size_t> chosen = ChooseFiles(entries, o.filter);

  nlohmann::ordered_json doc;
  doc["result"] = result;
  doc["message"] = GbkToUtf8(session.ErrorMessage(result));
  doc["complete"] = resolved;
  doc["missing_folders"] = nlohmann::ordered_json::array();
  for (const MissingFolder& f : driver.missingFolders())
    doc["missing_folders"].push_back(
        {{"path", GbkToUtf8(f.path)}, {"reason", GbkToUtf8(f.reason)}});
  doc["files"] = nlohmann::ordered_json::array();
  if (o.remote.wanted()) return HandOffShare(o.remote, doc, resolved, entries, chosen, io);
  if (o.dryRun) {
    for (size_t i : chosen) {
      const FileEntry& e = entries[i];
      if (o.share.json)
        doc["files"].push_back({{"share_path", SharePathOf(e)}, {"size", SizeOf(e)}});
      else
        io.out << EscapeForTerminal(GbkToUtf8(e.size)) << '\t' << EscapeForTerminal(SharePathOf(e))
               << '\n';
    }
    if (o.share.json)
      io.out << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    if (!resolved) io.err << "sharefetch-cli: the share did not resolve completely\n";
    return resolved ? 0 : 1;
  }

  std::error_code ec;
  if (!chosen.empty()) std::filesystem::create_directories(dir, ec);
  if (ec) {
    io.err << "sharefetch-cli: " << dir << ": " << ec.message() << "\n";
    return 1;
  }
  std::string engineError;
  DownloadEngine* engine = chosen.empty() ? nullptr : engineFor(engineError);
  if (!chosen.empty() && engine == nullptr) {
    io.err << "sharefetch-cli: " << engineError << "\n";
    return 1;
  }
  std::optional<DownloadQueue> queue;
  std::optional<ShareDownload> share;
  if (engine != nullptr) {
    engine->Init();
    if (o.limitKb) engine->SetSpeedLimit(*o.limitKb);
    queue.emplace(*engine);
    queue->SetMaxRunning(o.jobs);
    share.emplace(*queue);
    share->Add(entries, chosen, dir);
  }

  int done = 0, skipped = 0, failed = 0;
  auto report = [&](const ShareFile& f) {
    if (f.status == ShareFileStatus::kFailed || f.status == ShareFileStatus::kGone) {
      ++failed;
      io.err << "sharefetch-cli: " << EscapeForTerminal(f.plan.sharePath) << ": "
             << EscapeForTerminal(Reason(f)) << "\n";
      return;
    }
    ++(f.status == ShareFileStatus::kDone ? done : skipped);
    if (!o.share.json) io.out << EscapeForTerminal(f.SavedPath()) << "\n" << std::flush;
  };
  // Renewing asks the share, and perhaps the user, while the other downloads go on.
  auto renew = [&](size_t i) {
    const ShareFile& f = share->Files()[i];
    io.err << "sharefetch-cli: " << EscapeForTerminal(f.plan.sharePath) << ": "
           << FailureTextEnglish(f.failureCode) << "; asking the share for a fresh link\n";
    FileEntry entry = f.entry;
    int code = driver.RenewLink(entry, shareUrl);
    std::string why;
    if (code != 0) why = "no fresh link: " + GbkToUtf8(session.ErrorMessage(code));
    share->Renew(i, code == 0 ? entry.dlink : std::string(), why);
  };
  int status = resolved ? 0 : 1;
  if (share) {
    Console console{io.out, io.err, live};
    status = RunQueue(*queue, console, interrupted,
                      [&](const std::vector<int>&,
                          const std::function<void()>& clearDisplay) -> std::optional<int> {
                        std::vector<size_t> refused = share->Update();
                        std::vector<size_t> ended = share->TakeEnded();
                        if (!refused.empty() || !ended.empty()) clearDisplay();
                        for (size_t i : refused) renew(i);
                        for (size_t i : ended) report(share->Files()[i]);
                        for (size_t i : share->TakeEnded()) report(share->Files()[i]);
                        if (!share->Ended()) return std::nullopt;
                        return failed > 0 || !resolved ? 1 : 0;
                      });
  }
  if (!resolved) io.err << "sharefetch-cli: the share did not resolve completely\n";

  if (o.share.json && share) {
    for (const ShareFile& f : share->Files()) {
      bool saved = f.status == ShareFileStatus::kDone || f.status == ShareFileStatus::kSkipped;
      doc["files"].push_back({{"share_path", f.plan.sharePath},
                              {"saved_path", saved ? f.SavedPath() : std::string()},
                              {"size", f.plan.size},
                              {"status", StatusWord(f.status)},
                              {"error", saved ? std::string() : Reason(f)}});
    }
  }
  if (o.share.json) {
    io.out << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  }
  size_t unfinished = chosen.size() - static_cast<size_t>(done + skipped + failed);
  io.err << "sharefetch-cli: " << chosen.size() << " files: " << done << " done, " << skipped
         << " skipped, " << failed << " failed";
  if (unfinished > 0) io.err << ", " << unfinished << " unfinished";
  io.err << "\n";
  return status;
}

int RunGet(const std::vector<std::string>& args) {
  static EngineLoad load;
  // Ctrl-C ends a resolution at once, as it does `resolve`; once files download, it pauses them.
  auto engineFor = [](std::string& error) -> DownloadEngine* {
    if (!load.engine) load = LoadEngineFromProgramDirectory();
    error = load.error;
    InterruptOnSignals();
    return load.engine.get();
  };
  return RunGet(args, {std::cin, std::cout, std::cerr}, engineFor, ::isatty(STDERR_FILENO) != 0,
                InterruptedFlag());
}

}  // namespace sf::cli
