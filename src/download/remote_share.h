// A share's files handed to a downloader on another machine (aria2 over JSON-RPC), or written
// as its input file. They are planned as `get` plans them onto disk, with the same safe names
// and the share's own folders, only under the downloader's directory; nothing there can be
// looked at, so no name is taken for a file that exists. The terminal program and the window
// both drive this; it runs on the caller's thread and only asks the downloader.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "download/aria2_remote.h"
#include "download/share_plan.h"

namespace sf {

struct RemoteFile {
  PlannedFile plan;                        // the share path, and folder and name under the base
  std::string dir;                         // the directory on the downloader's side
  std::optional<RemoteDownload> download;  // what goes over; nothing when it cannot go
  std::string problem;                     // then why (UTF-8)
  RemoteOutcome outcome;                   // once handed over
  size_t engine = 0;                       // with several downloaders: the one it went to
  // It was there already from an earlier hand-off, as `outcome.gid`, and not added again.
  bool found = false;

  bool accepted() const { return outcome.accepted(); }
  std::string RemotePath() const { return JoinRemoteDir(dir, plan.name); }
};

// Whether a download aria2 calls complete holds the whole file: `size`, the share's, or when the
// share gave none, the length the server named. A server that sends no length may end the body
// early, and aria2 then calls the part it got complete.
bool HoldsWholeFile(const RemoteStatus& status, int64_t size);

// Plans the entries at `chosen` (GBK, as resolved) under `base`, the downloader's directory.
std::vector<RemoteFile> PlanRemoteShare(const std::vector<FileEntry>& entries,
                                        const std::vector<size_t>& chosen, const std::string& base);

// One of several downloaders a share is spread over.
struct RemoteEngineHandOff {
  std::string base;  // the directory the files went under there
  RpcError failure;  // why it took nothing (or not all it was given), with the call it answered
  std::string failedMethod;
  bool down = false;  // it was left out: unreachable or refusing
  size_t files = 0;   // what it holds of the share, found there already or handed over now
  int64_t bytes = 0;

  std::string FailureText() const;
};

struct SpreadHandOff {
  std::vector<RemoteEngineHandOff> engines;  // in the order given
  std::vector<RemoteFile> files;             // `engine` names where each went
  // Why `file` was not handed over.
  std::string Reason(const RemoteFile& file) const;
  // The first failure and the call it answered: of a downloader left out, else of the first
  // file a downloader refused; none when every file went.
  std::pair<RpcError, std::string> FirstFailure() const;
};

// Hands the chosen files to several downloaders, so that each gets about the same number of
// bytes, the largest files first. A file one of them holds already (the same dir/out, from an
// earlier run) stays with it and is not added again; one that failed there is handed back to
// the same downloader, where its partial is. A downloader that cannot be reached, refuses or
// fails a whole batch gets none, and the files it was meant to take go to the others. An empty
// `base` means each downloader's own directory, which it is asked for first. One downloader is
// a spread over one.
SpreadHandOff SpreadShare(const std::vector<Aria2Remote*>& remotes,
                          const std::vector<FileEntry>& entries, const std::vector<size_t>& chosen,
                          const std::string& base);

// The input file for the files that can go; those whose values it cannot hold get a problem.
std::string ExportShare(std::vector<RemoteFile>& files);

}  // namespace sf
