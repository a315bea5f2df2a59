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
#include <unordered_map>
#include <vector>

#include "download/download_queue.h"
#include "download/downloads.h"
#include "download/link_renewer.h"
#include "download/share_download.h"

namespace sf {

class DownloadEngine;

class DownloadManager : public Downloads {
 public:
  // Starts the engine; nothing else may call its Init.
  // `ids`: shared with the program's other back-ends, so that no two items have one id.
  explicit DownloadManager(DownloadEngine& engine, std::shared_ptr<IdSource> ids = nullptr);
  ~DownloadManager() override;
  DownloadManager(const DownloadManager&) = delete;
  DownloadManager& operator=(const DownloadManager&) = delete;

  // Gives an id for Unlisten. Listeners may call back into the manager.
  ListenerId Listen(Listener listener) override;
  void Unlisten(ListenerId id) override;

  // Kilobytes per second for all downloads together, as the engine takes them (0 or less, or
  // layout::kNoSpeedLimit: no limit).
  void SetSpeedLimit(int32_t kilobytesPerSecond) override;
  void SetJobs(int n) override;  // files downloading at once, at least 1

  // A download of its own; gives its item. A download of the same file (same directory and
  // name) that is listed already is not added again: that item is resumed or retried when it
  // was paused or failed, told as kShown, and given.
  int Add(DownloadRequest request);
  ItemId AddDownload(DownloadRequest request) override { return ItemId{Add(std::move(request))}; }
  // The entries at `chosen` planned into `directory` (absolute, UTF-8) and queued, as
  // ShareDownload::Add does; a refused link is renewed through `renewer`. Entries that the same
  // renewer's earlier shares still download are left out, so one partial never has two owners;
  // so are files planned where a listed item downloads, which are taken up again as Add does.
  // Gives the share's id.
  ShareId AddShare(const std::vector<FileEntry>& entries, const std::vector<size_t>& chosen,
                   const std::string& directory, std::shared_ptr<LinkRenewer> renewer,
                   const DiskLook& look = LookOnDisk, ShareSource source = {});
  // The same from the seam: OpenShare for an open order.
  ShareId AddShare(ShareOrder order) override;
  // The same, while the share's links are still being asked for: every file is planned now
  // (the names come out as AddShare gives them) and each is queued once AddLink brings its
  // link. The share, and so Idle(), does not end before CloseShare.
  ShareId OpenShare(const std::vector<FileEntry>& entries, const std::vector<size_t>& chosen,
                    const std::string& directory, std::shared_ptr<LinkRenewer> renewer,
                    const DiskLook& look = LookOnDisk, ShareSource source = {});
  // The link (GBK) of the open share's entry at `entry`: its file, if one was planned and waits
  // for it, starts at once.
  void AddLink(ShareId share, size_t entry, const std::string& link) override;
  // No more links come for the share: its files still waiting for one fail, as AddShare fails
  // a file the share gave no link for.
  void CloseShare(ShareId share) override;
  // Where an open share came from, known for sure only once its resolution has ended.
  void SetShareSource(ShareId share, ShareSource source) override;
  const ShareDownload* Share(ShareId id) const;
  // A download of its own, not ended, that is the share's entry at `position` of `entries`: it
  // becomes a one-file share renewed through `renewer`, as if AddShare had queued it. False when
  // the item is unknown, ended or a share's already.
  bool Adopt(int item, const std::vector<FileEntry>& entries, size_t position,
             std::shared_ptr<LinkRenewer> renewer, ShareSource source = {});
  // The share an item's file came from and, into `entry`, the file's entry there; null for a
  // download of its own.
  const ShareSource* SourceOf(int item, FileEntry* entry = nullptr) const;
  // The same with only the entry's fs_id and app_id, as a close keeps them for every item.
  const ShareSource* SourceOf(int item, std::string& fsId, std::string& appId) const;

  int Pause(const std::vector<ItemId>& ids) override;
  int Resume(const std::vector<ItemId>& ids) override;
  // A share's file retried asks its share for a fresh link again when the old one is refused.
  int Retry(const std::vector<ItemId>& ids) override;
  // A share's file whose item goes fails, saying so; it is never left without an outcome.
  int Cancel(const std::vector<ItemId>& ids, bool removeFiles) override;

  // Polls the engine, hands the results to the shares, asks for fresh links and tells the
  // listeners; gives the items that ended meanwhile. Safe to call at any moment: from a timer
  // now, from the engine's wake-up later.
  std::vector<ItemId> Tick(int64_t nowMs) override;
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

