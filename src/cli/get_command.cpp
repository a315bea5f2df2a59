#include "cli/get_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "base/encoding.h"
#include "base/file_names.h"
#include "base/text.h"
#include "cli/command_line.h"
#include "cli/get_remote.h"
#include "cli/queue_console.h"
#include "cli/terminal_io.h"
#include "cli/terminal_prompts.h"
#include "download/download_engine.h"
#include "download/download_manager.h"
#include "download/link_renewer.h"
#include "download/share_download.h"
#include "download/share_plan.h"
#include "download/share_stream.h"
#include "share/resolve_driver.h"
#include "view/failure_text.h"

namespace sf::cli {

const char* const kGetUsage =
    "Usage: sharefetch-cli get [--host URL] [--password TEXT] [--dir DIR] [--limit KB] [--jobs N]\n"
    "                          [--include GLOB]... [--exclude GLOB]... [--dry-run] [--json]\n"
    "                          [(--rpc URL [--rpc-secret TOKEN])... [--follow] | --export FILE]\n"
    "                          [--input FILE] SHARE...\n"
    "  Downloads every file of a share into DIR, in the share's own folders. SHARE is the link\n"
    "  or the text it came in (\"链接：… 提取码：…\", a link with ?pwd=); its code answers the\n"
    "  first password prompt. With several shares, each goes into a folder of its own under\n"
    "  DIR, named after the share, and one that fails does not stop the others.\n"
    "  --host URL       the share service's web host (default: $SHAREFETCH_HOST, else the "
    "service)\n"
    "  --password TEXT  answers the first extraction-password prompt (of every share)\n"
    "  --input FILE     also the shares in FILE, one share text per line (- for standard\n"
    "                   input); blank lines and lines starting with # are skipped\n"
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
    "                   aria2's own); prints GID<TAB>PATH of each file it took; given more\n"
    "                   than once, the files are spread over them by bytes\n"
    "  --rpc-secret TOKEN  the --rpc-secret of the aria2 of the --rpc before it; @FILE reads\n"
    "                   it from FILE's first line, out of the process list\n"
    "  --follow         with --rpc: follow the files there until each has ended, renewing\n"
    "                   refused links; Ctrl-C stops following, the downloads go on\n"
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
  std::string input;  // --input FILE
};

// What the options for another downloader exclude. Never names the secret's value.
std::string RemoteProblem(const GetOptions& o) {
  const RemoteOptions& r = o.remote;
  if (r.follow && r.engines.empty()) return "--follow goes with --rpc";
  if (!r.wanted()) return {};
  if (!r.engines.empty() && !r.exportTo.empty()) return "--rpc and --export cannot go together";
  if (o.dryRun || o.limitKb || o.jobsGiven)
    return "--dry-run, --limit and --jobs are for downloads on this machine";
  if (!r.exportTo.empty() && o.share.json) return "--json goes with --rpc, not with --export";
  for (const RemoteEngine& e : r.engines)
    if (!StartsWithIgnoreCase(e.rpc, "http://") && !StartsWithIgnoreCase(e.rpc, "https://"))
      return "--rpc needs an http:// or https:// address";
  return {};
}

constexpr OptionSpec kGetOptions[] = {
    kHostOption,
    kPasswordOption,
    kJsonOption,
    {"--dry-run"},
    {"--dir", "--dir needs a directory", true},
    {"--limit", "--limit needs a value"},
    {"--jobs", "--jobs needs a value"},
    {"--include", "--include needs a glob", true},
    {"--exclude", "--exclude needs a glob", true},
    {"--rpc", "--rpc needs an address", true},
    {"--rpc-secret", "--rpc-secret needs a value"},
    {"--follow"},
    {"--input", "--input needs a file, or - for standard input", true},
    {"--export", "--export needs a file, or - for standard output", true},
};

