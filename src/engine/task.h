// One download: asks the server for the address and what it serves (requesting), then moves
// the body over one or more connections into the partial file (downloading), until the file
// is complete and renamed into place (finished) or the task gives up (failed). The caller may
// pause it (paused) and resume it from its bytes on disk. The partial file is locked for as
// long as the task owns it, paused or not. Everything here runs on the engine thread.
//
// task.cpp holds the task's life and the claiming of its file, task_http.cpp its connections'
// requests and answers, task_slices.cpp how the file is spread over them, task_disk.cpp what
// goes to the disk thread.
#pragma once

#include <curl/curl.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/control_file.h"
#include "engine/disk_worker.h"
#include "engine/http_response.h"
#include "engine/range_set.h"
#include "engine/save_directory.h"
#include "engine/throughput.h"
#include "engine_api/engine_api.h"

namespace sf::engine {

struct EngineSettings {
  std::string caBundle;    // extra certificate authorities to trust, PEM file
  int retryBaseMs = 1000;  // first pause before a retry; doubles each time
  int maxTries = 5;        // failed tries in a row before a connection gives up
  int stallSeconds = 30;   // no byte for this long (not counting limit pauses) is a time-out
  int belowDriver = 5;     // how far below the driving thread the engine's threads run (nice)
};

// What a file system had free at the last look, less what files were let take since.
struct FreeSpaceLook {
  dev_t device = 0;  // 0: none yet
  Clock::time_point at{};
  int64_t free = 0;
};

// What the engine thread shares with its tasks.
struct EngineContext {
  CURLM* multi = nullptr;
  TokenBucket* bucket = nullptr;
  DiskWorker* disk = nullptr;
  EngineSettings settings;
  FreeSpaceLook freeSpace;
  // Until then new files are claimed on the disk threads: claims on the engine thread took
  // long of late (a slow disk), and there they would hold every transfer up.
  Clock::time_point claimsAwayUntil{};
  int64_t claimUs = 0;  // how long claims on the engine thread took of late, in microseconds
};

// A task as the caller asked for it; texts in UTF-8.
struct TaskRequest {
  std::string url;
  std::string referer;
  std::string cookies;
  std::string dir;
  // Bytes at the start of `dir` that are the caller's own root: the folders below it are never
  // reached through a link. 0: no root, the whole directory is the caller's.
  size_t rootBytes = 0;
  std::string name;
  bool resume = true;
  int64_t expectedSize = -1;  // what the caller knows the file's size to be; -1: unknown
};

// What a query reports.
struct TaskStatus {
  int32_t state = layout::kStatePaused;
  int32_t failureCode = 0;
  int32_t startedOver = 0;       // times what was on disk was dropped to start from byte 0
  bool alreadyComplete = false;  // finished without a byte: the target was whole already
  std::string name;              // UTF-8, the name the file has or will have
  // The partial and control files the task wrote, while it has them (not once finished).
  std::string partPath;
  std::string controlPath;
  int64_t size = 0;
  int64_t downloaded = 0;
  float progress = 0;
  int32_t speed = 0;
  int32_t connections = 0;
  bool originValid = false;
  bool creatingFile = false;
};

class Task;

// What claiming a task's file found. A claim that may wait (for a naming lock held elsewhere,
// or to read what an earlier run left) runs on a disk thread, away from the transfers; a new
// file is claimed on the engine thread at once (Task::ClaimHere). The task takes the outcome over
// on the engine thread once the claim is done, or at once when it must act before (a pause, a
// delete): a claim not yet begun is called off, one under way is waited for.
struct ClaimOutcome {
  ClaimOutcome() = default;
  ClaimOutcome(const ClaimOutcome&) = delete;
  ClaimOutcome& operator=(const ClaimOutcome&) = delete;

  int error = 0;  // 0, Task::kFoundWhole, Task::kWaitForFile or an errno value
  std::shared_ptr<SaveDirectory> directory;  // the directory to save into, once opened
  std::shared_ptr<PartFile> file;
  bool resumed = false;  // the file's control file named ranges to go on from
  ControlData saved;     // what it said, when resumed
  int64_t wholeSize = -1;
  std::string wholeName;

  // Called off before it begins, else waited for until it is done.
  void CallOff();
  // On the disk thread: false when the claim was called off.
  bool Begin();
  // On the disk thread, once the outcome is among the disk's results: true when the engine
  // thread waits for it and must be woken.
  bool Done();
  // On the engine thread: the task cannot go on without the outcome. True when it is done
  // already (and among the disk's results); else the claim wakes the engine when it is.
  bool Await();

