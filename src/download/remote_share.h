// A share's files handed to a downloader on another machine (aria2 over JSON-RPC), or written
// as its input file. They are planned as `get` plans them onto disk, with the same safe names
// and the share's own folders, only under the downloader's directory; nothing there can be
// looked at, so no name is taken for a file that exists. The terminal program and the window
// both drive this; it runs on the caller's thread and only asks the downloader.
#pragma once

#include <optional>
#include <string>
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

  bool accepted() const { return outcome.accepted(); }
  std::string RemotePath() const { return JoinRemoteDir(dir, plan.name); }
};

// Plans the entries at `chosen` (GBK, as resolved) under `base`, the downloader's directory.
std::vector<RemoteFile> PlanRemoteShare(const std::vector<FileEntry>& entries,
                                        const std::vector<size_t>& chosen, const std::string& base);

struct RemoteHandOff {
  std::string base;  // the directory the files went under
  std::vector<RemoteFile> files;
  // The downloader's first failure, and the call it answered; none when it took every file it
  // was given.
  RpcError failure;
  std::string failedMethod;

  bool AllAccepted() const;
  // The downloader's first failure in one line (UTF-8); empty when there was none.
  std::string FailureText() const;
  // Why `file` was not handed over: its own problem, or what the downloader said.
  std::string Reason(const RemoteFile& file) const;
};

// Hands the chosen files to `remote`, all in one go, under `base`; an empty `base` means the
// downloader's own directory, which it is asked for first.
RemoteHandOff HandOverShare(Aria2Remote& remote, const std::vector<FileEntry>& entries,
                            const std::vector<size_t>& chosen, const std::string& base);

// The input file for the files that can go; those whose values it cannot hold get a problem.
std::string ExportShare(std::vector<RemoteFile>& files);

}  // namespace sf
