#include "service/download_jobs.h"

#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <future>
#include <numeric>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "base/encoding.h"
#include "download/download_engine.h"
#include "download/download_manager.h"
#include "download/share_plan.h"
#include "engine_api/engine_api.h"
#include "view/failure_text.h"

namespace sf::service {
namespace {

int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

const char* NameOf(RowState state) {
  switch (state) {
    case RowState::kDownloading:
      return download_state::kDownloading;
    case RowState::kFailed:
      return download_state::kFailed;
    case RowState::kFinished:
      return download_state::kFinished;
    case RowState::kPaused:
      return download_state::kPaused;
    case RowState::kQueued:
      break;
  }
  return download_state::kQueued;
}

// The state a stored row names; a text of no state is taken as queued, as a start takes it.
RowState StateNamed(const std::string& name) {
  for (RowState state :
       {RowState::kDownloading, RowState::kFailed, RowState::kFinished, RowState::kPaused})
    if (name == NameOf(state)) return state;
  return RowState::kQueued;
}

bool IsEnded(RowState state) {
  return state == RowState::kFinished || state == RowState::kFailed;
}

const std::string kNoText;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr int64_t kTellEveryMs = 1000;
constexpr size_t kWriteAtMost = 1024;  // row changes in one transaction
// A size no file of a share has: the path asked is not among its files.
constexpr int64_t kUnlisted = INT64_MIN;

// The share path the planner knows a file by: the tree's path without its leading "/".
std::string PlanPath(const std::string& treePath) {
  return treePath.empty() || treePath[0] != '/' ? treePath : treePath.substr(1);
}

// Makes every missing folder of an absolute path.
bool MakeEveryFolder(const std::string& path) {
  for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
    std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (at == std::string::npos) return true;
  }
}

// The partial an earlier run left at `path` and its control file; only a partial beside its
// control file is the engine's, so nothing else is touched.
void RemovePartial(const std::string& path) {
  std::string part = path + std::string(layout::kPartSuffix);
  std::string control = path + std::string(layout::kControlSuffix);
  struct stat info {};
  if (lstat(control.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  if (lstat(part.c_str(), &info) == 0 && S_ISREG(info.st_mode)) unlink(part.c_str());
  unlink(control.c_str());
}

}  // namespace

bool DownloadFilter::Matches(int64_t rowShare, std::string_view state,
                             std::string_view path) const {
  if (share != 0 && rowShare != share) return false;
  if (!states.empty() && std::find(states.begin(), states.end(), state) == states.end())
    return false;
  // Compared in place: a filtered listing looks at every row, and copies of each add up.
  auto same = [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b);
  };
  return name.empty() ||
         std::search(path.begin(), path.end(), name.begin(), name.end(), same) != path.end();
}

// What the API shows of a file, and what the loop needs of it, kept small: a share of many
// files has as many rows. The state is a byte, the downloader's name is looked up by its id,
// and the words of a failure are held only by the rows that failed.
struct DownloadJobs::Row {
  int64_t id = 0;
  int64_t share = 0;
  std::string path;  // "/folder/name" in the share, UTF-8
  int64_t size = -1;
  int64_t done = 0;
  int64_t downloader = 0;
  // Where the share's files go (on a downloader "" for its own): one text for all the rows
  // that share it.
  std::shared_ptr<const std::string> directory;
  std::unique_ptr<const std::string> reason;  // why it failed; null when nothing is said
  int64_t started = 0;                        // Unix seconds
  int64_t toldMs = 0;
  struct Sent {
    int64_t size = -1, done = 0;
    int32_t speed = 0;
    RowState state = RowState::kQueued;
  } told;  // as the event stream last heard of it
  int32_t speed = 0;
  ItemId item = ItemId::kNone;
  int launch = 0;  // the back-end's share it was last handed to in; 0: none
  RowState state = RowState::kQueued;
  bool reasonChanged = false;  // since the event stream last heard of it
  // Changed in a way the store must have before anyone hears of it: a restart brings a row
  // under way back queued, as one that is queued, but every other change as it is.
  bool unkept = false;

  const std::string& Reason() const { return reason ? *reason : kNoText; }
  void SetReason(const std::string& words) {
    if (words == Reason()) return;
    reason = words.empty() ? nullptr : std::make_unique<const std::string>(words);
    reasonChanged = true;
  }
  bool Matches(const DownloadFilter& filter) const {
    return filter.Matches(share, NameOf(state), path);
  }
  void MarkTold() {
    told = {size, done, speed, state};
    reasonChanged = false;
  }
};

// A refused link asked again of the share: a fresh resolution on a share worker, its answer
// handed to the loop's thread.
class ShareLinkRenewer : public LinkRenewer {
 public:
  ShareLinkRenewer(ShareJobs& shares, int64_t share,
                   std::function<void(std::function<void()>)> post)
      : shares_(shares), share_(share), post_(std::move(post)) {}
  void Renew(const FileEntry& entry, Answer done) override {
    auto paths = std::make_shared<const std::vector<std::string>>(1, SharePathOf(entry));
    auto post = post_;
    // Only this file's link is asked for; the resolution's other entries are not copied.
    auto link = std::make_shared<std::string>();
    bool asked = shares_.StreamLinks(
        share_, paths,
        [link](const FileEntry& e) {
          if (e.isdir == "0" && !e.dlink.empty()) *link = e.dlink;
          return link->empty();
        },
        [post, done, link](std::string error) {
          post([error, done, link] {
            if (!link->empty()) return done(*link, {});
            done({}, error.empty() ? "the share gave no link for the file" : error);
          });
        });
    if (!asked) done({}, "the share is no longer known");
  }