 private:
  enum Phase { kQueued, kRunning, kDone, kCalledOff };
  std::mutex mutex_;
  std::condition_variable done_;
  Phase phase_ = kQueued;
  // A claim whose task sent its first request meanwhile wakes nobody: the answer wakes the
  // engine thread, which takes the outcome up on that pass. Only one the task waits for does.
  bool awaited_ = false;
};

struct Connection {
  // kComplete: the target is already whole on disk, the size the server gives.
  // kRefused: a definite refusal (a 4xx other than 408 and 429), asked once more to confirm.
  enum Verdict { kNone, kAccept, kRetry, kFailTask, kRefused, kRestart, kDiskError, kComplete };

  Task* task = nullptr;
  CURL* easy = nullptr;
  bool probe = false;
  bool hasSlice = false;
  int64_t next = 0;  // next byte to write
  int64_t end = 0;   // end of the slice (exclusive); INT64_MAX when unknown
  // End the running request asked for (exclusive), -1: open. The bytes up to it are this
  // connection's alone: the server may be sending them already.
  int64_t requestEnd = -1;
  int64_t requestFrom = 0;           // where the running request began
  Clock::time_point requestSince{};  // when it was sent
  int64_t span = 0;  // bytes this connection moves in about a second; 0: not learned yet
  bool running = false;
  bool paused = false;     // held by the speed limit
  bool checked = false;    // response head judged
  bool stopAtEnd = false;  // stopped on purpose at the end of its slice
  bool useOriginalUrl = true;
  // A first request sent while the task's file is still being claimed: its body, or its end,
  // waits until the claim is in, which decides what the answer means.
  bool heldForClaim = false;
  bool endedBeforeClaim = false;
  CURLcode endedWith = CURLE_OK;
  Verdict verdict = kNone;
  int verdictCode = 0;
  int failures = 0;
  Clock::time_point retryAt{};
  Clock::time_point lastData{};
  ResponseHead head;
  curl_slist* headers = nullptr;  // extra request headers of the running request
  std::string buffer;             // received bytes ending at `next`, not yet written
  Clock::time_point bufferSince{};
  char error[CURL_ERROR_SIZE] = {};
};

class Task {
 public:
  Task(int32_t handle, TaskRequest request, EngineContext& ctx);
  ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  void Start(Clock::time_point now);
  // Closes every connection and records what is on disk; the partial stays locked. A task
  // that is finishing or failing goes on to its end.
  void Pause();
  // Goes on from the bytes on disk; a task never started starts.
  void Resume(Clock::time_point now);
  // The caller forgets the task: it stops, and its partial is let go, kept for a later resume
  // or removed with its control file. A finished file is never touched.
  void Delete(bool removeFiles);
  void Tick(Clock::time_point now);
  // Connections held by the speed limit; the engine releases them in turn across tasks.
  void CollectPaused(std::vector<Connection*>& out);
  void Unpause(Connection& c, Clock::time_point now);
  void OnTransferDone(Connection& c, CURLcode code, Clock::time_point now);
  void OnDiskResult(const DiskResult& result);
  // The engine is shutting down: drop the connections, record what is on disk.
  void Shutdown();
  // Something threw while this task was being served: it fails with `code`, whatever state
  // that leaves behind.
  void Abandon(int code) noexcept;
  TaskStatus Status(Clock::time_point now);
  // The state a query reports; it moved since the last Status when it differs from that one's.
  int32_t ReportedState() const;
  bool StateMoved() const { return ReportedState() != publishedState_; }
  // Every byte is in and the state that says so was told; only its speed, falling away, is
  // left to change until the disk is done with it.
  bool WaitsForDisk() const { return finishing_ && !Ended() && !StateMoved(); }
  bool Ended() const { return state_ == layout::kStateFailed || state_ == layout::kStateFinished; }

  // Curl callbacks.
  size_t OnData(Connection& c, const char* data, size_t len);
  void OnHeaderLine(Connection& c, std::string_view line);

 private:
  // Claims the file on a disk thread; the task goes on with it when the outcome comes back
  // (OnClaimed), or waits for it (waitingForFile_).
  void Claim(Clock::time_point now);
  void OnClaimed();
  // A claim in flight is called off or waited for, and what it found taken over.
  void SettleClaim();
  void Adopt(ClaimOutcome& outcome);