std::optional<int> ParseGetArgs(const std::vector<std::string>& args, Streams io, GetOptions* o) {
  auto fail = [&](const std::string& problem) { return UsageError(io, "get", kGetUsage, problem); };
  GivenOptions given;
  if (std::optional<int> status = ReadCommandLine(args, "get", kGetUsage, kGetOptions, io, &given))
    return status;
  std::string error;
  o->dryRun = given.Has("--dry-run");
  o->dir = given.Last("--dir").value_or("");
  if (std::optional<std::string> limit = given.Last("--limit")) {
    o->limitKb = ParseLimitKb(*limit, error);
    if (!o->limitKb) return fail(error);
  }
  if (std::optional<std::string> jobs = given.Last("--jobs")) {
    std::optional<int> n = ParseJobs(*jobs, error);
    if (!n) return fail(error);
    o->jobs = *n;
    o->jobsGiven = true;
  }
  o->filter.include = given.All("--include");
  o->filter.exclude = given.All("--exclude");
  // Each --rpc-secret belongs to the --rpc before it; with one of each, as before several
  // downloaders could be given, the order does not matter.
  const bool onePair = given.All("--rpc").size() == 1 && given.All("--rpc-secret").size() == 1;
  if (onePair) o->remote.engines.push_back({*given.Last("--rpc"), {}});
  bool secretTaken = false;
  for (const auto& option : given.options) {
    if (option.first == "--rpc") {
      if (!onePair) o->remote.engines.push_back({option.second, {}});
      secretTaken = false;
    } else if (option.first == "--rpc-secret") {
      if (o->remote.engines.empty()) return fail("--rpc-secret goes after the --rpc it is for");
      if (secretTaken) return fail("one --rpc-secret for each --rpc");
      if (std::string problem = ReadRpcSecret(option.second, &o->remote.engines.back().secret);
          !problem.empty())
        return fail(problem);
      secretTaken = true;
    }
  }
  o->remote.follow = given.Has("--follow");
  o->input = given.Last("--input").value_or("");
  o->remote.exportTo = given.Last("--export").value_or("");
  if (std::optional<int> status =
          TakeShareCommandArgs(given, "get", kGetUsage, io, &o->share, true))
    return status;
  if (o->share.texts.empty() && o->input.empty()) return fail("missing SHARE");
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

// The share texts of --input: one a line, from FILE or, for "-", from `in`; blank lines and
// lines starting with "#" skipped. Empty, or what kept the file from being read.
std::string ReadShareLines(const std::string& path, std::istream& in,
                           std::vector<std::string>* lines) {
  std::ifstream file;
  if (path != "-") {
    file.open(path, std::ios::binary);
    if (!file) return "--input " + path + ": " + std::strerror(errno);
  }
  std::istream& from = path == "-" ? in : file;
  std::string line;
  for (bool first = true; std::getline(from, line); first = false) {
    if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);  // a byte order mark
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    lines->push_back(line.substr(start));
  }
  if (from.bad()) return "--input " + path + ": read error";
  return {};
}

// The folder a share takes among several: its title as the service shows it, the name of its
// first item (a file without its extension), with "等N个文件" when it holds more items, made
// safe, and kept apart from the folders of the shares before it. UTF-8.
std::string ShareFolder(const std::vector<FileEntry>& entries, std::set<std::string>& taken) {
  std::string title;
  size_t top = 0;
  for (const FileEntry& e : entries) {
    if (!e.folder_path.empty()) continue;
    if (top++ > 0) continue;
    title = GbkToUtf8(e.server_filename);
    if (e.isdir != "1") title = title.substr(0, FileNameExtensionStart(title));
  }
  if (top > 1) title += "等" + std::to_string(top) + "个文件";
  // Room for the " (n)" that keeps two shares apart.
  std::string name = SafeShareSegment(title, 255 - kEngineNameReserve);
  std::string folder = name;
  for (int n = 1; taken.count(folder) != 0; ++n) folder = name + " (" + std::to_string(n) + ")";
  taken.insert(folder);
  return folder;
}

// A share as resolution left it: what was found is taken in any case; folders left out make the
// run a failure.
struct Resolved {
  Resolved(Streams io, const ShareCommandArgs& args, const PastedShare& given)
      : how(io, args, given) {}
  TerminalResolution how;
  bool complete = false;
  std::vector<size_t> chosen;
};

// Resolve: the share's page, its folders and the links of the files `filter` takes, with the
// prompts on the terminal; `onLink` hears of each link as it comes, and can stop the asking.
void ResolveShare(Resolved& r, const ShareFilter& filter, ShareSession::LinkListener onLink = {}) {
  r.how.view.KeepNoRows();  // get prints no table of them
  r.how.driver.SetLinkListener(std::move(onLink));
  // A file left out is asked nothing: no captcha of its own stops the files chosen.
  r.how.driver.SetLinkFilter(
      [&filter](const FileEntry& e) { return filter.Takes(SharePathOf(e)); });
  r.how.Run();
  r.how.driver.SetLinkListener({});
  r.how.driver.SetLinkFilter({});
  r.complete = r.how.driver.complete();
}

// The files downloaded, counted as they are reported.
struct Tally {
  int done = 0, skipped = 0, failed = 0;
};