 private:
  ShareJobs& shares_;
  int64_t share_;
  std::function<void(std::function<void()>)> post_;
};

DownloadJobs::DownloadJobs(StateStore& store, ShareJobs& shares, DownloadOptions options,
                           Publish publish)
    : store_(store), shares_(shares), options_(std::move(options)), publish_(std::move(publish)) {}

DownloadJobs::~DownloadJobs() {
  Stop();
}

std::string DownloadJobs::Start() {
  if (options_.directory.empty() || options_.directory[0] != '/')
    return "the download folder must be an absolute path";
  if (!MakeEveryFolder(options_.directory))
    return "cannot create the download folder " + options_.directory;
  EngineLoad load = options_.engineLibrary.empty() ? LoadEngineFromProgramDirectory()
                                                   : LoadEngineLibrary(options_.engineLibrary);
  if (!load.engine) return load.error;
  engine_ = std::move(load.engine);
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) return "no eventfd for the downloads";
  manager_ = std::make_unique<DownloadManager>(*engine_, ids_);
  manager_->Listen([this](const DownloadEvent& event) { Hear(event); });
  if (auto limit = store_.Setting("speedLimit")) manager_->SetSpeedLimit(std::atoi(limit->c_str()));
  if (auto jobs = store_.Setting("jobs")) manager_->SetJobs(std::max(1, std::atoi(jobs->c_str())));

  // What an earlier run left: unfinished files go on as they were, from their partial files.
  std::map<int64_t, std::vector<int64_t>> again;
  {
    std::lock_guard lock(mutex_);
    for (const DownloaderRow& d : store_.Downloaders()) names_[d.id] = d.name;
    for (const DownloadRow& stored : store_.Downloads()) {
      auto row = std::make_unique<Row>();
      Row& v = *row;
      v.id = stored.id;
      v.share = stored.shareId;
      v.path = stored.path;
      v.size = stored.total;
      v.done = stored.done;
      v.downloader = stored.downloaderId;
      v.state = StateNamed(stored.state);
      v.SetReason(stored.error);
      v.directory = FolderText(stored.target);
      v.started = stored.started;
      if (v.state == RowState::kDownloading) v.state = RowState::kQueued;
      if (v.state == RowState::kQueued && v.share == 0) {
        v.state = RowState::kFailed;
        v.SetReason("the share was removed");
        (void)store_.UpdateDownload(v.id, NameOf(v.state), v.done, v.size, v.Reason());
      }
      if (v.state == RowState::kQueued) again[v.share].push_back(v.id);
      if (!IsEnded(v.state) && v.share != 0) open_.insert(v.share);
      v.MarkTold();
      Count(v, +1);
      rows_[v.id] = std::move(row);
      byName_.clear();
    }
    running_ = true;
  }
  pacing_ = true;
  thread_ = std::thread([this] { Loop(); });
  for (auto& [share, ids] : again) Post([this, share = share, ids = ids] { Launch(share, ids); });
  return {};
}

void DownloadJobs::Stop() {
  if (!thread_.joinable()) return;
  pacing_ = false;
  {
    std::lock_guard lock(mutex_);
    running_ = false;
  }
  uint64_t one = 1;
  (void)!write(wake_, &one, sizeof one);
  thread_.join();
  close(wake_);
  wake_ = -1;
}

bool DownloadJobs::Run(std::function<void()> work) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ended = done->get_future();
  {
    std::lock_guard lock(mutex_);
    if (!running_) return false;
    work_.push_back([work = std::move(work), done] {
      work();
      done->set_value();
    });
    tickWanted_ = true;
  }
  uint64_t one = 1;
  (void)!write(wake_, &one, sizeof one);
  ended.wait();
  return true;
}

void DownloadJobs::Post(std::function<void()> work, bool tick) {
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    work_.push_back(std::move(work));
    tickWanted_ = tickWanted_ || tick;
  }
  uint64_t one = 1;
  (void)!write(wake_, &one, sizeof one);
}

void DownloadJobs::Loop() {
  for (;;) {
    int64_t now = NowMs();
    // Each back-end wakes the loop through its own descriptor; the remote ones read theirs
    // quiet in their Tick.
    std::vector<pollfd> fds = {{wake_, POLLIN, 0}};
    if (manager_->WakeFd() >= 0) fds.push_back({manager_->WakeFd(), POLLIN, 0});
    // When the back-ends want their next tick, counted from their last one.
    int64_t next = std::min(manager_->NextTickMs(lastTickMs_), lastTickMs_ + kTellEveryMs);
    for (auto& [id, remote] : remotes_) {
      fds.push_back({remote.downloads->WakeFd(), POLLIN, 0});
      next = std::min(next, remote.downloads->NextTickMs(lastTickMs_));
    }
    int64_t wait = std::clamp<int64_t>(next - now, 0, kTellEveryMs);
    bool news = false;  // a back-end has some
    if (poll(fds.data(), fds.size(), static_cast<int>(wait)) > 0) {
      uint64_t quiet = 0;
      for (size_t i = 0; i < fds.size() && i < 2; ++i)
        if (fds[i].revents & POLLIN) (void)!read(fds[i].fd, &quiet, sizeof quiet);
      for (size_t i = 1; i < fds.size(); ++i) news = news || (fds[i].revents & POLLIN) != 0;
    }
    std::vector<std::function<void()>> work;
    bool running, wanted;
    {
      std::lock_guard lock(mutex_);
      work.swap(work_);
      running = running_;
      wanted = tickWanted_;
      tickWanted_ = false;
    }
    for (auto& w : work) w();
    if (!running) break;
    now = NowMs();
    // A link starts its file as it comes, with a slot free: links alone, which come by the
    // thousand with a share of many small files, need no tick, nor a look at every row under
    // way.
    if (!news && !wanted && now < next) continue;
    lastTickMs_ = now;
    // What the back-ends tell is heard after their ticks, under one lock: a share of many small
    // files ends many of them in a turn, and their rows are written in one transaction.
    gathering_ = true;
    manager_->Tick(now);
    for (auto& [id, remote] : remotes_) remote.downloads->Tick(now);
    gathering_ = false;
    {
      std::lock_guard lock(mutex_);
      for (const DownloadEvent& event : heard_) Heard(event);
      heard_.clear();
      Sample(now, now - lastTellMs_ >= kTellEveryMs);
    }
    // A finished file's row keeps all the API shows of it: the manager's item, with its link
    // and paths, would only add up over a share of many files.
    manager_->DropFinished();
    CountWaiting();
  }
  // Every task stops and lets go of its partial, with its control file written: the next
  // start goes on from there. What the manager says of them meanwhile is not kept, so the rows
  // keep their states, as written now.
  {
    std::lock_guard lock(mutex_);
    Write();
  }
  ending_ = true;
  // The downloaders go on by themselves; the next start finds their downloads again.
  remotes_.clear();
  std::vector<int32_t> handles;
  for (const DownloadItem& item : manager_->Items())
    if (item.handle != 0 && !item.Ended()) handles.push_back(item.handle);
  manager_.reset();
  for (int32_t handle : handles) engine_->DeleteTask(handle, 0);
}

