#include "cli/get_remote.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <ostream>

#include "download/remote_share.h"

namespace sf::cli {
namespace {

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes `text` to `path` through a new file beside it, so a failed write leaves what was there
// whole. The file may carry cookies, so it stays readable by its owner only. Empty on success.
std::string WriteWhole(const std::string& path, const std::string& text) {
  std::string temporary = DirectoryOf(path) + "/.sharefetch-export-XXXXXX";
  int fd = ::mkstemp(temporary.data());
  if (fd < 0) return DirectoryOf(path) + ": cannot write there";
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = done == text.size() && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) return {};
  ::unlink(temporary.c_str());
  return path + ": cannot be written";
}

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
  if (o.exportTo == "-") {
    io.out << text << std::flush;
  } else if (std::string problem = WriteWhole(o.exportTo, text); !problem.empty()) {
    io.err << "sharefetch-cli: " << EscapeForTerminal(problem) << "\n";
    return 1;
  }
  if (left > 0)
    io.err << "sharefetch-cli: " << left << " of " << files.size() << " files left out of "
           << EscapeForTerminal(shownPath) << "\n";
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
  const std::string failure = handOff.failure.kind == RpcFailure::kNone
                                  ? std::string()
                                  : DescribeRpcError(handOff.failedMethod, handOff.failure);
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
