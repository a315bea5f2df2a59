// The one owner of a program's downloads: the engine, the queue, every share being downloaded,
// the speed limit and how many files run at once. Front-ends only render what it holds and ask
// it to act; it moves on Tick and tells every listener what happened, once. A file whose link
// a server refused is renewed through a LinkRenewer the resolution side gives with its share.
// Everything, the renewers' answers included, runs on the owner's thread; texts are GBK unless
// said otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "download/download_queue.h"
#include "download/link_renewer.h"
#include "download/share_download.h"

namespace sf {

class DownloadEngine;

struct DownloadEvent {
  enum Kind {
    kStarted,    // an item came into the queue, or went back into it under a fresh link
    kProgress,   // a started item was polled
    kFinished,   // a download, or a file of a share, is on disk (done or found whole)
    kFailed,     // ended without its file; `failureCode` or `reason` says why
    kNeedsLink,  // a share's file whose link was refused; its renewer has been asked
    kShown,      // an item asked for again while listed: it stays the one download of its file
  };
  Kind kind = kStarted;
  int item = 0;             // the queue's item; 0 for a share's file that never had one
  int share = 0;            // the share the file belongs to; 0 for a download of its own
  size_t file = 0;          // the file's position in that share's Files()
  int32_t failureCode = 0;  // kFailed: the engine's code, when that is what ended it
  std::string reason = {};  // kFailed: else why the share's file failed (UTF-8)
};

// Where a share's files came from, kept so that a later run can ask the share again (GBK).
struct ShareSource {
  std::string url;
  std::string code;  // the extraction code the parse was given; "" when it needed none
};

class DownloadManager {
 public:
  using Listener = std::function<void(const DownloadEvent&)>;

  // Starts the engine; nothing else may call its Init.
  explicit DownloadManager(DownloadEngine& engine);
  ~DownloadManager();
  DownloadManager(const DownloadManager&) = delete;
  DownloadManager& operator=(const DownloadManager&) = delete;

  // Gives an id for Unlisten. Listeners may call back into the manager.
  int Listen(Listener listener);
  void Unlisten(int id);

  // Kilobytes per second for all downloads together, as the engine takes them (0 or less, or
  // layout::kNoSpeedLimit: no limit).
  void SetSpeedLimit(int32_t kilobytesPerSecond);
  void SetJobs(int n);  // files downloading at once, at least 1

  // A download of its own; gives its item. A download of the same file (same directory and
  // name) that is listed already is not added again: that item is resumed or retried when it
  // was paused or failed, told as kShown, and given.
  int Add(DownloadRequest request);
  // The entries at `chosen` planned into `directory` (absolute, UTF-8) and queued, as
  // ShareDownload::Add does; a refused link is renewed through `renewer`. Entries that the same
  // renewer's earlier shares still download are left out, so one partial never has two owners;
  // so are files planned where a listed item downloads, which are taken up again as Add does.
  // Gives the share's id.
  int AddShare(const std::vector<FileEntry>& entries, const std::vector<size_t>& chosen,
               const std::string& directory, std::shared_ptr<LinkRenewer> renewer,
               const DiskLook& look = LookOnDisk, ShareSource source = {});
  // The same, while the share's links are still being asked for: every file is planned now
  // (the names come out as AddShare gives them) and each is queued once AddLink brings its
  // link. The share, and so Idle(), does not end before CloseShare.
  int OpenShare(const std::vector<FileEntry>& entries, const std::vector<size_t>& chosen,
                const std::string& directory, std::shared_ptr<LinkRenewer> renewer,
                const DiskLook& look = LookOnDisk, ShareSource source = {});
  // The link (GBK) of the open share's entry at `entry`: its file, if one was planned and waits
  // for it, starts at once.
  void AddLink(int share, size_t entry, const std::string& link);
  // No more links come for the share: its files still waiting for one fail, as AddShare fails
  // a file the share gave no link for.
  void CloseShare(int share);
  // Where an open share came from, known for sure only once its resolution has ended.
  void SetShareSource(int share, ShareSource source);
  const ShareDownload* Share(int id) const;
  // A download of its own, not ended, that is the share's entry at `position` of `entries`: it
  // becomes a one-file share renewed through `renewer`, as if AddShare had queued it. False when
  // the item is unknown, ended or a share's already.
  bool Adopt(int item, const std::vector<FileEntry>& entries, size_t position,
             std::shared_ptr<LinkRenewer> renewer, ShareSource source = {});
  // The share an item's file came from and, into `entry`, the file's entry there; null for a
  // download of its own.
  const ShareSource* SourceOf(int item, FileEntry* entry = nullptr) const;

  int Pause(const std::vector<int>& ids);
  int Resume(const std::vector<int>& ids);
  // A share's file retried asks its share for a fresh link again when the old one is refused.
  int Retry(const std::vector<int>& ids);
  // A share's file whose item goes fails, saying so; it is never left without an outcome.
  int Cancel(const std::vector<int>& ids, bool removeFiles);

  // Polls the engine, hands the results to the shares, asks for fresh links and tells the
  // listeners; gives the items that ended meanwhile. Safe to call at any moment: from a timer
  // now, from the engine's wake-up later.
  std::vector<int> Tick(int64_t nowMs);
  // The same without a poll: what ended by the user's action (a start that found its file
  // whole, a task the engine would not create).
  std::vector<int> Settle();
  // Forgets the finished items every listener has been told of (the files stay): the window's
  // list shows only what is still under way.
  void ReleaseFinished();
  // The same for a run that tells each file once as it ends and shows only the totals (the
  // terminal's): the items go and their part of the totals stays. It acts once many have
  // finished, so that each walk of the list takes a good part of it away.
  void DropFinished();

  const DownloadQueue& queue() const { return queue_; }
  // Readable whenever a task's state changes, so a caller can Tick at once instead of on its
  // next turn; -1 when the engine cannot say, and then only polling helps.
  int TaskEventFd() const;
  // Every item ended and every share's file has its outcome.
  bool Idle() const;

 private:
  struct ShareRun;
  int QueueShare(const std::vector<FileEntry>& entries, const std::vector<size_t>& chosen,
                 const std::string& directory, std::shared_ptr<LinkRenewer> renewer,
                 const DiskLook& look, ShareSource source, bool open);
  // `gone`: items just taken out of the queue, whose share files fail.
  std::vector<int> Step(std::vector<int> ended, const std::vector<int>& gone = {});
  void Answer(int share, size_t file, const std::string& link, const std::string& why);
  void ReportShareEnds(ShareRun& run);
  void Emit(std::vector<DownloadEvent> events);
  // The listed item, not finished, that saves to DIRECTORY/NAME (GBK); 0 when none.
  int Listed(const std::string& directory, const std::string& name) const;
  // Items asked for again: paused ones resume, failed ones are retried, all are told as kShown.
  void TakeUpAgain(const std::vector<int>& ids);

  DownloadEngine& engine_;
  DownloadQueue queue_;
  std::map<int, std::unique_ptr<ShareRun>> shares_;
  std::map<int, std::pair<int, size_t>> shareItems_;  // item -> share, file
  std::vector<int> reported_;                         // finished items told of, not released
  std::map<int, Listener> listeners_;
  std::vector<DownloadEvent> pending_;
  int nextListener_ = 1;
  int nextShare_ = 1;
  bool stepping_ = false;  // inside Step: the shares' ends are told once all renewals ran
  // A renewer may answer after the owner is gone; its answer then goes nowhere.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace sf
