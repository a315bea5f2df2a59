// A whole share, or the files a user picked of it, onto disk through the download queue: each
// file planned into the share's own folder tree, what is already whole skipped, the rest queued
// with its size, and a file whose link the server refused handed back once for a fresh link,
// with which it goes on from its bytes on disk. Its owner, the DownloadManager, drives it for the
// terminal program and the window alike; it never touches the network itself, so a link can be
// renewed wherever the front-end's renewer runs.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "download/download_queue.h"
#include "download/share_plan.h"
#include "share/share_session.h"

namespace sf {

enum class ShareFileStatus {
  kQueued,        // in the queue, not ended yet
  kAwaitingLink,  // planned; it is queued once the share gives its link
  kRenewing,      // its link was refused; it waits for a fresh one
  kDone,
  kSkipped,  // it was whole on disk already
  kFailed,   // `failureCode` or `problem` says why; also when the user took its item out
};

struct ShareFile {
  PlannedFile plan;  // where it goes
  // Absolute, UTF-8: the directory plus the planned folder; one string for all the files of
  // a folder, so a share of many small files does not hold it once a file.
  std::shared_ptr<const std::string> directory;
  // The entry as resolved, its link left out, packed into one record of bytes, no text: a share
  // of many files keeps it small. ShareDownload::Entry gives it back whole, as the share's own
  // FileEntry, with the link in use.
  std::string packedEntry;
  int item = 0;  // the queue's item; 0 when none was queued
  ShareFileStatus status = ShareFileStatus::kQueued;
  int32_t failureCode = 0;  // the engine's, when it failed downloading
  std::string problem;      // UTF-8, when it failed before or between downloads
  std::string savedName;    // UTF-8, when done or skipped
  bool sawBytes = false;    // the server answered this file's download at least once
  bool renewed = false;     // a fresh link was asked for it already

  const std::string& Directory() const;
  std::string SavedPath() const { return Directory() + "/" + savedName; }
  bool Ended() const {
    return status != ShareFileStatus::kQueued && status != ShareFileStatus::kRenewing &&
           status != ShareFileStatus::kAwaitingLink;
  }
};

// True when the server refused the link itself: HTTP 403, 404 or 410, or no connection before
// any byte arrived. A fresh link may help; the bytes on disk stay good.
bool LinkRefused(int32_t failureCode, bool sawBytes);

class ShareDownload {
 public:
  explicit ShareDownload(DownloadQueue& queue) : queue_(queue) {}
  ~ShareDownload();
  ShareDownload(const ShareDownload&) = delete;
  ShareDownload& operator=(const ShareDownload&) = delete;

  // Plans the entries at `chosen` into `directory` (absolute, UTF-8) and queues what is left to
  // do; files that cannot be saved fail at once, files whole on disk are skipped. Gives the
  // positions of the new files in Files(). A file whose planned place (its directory and name,
  // UTF-8) `listed` claims is left out: a download of it is listed already.
  using Listed = std::function<bool(const std::string& directory, const std::string& name)>;
  std::vector<size_t> Add(const std::vector<FileEntry>& entries, const std::vector<size_t>& chosen,
                          const std::string& directory, const DiskLook& look = LookOnDisk,
                          const Listed& listed = {});

  // The same plan, made while the share's links are still being asked for: every file is
  // planned at once, so names come out as Add gives them, but a file to download waits for its
  // link (Link). The share does not end before Close.
  std::vector<size_t> Open(const std::vector<FileEntry>& entries, const std::vector<size_t>& chosen,
                           const std::string& directory, const DiskLook& look = LookOnDisk,
                           const Listed& listed = {});
  // Add (or Open, with `awaitLinks`) for a share of many files, whose looks on disk would hold
  // the caller up: the plan is made on a thread of its own, on the disk as it is (LookOnDisk),
  // and nothing is queued until Feed takes it in. Links and Close that come meanwhile wait for
  // it; the share does not end before the plan is taken in whole. `wake`, when given, is called
  // on that thread once the plan is made.
  void PlanAside(std::shared_ptr<const std::vector<FileEntry>> entries, std::vector<size_t> chosen,
                 const std::string& directory, bool awaitLinks, std::function<void()> wake = {});
  // The plan is being made or is not yet taken in whole.
  bool Planning() const { return aside_ != nullptr; }
  // Takes in up to `most` files of a plan made aside, as Add (or Open) would have; gives their
  // positions in Files(), none while the plan is still being made. Once the last is in, the
  // links that came meanwhile are given and a Close asked for meanwhile is made.
  std::vector<size_t> Feed(size_t most, const Listed& listed = {});

