// Disk work that must not hold up the network thread: making the partial file durable before
// the control file claims its ranges, the final sync and rename, and letting a failed task's
// file go. The jobs of one file run one at a time in the order they were posted, so a control
// file is never written after its download was finished. The jobs of different files run side
// by side on several threads: a sync mostly waits for the disk, and syncs that wait together
// are written together (in one journal commit, in one queue of the device), so many small
// files are not made durable one round trip to the disk after another.
//
// Small files that finish close together are finished as one batch: one sync of their file
// system makes all their bytes durable, then each is renamed into place, then one more sync
// makes every new name durable. A sync of each file and of each folder would cost two writes
// to the disk per file; a batch costs two in all, however many files it holds, and while it
// runs the next one gathers. When it has, the one sync serves both: the next batch's bytes and
// this one's names.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace sf::engine {

// The partial file of one task. `generation` changes whenever the file restarts from zero;
// a control file written for an older generation would claim bytes that are gone.
struct PartFile {
  PartFile() = default;
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;
  ~PartFile();
  void CloseFile();

  std::mutex mutex;
  int fd = -1;     // holds the lock that keeps other tasks away; closed when the file is let go
  int dirFd = -1;  // the directory: every name below is taken relative to it
  // What holds dirFd open, shared with the other files saved into the folder meanwhile.
  std::shared_ptr<const void> directory;
  std::string dir;       // UTF-8, no trailing slash
  std::string name;      // target name inside dir
  std::string partName;  // name.sfpart
  std::string controlName;
  std::string partPath;  // dir/name.sfpart, for reports
  std::string controlPath;
  uint64_t generation = 0;
  bool closed = false;  // renamed into place; nothing more is written for it
  // The directory's file system and inode (0: unknown): a batch syncs each file system once
  // without looking, and renames the files of one folder under one hold of its naming lock.
  dev_t device = 0;
  ino_t dirInode = 0;
  // A control file was found or written under its name: the finish takes it away. A file
  // that arrives whole in its first second never has one, and its finish does not look.
  // Under `mutex` once the file is claimed.
  bool controlMayExist = false;
  // The file's length when this engine alone made it what it is (created or cut to nothing
  // here, then written and reserved by the task): the finish need not set it again. -1:
  // unknown, as for a partial taken over, which may hold more.
  std::atomic<int64_t> length{-1};
  // A slow disk must not pile up jobs: a new flush or write-back is only posted once the
  // previous one of its kind has run.
  std::atomic<bool> flushQueued{false};
  std::atomic<bool> writebackQueued{false};
};

struct DiskJob {
  // kRelease: a last flush, then the file is closed (and its lock dropped) and reported.
  // kRemove: the task was deleted with its files, which RemovePartFiles took away at once; the
  // partial's descriptor is closed once the jobs posted before are done with it.
  // kClaim: `work` finds and opens a task's file, which has none yet (`file` is empty); claims
  // run side by side, each reported with its `generation`.
  enum Kind { kFlush, kWriteback, kFinish, kRelease, kRemove, kClaim } kind = kFlush;
  int32_t handle = 0;
  std::shared_ptr<PartFile> file;
  uint64_t generation = 0;
  std::pair<uint64_t, uint64_t> lettingGo{0, 0};  // kRelease, kRemove: the file, when open
  std::string control;                            // kFlush: the control file's new content
  int64_t size = 0;                               // kFinish: the file's final length
  std::function<void()> work;                     // kClaim
  // kClaim, once its result is among the results: whether to wake the engine thread for it.
  std::function<bool()> claimDone;
  // kClaim: claims with the same nonzero key (those of one folder) run one at a time, in the
  // order posted: they would only queue for the folder's naming lock side by side.
  uintptr_t claimOrder = 0;
  std::chrono::steady_clock::time_point posted{};
  bool heldBack = false;  // posted while a thread was at its file or folder, or a batch ran
};

struct DiskResult {
  int32_t handle = 0;
  DiskJob::Kind kind = DiskJob::kFinish;
  int error = 0;  // errno value, 0 on success
  // The name the file was given; set when it was renamed into place, even if the sync of its
  // folder failed after.
  std::string savedName;
  uint64_t generation = 0;  // kClaim: the job's
};

class DiskWorker {
 public:
  // `lower`: how far below the driving thread its threads run (RunBelowDriver).
  explicit DiskWorker(std::function<void()> notify, int lower = 0);
  ~DiskWorker();
  DiskWorker(const DiskWorker&) = delete;
  DiskWorker& operator=(const DiskWorker&) = delete;

