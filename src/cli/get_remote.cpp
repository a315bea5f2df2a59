#include "cli/get_remote.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <thread>

#include "base/paths.h"
#include "base/timestamp.h"
#include "cli/queue_console.h"
#include "cli/terminal_io.h"
#include "download/link_renewer.h"
#include "download/remote_follower.h"
#include "download/remote_share.h"
#include "view/download_list.h"
#include "view/terminal_text.h"

namespace sf::cli {
namespace {

int Export(const RemoteOptions& o, const ShareToHandOff& share, Streams io) {
  const std::vector<FileEntry>& entries = share.entries;
  const std::vector<size_t>& chosen = share.chosen;
  const bool resolved = share.resolved;
  // aria2c takes a relative dir= from where it runs, whatever its own --dir says; "." keeps
  // the whole tree together there.
  std::vector<RemoteFile> files = PlanRemoteShare(entries, chosen, o.dir.empty() ? "." : o.dir);
  std::string text = ExportShare(files);
  size_t left = 0;
  for (const RemoteFile& f : files) {
    if (f.download && f.problem.empty()) continue;
    ++left;
    Say(io.err) << "not exported: " << EscapeForTerminal(f.plan.sharePath) << ": "
                << EscapeForTerminal(f.problem) << "\n";
  }
  std::string shownPath = o.exportTo == "-" ? "standard output" : o.exportTo;
  // The file may carry cookies, so it is readable by its owner only.
  if (o.exportTo == "-") {
    io.out << text << std::flush;
  } else if (int error = ReplaceFile(o.exportTo, text, 0600); error != 0) {
    Say(io.err) << EscapeForTerminal(o.exportTo) << ": cannot be written: " << std::strerror(error)
                << "\n";
    return 1;
  }
  if (left > 0)
    Say(io.err) << left << " of " << files.size() << " files left out of "
                << EscapeForTerminal(shownPath) << "\n";
  if (!resolved) Say(io.err) << "the share did not resolve completely\n";
  Say(io.err) << files.size() - left << " files written to " << EscapeForTerminal(shownPath)
              << "\n";
  return left == 0 && resolved ? 0 : 1;
}

// The live display of a local get, fed from the downloaders' figures: the files running there,
// then "2/5 files, 12.0 MiB of 40.0 MiB, 3.2 MiB/s, 0:09 left".
class RemoteDisplay {
 public:
  RemoteDisplay(std::ostream& err, bool live, const std::vector<std::string>& shown)
      : err_(err), live_(live), shown_(shown) {}
  void Erase() {
    if (drawn_ > 0) err_ << "\x1b[" << drawn_ << "A\r\x1b[J" << std::flush;
    drawn_ = 0;
  }
  void Draw(const RemoteFollower& follower) {
    std::string text;
    if (live_ && drawn_ > 0) text = "\x1b[" + std::to_string(drawn_) + "A\r\x1b[J";
    drawn_ = 0;
    const char* clear = live_ ? "\x1b[2K" : "";
    for (const FollowedFile& f : follower.followed()) {
      if (f.end != FollowedFile::End::kNone || f.last.status != "active") continue;
      const RemoteFile& file = follower.FileOf(f);
      int64_t size = file.plan.size >= 0 ? file.plan.size : f.last.total;
      text += clear + EscapeForTerminal(file.plan.sharePath) + "  " +
              SizeText(f.last.done, SizeStyle::kTerminal) + " / " +
              (size >= 0 ? SizeText(size, SizeStyle::kTerminal) : std::string("?"));
      if (size > 0) {
        char pct[16];
        std::snprintf(pct, sizeof pct, "%5.1f%%",
                      static_cast<double>(f.last.done) * 100.0 / static_cast<double>(size));
        text += std::string("  ") + pct;
      }
      text += "  " + SizeText(f.last.speed, SizeStyle::kTerminal) + "/s";
      if (size >= 0 && f.last.speed > 0)
        text +=
            "  " + DurationText(std::max<int64_t>(0, size - f.last.done) / f.last.speed) + " left";
      if (shown_.size() > 1) text += "  " + EscapeForTerminal(shown_[file.engine]);
      text += "\n";
      ++drawn_;
    }
    text += clear + TotalLine(follower.Totals()) + "\n";
    ++drawn_;
    if (!live_) drawn_ = 0;
    err_ << text << std::flush;
  }