// What every share of one `get` works with besides the resolution: the options, the streams,
// the engine (asked for only when there is something to download), whether to draw the live
// display, and the flag Ctrl-C raises.
struct GetContext {
  const GetOptions& o;
  Streams io;
  const std::function<DownloadEngine*(std::string& error)>& engineFor;
  bool live;
  const std::atomic<bool>& interrupted;
};

// Download: the chosen files through the one owner of downloads, each reported as it ends; a
// refused link is renewed through the driver that resolved the share. Made while the links are
// still being asked for (`streamed`), each file starts as Link brings its link; otherwise every
// file is queued at once.
class ShareDownloads {
 public:
  ShareDownloads(const GetContext& c, Resolved& r, const std::string& dir, DownloadEngine& engine,
                 Tally& tally, bool streamed)
      : o_(c.o),
        r_(r),
        io_(c.io),
        tally_(tally),
        downloads_(engine),
        console_{c.io.out, c.io.err, c.live},
        stream_(downloads_,
                std::make_shared<DriverRenewer>(r.how.driver, r.how.session, r.how.shareUrl)),
        turns_(downloads_, console_,
               [this](const std::vector<ItemId>&, const std::function<void()>& clearDisplay) {
                 return Step(clearDisplay);
               }) {
    const GetOptions& o = c.o;
    if (o.limitKb) downloads_.SetSpeedLimit(*o.limitKb);
    downloads_.SetJobs(o.jobs);
    downloads_.Listen([this](const DownloadEvent& e) { Hear(e); });
    // The driver's own entries: each link stays there until the share has handed it on.
    stream_.LendListing(r.how.driver.entries());
    if (!streamed) stream_.End();
    share_ = stream_.Open(r.chosen, dir);
  }

  // The link of the entry at `entry` has come: its file starts, when a slot is free, and the
  // rest move on when a task's state changed since.
  void Link(size_t entry) {
    stream_.Link(entry, r_.how.driver.entries()[entry].dlink);
    // Nothing reads the list's link after this: the file's item holds it, and a fresh one is
    // asked for with the file's own entry.
    r_.how.driver.ReleaseLink(entry);
    turns_.TurnIfDue();
  }
  void ClearDisplay() { turns_.Clear(); }

  // Until every file has its outcome; gives the exit status. Once interrupted, the files
  // without a link and those waiting for a fresh one are left unfinished, as queued ones are.
  int Finish(const std::atomic<bool>& interrupted, std::vector<ShareFile>* files) {
    if (!interrupted) stream_.End();
    int status = turns_.Run(interrupted);
    // Only the JSON object names each file; a share of many files is not held twice for nothing.
    if (o_.share.json) *files = downloads_.Share(share_)->Files();
    return status;
  }

 private:
  // Each outcome is printed as it comes, the line that asks for a fresh link before any prompt
  // the asking brings; those of the start wait for the first step, as the display does.
  void Hear(const DownloadEvent& e) {
    if (e.kind != DownloadEvent::kFinished && e.kind != DownloadEvent::kFailed &&
        e.kind != DownloadEvent::kNeedsLink)
      return;
    if (!clear_) return early_.push_back(e);
    clear_();
    Report(e);
  }
  void Report(const DownloadEvent& e) {
    const ShareFile& f = downloads_.Share(share_)->Files()[e.file];
    if (e.kind == DownloadEvent::kNeedsLink) {
      Say(io_.err) << EscapeForTerminal(f.plan.sharePath) << ": "
                   << FailureTextEnglish(f.failureCode) << "; asking the share for a fresh link\n";
    } else if (e.kind == DownloadEvent::kFailed) {
      ++tally_.failed;
      Say(io_.err) << EscapeForTerminal(f.plan.sharePath) << ": " << EscapeForTerminal(Reason(f))
                   << "\n";
    } else {
      ++(f.status == ShareFileStatus::kDone ? tally_.done : tally_.skipped);
      if (!o_.share.json) io_.out << EscapeForTerminal(f.SavedPath()) << "\n";
    }
  }
  std::optional<int> Step(const std::function<void()>& clearDisplay) {
    // Each file is told as it ends and the display shows only the totals: a share of many
    // files need not keep the items of those done.
    downloads_.DropFinished();
    if (!clear_) {
      clear_ = clearDisplay;
      if (!early_.empty()) clear_();
      for (const DownloadEvent& e : early_) Report(e);
      early_.clear();
    }
    // One write for the files a turn ended, not one each.
    io_.out.flush();
    if (!downloads_.Share(share_)->Ended()) return std::nullopt;
    return tally_.failed > 0 || !r_.complete ? 1 : 0;
  }

