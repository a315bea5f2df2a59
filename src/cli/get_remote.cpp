#include "cli/get_remote.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>

#include "base/encoding.h"
#include "base/paths.h"
#include "base/timestamp.h"
#include "cli/queue_console.h"
#include "cli/terminal_io.h"
#include "download/link_renewer.h"
#include "download/remote_downloads.h"
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

// Follows the files handed over until each has ended, or until interrupted, through the same
// loop and display as a download here; each file's final state goes into `doc`. Gives the exit
// status.
// A share as it went over: the back-end that holds it there, its id, and what was given.
struct HandedShare {
  RemoteDownloads& remote;
  ShareId share;
  const ShareToHandOff& given;
};

int Follow(const RemoteOptions& o, const HandedShare& handed, const FollowContext& context,
           std::function<void()>& clearDisplay, nlohmann::ordered_json& doc, Streams io) {
  RemoteDownloads& remote = handed.remote;
  const ShareId share = handed.share;
  const ShareToHandOff& given = handed.given;
  const SpreadHandOff& spread = *remote.HandOff(share);
  const std::vector<std::string>& shown = remote.Shown();
  InterruptOnSignals();
  Console console{io.out, io.err, context.live};
  console.showWhere = o.engines.size() > 1;
  console.pauseOnInterrupt = false;
  std::unique_ptr<QueueTurns> turns;
  auto clear = [&turns] {
    if (turns) turns->Clear();
  };
  remote.Listen([&](const DownloadEvent& e) {
    // The files that never went were told with the hand-off.
    if (e.item == ItemId::kNone || e.share != share) return;
    const RemoteFile& file = spread.files[e.file];
    std::string path = EscapeForTerminal(file.plan.sharePath);
    std::string where = EscapeForTerminal(shown[file.engine]);
    if (e.kind == DownloadEvent::kNeedsLink) {
      clear();
      Say(io.err) << path << ": the link was refused on " << where << " ("
                  << EscapeForTerminal(GbkToUtf8(e.reason))
                  << "); asking the share for a fresh link\n";
    } else if (e.kind == DownloadEvent::kHandedBack) {
      clear();
      Say(io.err) << path << ": handed back to " << where << " as "
                  << EscapeForTerminal(GbkToUtf8(e.reason)) << "\n";
    } else if (e.kind == DownloadEvent::kFailed) {
      clear();
      Say(io.err) << "failed on " << where << ": " << path << ": "
                  << EscapeForTerminal(GbkToUtf8(e.reason)) << "\n";
    }
  });
  turns = std::make_unique<QueueTurns>(
      remote, console,
      [&remote](const std::vector<ItemId>&, const std::function<void()>&) -> std::optional<int> {
        if (remote.Idle()) return 0;
        return std::nullopt;
      });
  // The share's renewer takes the display off first, as the one it prompts may.
  clearDisplay = clear;
  static const std::atomic<bool> never{false};
  const bool interrupted = turns->Run(context.interrupted ? *context.interrupted : never) == 130;
  clearDisplay = nullptr;  // the display goes with this call

  size_t complete = 0, failed = 0, followed = 0;
  std::map<size_t, const FollowedFile*> byFile;
  for (const DownloadItem& item : remote.Items()) {
    const FollowedFile* f = remote.Followed(ItemId{item.id});
    if (f == nullptr || f->share != share) continue;
    byFile[f->file] = f;
    ++followed;
    complete += f->end == FollowedFile::End::kComplete;
    failed += f->end == FollowedFile::End::kFailed;
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
  if (!given.resolved) Say(io.err) << "the share did not resolve completely\n";
  size_t notHanded = spread.files.size() - followed;
  size_t unfinished = followed - complete - failed;
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
  return complete == spread.files.size() && given.resolved ? 0 : 1;
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

  // Following installs the handler Ctrl-C raises the flag with (before that, Ctrl-C ends the
  // program on the spot); the calls under way give up as soon as it is raised, so no downloader
  // that keeps silent holds the program up.
  RemoteCalls calls;
  calls.cancel = follow.interrupted ? CancelFlag::Following(*follow.interrupted) : CancelFlag();
  // Following asks every second; a downloader that hangs should not hold Ctrl-C up for long.
  if (o.follow) calls.timeoutSeconds = 10;
  std::vector<RemoteEndpoint> endpoints;
  for (const RemoteEngine& e : o.engines) endpoints.push_back({e.rpc, e.secret});
  RemoteDownloads remote(std::move(endpoints), nullptr, calls);
  const std::vector<std::string>& shown = remote.Shown();
  // A renewal may prompt: the live display goes first.
  std::function<void()> clearDisplay;
  std::shared_ptr<LinkRenewer> renewer;
  if (o.follow && follow.renewer)
    renewer = std::make_shared<ClearingRenewer>(follow.renewer, [&clearDisplay] {
      if (clearDisplay) clearDisplay();
    });
  const ShareId id = remote.AddShare({entries, chosen, o.dir, renewer});
  // The hand-off runs on the back-end's worker; a Ctrl-C gives its calls up, so it ends soon.
  while (remote.HandOff(id) == nullptr) {
    pollfd p{remote.WakeFd(), POLLIN, 0};
    ::poll(&p, 1, 250);
    remote.Tick(NowMs());
  }
  const SpreadHandOff& spread = *remote.HandOff(id);
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
  if (o.follow && accepted > 0)
    return Follow(o, {remote, id, share}, follow, clearDisplay, doc, io);
  if (o.json) io.out << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  if (!resolved) Say(io.err) << "the share did not resolve completely\n";
  Say(io.err) << spread.files.size() << " files: " << accepted << " handed over, "
              << spread.files.size() - accepted << " not\n";
  if (follow.interrupted && *follow.interrupted) return 130;
  return accepted == spread.files.size() && resolved ? 0 : 1;
}

}  // namespace sf::cli