std::vector<int64_t> DownloadJobs::Add(int64_t share, const std::vector<std::string>& paths,
                                       const DownloadTarget& target, std::string& error) {
  std::string directory;
  std::string where;
  if (target.downloader == 0) {
    directory = options_.directory;
    if (!target.folder.empty()) directory += "/" + target.folder;
    if (!MakeEveryFolder(directory)) {
      error = "cannot create the folder " + directory;
      return {};
    }
  } else {
    std::optional<DownloaderRow> found = store_.Downloader(target.downloader);
    if (!found) {
      error = "no such downloader";
      return {};
    }
    const std::string& base = found->directory.empty() ? target.ownDirectory : found->directory;
    directory = target.folder.empty() ? found->directory : JoinRemoteDir(base, target.folder);
    where = found->name;
  }
  // Only the sizes, found in one pass over the share's records in the order of their paths,
  // the paths asked taken in the same order: a large share's records are never all held, nor
  // a copy of every path asked.
  std::vector<size_t> order(paths.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(), [&paths](size_t a, size_t b) {
    return paths[a] != paths[b] ? paths[a] < paths[b] : a < b;
  });
  std::vector<int64_t> sizes(paths.size(), kUnlisted);
  size_t at = 0;
  (void)store_.EachShareFile(share, [&](FileRow& file) {
    while (at < order.size() && paths[order[at]] < file.path) ++at;
    for (; at < order.size() && paths[order[at]] == file.path; ++at) sizes[order[at]] = file.size;
  });
  std::vector<size_t>().swap(order);
  for (size_t i = 0; i < paths.size(); ++i)
    if (sizes[i] == kUnlisted) {
      error = "the share lists no file " + paths[i];
      return {};
    }
  std::vector<int64_t> ids;
  std::lock_guard lock(mutex_);
  std::unordered_set<std::string_view> listed;
  for (const auto& [id, row] : rows_)
    if (row->share == share) listed.insert(row->path);
  const int64_t now = UnixNow();
  std::vector<DownloadRow> stored;
  for (size_t i = 0; i < paths.size(); ++i)
    if (listed.insert(paths[i]).second)
      stored.push_back({0, share, paths[i], directory, target.downloader, download_state::kQueued,
                        sizes[i], 0, "", now});
  std::unordered_set<std::string_view>().swap(listed);
  std::vector<int64_t>().swap(sizes);
  if (!store_.AddDownloads(stored)) {
    error = "the downloads cannot be kept: " + store_.error();
    return {};
  }
  const std::shared_ptr<const std::string> folder = FolderText(directory);
  if (target.downloader != 0) names_[target.downloader] = where;
  for (DownloadRow& kept : stored) {
    const int64_t id = kept.id;
    auto row = std::make_unique<Row>();
    row->id = id;
    row->share = share;
    row->path = std::move(kept.path);
    row->size = kept.total;
    row->downloader = target.downloader;
    row->directory = folder;
    row->started = kept.started;
    row->MarkTold();
    Count(*row, +1);
    row->toldMs = NowMs();  // told whole just now
    publish_("download", nlohmann::json{{"id", id},
                                        {"share", share},
                                        {"path", row->path},
                                        {"size", kept.total},
                                        {"done", 0},
                                        {"speed", 0},
                                        {"state", download_state::kQueued},
                                        {"reason", ""},
                                        {"downloader", target.downloader == 0
                                                           ? nlohmann::json(nullptr)
                                                           : nlohmann::json(target.downloader)},
                                        {"where", where}});
    rows_[id] = std::move(row);
    ids.push_back(id);
  }
  byName_.clear();
  ++revision_;
  if (!ids.empty()) open_.insert(share);
  if (!ids.empty() && running_) {
    work_.push_back([this, share, ids] { Launch(share, ids); });
    tickWanted_ = true;
    uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
  }
  return ids;
}

namespace {

// The share's entry as its records keep it, without a link: what a back-end plans a file by
// and what a renewal asks the share about (by its folders and name: the sharer's path is left
// out, as the back-ends keep every entry they are given and a fresh resolution is asked anyway).
FileEntry EntryOf(FileRow& file) {
  FileEntry entry;
  const size_t cut = file.path.rfind('/');
  std::string folder = file.folder.empty() ? file.path.substr(0, cut) : file.folder;
  if (folder.empty()) folder = "/";
  const size_t name = folder == "/" ? 1 : folder.size() + 1;
  entry.fs_id = std::move(file.fsId);
  entry.app_id = std::move(file.appId);
  entry.server_filename = Utf8ToGbk(file.path.substr(std::min(name, file.path.size())));
  entry.size = file.size >= 0 ? std::to_string(file.size) : "";
  entry.isdir = "0";
  entry.folder_path = Utf8ToGbk(folder.substr(1));
  return entry;
}

}  // namespace