  const GetOptions& o_;
  Resolved& r_;
  Streams io_;
  Tally& tally_;
  DownloadManager downloads_;
  Console console_;
  ShareStream stream_;
  QueueTurns turns_;
  ShareId share_ = ShareId::kNone;
  std::function<void()> clear_;
  std::vector<DownloadEvent> early_;
};

// Plan only (--dry-run): what would be taken, one line a file, or into the JSON object.
int PrintPlan(const GetOptions& o, const Resolved& r, const std::string& folder,
              nlohmann::ordered_json& doc, Streams io) {
  const std::vector<FileEntry>& entries = r.how.driver.entries();
  for (size_t i : r.chosen) {
    const FileEntry& e = entries[i];
    if (o.share.json)
      doc["files"].push_back({{"share_path", SharePathOf(e)}, {"size", SizeOf(e)}});
    else
      io.out << EscapeForTerminal(GbkToUtf8(e.size)) << '\t'
             << EscapeForTerminal((folder.empty() ? "" : folder + "/") + SharePathOf(e)) << '\n';
  }
  return r.complete ? 0 : 1;
}

// The resolution's part of the JSON object: its result, and the folders left out.
void DescribeResolution(const Resolved& r, nlohmann::ordered_json& doc) {
  r.how.Describe(doc, false);
  doc["files"] = nlohmann::ordered_json::array();
}

// What the shares of one run share when there are several: the folders taken so far, and the
// JSON objects of those done, with --json (null without).
struct Several {
  std::set<std::string> folders;
  nlohmann::ordered_json* collect = nullptr;
};

// One share onto disk, or handed over: resolve, choose, then plan, hand off or download, and
// report. `several` is null for the only share, whose files go straight into `base`; with
// several, each takes a folder of its own under `base`, and the JSON object goes to `collect`
// instead of standard output. Files start downloading as their links come, while the later ones
// are still asked for.
class ShareGet {
 public:
  ShareGet(const GetContext& c, const PastedShare& given, const std::string& base, Several* several)
      : c_(c),
        o_(c.o),
        io_(c.io),
        given_(given),
        several_(several),
        r_(c.io, c.o.share, given),
        entries_(r_.how.driver.entries()),
        dir_(base) {}

  // Gives the exit status and, when it is not 0, in `why` what went wrong.
  int Run(std::string* why) {
    why_ = why;
    // Ctrl-C gives up the request under way, a link renewal's too, instead of waiting for it.
    r_.how.session.SetCancelFlag(CancelFlag::Following(c_.interrupted));
    if (several_) doc_["share"] = given_.link;
    bool streams = !o_.remote.wanted() && !o_.dryRun;
    ResolveShare(
        r_, o_.filter,
        streams ? ShareSession::LinkListener([this](size_t e) { return LinkCame(e); }) : nullptr);
    r_.chosen = ChooseFiles(entries_, o_.filter);
    if (r_.how.result != 0)
      *why = "did not resolve: " + GbkToUtf8(r_.how.driver.ResultMessage());
    else if (!r_.complete)
      *why = "folders of it could not be listed";

    Place();
    DescribeResolution(r_, doc_);
    if (o_.remote.wanted())
      return HandOffShare(
          o_.remote, doc_, {entries_, r_.chosen, r_.complete}, io_,
          {std::make_shared<DriverRenewer>(r_.how.driver, r_.how.session, r_.how.shareUrl),
           &c_.interrupted, c_.live});
    if (o_.dryRun) {
      int status = PrintPlan(o_, r_, folder_, doc_, io_);
      Print();
      if (!r_.complete) Say(io_.err) << "the share did not resolve completely\n";
      return status;
    }
    return Download();
  }

 private:
  // The share's folder among several is named from its listing, which is whole before the
  // first link comes.
  void Place() {
    if (placed_ || !several_) return;
    placed_ = true;
    if (!entries_.empty()) folder_ = ShareFolder(entries_, several_->folders);
    doc_["folder"] = folder_;
    if (!folder_.empty()) dir_ += "/" + folder_;
  }