  // The link (GBK) of the entry at `entry` of the entries planned: its file, when one waits for
  // it, is queued, as Add would have queued it. Gives that file's position in Files().
  std::optional<size_t> Link(size_t entry, const std::string& link);
  // No more links come: files still waiting for theirs fail as Add fails a file without one.
  void Close();

  // A download queued on its own, of the share's entry at `position` of the entries planned:
  // from now on it is one of this share's files. Gives its position in Files().
  size_t Adopt(const FileEntry& entry, size_t position, int item, const std::string& directory,
               const std::string& name);

  // A failed file whose item is retried: it is under way again, and may ask for a fresh link
  // once more. False when it has no item or had not failed.
  bool Reopen(size_t file);

  // Reads the queue's items: files whose item ended take its outcome. Gives the files whose link
  // the server refused and that had no fresh link yet: each wants one through Renew.
  std::vector<size_t> Update();
  // The same for the files at `files` alone (any order, repeats allowed): those whose item
  // changed or went. Gives them in the order of Files(), as Update does.
  std::vector<size_t> Update(std::vector<size_t> files);

  // The fresh link (GBK) of `file`, from the share: the file is queued again and goes on from
  // its bytes on disk. Without a link, `why` (UTF-8) says why and the file fails.
  void Renew(size_t file, const std::string& link, const std::string& why = {});

  const std::vector<ShareFile>& Files() const { return files_; }
  // The entry of `file` as resolved (GBK), its link the one in use: its item's address, ""
  // when it has no item in the queue.
  FileEntry Entry(size_t file) const;
  // Its fs_id and app_id alone, without the rest unpacked.
  std::string_view FsId(size_t file) const;
  std::string_view AppId(size_t file) const;
  bool Ended() const;
  // The files that ended since the last call, in the order they ended.
  std::vector<size_t> TakeEnded();

 private:
  std::vector<size_t> Plan(const std::vector<FileEntry>& entries, const std::vector<size_t>& chosen,
                           const std::string& directory, const DiskLook& look, const Listed& listed,
                           bool awaitLinks);
  // Queues a planned file under `link`, or fails it when it cannot be saved or has no link.
  void Start(size_t index, const std::string& directory, const std::string& link);
  void End(ShareFile& file, size_t index, ShareFileStatus status);
  // One planned file into Files(): failed, skipped, waiting for its link or queued.
  using Folders = std::unordered_map<std::string, std::shared_ptr<const std::string>>;
  void Place(const std::vector<FileEntry>& entries, PlannedFile& planned,
             const std::string& directory, bool awaitLinks, Folders& folders);
  // Update for one file; a refused link adds it to `renew`.
  void Look(size_t index, std::vector<size_t>& renew);

  DownloadQueue& queue_;
  std::vector<ShareFile> files_;
  std::vector<size_t> ended_;
  bool linksMayCome_ = false;
  std::string openDirectory_;
  // Entry -> file + 1, until its link comes; 0: none waits. A list as long as the entries
  // costs less than a map of as many files.
  std::vector<size_t> awaiting_;
  size_t open_ = 0;  // files not ended
  // The folders made below a directory: made once, not once per file (the engine opens them
  // again beneath its root, so a folder swapped for a link later still leads nowhere).
  std::unordered_set<std::string> made_;
  // A plan made aside, and what waits for it to be taken in.
  struct Aside {
    std::shared_ptr<const std::vector<FileEntry>> entries;
    std::string directory;
    bool awaitLinks = false;
    std::thread worker;
    std::atomic<bool> cancel{false};
    std::mutex lock;
    bool made = false;               // under `lock`: every file is planned
    std::vector<PlannedFile> ready;  // under `lock`: planned, not yet taken
    std::vector<PlannedFile> plan;   // taken from `ready`, being fed
    size_t fed = 0;                  // how much of `plan` is in Files()
    Folders folders;
    std::map<size_t, std::string> links;  // entry -> link, come while planning
    bool close = false;                   // Close came while planning
  };
  std::unique_ptr<Aside> aside_;
};

}  // namespace sf
