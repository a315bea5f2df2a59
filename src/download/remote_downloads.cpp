#include "download/remote_downloads.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "base/encoding.h"
#include "net/json_rpc.h"

namespace sf {
namespace {

// The HTTP status aria2 names in its message ("... status=403"); 0 when none.
int StatusIn(const std::string& message) {
  size_t at = message.find("status=");
  if (at == std::string::npos) return 0;
  size_t end = at + 7;
  while (end < message.size() && message[end] >= '0' && message[end] <= '9') ++end;
  if (end - (at + 7) != 3) return 0;
  return std::stoi(message.substr(at + 7, 3));
}

}  // namespace

bool LinkRefusedByServer(const std::string& errorCode, const std::string& errorMessage) {
  if (errorCode == "3") return true;
  if (errorCode != "22") return false;
  // After a refusal on a connection that had to come back, aria2's last words are "No URI
  // available." with the refusal's code: a 22 naming no status is taken for one. Were it
  // something else, one fresh link more is all it costs.
  int status = StatusIn(errorMessage);
  return status == 0 || status == 403 || status == 404 || status == 410;
}

std::string RemoteErrorText(const std::string& errorCode, const std::string& errorMessage) {
  if (errorCode == "3") return "HTTP 404";
  if (int status = StatusIn(errorMessage); errorCode == "22" && status != 0)
    return "HTTP " + std::to_string(status);
  std::string text = "aria2 error " + (errorCode.empty() ? std::string("?") : errorCode);
  return errorMessage.empty() ? text : text + ": " + errorMessage;
}

// The thread that talks to the downloaders. A job runs there with them and gives what is to be
// done with its result on the owner's thread; those wait in `done_` until Tick takes them.
class RemoteDownloads::Worker {
 public:
  using Result = std::function<void()>;
  using Job = std::function<Result(const std::vector<Aria2Remote*>&, const CancelFlag&)>;

  Worker(const std::vector<RemoteEndpoint>& endpoints, const RemoteCalls& calls, int wakeFd)
      : cancel_(calls.cancel), wakeFd_(wakeFd) {
    for (const RemoteEndpoint& e : endpoints) {
      clients_.push_back(std::make_unique<JsonRpcClient>(e.address));
      clients_.back()->SetCancelFlag(cancel_);
      clients_.back()->SetTimeoutSeconds(calls.timeoutSeconds);
      remotes_.push_back(std::make_unique<Aria2Remote>(*clients_.back(), e.secret));
      pointers_.push_back(remotes_.back().get());
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~Worker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cancel_.Raise();
    wake_.notify_all();
    thread_.join();
  }

  void Post(Job job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_all();
  }
  std::deque<Result> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(done_, {});
  }

 private:
  void Run() {
    while (true) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        if (stop_) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      Result result = job(pointers_, cancel_);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        done_.push_back(std::move(result));
      }
      uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
  }

  CancelFlag cancel_;
  int wakeFd_;
  std::vector<std::unique_ptr<JsonRpcClient>> clients_;
  std::vector<std::unique_ptr<Aria2Remote>> remotes_;
  std::vector<Aria2Remote*> pointers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::deque<Result> done_;
  bool stop_ = false;
  std::thread thread_;
};

struct RemoteDownloads::ShareRun {
  ShareOrder order;
  bool closed = false;
  bool handingOff = false;
  bool handedOff = false;
  SpreadHandOff spread;
};

// One file asked about in a poll, and what its downloader said; `asked` false when the poll
// gave up before its downloader.
struct RemoteDownloads::Polled {
  ItemId item;
  std::string gid;
  size_t engine = 0;
  RemoteStatus status;
  bool asked = false;
};

RemoteDownloads::RemoteDownloads(std::vector<RemoteEndpoint> endpoints,
                                 std::shared_ptr<IdSource> ids, RemoteCalls calls)
    : ids_(ids ? std::move(ids) : std::make_shared<IdSource>()),
      wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      silentSince_(endpoints.size(), -1) {
  for (const RemoteEndpoint& e : endpoints) shown_.push_back(ShownEndpoint(e.address));
  worker_ = std::make_unique<Worker>(endpoints, calls, wakeFd_);
}

