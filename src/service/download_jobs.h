// The service's downloads: one DownloadManager (our engine) moved by one thread of its own,
// which other threads hand work to through a queue and an eventfd. Each file started is a row
// of the state store, so that after a restart every unfinished one comes back as it was
// (queued or paused) and goes on from its partial file. Links expire: a share's files get
// theirs from a fresh resolution when they start, and a link a server refused is renewed the
// same way. Rows are told on the event stream as they change, at most once a second each.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "download/downloads.h"
#include "download/remote_downloads.h"
#include "service/share_jobs.h"
#include "service/state_store.h"

namespace sf {
class DownloadEngine;
class DownloadManager;
}  // namespace sf

namespace sf::service {

namespace download_state {
inline constexpr const char* kQueued = "queued";
inline constexpr const char* kDownloading = "downloading";
inline constexpr const char* kPaused = "paused";
inline constexpr const char* kFinished = "finished";
inline constexpr const char* kFailed = "failed";
}  // namespace download_state

// A row's state as the service keeps it, one byte: a share of many files has as many rows. In
// the order of the states' names, so that rows sorted by state come in the order of the texts.
enum class RowState : uint8_t { kDownloading, kFailed, kFinished, kPaused, kQueued };

struct DownloadOptions {
  std::string directory;      // absolute; made when missing
  std::string engineLibrary;  // the engine to load; empty: the one beside the program
  // How many of our engine's files may hold a link while they wait for their turn (links
  // handed on but not yet taken count too): a share's resolution holds beyond that.
  int64_t linksAhead = 1024;
};

// One file as the API shows it.
struct DownloadView {
  int64_t id = 0;
  int64_t share = 0;
  std::string path;  // "/folder/name" in the share, UTF-8
  int64_t size = -1;
  int64_t done = 0;
  int64_t speed = 0;
  std::string state;
  std::string reason;      // why it failed, in words
  int64_t downloader = 0;  // 0: our engine
  std::string where;       // the downloader's name; empty for our engine
};

// Where a share's files go: our engine (downloader 0) or a downloader, into `folder` below
// the download folder or the downloader's directory ("" for that itself). `directory` is the
// downloader's own when it has none of its own and a folder is asked for (UTF-8).
struct DownloadTarget {
  int64_t downloader = 0;
  std::string folder;
  std::string ownDirectory;
};

// Every row's figures together.
struct DownloadSums {
  int64_t files = 0;
  int64_t filesDone = 0;
  int64_t filesFailed = 0;
  int64_t bytesDone = 0;
  int64_t bytesTotal = 0;  // of the sizes known
  int64_t speed = 0;
};

// Which rows an action or a listing takes; empty fields take all.
struct DownloadFilter {
  std::vector<std::string> states;
  std::string name;  // a part of the path, any case
  int64_t share = 0;
  bool Matches(int64_t rowShare, std::string_view state, std::string_view path) const;
  bool MatchesAll() const { return states.empty() && name.empty() && share == 0; }
};

class DownloadJobs {
 public:
  using Publish = std::function<void(const std::string& name, const nlohmann::json& data)>;
  DownloadJobs(StateStore& store, ShareJobs& shares, DownloadOptions options, Publish publish);
  ~DownloadJobs();
  DownloadJobs(const DownloadJobs&) = delete;
  DownloadJobs& operator=(const DownloadJobs&) = delete;

  // Loads the engine, starts the thread and brings back what an earlier run left unfinished;
  // empty, or why not.
  std::string Start();
  // Ends the thread; the partial files and the rows stay for the next start. Safe twice.
  void Stop();

  // Starts the files of the share at `paths` ("/folder/name", as its tree lists them); the new
  // rows' ids. Files already listed are not started twice.
  std::vector<int64_t> Add(int64_t share, const std::vector<std::string>& paths,
                           const DownloadTarget& target, std::string& error);

  enum class Act { kPause, kResume, kRetry, kRemove };
  // How many rows it acted on.
  int Apply(Act act, const std::vector<int64_t>& ids, bool removeFiles);

  // The ids of every row the filter takes: an action on many rows needs no copy of each.
  std::vector<int64_t> Ids(const DownloadFilter& filter) const;

  enum class SortBy { kName, kSize, kState, kProgress };
  struct Window {
    std::vector<DownloadView> rows;
    size_t total = 0;  // rows the filter takes
    uint64_t revision = 0;
  };
  // The rows the filter takes in order (by path then id within equal keys), from `offset`, at
  // most `limit` of them: only those are copied, and the order by path is kept between calls.
  Window Rows(const DownloadFilter& filter, SortBy sort, bool descending, size_t offset,
              size_t limit) const;
  DownloadSums Sums() const;
  // Whether any unfinished row goes to that downloader.
  bool Uses(int64_t downloader) const;
  // The downloaders changed in the store: names shown anew; one whose address or secret
  // changed is reached afresh, its unfinished rows handed to it again; one gone takes its
  // ended rows from the list.
  void DownloadersChanged();
  void SetSpeedLimit(int32_t kilobytesPerSecond);
  void SetJobs(int n);
  const std::string& directory() const { return options_.directory; }

