// The files of a share handed to downloaders on other machines, followed there until each has
// ended. The downloaders are asked about them together, at most once a second each (one
// system.multicall of aria2.tellStatus). A file whose link the server refused gets a fresh link
// from the share, through the same LinkRenewer a download here uses, and is handed back to the
// downloader that holds its partial: the failed result goes and the same dir/out is added again
// to continue it. That happens at most once an hour per file, so a link that stays refused ends
// the file. Everything runs on the caller's thread, the renewer's answers included.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "download/download_queue.h"
#include "download/link_renewer.h"
#include "download/remote_share.h"

namespace sf {

// Whether aria2's error says the file server refused the link: HTTP 403, 404 or 410 (aria2
// gives 404 its own code 3, "Resource not found", and other statuses code 22 with
// "status=N" in its message, or "No URI available." once the link was given up).
bool LinkRefusedByServer(const std::string& errorCode, const std::string& errorMessage);
// aria2's error in a few words (UTF-8): "HTTP 403", else "aria2 error 2: Timeout."
std::string RemoteErrorText(const std::string& errorCode, const std::string& errorMessage);

struct FollowedFile {
  enum class End { kNone, kComplete, kFailed };
  size_t file = 0;  // position in the files the follower was given
  std::string gid;  // the download there now; a new one after each hand-back
  RemoteStatus last;
  End end = End::kNone;
  std::string reason;  // kFailed: why (UTF-8)
  int renewals = 0;
  int64_t renewedAtMs = 0;  // the last renewal, when renewals > 0
  bool renewing = false;    // the share is being asked
};

struct FollowEvent {
  enum Kind {
    kCompleted,   // the downloader has the whole file: the share's size, or the server's
    kFailed,      // ended for good; `text` says why
    kNeedsLink,   // its link was refused (`text`: how); the share is being asked
    kHandedBack,  // it went back to its downloader under a fresh link, as a new gid
  };
  Kind kind = kCompleted;
  size_t index = 0;  // in followed()
  std::string text;
};

class RemoteFollower {
 public:
  // `remotes`: the downloaders, as RemoteFile::engine numbers them. `files`: the hand-off's
  // files; those a downloader took (or held already) are followed. `entries`: the share's
  // entries, as resolved, for the renewer.
  RemoteFollower(std::vector<Aria2Remote*> remotes, std::vector<RemoteFile> files,
                 std::vector<FileEntry> entries, std::shared_ptr<LinkRenewer> renewer);
  ~RemoteFollower();
  RemoteFollower(const RemoteFollower&) = delete;
  RemoteFollower& operator=(const RemoteFollower&) = delete;

  // Asks the downloaders about the files not ended, when a second has passed since it last did,
  // and acts on what they say. Gives what happened since the last call.
  std::vector<FollowEvent> Poll(int64_t nowMs);
  bool Ended() const;

  const std::vector<FollowedFile>& followed() const { return followed_; }
  const RemoteFile& FileOf(const FollowedFile& f) const { return files_[f.file]; }
  // As the queue's totals of local downloads: `filesDone` counts the files complete there.
  DownloadTotals Totals() const;

  static constexpr int64_t kPollEveryMs = 1000;
  static constexpr int64_t kRenewEveryMs = 3600 * 1000;
  // A downloader that answers nothing for this long ends the files it holds.
  static constexpr int64_t kGiveUpMs = 60 * 1000;

 private:
  void See(size_t index, const RemoteStatus& status, int64_t nowMs);
  void Fail(size_t index, std::string reason);
  void HandBack(size_t index, const std::string& link, const std::string& why);

  std::vector<Aria2Remote*> remotes_;
  std::vector<RemoteFile> files_;
  std::vector<FileEntry> entries_;
  std::shared_ptr<LinkRenewer> renewer_;
  std::vector<FollowedFile> followed_;
  std::vector<int64_t> silentSince_;  // per downloader: since when it answers nothing; -1
  std::vector<FollowEvent> events_;
  int64_t nextPollMs_ = 0;
  // A renewer may answer after the follower is gone; its answer then goes nowhere.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace sf