  // The downloads begin with the first link; what keeps them from beginning is told once the
  // resolution has ended, as when every link is known first.
  bool LinkCame(size_t entry) {
    // Ctrl-C once files download: the share is asked nothing more, and the files are paused.
    if (c_.interrupted) return false;
    if (!began_) {
      began_ = true;
      Place();
      r_.chosen = ChooseFiles(entries_, o_.filter);
      std::error_code ec;
      if (!r_.chosen.empty()) std::filesystem::create_directories(dir_, ec);
      std::string engineError;
      DownloadEngine* engine = r_.chosen.empty() || ec ? nullptr : c_.engineFor(engineError);
      if (engine == nullptr) return true;
      downloads_ = std::make_unique<ShareDownloads>(c_, r_, dir_, *engine, tally_, true);
      r_.how.ClearFirst([this] { downloads_->ClearDisplay(); });
    }
    if (downloads_) downloads_->Link(entry);
    return true;
  }

  void Print() {
    if (!o_.share.json) return;
    if (several_ && several_->collect)
      several_->collect->push_back(doc_);
    else
      io_.out << doc_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  }

  // Nothing can be downloaded: every file chosen fails with the reason, and the JSON object is
  // still the one thing on standard output.
  int CannotDownload(const std::string& error) {
    Say(io_.err) << error << "\n";
    doc_["error"] = error;
    for (size_t i : r_.chosen)
      doc_["files"].push_back({{"share_path", SharePathOf(entries_[i])},
                               {"saved_path", ""},
                               {"size", SizeOf(entries_[i])},
                               {"status", "failed"},
                               {"error", error}});
    Print();
    *why_ = error;
    return 1;
  }

  int Download() {
    std::vector<ShareFile> files;
    int status = r_.complete ? 0 : 1;
    if (!downloads_) {
      std::error_code ec;
      if (!r_.chosen.empty()) std::filesystem::create_directories(dir_, ec);
      if (ec) return CannotDownload(dir_ + ": " + ec.message());
      std::string engineError;
      DownloadEngine* engine = r_.chosen.empty() ? nullptr : c_.engineFor(engineError);
      if (!r_.chosen.empty() && engine == nullptr) return CannotDownload(engineError);
      if (engine != nullptr)
        downloads_ = std::make_unique<ShareDownloads>(c_, r_, dir_, *engine, tally_, false);
    }
    if (downloads_)
      status = downloads_->Finish(c_.interrupted, &files);
    else if (c_.interrupted)
      status = 130;
    ReportFiles(files, status);
    return status;
  }

  // Report: each file into the JSON object, the count of what came of them on standard error.
  void ReportFiles(const std::vector<ShareFile>& files, int status) {
    if (!r_.complete) Say(io_.err) << "the share did not resolve completely\n";
    if (o_.share.json) {
      for (const ShareFile& f : files) {
        bool saved = f.status == ShareFileStatus::kDone || f.status == ShareFileStatus::kSkipped;
        doc_["files"].push_back({{"share_path", f.plan.sharePath},
                                 {"saved_path", saved ? f.SavedPath() : std::string()},
                                 {"size", f.plan.size},
                                 {"status", StatusWord(f.status)},
                                 {"error", saved ? std::string() : Reason(f)}});
      }
    }
    Print();
    if (tally_.failed > 0 && r_.how.result == 0)
      *why_ = std::to_string(tally_.failed) + " of its files failed";
    if (status == 130) *why_ = "interrupted";
    size_t unfinished =
        r_.chosen.size() - static_cast<size_t>(tally_.done + tally_.skipped + tally_.failed);
    Say(io_.err) << r_.chosen.size() << " files: " << tally_.done << " done, " << tally_.skipped
                 << " skipped, " << tally_.failed << " failed";
    if (unfinished > 0) io_.err << ", " << unfinished << " unfinished";
    io_.err << "\n";
  }

  const GetContext& c_;
  const GetOptions& o_;
  Streams io_;
  const PastedShare& given_;
  Several* several_;
  Resolved r_;
  const std::vector<FileEntry>& entries_;
  std::string dir_;
  nlohmann::ordered_json doc_;
  std::string folder_;
  bool placed_ = false;
  Tally tally_;
  std::unique_ptr<ShareDownloads> downloads_;
  bool began_ = false;
  std::string* why_ = nullptr;
};

// A share given, with what kept it from being read.
struct Given {
  PastedShare share;
  std::string problem;
};

