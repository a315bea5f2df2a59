// The downloads back-end whose files download on aria2 downloaders elsewhere, one or several: a
// share is spread over them by bytes (SpreadShare) and each file it gave them is followed there
// as an item until it ends. The network calls run on a worker this back-end owns (the hand-off,
// one system.multicall of aria2.tellStatus per downloader and second, the hand-backs); their
// results wait in a queue that Tick drains on the owner's thread, and WakeFd turns readable as
// they come. A file whose link the server refused gets a fresh link from the share through its
// LinkRenewer, asked on the owner's thread as our engine's back-end asks it, and goes back to
// the downloader that holds its partial: the failed result goes and the same dir/out is added
// again to continue it. That happens at most once an hour per file, so a link that stays refused
// ends the file; a downloader that answers nothing for a minute ends the files it holds.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "download/downloads.h"
#include "download/remote_share.h"
#include "net/cancel_flag.h"

namespace sf {

// Whether aria2's error says the file server refused the link: HTTP 403, 404 or 410 (aria2
// gives 404 its own code 3, "Resource not found", and other statuses code 22 with
// "status=N" in its message, or "No URI available." once the link was given up).
bool LinkRefusedByServer(const std::string& errorCode, const std::string& errorMessage);
// aria2's error in a few words (UTF-8): "HTTP 403", else "aria2 error 2: Timeout."
std::string RemoteErrorText(const std::string& errorCode, const std::string& errorMessage);

struct RemoteEndpoint {
  std::string address;  // its JSON-RPC address (UTF-8)
  std::string secret;   // its --rpc-secret; empty for none
};

// One file of a share as it is followed on its downloader.
struct FollowedFile {
  enum class End { kNone, kComplete, kFailed };
  ItemId item = ItemId::kNone;
  ShareId share = ShareId::kNone;
  size_t file = 0;    // position in the share's hand-off
  size_t engine = 0;  // the downloader, as the back-end was given them
  std::string gid;    // the download there now; a new one after each hand-back
  RemoteStatus last;
  End end = End::kNone;
  std::string reason;  // kFailed: why (UTF-8)
  int renewals = 0;
  int64_t renewedAtMs = 0;  // the last renewal, when renewals > 0
  bool renewing = false;    // the share is being asked
};

struct RemoteCalls {
  // Raised, the call under way gives up and no other is made. The back-end raises it when it
  // goes, so that a downloader that keeps silent does not hold its owner up.
  CancelFlag cancel = {};
  int timeoutSeconds = 30;  // of each call
};

class RemoteDownloads : public Downloads {
 public:
  RemoteDownloads(std::vector<RemoteEndpoint> endpoints, std::shared_ptr<IdSource> ids = nullptr,
                  RemoteCalls calls = {});
  ~RemoteDownloads() override;
  RemoteDownloads(const RemoteDownloads&) = delete;
  RemoteDownloads& operator=(const RemoteDownloads&) = delete;

  ListenerId Listen(Listener listener) override;
  void Unlisten(ListenerId id) override;
  // The downloaders keep their own limits and jobs.
  void SetSpeedLimit(int32_t) override {}
  void SetJobs(int) override {}

  // Only shares go to a downloader: kNone.
  ItemId AddDownload(DownloadRequest) override { return ItemId::kNone; }
  // Hands the share over on the worker (an open one once it is closed). The order's directory
  // is the downloaders' base, "" for each one's own. Files a downloader took, or held already,
  // become items (kStarted); a file listed already, from an earlier hand-off, stays that item
  // (kShown) and is followed afresh; the rest fail without an item, saying why.
  ShareId AddShare(ShareOrder order) override;
  void AddLink(ShareId share, size_t entry, const std::string& link) override;
  void CloseShare(ShareId share) override;
  void SetShareSource(ShareId share, ShareSource source) override;