void DownloadJobs::Launch(int64_t share, const std::vector<int64_t>& ids) {
  // The rows by path, and where each goes.
  struct Wanted {
    std::string path;
    int64_t id;
    Target target;
  };
  std::vector<Wanted> wanted;
  {
    std::lock_guard lock(mutex_);
    for (int64_t id : ids)
      if (auto it = rows_.find(id); it != rows_.end() && it->second->state == RowState::kQueued &&
                                    it->second->item == ItemId::kNone) {
        const Row& row = *it->second;
        wanted.push_back({row.path, id, {row.directory, row.downloader}});
      }
  }
  if (wanted.empty()) return;
  std::sort(wanted.begin(), wanted.end(), [](const Wanted& a, const Wanted& b) {
    return a.path != b.path ? a.path < b.path : a.id < b.id;
  });
  // One order goes to one folder of one back-end: rows kept from runs with other targets go
  // apart. What asks each file's link again is its record as the share listed it, read in
  // the same order, one at a time, so a large share's records are never all held.
  std::map<Target, Opening> groups;
  // Each order's lists take room for all its rows at once: grown by doubling, a large share's
  // records would be held twice for a moment, the old and the new copy.
  {
    std::map<Target, size_t> counts;
    for (const Wanted& w : wanted) ++counts[w.target];
    for (const auto& [target, count] : counts) {
      Opening& group = groups[target];
      group.order.chosen.reserve(count);
      group.order.entries.reserve(count);
      group.rows.reserve(count);
      group.paths->reserve(count);
    }
  }
  std::vector<int64_t> unlisted;
  size_t at = 0;
  const bool read = store_.EachShareFile(share, [&](FileRow& file) {
    while (at < wanted.size() && wanted[at].path < file.path) unlisted.push_back(wanted[at++].id);
    if (at == wanted.size() || wanted[at].path != file.path) return;
    Opening& group = groups[wanted[at].target];
    group.order.chosen.push_back(group.rows.size());
    group.order.entries.push_back(EntryOf(file));
    group.rows.push_back(wanted[at].id);
    group.paths->push_back(PlanPath(file.path));
    // The same file asked twice goes once.
    for (++at; at < wanted.size() && wanted[at].path == file.path; ++at) {
    }
  });
  for (; at < wanted.size(); ++at) unlisted.push_back(wanted[at].id);
  std::vector<Wanted>().swap(wanted);
  if (!unlisted.empty()) {
    std::lock_guard lock(mutex_);
    for (int64_t id : unlisted)
      if (auto it = rows_.find(id); it != rows_.end())
        SetState(*it->second, RowState::kFailed,
                 read ? "the share lists the file no more"
                      : "the share's records cannot be read: " + store_.error());
  }
  for (auto& [target, group] : groups) {
    if (group.rows.empty()) continue;  // none of its rows is listed any more
    group.order.directory = *target.first;
    Open(share, target.second, std::move(group));
  }
  groups.clear();
  // The plan's scratch is let go: its pages go back to the system, which a heap keeps
  // otherwise, so that the share's links, asked now, do not come on top.
  malloc_trim(0);
}

void DownloadJobs::Open(int64_t share, int64_t downloader, Opening opening) {
  ShareOrder& order = opening.order;
  order.open = true;
  // An entry's position is its path's among the paths asked, both in order, so a link finds
  // its file with one list of paths for both sides.
  std::shared_ptr<std::vector<std::string>> paths = std::move(opening.paths);
  std::vector<int64_t> opened = std::move(opening.rows);
  Downloads* backend = Backend(downloader);
  if (backend == nullptr) {
    std::lock_guard lock(mutex_);
    for (int64_t id : opened)
      if (auto it = rows_.find(id); it != rows_.end())
        SetState(*it->second, RowState::kFailed, "the downloader is no longer there");
    return;
  }
  order.renewer = std::make_shared<ShareLinkRenewer>(
      shares_, share, [this](std::function<void()> work) { Post(std::move(work)); });
  pending_ = &opened;
  const int added = Raw(backend->AddShare(std::move(order)));
  pending_ = nullptr;
  {
    std::lock_guard lock(mutex_);
    for (int64_t id : opened)
      if (auto it = rows_.find(id); it != rows_.end()) it->second->launch = added;
  }
  auto waiting = std::make_shared<std::atomic<int64_t>>(static_cast<int64_t>(opened.size()));
  launched_[added] = {std::move(opened), waiting};
  // Each link goes to its file as it comes, so the first files start while the share is
  // still asked for the rest.
  ShareJobs::Paths asked = paths;
  bool fetching = shares_.StreamLinks(
      share, std::move(asked),
      [this, downloader, added, paths, waiting](const FileEntry& entry) {
        std::string path = SharePathOf(entry);
        auto at = std::lower_bound(paths->begin(), paths->end(), path);
        if (at != paths->end() && *at == path && !entry.dlink.empty()) {
          const size_t position = static_cast<size_t>(at - paths->begin());
          ++linksPosted_;
          Post([this, downloader, added, position, link = entry.dlink] {
            Link(downloader, added, position, link);
            // Counted as waiting before it stops counting as handed on: a resolution never
            // sees the link in neither.
            CountWaiting();
            --linksPosted_;
          }, false);
        }
        // Every row paused or removed before its link came: the rest is not asked for.
        return waiting->load() > 0;
      },
      [this, downloader, added](std::string error) {
        Post([this, downloader, added, error] { Close(downloader, added, error); });
      },
      // Our engine's files are asked for their links only a little ahead of their turn: a
      // share of many files does not hold every link (and every file's item with it) while
      // the first ones download, nor find the last links expired when their turn comes. A
      // downloader takes a share's files only once all are in, so its links come at once.
      downloader != 0 ? ShareJobs::Hold{} : [this, waiting] {
        return pacing_.load() && waiting->load() > 0 &&
               linksPosted_.load() + itemsWaiting_.load() >= options_.linksAhead;
      });
  if (!fetching) Close(downloader, added, "the share is no longer known");
}

void DownloadJobs::Link(int64_t downloader, int added, size_t entry, const std::string& link) {
  auto launch = launched_.find(added);
  if (launch == launched_.end() || entry >= launch->second.rows.size()) return;
  {
    std::lock_guard lock(mutex_);
    auto it = rows_.find(launch->second.rows[entry]);
    // Paused or removed while its link was asked for: the file stays unstarted.
    if (it == rows_.end() || it->second->launch != added || it->second->item != ItemId::kNone)
      return;
    launch->second.waiting->fetch_sub(1);
    if (it->second->state != RowState::kQueued) return;
  }
  // The back-end tells its listeners at once; they take the lock.
  if (Downloads* backend = Backend(downloader)) backend->AddLink(ShareId{added}, entry, link);
}

