// The downloads a user controls, for the window and the terminal program alike: a queue of items
// that runs at most N engine tasks at once and keeps the rest waiting, polls them on the
// caller's clock, and pauses, resumes, cancels and retries them. It holds each item's state,
// so the views only render it; the DownloadManager owns it and is the one that acts on it.
// Everything runs on the caller's thread; texts are GBK.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "download/task_records.h"

namespace sf {

class DownloadEngine;
class IdSource;

// The queue's own failure code for a task the engine would not even create (XL_CreateTask gave
// 0); the engine's codes are HTTP statuses and errno values, none of them negative.
inline constexpr int32_t kFailureNotCreated = -1;

enum class DownloadStatus {
  kQueued,       // waiting for a free slot
  kRequesting,   // started; the engine is asking the server
  kDownloading,  // bytes are arriving
  kPaused,       // held by the user; its bytes stay on disk
  kFinished,
  kFailed,  // the failure code says why; a retry goes on from the bytes on disk
};

// What to download. Everything but the address, the name and the directory is optional.
struct DownloadRequest {
  std::string name;       // the file name to save as
  std::string address;    // the download address
  std::string directory;  // the directory to save into
  std::string referer;
  std::string cookies;
  int64_t expectedSize = -1;  // bytes, when the caller knows them; -1: unknown
  // The leading part of `directory` that is the user's own choice; the folders below it are
  // the caller's making, and the engine never follows a link among them. Empty: none.
  std::string root = {};
};

struct DownloadItem {
  int id = 0;  // ours, stable for the item's life; never the engine's handle
  DownloadRequest request;
  DownloadStatus status = DownloadStatus::kQueued;
  int32_t handle = 0;       // the engine task; 0 before one was created
  int32_t engineState = 0;  // as the engine last reported it; 0 before any report
  int64_t size = -1;        // as the engine reports it; -1 before any report
  int64_t done = 0;
  float progress = 0;            // fraction, as the engine reports it
  int32_t speed = 0;             // bytes per second
  int64_t etaSeconds = -1;       // -1: unknown
  int32_t failureCode = 0;       // the engine's, or kFailureNotCreated; the view words it
  std::string failureReason;     // a failure no engine code tells (a downloader's words), GBK
  std::string savedName;         // the name the engine saves under; empty until it says
  size_t savedNameKey = 0;       // TaskInfoRecord::FileNameKey of the report it came from
  bool alreadyComplete = false;  // finished without a byte: the file was whole on disk already
  int32_t startedOver = 0;       // times the engine dropped what was on disk and began at byte 0
  // A file followed on a remote downloader: that downloader as shown (GBK); empty for ours.
  std::string where;
  bool renewing = false;  // its link was refused and the share is asked for a fresh one

  // Kept between polls to smooth the time left.
  double smoothedSpeed = 0;
  int64_t lastPollMs = -1;

  const std::string& Name() const { return savedName.empty() ? request.name : savedName; }
  bool Ended() const {
    return status == DownloadStatus::kFinished || status == DownloadStatus::kFailed;
  }
  // Known size in bytes: the engine's, else the caller's; -1 when neither knows.
  int64_t KnownSize() const;
};

struct DownloadTotals {
  int files = 0;
  int filesDone = 0;
  int64_t bytesDone = 0;
  int64_t bytesTotal = 0;     // of the sizes known
  bool allSizesKnown = true;  // false: bytesTotal leaves some out
  int64_t speed = 0;          // bytes per second
  int64_t etaSeconds = -1;    // for all that is still to come; -1: unknown
};

class DownloadQueue {
 public:
  static constexpr int kDefaultMaxRunning = 3;
  // Files whose bytes are all in while the engine makes them safe on disk (state 6) free their
  // slot: up to this many of them wait for the disk beside the running ones, so that the syncs
  // of many small files are made together instead of one after another. Each still holds its
  // files open (the partial and its folder), hence a bound, lowered to what the process's
  // descriptor limit leaves room for (`FinishingRoom`). A batch of the disk's syncs takes up
  // to this many: the transfers go on while one runs, instead of stopping until it is done.
  static constexpr int kMaxFinishing = 512;
  // kMaxFinishing, or fewer when the limit on open descriptors would not hold them all.
  static int FinishingRoom();

  // Ids come from `ids` when given (shared with other lists of one program), else our own.
  // The manager that owns the queue draws its shares' ids from the same source.
  explicit DownloadQueue(DownloadEngine& engine, std::shared_ptr<IdSource> ids = nullptr);
  DownloadQueue(const DownloadQueue&) = delete;
  DownloadQueue& operator=(const DownloadQueue&) = delete;

  // Queues a download and starts it when a slot is free. When the expected size is known and
  // DIR/NAME is already whole on disk (that size, no control file beside it), the item is
  // finished at once without an engine task. A task the engine refuses to create fails.
  int Add(DownloadRequest request);
  // Room for `more` items to come, so a long list is not copied as it grows. Never less than
  // double the room there was: many small batches still grow the list in few steps.
  void Reserve(size_t more);