  // Threads at most; more are only started while every one is busy and jobs wait.
  static constexpr size_t kMaxThreads = 32;
  // A file this small finishes in a batch; a larger one has its own sync, which waits for its
  // bytes only, and is not held up by a batch (nor holds one up).
  static constexpr int64_t kBatchedSize = 4 << 20;
  // Files in one batch at most: the files of a batch stay out of reach of other jobs until all
  // are done.
  static constexpr size_t kMaxBatch = 512;
  // Within kStream of the last batch, a small finish waits until kGather after it was posted
  // for others to join its batch; a file that comes alone goes at once.
  static constexpr auto kStream = std::chrono::milliseconds(20);
  static constexpr auto kGather = std::chrono::milliseconds(3);

  void Post(DiskJob job);
  // True while a job posted to let the file `held` go (kRelease, kRemove) has not closed it:
  // its lock is about to be free.
  bool LettingGo(const struct stat& held);
  std::vector<DiskResult> TakeResults();
  // Runs what is queued, then stops the thread.
  void Stop();

 private:
  void Run();
  void Carry(DiskJob& job);
  // Takes out the small finishes queued (each file's first job, its file free), `first`
  // included; under mutex_.
  std::vector<DiskJob> TakeBatch(std::deque<DiskJob>::iterator first);
  void FinishBatch(std::vector<DiskJob>& batch);
  // A small finish is queued that the next batch would take; under mutex_.
  bool BatchWaiting() const;
  // Makes the names in named_ durable and reports them.
  void SyncNamed();
  // Where a sync of the file system failed: each folder of named_ on its own, which tells
  // which of them failed.
  void SyncEachFolder();
  void ReportNamed();
  void Flush(const DiskJob& job);
  // The final length, a sync, the rename and a sync of the folder, for one file.
  DiskResult Finish(const DiskJob& job);
  // Takes the control file away and renames the synced partial into place.
  DiskResult Rename(const DiskJob& job);
  // The same, with the folder's naming lock held by the caller.
  DiskResult RenameHeld(const DiskJob& job);
  // Renames the files of `batch` whose result is still 0 into place, those of one folder a
  // few dozen at a time under one hold of its naming lock; the names go to named_, the
  // failures into `results`.
  void RenameBatch(std::vector<DiskJob>& batch, std::vector<DiskResult>& results);
  // Closes the file of a kRelease or kRemove job, and with it its lock.
  void LetGo(const DiskJob& job);
  void Report(DiskResult result);

  std::function<void()> notify_;
  int lower_ = 0;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<DiskJob> jobs_;
  // Files (and folders of claims) a thread works on now: their next jobs wait, and wake nobody
  // when posted, as that thread takes them up next.
  std::set<uintptr_t> busy_;
  std::multiset<std::pair<uint64_t, uint64_t>> lettingGo_;  // device and inode
  std::vector<DiskResult> results_;
  bool stop_ = false;
  bool batching_ = false;  // a batch runs: small finishes wait to make the next one
  // Files of the last batch renamed into place, reported once their names are durable: by the
  // next batch's sync, or by one of their own when no batch follows at once. Only the thread
  // running the batches touches it.
  struct Named {
    DiskJob job;
    DiskResult result;
  };
  std::vector<Named> named_;
  std::chrono::steady_clock::time_point lastBatch_{};  // when the last batch was done
  size_t idle_ = 0;                                    // threads waiting for a job
  size_t heldBack_ = 0;  // queued jobs posted held back, which woke no thread
  std::vector<std::thread> threads_;
};

// The engine's threads may run below the thread that drives them, which then goes first when
// both want the processor at once: a terminal or the service resolving a share, whose links feed
// the downloads. Lowers the calling thread's priority by `lower` steps (nice), 0 leaving it.
void RunBelowDriver(int lower);

// Moves `from` to `name`, both in the directory `dirFd`, without ever replacing an existing
// file; when the name is taken, "name (1).ext", "name (2).ext" and so on are tried. Gives 0 and
// the name used, or errno.
int RenameNoReplace(int dirFd, const std::string& from, const std::string& name,
                    std::string& usedName);

// Takes a deleted task's partial and control file away, at once and in one step as other tasks
// see it, when the task still holds the partial's lock or can take it (another task may have
// taken it since this one let it go: then it stays theirs). A file renamed into place is never
// touched. The descriptor stays open: jobs posted earlier may still use it.
void RemovePartFiles(PartFile& file);

}  // namespace sf::engine