void DownloadJobs::CountWaiting() {
  const DownloadQueue& queue = manager_->queue();
  itemsWaiting_ = static_cast<int64_t>(queue.Unended() - queue.Started().size());
}

void DownloadJobs::Leave(Row& row) {
  if (row.launch == 0 || row.item != ItemId::kNone) return;
  if (auto launch = launched_.find(row.launch); launch != launched_.end())
    launch->second.waiting->fetch_sub(1);
  row.launch = 0;
}

void DownloadJobs::Close(int64_t downloader, int added, const std::string& error) {
  if (!error.empty()) {
    // Why the links did not come is the resolution's to tell, not the back-end's.
    std::lock_guard lock(mutex_);
    for (int64_t id : launched_[added].rows)
      if (auto it = rows_.find(id); it != rows_.end() && it->second->launch == added &&
                                    it->second->item == ItemId::kNone &&
                                    it->second->state == RowState::kQueued) {
        Leave(*it->second);
        SetState(*it->second, RowState::kFailed, "no link: " + error);
      }
  }
  if (Downloads* backend = Backend(downloader)) backend->CloseShare(ShareId{added});
}

void DownloadJobs::Hear(const DownloadEvent& event) {
  if (ending_) return;
  if (gathering_) return heard_.push_back(event);
  std::lock_guard lock(mutex_);
  Heard(event);
}

void DownloadJobs::Heard(const DownloadEvent& event) {
  const int share = Raw(event.share);
  int64_t id = 0;
  bool adding = false;  // heard while its share is being added
  if (auto found = launched_.find(share); found != launched_.end()) {
    if (event.file < found->second.rows.size()) id = found->second.rows[event.file];
  } else if (pending_ != nullptr && event.file < pending_->size()) {
    id = (*pending_)[event.file];
    adding = true;
  }
  auto it = rows_.find(id);
  if (it == rows_.end()) return;
  Row& row = *it->second;
  // A file of a launch the row has left (paused before its link came, or started again).
  if (!adding && row.launch != share) return;
  Downloads* backend = row.downloader == 0 ? manager_.get() : Backend(row.downloader);
  const DownloadItem* item =
      event.item != ItemId::kNone && backend ? backend->Find(event.item) : nullptr;
  switch (event.kind) {
    case DownloadEvent::kStarted:
    case DownloadEvent::kShown:  // a file a downloader holds already, followed again
      SetItem(row, event.item);
      // A row is queued when its file is handed to the manager: only one that failed meanwhile
      // changes, so a share of many files is not written back row by row.
      if (row.state != RowState::kPaused && (row.state != RowState::kQueued || row.reason))
        SetState(row, RowState::kQueued);
      Watch(row);
      break;
    case DownloadEvent::kFinished:
      if (item != nullptr) row.size = item->KnownSize();
      row.done = row.size;
      row.speed = 0;
      SetState(row, RowState::kFinished);
      break;
    case DownloadEvent::kFailed:
      row.speed = 0;
      SetState(
          row, RowState::kFailed,
          !event.reason.empty() ? GbkToUtf8(event.reason) : FailureTextEnglish(event.failureCode));
      break;
    default:
      break;
  }
}

void DownloadJobs::Watch(Row& row) {
  const RowState state = row.state;
  // A downloader's paused download is looked at too: one paused while its link was renewed is
  // paused over there only once it is handed back.
  if (row.item == ItemId::kNone || (state != RowState::kQueued && state != RowState::kDownloading &&
                                    (state != RowState::kPaused || row.downloader == 0)))
    return Unwatch(row);
  if (row.downloader != 0) {
    live_[row.id] = &row;
    return;
  }
  // Two rows may follow one item: the same file asked for by two shares.
  auto [from, to] = engineRows_.equal_range(Raw(row.item));
  if (std::none_of(from, to, [&row](const auto& at) { return at.second == &row; })) {
    engineRows_.emplace(Raw(row.item), &row);
    fresh_.push_back(row.id);
  }
}

void DownloadJobs::Unwatch(Row& row) {
  live_.erase(row.id);
  auto [from, to] = engineRows_.equal_range(Raw(row.item));
  for (auto it = from; it != to; ++it)
    if (it->second == &row) return (void)engineRows_.erase(it);
}

void DownloadJobs::Forget(std::map<int64_t, std::unique_ptr<Row>>::iterator it) {
  const int64_t id = it->first;
  (void)store_.DeleteDownload(id);
  Unwatch(*it->second);
  dirty_.erase(id);
  due_.erase({it->second->toldMs + kTellEveryMs, id});
  rows_.erase(it);
  byName_.clear();
  ++revision_;
  publish_("download-removed", {{"id", id}});
}

void DownloadJobs::SetItem(Row& row, ItemId item) {
  Unwatch(row);
  row.item = item;
  Watch(row);
}

void DownloadJobs::Count(const Row& row, int64_t delta) {
  if (row.share != 0 && !IsEnded(row.state)) unended_[row.share] += delta;
}

void DownloadJobs::SetState(Row& row, RowState state, const std::string& reason) {
  Count(row, -1);
  row.state = state;
  row.SetReason(reason);
  Count(row, +1);
  ++revision_;
  Watch(row);
  dirty_.insert(row.id);
  unwritten_.push_back({row.id, NameOf(state), row.done, row.size, reason});
  if (state != RowState::kDownloading) row.unkept = true;
  // Many rows changed at once (a pause of every row) are written a part at a time.
  if (unwritten_.size() >= kWriteAtMost) Write();
  if (IsEnded(state))
    Ended(row.share);
  else if (row.share != 0)
    open_.insert(row.share);
}

void DownloadJobs::Write() const {
  if (unwritten_.empty()) return;
  (void)store_.UpdateDownloads(unwritten_);
  for (const DownloadChange& change : unwritten_)
    if (auto it = rows_.find(change.id); it != rows_.end()) it->second->unkept = false;
  unwritten_.clear();
}

