// The one seam a front-end drives its downloads through, whether the files download here, with
// our engine (DownloadManager), or on aria2 downloaders elsewhere that are followed to the end
// (RemoteDownloads): add a share's files, act on items, limit, and hear one vocabulary of
// events. A front-end moves it from one loop: it calls Tick when WakeFd() is readable and at
// the latest when NextTickMs() comes; everything, listeners and renewers' answers included,
// runs on that loop's thread. Texts are GBK unless said otherwise.
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
#include "download/share_plan.h"

namespace sf {

// Ids are the seam's own, one space across back-ends, never an engine's or a downloader's.
enum class ItemId : int { kNone = 0 };
enum class ShareId : int { kNone = 0 };
enum class ListenerId : int { kNone = 0 };

inline int Raw(ItemId id) {
  return static_cast<int>(id);
}
inline int Raw(ShareId id) {
  return static_cast<int>(id);
}
std::vector<int> RawIds(const std::vector<ItemId>& ids);
std::vector<ItemId> ItemIds(const std::vector<int>& ids);

// Where the back-ends of one program take their items' and shares' ids from, so that an id
// names one item (one share) whichever back-end holds it. Drawn on the owner's thread only;
// ids only ever ascend.
class IdSource {
 public:
  int NextItem() { return nextItem_++; }
  int NextShare() { return nextShare_++; }

 private:
  int nextItem_ = 1;
  int nextShare_ = 1;
};

struct DownloadEvent {
  enum Kind {
    kStarted,     // an item came into the list, or went back into it under a fresh link
    kProgress,    // a started item was polled
    kFinished,    // a download, or a file of a share, is whole where it was saved
    kFailed,      // ended without its file; `failureCode` or `reason` says why
    kNeedsLink,   // a share's file whose link was refused; its renewer has been asked
    kHandedBack,  // a remote file went back to its downloader under a fresh link
    kShown,       // an item asked for again while listed: it stays the one download of its file
  };
  Kind kind = kStarted;
  ItemId item = ItemId::kNone;     // kNone for a share's file that never had one
  ShareId share = ShareId::kNone;  // kNone for a download of its own
  size_t file = 0;                 // the file's position in that share's files
  // kFailed, kNeedsLink: the engine's code, when that is what ended it or refused the link.
  int32_t failureCode = 0;
  // kFailed: else why the file failed; kNeedsLink: how a downloader refused the link;
  // kHandedBack: the downloader's name for the new download. GBK, as every text of the seam.
  std::string reason = {};
};

// Where a share's files came from, kept so that a later run can ask the share again (GBK).
struct ShareSource {
  std::string url;
  std::string code;  // the extraction code the parse was given; "" when it needed none
};

// A share's files to download: the entries as resolved, those chosen, where they go, and how a
// link the server refused is renewed.
struct ShareOrder {
  std::vector<FileEntry> entries;
  std::vector<size_t> chosen;
  // Here: absolute, UTF-8. On a downloader: its base directory there, "" for its own.
  std::string directory;
  std::shared_ptr<LinkRenewer> renewer;
  ShareSource source = {};
  // The links are still being asked for: each file is queued once AddLink brings it, and the
  // share does not end before CloseShare.
  bool open = false;
  // The entries shared instead of copied, `entries` then left empty: a listing no one changes
  // any more, as a parse's once it has ended. A back-end may keep it while it plans.
  std::shared_ptr<const std::vector<FileEntry>> shared = nullptr;
};

class Downloads {
 public:
  using Listener = std::function<void(const DownloadEvent&)>;
  virtual ~Downloads() = default;

  // Listeners may call back into the back-end.
  virtual ListenerId Listen(Listener listener) = 0;
  virtual void Unlisten(ListenerId id) = 0;

  // Kilobytes per second for all downloads together (0 or less: no limit), and how many files
  // download at once (at least 1). A back-end that cannot limit leaves them to its downloaders.
  virtual void SetSpeedLimit(int32_t kilobytesPerSecond) = 0;
  virtual void SetJobs(int n) = 0;

  // A download of its own; kNone where the back-end takes only shares.
  virtual ItemId AddDownload(DownloadRequest request) = 0;
  // A share's files; each becomes an item as it is queued (kStarted), or ends at once (kFailed
  // without an item) when it cannot go.
  virtual ShareId AddShare(ShareOrder order) = 0;
  // The link (GBK) of an open share's entry at `entry`.
  virtual void AddLink(ShareId share, size_t entry, const std::string& link) = 0;
  // No more links come: the open share's files still waiting for one fail.
  virtual void CloseShare(ShareId share) = 0;
  // Where an open share came from, known for sure only once its resolution has ended.
  virtual void SetShareSource(ShareId share, ShareSource source) = 0;

  // Each gives how many items it acted on; an item the back-end cannot act on is left alone.
  virtual int Pause(const std::vector<ItemId>& ids) = 0;
  virtual int Resume(const std::vector<ItemId>& ids) = 0;
  virtual int Retry(const std::vector<ItemId>& ids) = 0;
  virtual int Cancel(const std::vector<ItemId>& ids, bool removeFiles) = 0;

  // Moves the downloads, tells the listeners, and gives the items that ended meanwhile.
  virtual std::vector<ItemId> Tick(int64_t nowMs) = 0;
  // Readable when there is news for Tick; -1 when only the timer helps. The caller reads it
  // quiet (8 bytes) before it ticks.
  virtual int WakeFd() const = 0;
  // The latest moment (on Tick's clock) the next Tick should come.
  virtual int64_t NextTickMs(int64_t nowMs) const = 0;

  // The items, in the order they came; the started ones (running or paused); totals of all.
  virtual const std::vector<DownloadItem>& Items() const = 0;
  virtual const DownloadItem* Find(ItemId id) const = 0;
  virtual std::vector<ItemId> Started() const = 0;
  virtual DownloadTotals Totals() const = 0;
  // Every item ended and every share's file has its outcome.
  virtual bool Idle() const = 0;
};

// Who hears a back-end's events. Listeners may act on the back-end, even stop listening, while
// they hear one: each walk goes over a copy and skips those gone meanwhile.
class DownloadListeners {
 public:
  using Listener = Downloads::Listener;
  ListenerId Add(Listener listener) {
    ListenerId id{next_++};
    listeners_[id] = std::move(listener);
    return id;
  }
  void Remove(ListenerId id) { listeners_.erase(id); }
  void Tell(const std::vector<DownloadEvent>& events) const {
    if (events.empty()) return;
    std::map<ListenerId, Listener> listeners = listeners_;
    for (const DownloadEvent& event : events)
      for (auto& [id, listener] : listeners)
        if (listeners_.count(id) != 0) listener(event);
  }

 private:
  std::map<ListenerId, Listener> listeners_;
  int next_ = 1;
};

}  // namespace sf