 public:
  static constexpr int kFoundWhole = -1;
  static constexpr int kWaitForFile = -2;  // a task deleted a moment ago still lets it go
  // Not claimed here: the folder's naming lock is held, or a run left files under the name.
  static constexpr int kWouldWait = -3;
  // Finds and opens the file `request` is to be saved in; safe on any thread.
  static void PrepareFile(const TaskRequest& request, bool wholeFirst, DiskWorker& disk,
                          ClaimOutcome& out);

 private:
  static int PrepareIn(const TaskRequest& request, bool wholeFirst, DiskWorker& disk,
                       ClaimOutcome& out, bool wait = true);
  // Claims a new file on this thread, when that takes no wait for a lock; false otherwise.
  bool ClaimHere();
  void Begin(Clock::time_point now);
  void LaunchProbe(int64_t from, Clock::time_point now);
  // The first request, sent while the claim ran, goes on with what it held back.
  void ReleaseProbe(Connection& c, Clock::time_point now);
  void Launch(Connection& c, Clock::time_point now);
  int64_t RequestEnd(const Connection& c, Clock::time_point now);
  void Abort(Connection& c);
  // Takes the connection's transfer off the multi handle and frees it; nothing is written.
  void CloseTransfer(Connection& c) noexcept;
  bool WriteBuffered(Connection& c);
  void AbortAll();
  Connection::Verdict Judge(Connection& c, int& code);
  void SetUpAfterProbe(Connection& c, bool rangesServed, int64_t size);
  bool ResumesSameFile(const Validators& seen) const;
  void Failure(Connection& c, int code, Clock::time_point now);
  bool BudgetSpent();
  void SliceFinished(Connection& c, Clock::time_point now);
  std::optional<ByteRange> TakeWork();
  void Restart(Clock::time_point now);
  void ResetFile();
  int Preallocate();
  DiskJob Job(DiskJob::Kind kind) const;
  // What the control file is to hold now.
  ControlData Recorded() const;
  void PostFlush(bool always = true);
  void CheckComplete();
  void Fail(int code);
  void DropConnections() noexcept;
  // Finishing, failing or ended: nothing more is fetched or written.
  bool Closing() const { return Ended() || finishing_ || failing_; }
  int MaxConnections() const;
  // The size the file should have when no answer in hand says: an earlier answer's, else the
  // caller's; -1 when neither knows.
  int64_t ExpectedSize() const;
  int ActiveConnections() const;
  void RemoveIdle();

  int32_t handle_;
  TaskRequest request_;
  EngineContext& ctx_;
  std::shared_ptr<SaveDirectory> directory_;  // the directory to save into, once opened
  std::string effectiveUrl_;
  int32_t state_ = layout::kStatePaused;
  int32_t failureCode_ = 0;
  int64_t size_ = -1;
  bool rangesServed_ = false;
  bool originValid_ = false;
  bool finishing_ = false;
  bool failing_ = false;  // waits for the last control-file write before it reports failure
  int restarts_ = 0;
  int startedOver_ = 0;
  int failuresWithoutProgress_ = 0;  // failures since the last new byte, across connections
  // Without ranges every try starts at byte 0: only a byte past the furthest one ever held
  // is new.
  int64_t furthestHeld_ = 0;
  // The size an earlier answer gave, kept when a later one gives none; -1: none gave one.
  int64_t learnedSize_ = -1;
  int refusals_ = 0;   // definite refusals since the last answer taken
  ControlData saved_;  // what the control file said when this run found it, or at a pause
  // A whole file under the requested name, without a control file, is checked against the
  // server's size before anything is written: its size (-1: none) and name.
  int64_t wholeSize_ = -1;
  std::string wholeName_;
  bool alreadyComplete_ = false;
  bool waitingForFile_ = false;
  std::shared_ptr<ClaimOutcome> claim_;  // the claim in flight, if any
  uint64_t claims_ = 0;                  // claims posted, to know a late outcome
  Validators validators_;                // what the server sent for the bytes now on disk
  RangeSet done_;
  std::deque<ByteRange> pending_;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::shared_ptr<PartFile> file_;
  int32_t publishedState_ = -1;
  SpeedMeter meter_;
  Clock::time_point lastFlush_{};
  int64_t unsyncedBytes_ = 0;
};

}  // namespace sf::engine