// The shares of the arguments and of --input. The arguments are checked as usage (a status
// given back); the lines of --input are shares of their own that can fail like any other.
std::optional<int> GatherShares(const GetOptions& o, Streams io, std::vector<Given>* shares) {
  auto usage = [&](const std::string& problem) {
    return UsageError(io, "get", kGetUsage, problem);
  };
  for (const std::string& text : o.share.texts) {
    std::string problem;
    std::vector<PastedShare> found = SharesInText(text, o.share.host, &problem);
    if (found.empty()) return usage(problem);
    for (PastedShare& s : found) shares->push_back({std::move(s), {}});
  }
  if (!o.input.empty()) {
    std::vector<std::string> lines;
    if (std::string error = ReadShareLines(o.input, io.in, &lines); !error.empty())
      return usage(error);
    for (const std::string& line : lines) {
      std::string problem;
      // A line is a share only by a link on the share host: one that names another host is
      // nothing to fetch, whatever it looks like.
      std::vector<PastedShare> found =
          SharesInText(line, o.share.host, &problem, /*wordAsIs=*/false);
      if (found.empty()) shares->push_back({{TextExcerpt(line), ""}, problem});
      for (PastedShare& s : found) shares->push_back({std::move(s), {}});
    }
  }
  if (shares->empty()) return usage("no SHARE in " + o.input);
  if (shares->size() > 1 && o.remote.wanted())
    return usage("--rpc and --export take one share at a time");
  return std::nullopt;
}

// `get` as one object: its options and what it runs with, then the shares it was given, the
// only one straight into DIR, several one after the other, each into a folder of its own.
class GetCommand {
 public:
  GetCommand(Streams io, const std::function<DownloadEngine*(std::string& error)>& engineFor,
             bool live, const std::atomic<bool>& interrupted)
      : c_{o_, io, engineFor, live, interrupted} {}

  int Run(const std::vector<std::string>& args) {
    Streams io = c_.io;
    if (std::optional<int> status = ParseGetArgs(args, io, &o_)) return *status;
    std::vector<Given> shares;
    if (std::optional<int> status = GatherShares(o_, io, &shares)) return *status;
    // Another downloader's directory is its own: it is passed on as given.
    std::string dir = o_.remote.wanted() ? o_.dir : AbsoluteDirectory(o_.dir);
    if (!o_.remote.wanted() && dir.empty()) {
      Say(io.err) << "cannot read the current directory\n";
      return 1;
    }
    if (shares.size() == 1 && shares[0].problem.empty()) {
      std::string why;
      return ShareGet(c_, shares[0].share, dir, nullptr).Run(&why);
    }
    return GetEachShare(shares, dir);
  }

 private:
  // Several shares, one after the other, each into a folder of its own; a summary at the end.
  int GetEachShare(const std::vector<Given>& shares, const std::string& dir) {
    const GetOptions& o = o_;
    Streams io = c_.io;
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    Several several;
    if (o.share.json) several.collect = &all;
    std::vector<std::pair<std::string, std::string>> failed;  // share, why
    int status = 0;
    size_t complete = 0;
    for (size_t i = 0; i < shares.size(); ++i) {
      if (status == 130) {
        failed.push_back({shares[i].share.link, "not started: interrupted"});
        continue;
      }
      const Given& g = shares[i];
      Say(io.err) << "share " << i + 1 << " of " << shares.size() << ": "
                  << EscapeForTerminal(g.share.link) << "\n";
      std::string why = g.problem;
      int code = 1;
      if (why.empty())
        code = ShareGet(c_, g.share, dir, &several).Run(&why);
      else
        Say(io.err) << EscapeForTerminal(why) << "\n";
      if (code == 0) {
        ++complete;
        continue;
      }
      failed.push_back({g.share.link, why.empty() ? "failed" : why});
      status = code == 130 || c_.interrupted ? 130 : 1;
    }
    if (o.share.json) {
      nlohmann::ordered_json doc;
      doc["shares"] = all;
      io.out << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    }
    Say(io.err) << shares.size() << " shares: " << complete << " complete, " << failed.size()
                << " not\n";
    for (const auto& [share, why] : failed)
      Say(io.err) << "not complete: " << EscapeForTerminal(share) << " (" << EscapeForTerminal(why)
                  << ")\n";
    return status;
  }

  GetOptions o_;
  GetContext c_;
};

}  // namespace

int RunGet(const std::vector<std::string>& args, Streams io,
           const std::function<DownloadEngine*(std::string& error)>& engineFor, bool live,
           const std::atomic<bool>& interrupted) {
  return GetCommand(io, engineFor, live, interrupted).Run(args);
}

int RunGet(const std::vector<std::string>& args) {
  static EngineLoad load;
  // Ctrl-C ends a resolution at once, as it does `resolve`; once files download, it pauses them
  // and the share is asked for no more links.
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