void DownloadJobs::Ended(int64_t share) {
  if (share == 0 || open_.count(share) == 0) return;
  // Counted as rows change, so that a share of many files is not walked at each file's end.
  if (auto left = unended_.find(share); left != unended_.end() && left->second > 0) return;
  HistoryRow entry;
  entry.shareId = share;
  entry.started = INT64_MAX;
  for (const auto& [id, row] : rows_) {
    const Row& v = *row;
    if (v.share != share) continue;
    if (!IsEnded(v.state)) return;
    entry.files += 1;
    if (v.state == RowState::kFailed)
      entry.filesFailed += 1;
    else
      entry.bytes += std::max<int64_t>(0, v.done);
    entry.started = std::min(entry.started, row->started);
  }
  open_.erase(share);
  if (entry.files == 0) return;
  // The rows that ended it are kept before the entry that says so.
  Write();
  entry.finished = UnixNow();
  if (std::optional<ShareRow> found = store_.Share(share)) entry.url = found->url;
  // The share's top entries name it: one alone, or the first two and an ellipsis.
  std::vector<FileRow> top = store_.Files(share, "/", 0, 3);
  for (size_t i = 0; i < top.size() && i < 2; ++i)
    entry.title += (i > 0 ? ", " : "") + top[i].path.substr(top[i].path.rfind('/') + 1);
  if (top.size() > 2) entry.title += ", …";
  if (entry.title.empty()) entry.title = entry.url;
  entry.id = store_.AddHistory(entry);
  if (entry.id > 0) publish_("history", {{"id", entry.id}});
}

void DownloadJobs::Sample(int64_t nowMs, bool tell) {
  bool moving = false;
  // Only the rows under way: a large list is mostly waiting, paused or done, and looking at
  // every row each tick would keep an idle service busy.
  std::vector<Row*> live;
  live.reserve(live_.size());
  for (auto& [id, row] : live_) live.push_back(row);
  // Of our engine's, only those it runs move, and those just handed over show what their
  // items hold; the others wait for a slot.
  for (int item : manager_->queue().Started()) {
    auto [from, to] = engineRows_.equal_range(item);
    for (auto it = from; it != to; ++it) live.push_back(it->second);
  }
  for (int64_t id : fresh_)
    if (auto it = rows_.find(id);
        it != rows_.end() && it->second->downloader == 0 && it->second->item != ItemId::kNone &&
        (it->second->state == RowState::kQueued || it->second->state == RowState::kDownloading))
      live.push_back(it->second.get());
  fresh_.clear();
  for (Row* row : live) {
    const int64_t id = row->id;
    const DownloadItem* item = ItemOf(*row);
    Row& v = *row;
    if (item == nullptr) continue;
    if (v.downloader != 0) {
      // A downloader's download follows the row's state: one paused while its link was renewed
      // pauses once handed back, one found paused after a restart goes on when the row does.
      Downloads& remote = *remotes_.at(v.downloader).downloads;
      if (v.state == RowState::kPaused && !item->renewing &&
          item->status != DownloadStatus::kPaused)
        remote.Pause({row->item});
      else if (v.state != RowState::kPaused && item->status == DownloadStatus::kPaused)
        remote.Resume({row->item});
      if (v.state == RowState::kPaused) {
        v.speed = 0;
        continue;
      }
    }
    if (item->done != v.done || item->speed != v.speed ||
        (item->KnownSize() >= 0 && item->KnownSize() != v.size)) {
      ++revision_;
      dirty_.insert(id);
    }
    v.done = item->done;
    v.speed = item->speed;
    if (item->KnownSize() >= 0) v.size = item->KnownSize();
    const RowState state = item->status == DownloadStatus::kPaused   ? RowState::kPaused
                           : item->status == DownloadStatus::kQueued ? RowState::kQueued
                                                                     : RowState::kDownloading;
    if (v.state != state && (item->status == DownloadStatus::kRequesting ||
                             item->status == DownloadStatus::kDownloading))
      SetState(*row, state);
    moving = moving || v.state == RowState::kDownloading;
  }
  std::vector<int64_t> told;
  for (int64_t id : dirty_) {
    auto found = rows_.find(id);
    if (found == rows_.end()) continue;
    if (nowMs - found->second->toldMs >= kTellEveryMs)
      told.push_back(id);
    else
      due_.emplace(found->second->toldMs + kTellEveryMs, id);
  }
  dirty_.clear();
  for (auto it = due_.begin(); it != due_.end() && it->first <= nowMs; it = due_.erase(it))
    told.push_back(it->second);
  std::sort(told.begin(), told.end());
  told.erase(std::unique(told.begin(), told.end()), told.end());
  // Nothing is told before it is kept. Most turns tell only rows kept already, or rows that
  // began downloading: a share of many small files is not written a turn at a time.
  for (int64_t id : told)
    if (auto found = rows_.find(id); found != rows_.end() && found->second->unkept) {
      Write();
      break;
    }
  for (int64_t id : told)
    if (auto found = rows_.find(id); found != rows_.end())
      Tell(*found->second), found->second->toldMs = nowMs;
  if (tell && moving) {
    Write();
    DownloadSums totals = SumsLocked();
    publish_("downloads-totals", {{"files", totals.files},
                                  {"filesDone", totals.filesDone},
                                  {"filesFailed", totals.filesFailed},
                                  {"bytesDone", totals.bytesDone},
                                  {"bytesTotal", totals.bytesTotal},
                                  {"speed", totals.speed}});
  }
  if (tell) lastTellMs_ = nowMs;
}

void DownloadJobs::Tell(Row& row) {
  const Row& v = row;
  const Row::Sent& t = row.told;
  nlohmann::json changed = nlohmann::json::object();
  if (v.size != t.size) changed["size"] = v.size;
  if (v.done != t.done) changed["done"] = v.done;
  if (v.speed != t.speed) changed["speed"] = int64_t{v.speed};
  if (v.state != t.state) changed["state"] = NameOf(v.state);
  if (v.reasonChanged) changed["reason"] = v.Reason();
  if (changed.empty()) return;
  changed["id"] = v.id;
  row.MarkTold();
  publish_("download", changed);
}