RemoteDownloads::~RemoteDownloads() {
  *alive_ = false;
  worker_.reset();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

ListenerId RemoteDownloads::Listen(Listener listener) {
  return listeners_.Add(std::move(listener));
}

void RemoteDownloads::Unlisten(ListenerId id) {
  listeners_.Remove(id);
}

// Events wait for the end of the owner's call that made them: a listener may call back in.
void RemoteDownloads::Emit(DownloadEvent event) {
  pending_.push_back(std::move(event));
}

ShareId RemoteDownloads::AddShare(ShareOrder order) {
  ShareId id{ids_->NextShare()};
  auto run = std::make_unique<ShareRun>();
  run->closed = !order.open;
  // Each link of an open share is written into its own entries.
  if (order.shared) order.entries = *std::exchange(order.shared, nullptr);
  run->order = std::move(order);
  shares_[id] = std::move(run);
  if (shares_[id]->closed) HandOver(id);
  return id;
}

void RemoteDownloads::AddLink(ShareId share, size_t entry, const std::string& link) {
  auto it = shares_.find(share);
  if (it == shares_.end() || it->second->closed || entry >= it->second->order.entries.size())
    return;
  it->second->order.entries[entry].dlink = link;
}

// aria2 needs every link of what it is handed; an open share goes over once it is closed.
void RemoteDownloads::CloseShare(ShareId share) {
  auto it = shares_.find(share);
  if (it == shares_.end() || it->second->closed) return;
  it->second->closed = true;
  HandOver(share);
}

void RemoteDownloads::SetShareSource(ShareId share, ShareSource source) {
  if (auto it = shares_.find(share); it != shares_.end())
    it->second->order.source = std::move(source);
}

void RemoteDownloads::HandOver(ShareId id) {
  ShareRun& run = *shares_[id];
  run.handingOff = true;
  ++handingOff_;
  worker_->Post([this, id, entries = run.order.entries, chosen = run.order.chosen,
                 base = run.order.directory](const std::vector<Aria2Remote*>& remotes,
                                             const CancelFlag&) -> Worker::Result {
    SpreadHandOff spread = SpreadShare(remotes, entries, chosen, base);
    return [this, id, spread = std::move(spread)]() mutable { HandedOver(id, std::move(spread)); };
  });
}

void RemoteDownloads::HandedOver(ShareId id, SpreadHandOff spread) {
  ShareRun& run = *shares_[id];
  run.handingOff = false;
  run.handedOff = true;
  --handingOff_;
  run.spread = std::move(spread);
  for (size_t i = 0; i < run.spread.files.size(); ++i) {
    const RemoteFile& file = run.spread.files[i];
    if (!file.accepted() || file.engine >= shown_.size()) {
      Emit({DownloadEvent::kFailed, ItemId::kNone, id, i, 0, Utf8ToGbk(run.spread.Reason(file))});
      continue;
    }
    // A file handed over again is the item that showed it before: one row per file there.
    auto [at, fresh] = paths_.try_emplace({file.engine, file.RemotePath()}, ItemId::kNone);
    if (!fresh && !Find(at->second)) fresh = true;  // it completed and was let go
    if (fresh) at->second = ItemId{ids_->NextItem()};
    const ItemId item = at->second;
    FollowedFile& f = followed_[item];
    const bool again =
        f.item != ItemId::kNone && f.gid == file.outcome.gid && f.end == FollowedFile::End::kNone;
    if (!again) f = FollowedFile{};  // a new hand-off: a new download there, and a new hour
    f.item = item;
    f.share = id;
    f.file = i;
    f.engine = file.engine;
    f.gid = file.outcome.gid;
    if (!again) f.last.status = "waiting";
    if (fresh) {
      DownloadItem& shown = items_.emplace_back();
      shown.id = Raw(item);
      shown.request.name = Utf8ToGbk(file.plan.name);
      shown.request.directory = Utf8ToGbk(file.dir);
      shown.request.expectedSize = file.plan.size;
      shown.where = Utf8ToGbk(shown_[file.engine]);
    }
    if (DownloadItem* shown = Get(item); shown && file.download)
      shown->request.address = Utf8ToGbk(file.download->link);
    Show(f);
    Emit({fresh ? DownloadEvent::kStarted : DownloadEvent::kShown, item, id, i});
  }
}

std::vector<ItemId> RemoteDownloads::Tick(int64_t nowMs) {
  uint64_t count = 0;
  [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
  ticking_ = true;
  for (Worker::Result& result : worker_->Take()) result();
  if (!polling_ && nowMs >= nextPollMs_) AskPoll(nowMs);
  ticking_ = false;
  Flush();
  return std::exchange(ended_, {});
}

// Each listener hears each event once, in order, even when it acts on the back-end.
void RemoteDownloads::Flush() {
  while (!pending_.empty()) listeners_.Tell(std::exchange(pending_, {}));
}

int64_t RemoteDownloads::NextTickMs(int64_t nowMs) const {
  // The worker's results wake the owner through WakeFd; only the next poll needs the clock.
  bool following = std::any_of(followed_.begin(), followed_.end(), [](const auto& at) {
    return at.second.end == FollowedFile::End::kNone && !at.second.renewing;
  });
  if (!following || polling_) return nowMs + kPollEveryMs;
  return std::max(nowMs, nextPollMs_);
}

// The files not ended are asked about together, one multicall per downloader; the answers come
// back on the owner's thread.
void RemoteDownloads::AskPoll(int64_t nowMs) {
  std::vector<Polled> asked;
  for (const auto& [item, f] : followed_)
    if (f.end == FollowedFile::End::kNone && !f.renewing)
      asked.push_back({item, f.gid, f.engine, {}, false});
  if (asked.empty()) return;
  polling_ = true;
  nextPollMs_ = nowMs + kPollEveryMs;
  worker_->Post(
      [this, asked = std::move(asked), nowMs](const std::vector<Aria2Remote*>& remotes,
                                              const CancelFlag& cancel) mutable -> Worker::Result {
        for (size_t e = 0; e < remotes.size(); ++e) {
          // Given up: the downloaders not asked yet are not asked at all.
          if (cancel.raised()) break;
          std::vector<size_t> mine;
          std::vector<std::string> gids;
          for (size_t k = 0; k < asked.size(); ++k)
            if (asked[k].engine == e) {
              mine.push_back(k);
              gids.push_back(asked[k].gid);
            }
          if (mine.empty()) continue;
          std::vector<RemoteStatus> statuses = remotes[e]->Statuses(gids);
          for (size_t k = 0; k < mine.size() && k < statuses.size(); ++k) {
            asked[mine[k]].status = std::move(statuses[k]);
            asked[mine[k]].asked = true;
          }
        }
        return [this, asked = std::move(asked), nowMs] { Answered(asked, nowMs); };
      });
}

void RemoteDownloads::Answered(const std::vector<Polled>& polled, int64_t nowMs) {
  polling_ = false;
  for (size_t e = 0; e < shown_.size(); ++e) {
    std::vector<const Polled*> mine;
    for (const Polled& p : polled)
      if (p.engine == e && p.asked) mine.push_back(&p);
    if (mine.empty()) continue;
    // Only an answer about the gid itself (aria2's "not found") is the file's own; any other
    // failure is the downloader's, which may come back.
    bool answered = std::any_of(mine.begin(), mine.end(), [](const Polled* p) {
      return p->status.ok() || p->status.error.kind == RpcFailure::kRpcError;
    });
    if (!answered) {
      if (silentSince_[e] < 0) silentSince_[e] = nowMs;
      if (nowMs - silentSince_[e] < kGiveUpMs) continue;
      std::string why = DescribeRpcError("aria2.tellStatus", mine.front()->status.error);
      for (const Polled* p : mine)
        if (auto at = followed_.find(p->item); at != followed_.end() && at->second.gid == p->gid)
          Fail(at->second, "the downloader stopped answering: " + why);
      continue;
    }
    silentSince_[e] = -1;
    for (const Polled* p : mine) {
      auto at = followed_.find(p->item);
      // A file handed back meanwhile is another download now.
      if (at == followed_.end() || at->second.gid != p->gid ||
          at->second.end != FollowedFile::End::kNone || at->second.renewing)
        continue;
      See(at->second, p->status, nowMs);
    }
  }
}

void RemoteDownloads::See(FollowedFile& f, const RemoteStatus& status, int64_t nowMs) {
  if (!status.ok()) {
    if (status.error.kind == RpcFailure::kRpcError)
      return Fail(f, "the downloader no longer has it (" +
                         DescribeRpcError("aria2.tellStatus", status.error) + ")");
    return;
  }
  f.last = status;
  const RemoteFile& file = shares_[f.share]->spread.files[f.file];
  if (status.status == "complete") {
    // aria2 kept no control file for it to continue from: it ends failed, and a rerun of the
    // hand-off starts it over.
    if (!HoldsWholeFile(status, file.plan.size)) {
      const int64_t size = file.plan.size >= 0 ? file.plan.size : status.total;
      return Fail(f, "ended with " + std::to_string(status.done) +
                         (size >= 0 ? " of " + std::to_string(size) + " bytes"
                                    : " bytes, but neither the share nor the server gave "
                                      "its size"));
    }
    f.end = FollowedFile::End::kComplete;
    Show(f);
    ended_.push_back(f.item);
    Emit({DownloadEvent::kFinished, f.item, f.share, f.file});
    return;
  }
  if (status.status == "removed") return Fail(f, "removed on the downloader");
  if (status.status != "error") {
    Show(f);
    Emit({DownloadEvent::kProgress, f.item, f.share, f.file});
    return;
  }

  std::string error = RemoteErrorText(status.errorCode, status.errorMessage);
  const std::shared_ptr<LinkRenewer>& renewer = shares_[f.share]->order.renewer;
  if (!LinkRefusedByServer(status.errorCode, status.errorMessage) || !renewer)
    return Fail(f, error);
  if (f.renewals > 0 && nowMs - f.renewedAtMs < kRenewEveryMs)
    return Fail(f, error + ", with a fresh link too");
  f.renewals += 1;
  f.renewedAtMs = nowMs;
  f.renewing = true;
  Show(f);
  Emit({DownloadEvent::kNeedsLink, f.item, f.share, f.file, 0, Utf8ToGbk(error)});
  std::weak_ptr<bool> alive = alive_;
  const FileEntry& entry = shares_[f.share]->order.entries[file.plan.entry];
  renewer->Renew(entry,
                 [this, alive, item = f.item](const std::string& link, const std::string& why) {
                   if (auto still = alive.lock(); still && *still) Renewed(item, link, why);
                 });
}

void RemoteDownloads::Fail(FollowedFile& f, std::string reason) {
  f.end = FollowedFile::End::kFailed;
  f.reason = std::move(reason);
  f.renewing = false;
  Show(f);
  ended_.push_back(f.item);
  Emit({DownloadEvent::kFailed, f.item, f.share, f.file, 0, Utf8ToGbk(f.reason)});
}

// On the owner's thread, whenever the renewer answers: the hand-back itself goes to the worker.
// An answer given outside a Tick is told at once, as an answer inside one is at its end.
void RemoteDownloads::Renewed(ItemId item, const std::string& link, const std::string& why) {
  AnswerRenewal(item, link, why);
  if (!ticking_) Flush();
}

void RemoteDownloads::AnswerRenewal(ItemId item, const std::string& link, const std::string& why) {
  auto at = followed_.find(item);
  if (at == followed_.end() || !at->second.renewing) return;
  FollowedFile& f = at->second;
  std::string refused = RemoteErrorText(f.last.errorCode, f.last.errorMessage);
  if (link.empty()) return Fail(f, refused + "; " + why);
  const RemoteFile& file = shares_[f.share]->spread.files[f.file];
  std::string problem;
  std::optional<RemoteDownload> fresh =
      MakeRemoteDownload(GbkToUtf8(link), file.dir, file.plan.name, &problem);
  if (!fresh) return Fail(f, refused + "; the fresh link: " + problem);
  if (file.download) fresh->headers = file.download->headers;
  worker_->Post(
      [this, item, gid = f.gid, engine = f.engine, fresh = *fresh, refused = std::move(refused)](
          const std::vector<Aria2Remote*>& remotes, const CancelFlag&) mutable -> Worker::Result {
        Aria2Remote& remote = *remotes[engine];
        // The failed result goes first, so that the one download of that path is the new one; the
        // new one continues the partial the failed one left.
        remote.RemoveResult(gid);
        std::vector<RemoteOutcome> outcome = remote.AddAll({fresh});
        return [this, item, fresh = std::move(fresh), outcome = std::move(outcome),
                refused = std::move(refused)]() mutable {
          HandedBack(item, std::move(fresh), std::move(outcome), std::move(refused));
        };
      });
}

int RemoteDownloads::Control(const std::vector<ItemId>& ids, const char* shown,
                             RpcError (Aria2Remote::*act)(const std::string&)) {
  int acted = 0;
  for (ItemId id : ids) {
    auto at = followed_.find(id);
    if (at == followed_.end() || at->second.end != FollowedFile::End::kNone || at->second.renewing)
      continue;
    FollowedFile& f = at->second;
    worker_->Post([gid = f.gid, engine = f.engine, act](const std::vector<Aria2Remote*>& remotes,
                                                        const CancelFlag&) -> Worker::Result {
      // A refusal (a download that had just ended, say) shows in the next poll.
      (void)(remotes[engine]->*act)(gid);
      return [] {};
    });
    f.last.status = shown;
    f.last.speed = 0;
    Show(f);
    ++acted;
  }
  return acted;
}

int RemoteDownloads::Pause(const std::vector<ItemId>& ids) {
  return Control(ids, "paused", &Aria2Remote::Pause);
}

int RemoteDownloads::Resume(const std::vector<ItemId>& ids) {
  return Control(ids, "waiting", &Aria2Remote::Unpause);
}

int RemoteDownloads::Cancel(const std::vector<ItemId>& ids, bool) {
  int acted = 0;
  for (ItemId id : ids) {
    auto at = followed_.find(id);
    if (at == followed_.end()) continue;
    FollowedFile& f = at->second;
    if (f.renewing) dropped_[id] = f.engine;
    if (f.end == FollowedFile::End::kNone && !f.renewing)
      worker_->Post([gid = f.gid, engine = f.engine](const std::vector<Aria2Remote*>& remotes,
                                                     const CancelFlag&) -> Worker::Result {
        (void)remotes[engine]->Remove(gid);
        return [] {};
      });
    std::erase_if(paths_, [id](const auto& p) { return p.second == id; });
    followed_.erase(at);
    std::erase_if(items_, [id](const DownloadItem& item) { return item.id == Raw(id); });
    std::erase(ended_, id);
    ++acted;
  }
  return acted;
}

void RemoteDownloads::HandedBack(ItemId item, RemoteDownload fresh,
                                 std::vector<RemoteOutcome> outcome, std::string refused) {
  auto at = followed_.find(item);
  // Let go while its link was renewed: the download handed back meanwhile goes too.
  if (auto gone = dropped_.find(item); gone != dropped_.end()) {
    if (!outcome.empty() && outcome[0].accepted())
      worker_->Post(
          [gid = outcome[0].gid, engine = gone->second](const std::vector<Aria2Remote*>& remotes,
                                                        const CancelFlag&) -> Worker::Result {
            (void)remotes[engine]->Remove(gid);
            return [] {};
          });
    dropped_.erase(gone);
  }
  if (at == followed_.end() || !at->second.renewing) return;
  FollowedFile& f = at->second;
  f.renewing = false;
  if (outcome.empty() || !outcome[0].accepted())
    return Fail(
        f, refused + "; not handed back: " +
               DescribeRpcError("aria2.addUri", outcome.empty() ? RpcError{} : outcome[0].error));
  RemoteFile& file = shares_[f.share]->spread.files[f.file];
  if (DownloadItem* shown = Get(item)) shown->request.address = Utf8ToGbk(fresh.link);
  file.download = std::move(fresh);
  file.outcome = outcome[0];
  f.gid = outcome[0].gid;
  f.last.status = "waiting";
  Show(f);
  Emit({DownloadEvent::kHandedBack, f.item, f.share, f.file, 0, f.gid});
  Emit({DownloadEvent::kStarted, f.item, f.share, f.file});
}

void RemoteDownloads::Show(const FollowedFile& f) {
  DownloadItem* item = Get(f.item);
  if (item == nullptr) return;
  const RemoteFile& file = shares_[f.share]->spread.files[f.file];
  const RemoteStatus& last = f.last;
  const int64_t size = file.plan.size >= 0 ? file.plan.size : last.total;
  const bool complete = f.end == FollowedFile::End::kComplete;
  item->size = size;
  item->done = complete && size >= 0 ? size : last.done;
  item->progress =
      size > 0 ? static_cast<float>(static_cast<double>(item->done) / static_cast<double>(size))
               : 0.0f;
  item->speed = static_cast<int32_t>(std::min<int64_t>(last.speed, INT32_MAX));
  item->renewing = f.renewing;
  item->failureReason.clear();
  item->etaSeconds = -1;
  item->smoothedSpeed = 0;
  if (complete) {
    item->status = DownloadStatus::kFinished;
    item->speed = 0;
  } else if (f.end == FollowedFile::End::kFailed) {
    item->status = DownloadStatus::kFailed;
    item->speed = 0;
    item->failureReason = Utf8ToGbk(f.reason);
  } else if (f.renewing) {
    item->status = DownloadStatus::kQueued;
  } else if (last.status == "active") {
    item->status = DownloadStatus::kDownloading;
    item->smoothedSpeed = static_cast<double>(last.speed);
    if (size >= 0 && last.speed > 0)
      item->etaSeconds = std::max<int64_t>(0, size - item->done) / last.speed;
  } else if (last.status == "paused") {
    item->status = DownloadStatus::kPaused;
  } else {
    item->status = DownloadStatus::kQueued;
  }
}

DownloadItem* RemoteDownloads::Get(ItemId id) {
  return const_cast<DownloadItem*>(std::as_const(*this).Find(id));
}

// Ids ascend as items are made and items only leave, so the list stays sorted by id.
const DownloadItem* RemoteDownloads::Find(ItemId id) const {
  auto it = std::lower_bound(items_.begin(), items_.end(), Raw(id),
                             [](const DownloadItem& item, int wanted) { return item.id < wanted; });
  return it != items_.end() && it->id == Raw(id) ? &*it : nullptr;
}

std::vector<ItemId> RemoteDownloads::Started() const {
  std::vector<ItemId> started;
  for (const DownloadItem& item : items_)
    if (item.status == DownloadStatus::kDownloading || item.status == DownloadStatus::kPaused)
      started.push_back(ItemId{item.id});
  return started;
}

bool RemoteDownloads::Idle() const {
  for (const auto& [id, run] : shares_)
    if (!run->handedOff) return false;
  return std::all_of(followed_.begin(), followed_.end(),
                     [](const auto& at) { return at.second.end != FollowedFile::End::kNone; });
}

const SpreadHandOff* RemoteDownloads::HandOff(ShareId share) const {
  auto it = shares_.find(share);
  return it == shares_.end() || !it->second->handedOff ? nullptr : &it->second->spread;
}

bool RemoteDownloads::HandingOff() const {
  return handingOff_ > 0;
}

const FollowedFile* RemoteDownloads::Followed(ItemId item) const {
  auto it = followed_.find(item);
  return it == followed_.end() ? nullptr : &it->second;
}

void RemoteDownloads::ReleaseFinished() {
  std::erase_if(items_,
                [](const DownloadItem& item) { return item.status == DownloadStatus::kFinished; });
}

}  // namespace sf
