#include "download/download_manager.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <utility>

#include "base/encoding.h"
#include "base/timestamp.h"
#include "download/download_engine.h"

namespace sf {

struct DownloadManager::ShareRun {
  explicit ShareRun(DownloadQueue& queue) : download(queue) {}
  ShareDownload download;
  std::shared_ptr<LinkRenewer> renewer;
  ShareSource source;
};

std::vector<int> RawIds(const std::vector<ItemId>& ids) {
  std::vector<int> raw;
  raw.reserve(ids.size());
  for (ItemId id : ids) raw.push_back(Raw(id));
  return raw;
}

std::vector<ItemId> ItemIds(const std::vector<int>& ids) {
  std::vector<ItemId> typed;
  typed.reserve(ids.size());
  for (int id : ids) typed.push_back(ItemId{id});
  return typed;
}

namespace {

DownloadEvent Event(DownloadEvent::Kind kind, int item, int share = 0, size_t file = 0,
                    int32_t failureCode = 0, std::string reason = {}) {
  return {kind, ItemId{item}, ShareId{share}, file, failureCode, std::move(reason)};
}

}  // namespace

DownloadManager::EventFd::EventFd() : fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

DownloadManager::EventFd::~EventFd() {
  if (fd >= 0) ::close(fd);
}

DownloadManager::DownloadManager(DownloadEngine& engine, std::shared_ptr<IdSource> ids)
    : engine_(engine), queue_(engine, std::move(ids)) {
  engine_.Init();
}

DownloadManager::~DownloadManager() {
  *alive_ = false;
}

ListenerId DownloadManager::Listen(Listener listener) {
  return listeners_.Add(std::move(listener));
}

void DownloadManager::Unlisten(ListenerId id) {
  listeners_.Remove(id);
}

void DownloadManager::SetSpeedLimit(int32_t kilobytesPerSecond) {
  engine_.SetSpeedLimit(kilobytesPerSecond);
}

void DownloadManager::SetJobs(int n) {
  queue_.SetMaxRunning(n);
}

int DownloadManager::Add(DownloadRequest request) {
  if (int listed = Listed(request.directory, request.name); listed != 0) {
    TakeUpAgain({listed});
    return listed;
  }
  int id = queue_.Add(std::move(request));
  Emit({Event(DownloadEvent::kStarted, id)});
  return id;
}

ShareId DownloadManager::AddShare(const std::vector<FileEntry>& entries,
                                  const std::vector<size_t>& chosen, const std::string& directory,
                                  std::shared_ptr<LinkRenewer> renewer, const DiskLook& look,
                                  ShareSource source) {
  return ShareId{
      QueueShare(entries, chosen, directory, std::move(renewer), look, std::move(source), false)};
}

ShareId DownloadManager::OpenShare(const std::vector<FileEntry>& entries,
                                   const std::vector<size_t>& chosen, const std::string& directory,
                                   std::shared_ptr<LinkRenewer> renewer, const DiskLook& look,
                                   ShareSource source) {
  return ShareId{
      QueueShare(entries, chosen, directory, std::move(renewer), look, std::move(source), true)};
}

ShareId DownloadManager::AddShare(ShareOrder order) {
  std::shared_ptr<const std::vector<FileEntry>> owned;
  if (planAsideFrom_ > 0 && order.chosen.size() >= planAsideFrom_)
    owned = order.shared ? order.shared
                         : std::make_shared<const std::vector<FileEntry>>(std::move(order.entries));
  const std::vector<FileEntry>& entries = owned          ? *owned
                                          : order.shared ? *order.shared
                                                         : order.entries;
  return ShareId{QueueShare(entries, order.chosen, order.directory, std::move(order.renewer),
                            LookOnDisk, std::move(order.source), order.open, owned)};
}

void DownloadManager::AddLink(ShareId shareId, size_t entry, const std::string& link) {
  const int share = Raw(shareId);
  auto it = shares_.find(share);
  if (it == shares_.end()) return;
  std::optional<size_t> file = it->second->download.Link(entry, link);
  if (!file) return;
  const ShareFile& f = it->second->download.Files()[*file];
  if (f.item != 0) {
    shareItems_[f.item] = {share, *file};
    Emit({Event(DownloadEvent::kStarted, f.item, share, *file)});
  }
  ReportShareEnds(*it->second);  // a file that could not be saved
}

void DownloadManager::CloseShare(ShareId share) {
  auto it = shares_.find(Raw(share));
  if (it == shares_.end()) return;
  it->second->download.Close();
  ReportShareEnds(*it->second);
}

void DownloadManager::SetShareSource(ShareId share, ShareSource source) {
  if (auto it = shares_.find(Raw(share)); it != shares_.end())
    it->second->source = std::move(source);
}

int DownloadManager::QueueShare(const std::vector<FileEntry>& entries,
                                const std::vector<size_t>& chosen, const std::string& directory,
                                std::shared_ptr<LinkRenewer> renewer, const DiskLook& look,
                                ShareSource source, bool open,
                                std::shared_ptr<const std::vector<FileEntry>> owned) {
  // A second plan of a file still on its way would take its partial for one to resume.
  // Such a file, and one planned where a listed item saves, is taken up again instead.
  // A position is the same file only in the same list: the files of a share remembered from an
  // earlier run come one list each, every one at position 0, so the entry itself must match.
  auto underwayItem = [&](size_t index) {
    if (!renewer) return 0;
    const FileEntry& asked = entries[index];
    auto [from, to] = filesByFsId_.equal_range(std::hash<std::string_view>()(asked.fs_id));
    for (auto it = from; it != to; ++it) {
      auto run = shares_.find(it->second.first);
      if (run == shares_.end() || run->second->renewer != renewer) continue;
      const ShareDownload& share = run->second->download;
      const size_t file = it->second.second;
      if (file >= share.Files().size() || share.Files()[file].Ended()) continue;
      FileEntry e = share.Entry(file);
      if (e.fs_id == asked.fs_id && e.server_filename == asked.server_filename &&
          e.folder_path == asked.folder_path) {
        int item = share.Files()[file].item;
        return item != 0 ? item : -1;  // -1: it waits for its link
      }
    }
    return 0;
  };
  std::vector<size_t> files;
  std::vector<int> again;
  for (size_t index : chosen) {
    int underway = index < entries.size() ? underwayItem(index) : 0;
    if (underway == 0)
      files.push_back(index);
    else if (underway > 0)
      again.push_back(underway);
  }
  int id = queue_.Ids().NextShare();
  auto run = std::make_unique<ShareRun>(queue_);
  run->renewer = std::move(renewer);
  run->source = std::move(source);
  if (owned && files.size() >= planAsideFrom_) {
    // The files under way are taken up again now; the rest once the plan is in.
    const int fd = planReady_.fd;
    run->download.PlanAside(std::move(owned), std::move(files), directory, open, [fd] {
      const uint64_t one = 1;
      if (fd >= 0) {
        [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
      }
    });
    shares_[id] = std::move(run);
    TakeUpAgain(again);
    return id;
  }
  auto listed = [&](const std::string& dir, const std::string& name) {
    int listed = Listed(Utf8ToGbk(dir), Utf8ToGbk(name));
    if (listed != 0) again.push_back(listed);
    return listed != 0;
  };
  std::vector<size_t> added;
  if (open)
    added = run->download.Open(entries, files, directory, look, listed);
  else
    added = run->download.Add(entries, files, directory, look, listed);
  ShareRun& kept = *(shares_[id] = std::move(run));
  Took(id, kept, added);
  TakeUpAgain(again);
  return id;
}

void DownloadManager::Took(int share, ShareRun& run, const std::vector<size_t>& files) {
  std::vector<DownloadEvent> started;
  const std::vector<ShareFile>& added = run.download.Files();
  // Only a file with a renewer can be found under way again (see QueueShare).
  if (run.renewer)
    for (size_t i : files)
      filesByFsId_.emplace(std::hash<std::string_view>()(run.download.FsId(i)),
                           std::pair{share, i});
  for (size_t i : files) {
    if (added[i].item == 0) continue;
    shareItems_[added[i].item] = {share, i};
    started.push_back(Event(DownloadEvent::kStarted, added[i].item, share, i));
  }
  Emit(std::move(started));
  ReportShareEnds(run);  // files refused or skipped at once
}

bool DownloadManager::Planning() const {
  for (const auto& [id, run] : shares_)
    if (run->download.Planning()) return true;
  return false;
}

void DownloadManager::FeedPlans() {
  // Most ticks come with no plan under way: no read of a quiet descriptor then, nor a walk.
  if (!Planning()) return;
  auto quiet = [fd = planReady_.fd] {
    uint64_t count = 0;
    if (fd >= 0) (void)!::read(fd, &count, sizeof count);
  };
  quiet();
  // Small batches until the slice of time is spent: a batch's folders and queue entries
  // cost what the disk makes them cost, and the owner's thread has other work.
  const int64_t until = NowMs() + kFeedSliceMs;
  for (bool more = true; more && NowMs() < until;) {
    more = false;
    std::vector<int> planning;
    for (const auto& [id, run] : shares_)
      if (run->download.Planning()) planning.push_back(id);
    for (int id : planning) {
      auto it = shares_.find(id);
      if (it == shares_.end()) continue;
      std::vector<int> again;
      auto listed = [&](const std::string& dir, const std::string& name) {
        int listed = Listed(Utf8ToGbk(dir), Utf8ToGbk(name));
        if (listed != 0) again.push_back(listed);
        return listed != 0;
      };
      ShareRun& run = *it->second;
      std::vector<size_t> added = run.download.Feed(kFeedBatch, listed);
      if (added.empty() && run.download.Planning()) continue;
      more = true;
      Took(id, run, added);
      TakeUpAgain(again);
    }
  }
  // A planner's last word may have come after the read above; it must not keep a caller
  // waiting on the descriptor awake once no plan is left.
  if (!Planning()) quiet();
}

bool DownloadManager::Adopt(int item, const std::vector<FileEntry>& entries, size_t position,
                            std::shared_ptr<LinkRenewer> renewer, ShareSource source) {
  const DownloadItem* listed = queue_.Find(item);
  if (!listed || listed->Ended() || shareItems_.count(item) != 0 || position >= entries.size())
    return false;
  int id = queue_.Ids().NextShare();
  auto run = std::make_unique<ShareRun>(queue_);
  run->renewer = std::move(renewer);
  run->source = std::move(source);
  size_t file =
      run->download.Adopt(entries[position], position, item, GbkToUtf8(listed->request.directory),
                          GbkToUtf8(listed->request.name));
  shareItems_[item] = {id, file};
  if (run->renewer)
    filesByFsId_.emplace(std::hash<std::string_view>()(entries[position].fs_id),
                         std::pair{id, file});
  shares_[id] = std::move(run);
  return true;
}

int DownloadManager::Listed(const std::string& directory, const std::string& name) const {
  return queue_.Listed(directory, name);
}

void DownloadManager::TakeUpAgain(const std::vector<int>& ids) {
  if (ids.empty()) return;
  queue_.Resume(ids);
  RetryItems(ids);
  std::vector<DownloadEvent> shown;
  for (int id : ids) {
    auto share = shareItems_.find(id);
    if (share == shareItems_.end())
      shown.push_back(Event(DownloadEvent::kShown, id));
    else
      shown.push_back(Event(DownloadEvent::kShown, id, share->second.first, share->second.second));
  }
  Emit(std::move(shown));
}

const ShareSource* DownloadManager::SourceOf(int item, FileEntry* entry) const {
  auto at = shareItems_.find(item);
  if (at == shareItems_.end()) return nullptr;
  auto run = shares_.find(at->second.first);
  if (run == shares_.end()) return nullptr;
  if (entry) *entry = run->second->download.Entry(at->second.second);
  return &run->second->source;
}

const ShareSource* DownloadManager::SourceOf(int item, std::string& fsId,
                                             std::string& appId) const {
  auto at = shareItems_.find(item);
  if (at == shareItems_.end()) return nullptr;
  auto run = shares_.find(at->second.first);
  if (run == shares_.end()) return nullptr;
  fsId = run->second->download.FsId(at->second.second);
  appId = run->second->download.AppId(at->second.second);
  return &run->second->source;
}

const ShareDownload* DownloadManager::Share(ShareId id) const {
  auto it = shares_.find(Raw(id));
  return it == shares_.end() ? nullptr : &it->second->download;
}

int DownloadManager::Pause(const std::vector<ItemId>& ids) {
  return queue_.Pause(RawIds(ids));
}

int DownloadManager::Resume(const std::vector<ItemId>& ids) {
  return queue_.Resume(RawIds(ids));
}

int DownloadManager::Retry(const std::vector<ItemId>& ids) {
  return RetryItems(RawIds(ids));
}

int DownloadManager::RetryItems(const std::vector<int>& ids) {
  // The share watches its file again, so a link still refused is renewed instead of failing
  // the same way for good.
  // A file still waiting for its fresh link is not started again under the refused one.
  std::vector<int> retried;
  for (int id : ids) {
    auto share = shareItems_.find(id);
    const DownloadItem* item = queue_.Find(id);
    if (share != shareItems_.end() && item && item->status == DownloadStatus::kFailed) {
      auto run = shares_.find(share->second.first);
      if (run != shares_.end()) {
        const ShareDownload& download = run->second->download;
        if (download.Files()[share->second.second].status == ShareFileStatus::kRenewing) continue;
        run->second->download.Reopen(share->second.second);
      }
    }
    retried.push_back(id);
  }
  return queue_.Retry(retried);
}

int DownloadManager::Cancel(const std::vector<ItemId>& typed, bool removeFiles) {
  const std::vector<int> ids = RawIds(typed);
  int acted = queue_.Cancel(ids, removeFiles);
  for (int id : ids) std::erase(reported_, id);
  // The shares see their items gone at once and fail those files, saying so.
  Step({}, ids);
  return acted;
}

std::vector<ItemId> DownloadManager::Tick(int64_t nowMs) {
  FeedPlans();
  // Those polled are told, the one whose pause showed now included; an item paused before
  // holds still and is not told of again every tick, nor is a file waiting for the disk whose
  // engine had nothing new to say of it.
  std::vector<int> ended = queue_.Poll(nowMs);
  const std::vector<int> moved = queue_.Moved();  // a listener may poll again meanwhile
  return ItemIds(Step(std::move(ended), {}, &moved));
}

int64_t DownloadManager::NextTickMs(int64_t nowMs) const {
  if (Planning()) return nowMs + kPlanningEveryMs;
  if (TaskEventFd() < 0 && !Idle()) return nowMs + kPollEveryMs;
  return nowMs + kProgressEveryMs;
}

std::vector<ItemId> DownloadManager::Started() const {
  std::vector<ItemId> ids;
  ids.reserve(queue_.Started().size());
  for (int id : queue_.Started()) ids.push_back(ItemId{id});
  return ids;
}

std::vector<int> DownloadManager::Settle() {
  return Step(queue_.TakeEnded());
}

std::vector<int> DownloadManager::Step(std::vector<int> ended, const std::vector<int>& gone,
                                       const std::vector<int>* polled) {
  std::vector<DownloadEvent> events;
  const std::vector<int> watched =
      polled ? std::vector<int>()
             : std::vector<int>(queue_.Watched().begin(), queue_.Watched().end());
  for (int id : polled ? *polled : watched) {
    if (const DownloadItem* item = queue_.Find(id); item == nullptr || item->Ended()) continue;
    auto share = shareItems_.find(id);
    if (share == shareItems_.end())
      events.push_back(Event(DownloadEvent::kProgress, id));
    else
      events.push_back(
          Event(DownloadEvent::kProgress, id, share->second.first, share->second.second));
  }
  for (int id : ended) {
    const DownloadItem* item = queue_.Find(id);
    if (item == nullptr) continue;
    if (item->status == DownloadStatus::kFinished) reported_.push_back(id);
    if (shareItems_.count(id) != 0) continue;  // its share says how the file ended
    if (item->status == DownloadStatus::kFinished)
      events.push_back(Event(DownloadEvent::kFinished, id));
    else
      events.push_back(Event(DownloadEvent::kFailed, id, 0, 0, item->failureCode));
  }
  Emit(std::move(events));

  // The shares' refused links are asked for before the shares' ends are told, as the files
  // ended: a renewer that answers at once has its failure told after the ends it followed.
  // Only the files whose items may have changed are looked at: those polled, ended or gone.
  std::map<int, std::vector<size_t>> changed;  // share -> files
  auto touch = [&](int item) {
    auto share = shareItems_.find(item);
    if (share != shareItems_.end()) changed[share->second.first].push_back(share->second.second);
  };
  // After a poll the items it left as they were cannot have changed their files either.
  for (int id : polled ? *polled : watched) touch(id);
  for (int id : ended) touch(id);
  for (int id : gone) touch(id);
  std::vector<std::pair<int, size_t>> refused;
  for (auto& [id, files] : changed) {
    auto run = shares_.find(id);
    if (run == shares_.end()) continue;
    for (size_t file : run->second->download.Update(std::move(files)))
      refused.push_back({id, file});
  }
  stepping_ = true;
  for (auto [id, file] : refused) {
    auto it = shares_.find(id);
    if (it == shares_.end()) continue;
    const ShareFile& f = it->second->download.Files()[file];
    Emit({Event(DownloadEvent::kNeedsLink, f.item, id, file, f.failureCode)});
    std::shared_ptr<LinkRenewer> renewer = it->second->renewer;
    if (!renewer) {
      Answer(id, file, {}, "no way to ask the share again");
      continue;
    }
    std::weak_ptr<bool> alive = alive_;
    renewer->Renew(
        it->second->download.Entry(file),
        [this, alive, share = id, at = file](const std::string& link, const std::string& why) {
          if (alive.lock()) Answer(share, at, link, why);
        });
  }
  stepping_ = false;
  for (auto& [id, run] : shares_) ReportShareEnds(*run);
  return ended;
}

void DownloadManager::Answer(int share, size_t file, const std::string& link,
                             const std::string& why) {
  auto it = shares_.find(share);
  if (it == shares_.end()) return;
  ShareDownload& download = it->second->download;
  download.Renew(file, link, why);
  const ShareFile& f = download.Files()[file];
  if (f.status == ShareFileStatus::kQueued)
    Emit({Event(DownloadEvent::kStarted, f.item, share, file)});
  if (!stepping_) ReportShareEnds(*it->second);
}

void DownloadManager::ReportShareEnds(ShareRun& run) {
  std::vector<DownloadEvent> events;
  int share = 0;
  for (const auto& [id, r] : shares_)
    if (r.get() == &run) share = id;
  for (size_t file : run.download.TakeEnded()) {
    const ShareFile& f = run.download.Files()[file];
    if (f.status == ShareFileStatus::kFailed) {
      events.push_back(
          Event(DownloadEvent::kFailed, f.item, share, file, f.failureCode, Utf8ToGbk(f.problem)));
    } else {
      events.push_back(Event(DownloadEvent::kFinished, f.item, share, file));
    }
  }
  Emit(std::move(events));
}

void DownloadManager::Emit(std::vector<DownloadEvent> events) {
  listeners_.Tell(events);
}

int DownloadManager::TaskEventFd() const {
  return engine_.GetTaskEventFd();
}

void DownloadManager::ReleaseFinished() {
  std::vector<int> finished;
  finished.swap(reported_);
  // The engine forgets them; the files stay, of course.
  queue_.Cancel(finished, false);
  for (int id : finished) shareItems_.erase(id);
}

void DownloadManager::DropFinished() {
  constexpr size_t kDropAtLeast = 64;
  if (reported_.size() < kDropAtLeast || reported_.size() * 4 < queue_.Items().size()) return;
  std::vector<int> finished;
  finished.swap(reported_);
  queue_.Drop(finished);
  for (int id : finished) shareItems_.erase(id);
}

bool DownloadManager::Idle() const {
  if (queue_.Unended() != 0) return false;
  for (const auto& [id, run] : shares_)
    if (!run->download.Ended()) return false;
  return true;
}

}  // namespace sf