int DownloadJobs::Apply(Act act, const std::vector<int64_t>& ids, bool removeFiles) {
  int acted = 0;
  bool ran = Run([&] {
    if (act == Act::kPause || act == Act::kRemove) return Halt(act, ids, removeFiles, acted);
    std::map<int64_t, std::vector<int64_t>> launch;
    for (int64_t id : ids) {
      std::unique_lock lock(mutex_);
      auto it = rows_.find(id);
      if (it == rows_.end()) continue;
      Row& row = *it->second;
      const DownloadItem* item = ItemOf(row);
      Downloads* backend = row.downloader == 0 ? manager_.get() : Backend(row.downloader);
      const RowState state = row.state;
      ItemId itemId = row.item;
      // The manager tells its listeners at once; they take the lock.
      lock.unlock();
      bool fits = act == Act::kResume ? state == RowState::kPaused : state == RowState::kFailed;
      if (!fits) continue;
      bool moved = item != nullptr && backend != nullptr &&
                   (act == Act::kResume ? backend->Resume({itemId}) : backend->Retry({itemId})) > 0;
      // A downloader's file whose link is being renewed goes on once handed back.
      moved = moved || (item != nullptr && item->renewing && act == Act::kResume);
      lock.lock();
      SetState(row, RowState::kQueued);
      Write();
      if (!moved) {
        SetItem(row, ItemId::kNone);
        launch[row.share].push_back(id);
      }
      ++acted;
    }
    for (auto& [share, rows] : launch) Launch(share, rows);
  });
  return ran ? acted : 0;
}

void DownloadJobs::Halt(Act act, const std::vector<int64_t>& ids, bool removeFiles, int& acted) {
  // Each back-end hears of all its items at once: one at a time, each queued file stopped would
  // let the next one start, only to stop that too, and so on down the whole list.
  std::vector<std::pair<int64_t, bool>> taken;  // the row, and whether a back-end has it
  std::map<Downloads*, std::vector<ItemId>> items;
  {
    std::lock_guard lock(mutex_);
    for (int64_t id : std::set<int64_t>(ids.begin(), ids.end())) {
      auto it = rows_.find(id);
      if (it == rows_.end()) continue;
      const Row& row = *it->second;
      if (act == Act::kPause && row.state != RowState::kQueued &&
          row.state != RowState::kDownloading)
        continue;
      Downloads* backend = row.downloader == 0 ? manager_.get() : Backend(row.downloader);
      bool listed = backend != nullptr && ItemOf(row) != nullptr;
      taken.emplace_back(id, listed);
      if (listed) items[backend].push_back(row.item);
    }
  }
  // The back-ends tell their listeners at once; they take the lock.
  for (auto& [backend, list] : items) {
    if (act == Act::kPause)
      backend->Pause(list);
    else
      backend->Cancel(list, removeFiles);
  }
  std::lock_guard lock(mutex_);
  // A row's change not yet written is never written after the row went: its id may be taken
  // by a row added later.
  Write();
  std::set<int64_t> shares;
  for (auto [id, listed] : taken) {
    auto it = rows_.find(id);
    if (it == rows_.end()) continue;
    Row& row = *it->second;
    if (act == Act::kPause) {
      row.speed = 0;
      // One still waiting for its link leaves that launch; a resume starts it anew.
      if (!listed) Leave(row);
      SetState(row, RowState::kPaused);
    } else {
      // A downloader's files are on its machine, never under a path of this one.
      if (!listed && removeFiles && row.state != RowState::kFinished && row.downloader == 0)
        RemovePartial(*row.directory + row.path);
      if (!listed) Leave(row);
      Count(row, -1);
      shares.insert(row.share);
      Forget(it);
    }
    ++acted;
  }
  for (int64_t share : shares) Ended(share);  // the files left of a share may all have ended now
  Write();                                    // before the caller is answered
}

std::vector<int64_t> DownloadJobs::Ids(const DownloadFilter& filter) const {
  std::lock_guard lock(mutex_);
  Write();
  std::vector<int64_t> ids;
  for (const auto& [id, row] : rows_)
    if (row->Matches(filter)) ids.push_back(id);
  return ids;
}

DownloadJobs::Window DownloadJobs::Rows(const DownloadFilter& filter, SortBy sort, bool descending,
                                        size_t offset, size_t limit) const {
  auto byPath = [](const Row* a, const Row* b) {
    return a->path != b->path ? a->path < b->path : a->id < b->id;
  };
  auto progress = [](const Row& v) {
    return v.size > 0 ? static_cast<double>(v.done) / static_cast<double>(v.size) : 0.0;
  };
  // Rows of equal keys keep their order by path, whichever way the list runs.
  auto before = [&](const Row* a, const Row* b) {
    const Row &x = *a, &y = *b;
    if (sort == SortBy::kSize && x.size != y.size) return (x.size < y.size) != descending;
    if (sort == SortBy::kState && x.state != y.state) return (x.state < y.state) != descending;
    if (sort == SortBy::kProgress && progress(x) != progress(y))
      return (progress(x) < progress(y)) != descending;
    return byPath(a, b) != descending;
  };
  Window window;
  std::lock_guard lock(mutex_);
  Write();
  window.revision = revision_;
  if (byName_.size() != rows_.size()) {
    byName_.clear();
    byName_.reserve(rows_.size());
    for (const auto& [id, row] : rows_) byName_.push_back(row.get());
    std::sort(byName_.begin(), byName_.end(), byPath);
  }
  if (sort == SortBy::kName && filter.MatchesAll()) {
    // Every row is taken: the window is a slice of the order kept, not a walk up to it.
    window.total = byName_.size();
    const size_t end = std::min(byName_.size(), offset + std::min(limit, byName_.size()));
    for (size_t i = offset; i < end; ++i)
      window.rows.push_back(ViewOf(*(descending ? byName_[byName_.size() - 1 - i] : byName_[i])));
    return window;
  }
  std::vector<const Row*> taken;
  auto take = [&](const Row* row) {
    if (!row->Matches(filter)) return;
    if (sort == SortBy::kName) {
      // Already in order: only the window's rows are kept.
      if (window.total >= offset && window.total - offset < limit) taken.push_back(row);
      ++window.total;
    } else {
      taken.push_back(row);
    }
  };
  if (descending)
    std::for_each(byName_.rbegin(), byName_.rend(), take);
  else
    std::for_each(byName_.begin(), byName_.end(), take);
  if (sort != SortBy::kName) {
    window.total = taken.size();
    if (offset >= taken.size()) return window;
    auto first = taken.begin() + static_cast<std::ptrdiff_t>(offset);
    auto last = taken.begin() + static_cast<std::ptrdiff_t>(std::min(taken.size(), offset + limit));
    std::nth_element(taken.begin(), first, taken.end(), before);
    std::partial_sort(first, last, taken.end(), before);
    taken = std::vector<const Row*>(first, last);
  }
  window.rows.reserve(taken.size());
  for (const Row* row : taken) window.rows.push_back(ViewOf(*row));
  return window;
}