 private:
  struct Row;
  void Loop();
  // Runs `work` on the loop's thread and waits for it; false when the loop is not running.
  bool Run(std::function<void()> work);
  // `tick`: the back-ends tick after it, as after their own news; without, only when due.
  void Post(std::function<void()> work, bool tick = true);
  // Hands these rows to their back-ends, each file waiting for its link, and asks the share
  // for the links, each handed on as it comes (loop's thread).
  void Launch(int64_t share, const std::vector<int64_t>& ids);
  using Target = std::pair<std::shared_ptr<const std::string>, int64_t>;  // folder, downloader
  struct Opening {
    ShareOrder order;
    std::vector<int64_t> rows;  // by entry
    std::shared_ptr<std::vector<std::string>> paths =
        std::make_shared<std::vector<std::string>>();  // share paths, by entry
  };
  void Open(int64_t share, int64_t downloader, Opening opening);
  void Link(int64_t downloader, int added, size_t entry, const std::string& link);
  void Close(int64_t downloader, int added, const std::string& error);
  // Pauses or removes rows (loop's thread).
  void Halt(Act act, const std::vector<int64_t>& ids, bool removeFiles, int& acted);
  // A back-end's news: heard at once, or kept for the end of a turn of the loop, which hears
  // all of a turn's news under one lock (loop's thread).
  void Hear(const DownloadEvent& event);
  void Heard(const DownloadEvent& event);  // under mutex_
  // Writes the changes of rows not yet written, in one transaction (under mutex_). Whatever
  // shows a row (an answer, an event, the history) writes first, so that nothing shown is lost
  // to a kill; the loop's own changes wait for that, and many go in one transaction.
  void Write() const;
  void SetState(Row& row, RowState state, const std::string& reason = {});
  // The row as the API shows it (under mutex_).
  DownloadView ViewOf(const Row& row) const;
  // Keeps live_ and engineRows_ right after the row's state changed (under mutex_); Unwatch
  // before the row's item changes or the row goes, SetItem to change its item.
  void Watch(Row& row);
  void Unwatch(Row& row);
  void SetItem(Row& row, ItemId item);
  // A row removed: from the store, the rows followed and to be told, and the list (under
  // mutex_, after a Write: a change written later could land on a new row given its id).
  void Forget(std::map<int64_t, std::unique_ptr<Row>>::iterator it);
  // Keeps unended_ as a row comes (+1) or goes (-1), or around a change of its state.
  void Count(const Row& row, int64_t delta);
  void Sample(int64_t nowMs, bool tell);  // under mutex_
  void Tell(Row& row);
  // The one text of a download folder (under mutex_).
  std::shared_ptr<const std::string> FolderText(const std::string& path);
  // The back-end a row's downloader uses, made when first needed (loop's thread); null when
  // the downloader is gone.
  Downloads* Backend(int64_t downloader);
  const DownloadItem* ItemOf(const Row& row) const;
  DownloadSums SumsLocked() const;
  // Writes the share's history entry when its last unfinished row has ended (under mutex_).
  void Ended(int64_t share);

  StateStore& store_;
  ShareJobs& shares_;
  DownloadOptions options_;
  Publish publish_;

  std::unique_ptr<DownloadEngine> engine_;
  std::shared_ptr<IdSource> ids_ = std::make_shared<IdSource>();
  std::unique_ptr<DownloadManager> manager_;  // used and ended on the loop's thread
  struct Remote {
    std::string url, secret;
    std::unique_ptr<RemoteDownloads> downloads;
  };
  std::map<int64_t, Remote> remotes_;  // the loop's own, by downloader
  std::thread thread_;
  int wake_ = -1;  // eventfd: work was posted

  mutable std::mutex mutex_;  // guards what follows
  std::vector<std::function<void()>> work_;
  bool tickWanted_ = false;  // work came that the back-ends tick after
  bool running_ = false;
  std::map<int64_t, std::unique_ptr<Row>> rows_;
  uint64_t revision_ = 1;
  // rows_ by path, then id; empty after any row came or went, made again when next asked.
  mutable std::vector<const Row*> byName_;
  std::map<std::string, std::shared_ptr<const std::string>> folders_;
  // The rows a back-end has under way. A downloader's are sampled each tick; our engine's, by
  // item, only while the engine runs them (the others wait for a slot and do not move) and once
  // just handed over.
  std::map<int64_t, Row*> live_;
  std::unordered_multimap<int, Row*> engineRows_;
  std::vector<int64_t> fresh_;
  std::set<int64_t> dirty_;  // rows changed since the event stream last heard of them
  // Those of them told less than a second before they changed, by when they may be told next
  // (ms), then id: a turn looks only at those due, not at every row changed within the second.
  std::set<std::pair<int64_t, int64_t>> due_;
  mutable std::vector<DownloadChange> unwritten_;  // rows changed, in order, not yet in the store
  std::map<int64_t, std::string> names_;           // downloader -> its name
  std::set<int64_t> open_;                         // shares whose history entry is still to come
  std::map<int64_t, int64_t> unended_;             // share -> its rows neither finished nor failed

  // The loop's own.
  struct Launched {
    std::vector<int64_t> rows;  // by file
    // Rows still waiting for their link; none left, the share is asked for no more.
    std::shared_ptr<std::atomic<int64_t>> waiting;
  };
  std::unordered_map<int, Launched> launched_;  // by the back-end's share
  // A row waiting for its link leaves its launch (loop's thread).
  void Leave(Row& row);
  int64_t lastTellMs_ = 0;
  int64_t lastTickMs_ = 0;
  bool gathering_ = false;  // the back-ends tick: what they tell waits in heard_
  std::vector<DownloadEvent> heard_;
  bool ending_ = false;
  // How far the links of our engine's files run ahead of their downloads: links handed to the
  // loop and not yet taken, and items with a link waiting for their turn. Read by the link
  // resolutions, which hold while it reaches options_.linksAhead.
  void CountWaiting();
  std::atomic<int64_t> linksPosted_{0};
  std::atomic<int64_t> itemsWaiting_{0};
  std::atomic<bool> pacing_{false};                // the loop runs: a held resolution waits for it
  const std::vector<int64_t>* pending_ = nullptr;  // the rows of the share being added
};

}  // namespace sf::service