  // The downloader pauses, goes on with or drops the file's download; the item shows it at
  // once, and the next poll says how it went. A file being renewed, or ended, is left alone.
  int Pause(const std::vector<ItemId>& ids) override;
  int Resume(const std::vector<ItemId>& ids) override;
  // A failed file needs a fresh link, which only a new hand-off of its share brings: the one
  // that failed there is handed back, where its partial is. Nothing is acted on here.
  int Retry(const std::vector<ItemId>&) override { return 0; }
  // The item goes from the list and its download from the downloader; the downloader's files,
  // partial or whole, stay there (aria2 cannot be asked to delete them).
  // A share sent again lists a file let go afresh. Gives how many went.
  int Cancel(const std::vector<ItemId>& ids, bool removeFiles) override;

  // Takes in what the worker brought, asks for a poll when one is due, and tells the listeners.
  std::vector<ItemId> Tick(int64_t nowMs) override;
  int WakeFd() const override { return wakeFd_; }
  int64_t NextTickMs(int64_t nowMs) const override;

  const std::vector<DownloadItem>& Items() const override { return items_; }
  const DownloadItem* Find(ItemId id) const override;
  std::vector<ItemId> Started() const override;
  DownloadTotals Totals() const override { return DownloadQueue::TotalsOf(items_); }
  bool Idle() const override;

  // The downloaders as they may be shown, in the order given.
  const std::vector<std::string>& Shown() const { return shown_; }
  // A share's hand-off once it is over (null before): where each file went, and why not.
  const SpreadHandOff* HandOff(ShareId share) const;
  // A hand-off is under way.
  bool HandingOff() const;
  // The followed file an item stands for; null for none.
  const FollowedFile* Followed(ItemId item) const;
  // Forgets the items that completed (the files stay over there), as the window's list lets
  // finished downloads go.
  void ReleaseFinished();

  static constexpr int64_t kPollEveryMs = 1000;
  static constexpr int64_t kRenewEveryMs = 3600 * 1000;
  // A downloader that answers nothing for this long ends the files it holds.
  static constexpr int64_t kGiveUpMs = 60 * 1000;

 private:
  class Worker;
  struct ShareRun;
  struct Polled;

  void HandOver(ShareId id);
  void HandedOver(ShareId id, SpreadHandOff spread);
  void AskPoll(int64_t nowMs);
  void Answered(const std::vector<Polled>& polled, int64_t nowMs);
  void See(FollowedFile& f, const RemoteStatus& status, int64_t nowMs);
  void Fail(FollowedFile& f, std::string reason);
  void Renewed(ItemId item, const std::string& link, const std::string& why);
  void AnswerRenewal(ItemId item, const std::string& link, const std::string& why);
  void Flush();
  void HandedBack(ItemId item, RemoteDownload fresh, std::vector<RemoteOutcome> outcome,
                  std::string refused);
  // The item's figures from its file's last status.
  void Show(const FollowedFile& f);
  // Posts `act` on the download of each followed file that still goes; how many.
  int Control(const std::vector<ItemId>& ids, const char* shown,
              RpcError (Aria2Remote::*act)(const std::string&));
  DownloadItem* Get(ItemId id);
  void Emit(DownloadEvent event);

  std::vector<std::string> shown_;
  std::shared_ptr<IdSource> ids_;
  int wakeFd_ = -1;
  std::vector<DownloadItem> items_;
  std::map<ItemId, FollowedFile> followed_;
  std::map<std::pair<size_t, std::string>, ItemId> paths_;  // downloader and path -> its item
  std::map<ShareId, std::unique_ptr<ShareRun>> shares_;
  std::map<ItemId, size_t> dropped_;  // let go while renewed: item -> its downloader
  DownloadListeners listeners_;
  std::vector<DownloadEvent> pending_;
  std::vector<ItemId> ended_;
  std::vector<int64_t> silentSince_;  // per downloader: since when it answers nothing; -1
  int64_t nextPollMs_ = 0;
  bool polling_ = false;  // a poll is under way on the worker
  bool ticking_ = false;  // inside Tick: the events are told at its end
  int handingOff_ = 0;
  // A renewer may answer after the back-end is gone; its answer then goes nowhere.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::unique_ptr<Worker> worker_;  // last: it goes first, before what its results touch
};

}  // namespace sf