  // Each acts on the items it applies to and gives how many those were. Pause holds queued and
  // running items; Resume queues paused ones again; Retry queues failed ones, which then go on
  // from their bytes on disk; Cancel forgets items of any status, deleting their engine tasks
  // (with their partial files when asked; a finished file is never removed).
  int Pause(const std::vector<int>& ids);
  int Resume(const std::vector<int>& ids);
  int Retry(const std::vector<int>& ids);
  int Cancel(const std::vector<int>& ids, bool removeFiles);
  // Forgets finished items as Cancel does, but what they add to the totals stays: a run that
  // reports each file once as it ends need not hold every file it finished. Gives how many
  // went; items not finished stay.
  int Drop(const std::vector<int>& ids);
  // Queues a failed item again under a new address, a fresh link to the same file: its engine
  // task goes, its bytes on disk stay, and the new task goes on from them. False when the item
  // is unknown or has not failed.
  bool Relink(int id, std::string address);

  void SetMaxRunning(int n);  // at least 1

  // Queries every started item, starts queued ones as slots free, and gives the ids of the items
  // that finished or failed since the last call (also those that ended without a poll, in Add
  // or Retry). `nowMs` is the caller's monotonic clock, for the time left.
  std::vector<int> Poll(int64_t nowMs);
  // The same ids, without polling.
  std::vector<int> TakeEnded();
  // The items the last Poll took a new answer for: those it left as they were (files waiting
  // for the disk whose engine said nothing new) are not among them.
  const std::vector<int>& Moved() const { return moved_; }

  // In the order they were added.
  const std::vector<DownloadItem>& Items() const { return items_; }
  const DownloadItem* Find(int id) const;
  DownloadTotals Totals() const;
  // The same sums over any items, as the queue makes them: for a list that holds no queue.
  static DownloadTotals TotalsOf(const std::vector<DownloadItem>& items);
  // The items started and not ended (running or paused), in the order they were added: what a
  // view of the work under way walks instead of the whole list.
  const std::set<int>& Started() const { return started_; }
  // The items a poll asks the engine about; they may change on the next poll.
  const std::set<int>& Watched() const { return watched_; }
  IdSource& Ids() const { return *ids_; }
  // Items neither finished nor failed.
  size_t Unended() const { return queued_.size() + started_.size(); }
  // Items failed and still listed, waiting for the user.
  int Failed() const { return failed_; }
  // Something will move without the user: an item waits for a slot or runs.
  bool Moving() const { return !queued_.empty() || running_ + finishing_ > 0; }
  // The sum of every listed item's percentage in hundredths, each rounded as its row shows
  // it: a mean over the list without a walk over it.
  int64_t PercentHundredths() const { return percentHundredths_; }
  // The listed item, not finished, that saves to DIRECTORY/NAME (GBK; a "/" at the directory's
  // end does not count), the first one added when there are several; 0 when none.
  int Listed(const std::string& directory, const std::string& name) const;

 private:
  DownloadItem* Get(int id);
  int Requeue(const std::vector<int>& ids, DownloadStatus from);
  void Schedule();
  void Start(DownloadItem& item);
  void Create(DownloadItem& item);
  void Update(DownloadItem& item, int64_t nowMs);
  void End(DownloadItem& item, DownloadStatus status);
  // Around every change of an item: its entries in the indexes below, and its share of the
  // totals while it is not watched, go before the change and come back after it. A poll then
  // costs what is under way, not the length of the list.
  void Forget(const DownloadItem& item);
  void Keep(const DownloadItem& item);

  // What settled items add to the totals; the watched ones are added as they are.
  struct Sums {
    int files = 0;
    int filesDone = 0;
    int64_t bytesTotal = 0;
    int unknownSizes = 0;
    int64_t bytesDone = 0;
    int64_t speed = 0;
    int64_t remaining = 0;
    int unknownRemaining = 0;
    double smoothedSpeed = 0;
    void Add(const DownloadItem& item, int sign);
    DownloadTotals Totals() const;
  };

  DownloadEngine& engine_;
  TaskParamRecord param_;
  TaskInfoRecord info_;
  std::vector<DownloadItem> items_;
  std::vector<int> ended_;
  std::vector<int> moved_;  // by the last Poll
  std::set<int> queued_;    // waiting for a slot, in line order (ids ascend as items are added)
  std::set<int> started_;   // running or paused
  std::set<int> watched_;   // asked on each poll
  int running_ = 0;         // requesting or downloading, not finishing
  int finishing_ = 0;       // every byte in, made safe on disk by the engine
  int failed_ = 0;
  int64_t percentHundredths_ = 0;  // of the listed items, as PercentHundredths gives it
  Sums settled_;                   // of the items not watched
  // Hashes of directory and name (the one asked for, and the engine's) to the items there.
  std::unordered_multimap<size_t, int> places_;
  std::shared_ptr<IdSource> ids_;
  int maxRunning_ = kDefaultMaxRunning;
};

// True when DIR/NAME (GBK) has its partial file or its control file: a download there is
// unfinished and can go on.
bool HasPartialFiles(const std::string& directory, const std::string& name);

}  // namespace sf