  // A share of at least `files` files given through the seam is planned on a thread of its own
  // (ShareDownload::PlanAside) and taken in by Ticks, a batch at a time, so that the owner's
  // thread is never held up by a share's looks on disk. 0, as at first: never.
  void SetPlanAsideFrom(size_t files) { planAsideFrom_ = files; }
  // A share's plan is being made or taken in: Tick soon (NextTickMs says when).
  bool Planning() const;
  // Readable once a plan made aside is ready to be taken in: Tick then, and read 8 bytes to
  // make it quiet again. -1 when none could be made; NextTickMs still says when to look.
  int PlanReadyFd() const { return planReady_.fd; }
  // A plan is taken in by batches of this many files, on one Tick for up to this long.
  static constexpr size_t kFeedBatch = 256;
  static constexpr int64_t kFeedSliceMs = 30;

  const DownloadQueue& queue() const { return queue_; }
  // Readable whenever a task's state changes, so a caller can Tick at once instead of on its
  // next turn; -1 when the engine cannot say, and then only polling helps.
  int TaskEventFd() const;
  int WakeFd() const override { return TaskEventFd(); }
  // Progress shows only to a poll: a few times a second while anything runs, at once when
  // the engine cannot tell of its ends.
  int64_t NextTickMs(int64_t nowMs) const override;
  const std::vector<DownloadItem>& Items() const override { return queue_.Items(); }
  const DownloadItem* Find(ItemId id) const override { return queue_.Find(Raw(id)); }
  std::vector<ItemId> Started() const override;
  DownloadTotals Totals() const override { return queue_.Totals(); }
  // Every item ended and every share's file has its outcome.
  bool Idle() const override;

  static constexpr int64_t kPollEveryMs = 20;       // without the engine's word on its ends
  static constexpr int64_t kProgressEveryMs = 250;  // with it
  static constexpr int64_t kPlanningEveryMs = 20;   // while a plan is made or taken in

 private:
  struct ShareRun;
  // `owned`: the entries themselves, which a share planned aside keeps while it plans.
  int QueueShare(const std::vector<FileEntry>& entries, const std::vector<size_t>& chosen,
                 const std::string& directory, std::shared_ptr<LinkRenewer> renewer,
                 const DiskLook& look, ShareSource source, bool open,
                 std::shared_ptr<const std::vector<FileEntry>> owned = nullptr);
  // Takes in a batch of every plan made aside that is ready.
  void FeedPlans();
  // The files a share took in, queued or not: they are told as a share's new files are.
  void Took(int share, ShareRun& run, const std::vector<size_t>& files);
  // `gone`: items just taken out of the queue, whose share files fail. Progress is told of the
  // items `polled`, or, without a poll, of those a poll would ask about.
  std::vector<int> Step(std::vector<int> ended, const std::vector<int>& gone = {},
                        const std::vector<int>* polled = nullptr);
  void Answer(int share, size_t file, const std::string& link, const std::string& why);
  void ReportShareEnds(ShareRun& run);
  void Emit(std::vector<DownloadEvent> events);
  // The listed item, not finished, that saves to DIRECTORY/NAME (GBK); 0 when none.
  int Listed(const std::string& directory, const std::string& name) const;
  // Items asked for again: paused ones resume, failed ones are retried, all are told as kShown.
  void TakeUpAgain(const std::vector<int>& ids);
  int RetryItems(const std::vector<int>& ids);

  // Closed last, after every share's planning thread has ended.
  struct EventFd {
    EventFd();
    ~EventFd();
    int fd;
  } planReady_;
  size_t planAsideFrom_ = 0;
  DownloadEngine& engine_;
  DownloadQueue queue_;
  std::map<int, std::unique_ptr<ShareRun>> shares_;
  std::map<int, std::pair<int, size_t>> shareItems_;  // item -> share, file
  // Every share file ever taken, by a hash of its fs_id: share, file. A file planned again is
  // found among those under way without a pass over all of them, which a queue of many
  // shares (the remembered rows come a folder at a time) would pay for each share.
  std::unordered_multimap<size_t, std::pair<int, size_t>> filesByFsId_;
  std::vector<int> reported_;  // finished items told of, not released
  DownloadListeners listeners_;
  bool stepping_ = false;  // inside Step: the shares' ends are told once all renewals ran
  // A renewer may answer after the owner is gone; its answer then goes nowhere.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace sf