 private:
  std::ostream& err_;
  bool live_;
  const std::vector<std::string>& shown_;
  size_t drawn_ = 0;
};

const char* EndWord(const FollowedFile& f) {
  switch (f.end) {
    case FollowedFile::End::kComplete:
      return "complete";
    case FollowedFile::End::kFailed:
      return "failed";
    default:
      return "unfinished";
  }
}

// Where a share's files went: the downloaders, as they are shown, and what each took.
struct Handed {
  const std::vector<Aria2Remote*>& remotes;
  const std::vector<std::string>& shown;
  const SpreadHandOff& spread;
};

// Follows the files handed over until each has ended, or until interrupted; each file's final
// state goes into `doc`. Gives the exit status.
int Follow(const RemoteOptions& o, const Handed& handed, const ShareToHandOff& share,
           const FollowContext& context, nlohmann::ordered_json& doc, Streams io) {
  const std::vector<Aria2Remote*>& remotes = handed.remotes;
  const std::vector<std::string>& shown = handed.shown;
  const SpreadHandOff& spread = handed.spread;
  const std::vector<FileEntry>& entries = share.entries;
  const bool resolved = share.resolved;
  InterruptOnSignals();
  RemoteDisplay display(io.err, context.live, shown);
  std::shared_ptr<LinkRenewer> renewer;
  if (context.renewer)
    renewer = std::make_shared<ClearingRenewer>(context.renewer, [&] { display.Erase(); });
  RemoteFollower follower(remotes, spread.files, entries, renewer);
  auto lastDraw = std::chrono::steady_clock::now() - std::chrono::hours(1);
  const auto drawEvery =
      context.live ? std::chrono::milliseconds(250) : std::chrono::milliseconds(5000);
  bool interrupted = false;
  while (true) {
    std::vector<FollowEvent> events = follower.Poll(NowMs());
    if (!events.empty()) display.Erase();
    for (const FollowEvent& e : events) {
      const FollowedFile& f = follower.followed()[e.index];
      const RemoteFile& file = follower.FileOf(f);
      std::string path = EscapeForTerminal(file.plan.sharePath);
      std::string where = EscapeForTerminal(shown[file.engine]);
      if (e.kind == FollowEvent::kNeedsLink)
        Say(io.err) << path << ": the link was refused on " << where << " ("
                    << EscapeForTerminal(e.text) << "); asking the share for a fresh link\n";
      else if (e.kind == FollowEvent::kHandedBack)
        Say(io.err) << path << ": handed back to " << where << " as " << EscapeForTerminal(e.text)
                    << "\n";
      else if (e.kind == FollowEvent::kFailed)
        Say(io.err) << "failed on " << where << ": " << path << ": " << EscapeForTerminal(e.text)
                    << "\n";
    }
    if (context.interrupted && *context.interrupted) {
      interrupted = true;
      break;
    }
    if (follower.Ended()) break;
    auto now = std::chrono::steady_clock::now();
    if (now - lastDraw >= drawEvery) {
      display.Draw(follower);
      lastDraw = now;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (context.live) display.Draw(follower);

  size_t complete = 0, failed = 0;
  std::map<size_t, const FollowedFile*> byFile;
  for (const FollowedFile& f : follower.followed()) {
    byFile[f.file] = &f;
    complete += f.end == FollowedFile::End::kComplete;
    failed += f.end == FollowedFile::End::kFailed;
  }
  for (size_t i = 0; i < doc["files"].size() && i < spread.files.size(); ++i) {
    nlohmann::ordered_json& file = doc["files"][i];
    auto at = byFile.find(i);
    if (at == byFile.end()) {
      file["status"] = "not handed over";
      continue;
    }
    const FollowedFile& f = *at->second;
    file["gid"] = f.gid;
    file["status"] = EndWord(f);
    file["completed_length"] = f.last.done;
    file["renewed"] = f.renewals > 0;
    if (f.end == FollowedFile::End::kFailed) file["error"] = f.reason;
  }
  if (o.json) io.out << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  if (!resolved) Say(io.err) << "the share did not resolve completely\n";
  size_t notHanded = spread.files.size() - follower.followed().size();
  size_t unfinished = follower.followed().size() - complete - failed;
  Say(io.err) << spread.files.size() << " files: " << complete << " complete, " << failed
              << " failed";
  if (unfinished > 0) io.err << ", " << unfinished << " unfinished";
  if (notHanded > 0) io.err << ", " << notHanded << " not handed over";
  io.err << "\n";
  if (interrupted) {
    Say(io.err) << "stopped following; the downloads go on there; run the same "
                   "command again to follow them\n"
                << std::flush;
    return 130;
  }
  return complete == spread.files.size() && resolved ? 0 : 1;
}

}  // namespace

std::string ReadRpcSecret(const std::string& given, std::string* secret) {
  if (given.empty() || given[0] != '@') {
    *secret = given;
    return {};
  }
  const std::string path = given.substr(1);
  std::ifstream in(path, std::ios::binary);
  std::string line;
  if (!in || !std::getline(in, line)) {
    int error = errno;
    return "--rpc-secret @" + path + ": " +
           (in.eof() ? std::string("the file is empty") : std::string(std::strerror(error)));
  }
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
    line.pop_back();
  if (line.empty()) return "--rpc-secret @" + path + ": the file's first line is empty";
  *secret = std::move(line);
  return {};
}

int HandOffShare(const RemoteOptions& o, nlohmann::ordered_json doc, const ShareToHandOff& share,
                 Streams io, const FollowContext& follow) {
  if (!o.exportTo.empty()) return Export(o, share, io);
  const std::vector<FileEntry>& entries = share.entries;
  const std::vector<size_t>& chosen = share.chosen;
  const bool resolved = share.resolved;

  std::vector<std::unique_ptr<JsonRpcClient>> clients;
  std::vector<std::unique_ptr<Aria2Remote>> owned;
  std::vector<Aria2Remote*> remotes;
  std::vector<std::string> shown;
  // Following installs the handler Ctrl-C raises the flag with (before that, Ctrl-C ends the
  // program on the spot); the calls under way give up as soon as it is raised, so no downloader
  // that keeps silent holds the program up.
  CancelFlag cancel =
      follow.interrupted ? CancelFlag::Following(*follow.interrupted) : CancelFlag();
  for (const RemoteEngine& e : o.engines) {
    clients.push_back(std::make_unique<JsonRpcClient>(e.rpc));
    clients.back()->SetCancelFlag(cancel);
    // Following asks every second; a downloader that hangs should not hold Ctrl-C up for long.
    if (o.follow) clients.back()->SetTimeoutSeconds(10);
    owned.push_back(std::make_unique<Aria2Remote>(*clients.back(), e.secret));
    remotes.push_back(owned.back().get());
    shown.push_back(ShownEndpoint(e.rpc));
  }
  SpreadHandOff spread = SpreadShare(remotes, entries, chosen, o.dir);
  const bool several = o.engines.size() > 1;
  size_t accepted = 0, up = 0;
  for (const RemoteEngineHandOff& e : spread.engines) up += !e.down;
  doc["downloader"] = shown.front();
  doc["dir"] = spread.engines.front().base;
  if (several) {
    doc["downloaders"] = nlohmann::ordered_json::array();
    for (size_t e = 0; e < spread.engines.size(); ++e) {
      const RemoteEngineHandOff& engine = spread.engines[e];
      nlohmann::ordered_json d = {{"downloader", shown[e]},
                                  {"dir", engine.base},
                                  {"files", engine.files},
                                  {"bytes", engine.bytes}};
      if (engine.down) d["error"] = engine.FailureText();
      doc["downloaders"].push_back(std::move(d));
    }
  }
  doc["files"] = nlohmann::ordered_json::array();
  for (const RemoteFile& f : spread.files) {
    nlohmann::ordered_json file = {
        {"share_path", f.plan.sharePath}, {"dir", f.dir}, {"out", f.plan.name}};
    if (several) file["downloader"] = shown[f.engine];
    if (f.accepted()) {
      ++accepted;
      file["gid"] = f.outcome.gid;
      if (f.found) file["found"] = true;
      if (!o.json) {
        io.out << EscapeForTerminal(f.outcome.gid) << '\t' << EscapeForTerminal(f.RemotePath());
        if (several) io.out << '\t' << EscapeForTerminal(shown[f.engine]);
        io.out << '\n';
      }
    } else {
      std::string reason = spread.Reason(f);
      file["error"] = reason;
      // The cause most files share is said once, below.
      bool shared = f.engine < spread.engines.size() && spread.engines[f.engine].down &&
                    reason == spread.engines[f.engine].FailureText();
      Say(io.err) << "not handed over: " << EscapeForTerminal(f.plan.sharePath)
                  << (shared ? "" : ": " + EscapeForTerminal(reason)) << "\n";
    }
    doc["files"].push_back(std::move(file));
  }
  io.out << std::flush;
  for (size_t e = 0; e < spread.engines.size(); ++e) {
    const RemoteEngineHandOff& engine = spread.engines[e];
    if (engine.down) {
      if (!several) doc["error"] = engine.FailureText();
      Say(io.err) << EscapeForTerminal(shown[e]) << ": " << EscapeForTerminal(engine.FailureText())
                  << (up > 0 ? "; its files go to the others" : "") << "\n";
    } else if (several) {
      Say(io.err) << EscapeForTerminal(shown[e]) << ": " << engine.files << " files, "
                  << SizeText(engine.bytes, SizeStyle::kTerminal) << "\n";
    }
  }
  size_t found = 0;
  for (const RemoteFile& f : spread.files) found += f.found;
  if (found > 0)
    Say(io.err) << found << " of the files were there already and are not "
                << "added again\n";
  if (o.follow && accepted > 0) return Follow(o, {remotes, shown, spread}, share, follow, doc, io);
  if (o.json) io.out << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  if (!resolved) Say(io.err) << "the share did not resolve completely\n";
  Say(io.err) << spread.files.size() << " files: " << accepted << " handed over, "
              << spread.files.size() - accepted << " not\n";
  if (follow.interrupted && *follow.interrupted) return 130;
  return accepted == spread.files.size() && resolved ? 0 : 1;
}

}  // namespace sf::cli