DownloadView DownloadJobs::ViewOf(const Row& row) const {
  DownloadView view{row.id,    row.share,         row.path,     row.size,       row.done,
                    row.speed, NameOf(row.state), row.Reason(), row.downloader, ""};
  if (row.downloader != 0)
    if (auto name = names_.find(row.downloader); name != names_.end()) view.where = name->second;
  return view;
}

std::shared_ptr<const std::string> DownloadJobs::FolderText(const std::string& path) {
  std::shared_ptr<const std::string>& kept = folders_[path];
  if (!kept) kept = std::make_shared<const std::string>(path);
  return kept;
}

DownloadSums DownloadJobs::Sums() const {
  std::lock_guard lock(mutex_);
  Write();
  return SumsLocked();
}

DownloadSums DownloadJobs::SumsLocked() const {
  DownloadSums sums;
  for (const auto& [id, row] : rows_) {
    const Row& v = *row;
    sums.files += 1;
    sums.filesDone += v.state == RowState::kFinished ? 1 : 0;
    sums.filesFailed += v.state == RowState::kFailed ? 1 : 0;
    sums.bytesDone += std::max<int64_t>(0, v.done);
    sums.bytesTotal += std::max<int64_t>(0, v.size);
    sums.speed += v.speed;
  }
  return sums;
}

bool DownloadJobs::Uses(int64_t downloader) const {
  std::lock_guard lock(mutex_);
  Write();
  for (const auto& [id, row] : rows_)
    if (row->downloader == downloader && !IsEnded(row->state)) return true;
  return false;
}

void DownloadJobs::DownloadersChanged() {
  std::vector<DownloaderRow> now = store_.Downloaders();
  std::map<int64_t, std::string> secrets;
  for (const DownloaderRow& d : now) secrets[d.id] = store_.DownloaderSecret(d.id).value_or("");
  Run([&] {
    std::map<int64_t, std::vector<int64_t>> launch;
    std::unique_lock lock(mutex_);
    std::map<int64_t, std::string> before;
    before.swap(names_);
    for (const DownloaderRow& d : now) names_[d.id] = d.name;
    std::set<int64_t> moved;
    for (auto& [id, remote] : remotes_) {
      auto d =
          std::find_if(now.begin(), now.end(), [id = id](const auto& r) { return r.id == id; });
      if (d == now.end() || d->url != remote.url || secrets[d->id] != remote.secret)
        moved.insert(id);
    }
    std::vector<int64_t> gone;
    for (auto& [id, row] : rows_) {
      Row& v = *row;
      if (v.downloader == 0) continue;
      if (names_.count(v.downloader) == 0) {
        // Its rows are ended (one in use is not let go); they go with it.
        gone.push_back(id);
        continue;
      }
      // Its rows show the name it has now.
      if (before.count(v.downloader) == 0 || before[v.downloader] != names_[v.downloader])
        ++revision_;
      if (moved.count(v.downloader) != 0 && row->item != ItemId::kNone) {
        SetItem(*row, ItemId::kNone);
        if (v.state == RowState::kQueued || v.state == RowState::kDownloading)
          launch[v.share].push_back(id);
      }
    }
    if (!gone.empty()) Write();  // as Halt does
    for (int64_t id : gone) Forget(rows_.find(id));
    lock.unlock();
    for (int64_t id : moved) remotes_.erase(id);
    for (auto& [share, rows] : launch) Launch(share, rows);
  });
}

Downloads* DownloadJobs::Backend(int64_t downloader) {
  if (downloader == 0) return manager_.get();
  if (auto it = remotes_.find(downloader); it != remotes_.end()) return it->second.downloads.get();
  for (const DownloaderRow& d : store_.Downloaders()) {
    if (d.id != downloader) continue;
    Remote& remote = remotes_[downloader];
    remote.url = d.url;
    remote.secret = store_.DownloaderSecret(d.id).value_or("");
    remote.downloads = std::make_unique<RemoteDownloads>(
        std::vector<RemoteEndpoint>{{remote.url, remote.secret}}, ids_);
    remote.downloads->Listen([this](const DownloadEvent& event) { Hear(event); });
    return remote.downloads.get();
  }
  return nullptr;
}

const DownloadItem* DownloadJobs::ItemOf(const Row& row) const {
  if (row.item == ItemId::kNone) return nullptr;
  if (row.downloader == 0) return manager_->Find(row.item);
  auto it = remotes_.find(row.downloader);
  return it == remotes_.end() ? nullptr : it->second.downloads->Find(row.item);
}

void DownloadJobs::SetSpeedLimit(int32_t kilobytesPerSecond) {
  (void)store_.SetSetting("speedLimit", std::to_string(kilobytesPerSecond));
  Post([this, kilobytesPerSecond] { manager_->SetSpeedLimit(kilobytesPerSecond); });
}

void DownloadJobs::SetJobs(int n) {
  (void)store_.SetSetting("jobs", std::to_string(n));
  Post([this, n] { manager_->SetJobs(n); });
}

}  // namespace sf::service
