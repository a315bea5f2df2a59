#include "cli/get_remote.h"

#include <cstring>
#include <ostream>

#include "base/paths.h"
#include "download/remote_share.h"

namespace sf::cli {
namespace {

int Export(const RemoteOptions& o, bool resolved, const std::vector<FileEntry>& entries,
           const std::vector<size_t>& chosen, Streams io) {
  // aria2c takes a relative dir= from where it runs, whatever its own --dir says; "." keeps
  // the whole tree together there.
  std::vector<RemoteFile> files = PlanRemoteShare(entries, chosen, o.dir.empty() ? "." : o.dir);
  std::string text = ExportShare(files);
  size_t left = 0;
  for (const RemoteFile& f : files) {
    if (f.download && f.problem.empty()) continue;
    ++left;
    io.err << "sharefetch-cli: not exported: " << EscapeForTerminal(f.plan.sharePath) << ": "
           << EscapeForTerminal(f.problem) << "\n";
  }
  std::string shownPath = o.exportTo == "-" ? "standard output" : o.exportTo;
  // The file may carry cookies, so it is readable by its owner only.
  if (o.exportTo == "-") {
    io.out << text << std::flush;
  } else if (int error = ReplaceFile(o.exportTo, text, 0600); error != 0) {
    io.err << "sharefetch-cli: " << EscapeForTerminal(o.exportTo)
           << ": cannot be written: " << std::strerror(error) << "\n";
    return 1;
  }
  if (left > 0)
    io.err << "sharefetch-cli: " << left << " of " << files.size() << " files left out of "
           << EscapeForTerminal(shownPath) << "\n";
  if (!resolved) io.err << "sharefetch-cli: the share did not resolve completely\n";
  io.err << "sharefetch-cli: " << files.size() - left << " files written to "
         << EscapeForTerminal(shownPath) << "\n";
  return left == 0 && resolved ? 0 : 1;
}

}  // namespace

int HandOffShare(const RemoteOptions& o, nlohmann::ordered_json doc, bool resolved,
                 const std::vector<FileEntry>& entries, const std::vector<size_t>& chosen,
                 Streams io) {
  if (!o.exportTo.empty()) return Export(o, resolved, entries, chosen, io);

  JsonRpcClient client(o.rpc);
  Aria2Remote remote(client, o.secret);
  RemoteHandOff handOff = HandOverShare(remote, entries, chosen, o.dir);
  const std::string failure = handOff.FailureText();
  size_t accepted = 0;
  doc["downloader"] = ShownEndpoint(o.rpc);
  doc["dir"] = handOff.base;
  doc["files"] = nlohmann::ordered_json::array();
  for (const RemoteFile& f : handOff.files) {
    nlohmann::ordered_json file = {
        {"share_path", f.plan.sharePath}, {"dir", f.dir}, {"out", f.plan.name}};
    if (f.accepted()) {
      ++accepted;
      file["gid"] = f.outcome.gid;
      if (!o.json)
        io.out << EscapeForTerminal(f.outcome.gid) << '\t' << EscapeForTerminal(f.RemotePath())
               << '\n';
    } else {
      std::string reason = handOff.Reason(f);
      file["error"] = reason;
      // The cause most files share is said once, below.
      io.err << "sharefetch-cli: not handed over: " << EscapeForTerminal(f.plan.sharePath)
             << (reason == failure ? "" : ": " + EscapeForTerminal(reason)) << "\n";
    }
    doc["files"].push_back(std::move(file));
  }
  if (!failure.empty()) {
    doc["error"] = failure;
    io.err << "sharefetch-cli: " << EscapeForTerminal(ShownEndpoint(o.rpc)) << ": "
           << EscapeForTerminal(failure) << "\n";
  }
  if (o.json) io.out << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  if (!resolved) io.err << "sharefetch-cli: the share did not resolve completely\n";
  io.err << "sharefetch-cli: " << handOff.files.size() << " files: " << accepted << " handed over, "
         << handOff.files.size() - accepted << " not\n";
  return accepted == handOff.files.size() && resolved ? 0 : 1;
}

}  // namespace sf::cli
