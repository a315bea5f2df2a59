#include "download/share_download.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <unordered_map>
#include <utility>

#include "base/encoding.h"

namespace sf {

namespace {

// The fields an entry keeps in a share's file, in this order; the link is the queue's.
template <typename Entry, typename Visit>
void EachPackedField(Entry& e, Visit visit) {
  visit(e.fs_id);
  visit(e.app_id);
  visit(e.server_filename);
  visit(e.size);
  visit(e.isdir);
  visit(e.path);
  visit(e.folder_path);
}

// Each field as its length, seven bits to a byte from the lowest, the top bit set on all but
// the last, then its bytes: any byte may be in a field.
std::string PackEntry(const FileEntry& entry) {
  size_t bytes = 0;
  EachPackedField(entry, [&](const std::string& field) { bytes += field.size() + 2; });
  std::string out;
  out.reserve(bytes);
  EachPackedField(entry, [&](const std::string& field) {
    size_t n = field.size();
    do {
      unsigned char low = n & 0x7f;
      n >>= 7;
      out.push_back(static_cast<char>(n != 0 ? low | 0x80 : low));
    } while (n != 0);
    out += field;
  });
  out.shrink_to_fit();
  return out;
}

// The packed field that starts at `at`, which moves past it.
std::string_view UnpackField(std::string_view packed, size_t& at) {
  size_t n = 0;
  int shift = 0;
  unsigned char byte = 0x80;
  while ((byte & 0x80) != 0 && at < packed.size()) {
    byte = static_cast<unsigned char>(packed[at++]);
    n |= static_cast<size_t>(byte & 0x7f) << shift;
    shift += 7;
  }
  std::string_view field = packed.substr(at, std::min(n, packed.size() - at));
  at += field.size();
  return field;
}

FileEntry UnpackEntry(const std::string& packed) {
  FileEntry entry;
  size_t at = 0;
  EachPackedField(entry, [&](std::string& field) { field = UnpackField(packed, at); });
  return entry;
}

const std::string kNoDirectory;

}  // namespace

const std::string& ShareFile::Directory() const {
  return directory ? *directory : kNoDirectory;
}

bool LinkRefused(int32_t failureCode, bool sawBytes) {
  switch (failureCode) {
    case 403:
    case 404:
    case 410:
      return true;
    case ECONNREFUSED:
    case ECONNRESET:
    case ECONNABORTED:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETUNREACH:
    case ETIMEDOUT:
      return !sawBytes;
    default:
      return false;
  }
}

std::vector<size_t> ShareDownload::Add(const std::vector<FileEntry>& entries,
                                       const std::vector<size_t>& chosen,
                                       const std::string& directory, const DiskLook& look,
                                       const Listed& listed) {
  return Plan(entries, chosen, directory, look, listed, false);
}

std::vector<size_t> ShareDownload::Open(const std::vector<FileEntry>& entries,
                                        const std::vector<size_t>& chosen,
                                        const std::string& directory, const DiskLook& look,
                                        const Listed& listed) {
  linksMayCome_ = true;
  openDirectory_ = directory;
  return Plan(entries, chosen, directory, look, listed, true);
}

std::vector<size_t> ShareDownload::Plan(const std::vector<FileEntry>& entries,
                                        const std::vector<size_t>& chosen,
                                        const std::string& directory, const DiskLook& look,
                                        const Listed& listed, bool awaitLinks) {
  PlanOptions options;
  options.directory = directory;
  long nameMax = ::pathconf(directory.c_str(), _PC_NAME_MAX);
  if (nameMax > 0) options.nameMax = static_cast<size_t>(nameMax);
  std::vector<size_t> added;
  std::vector<PlannedFile> plan = PlanShare(entries, chosen, options, look);
  if (awaitLinks && awaiting_.size() < entries.size()) awaiting_.resize(entries.size());
  // The files of one folder share its directory's one string.
  Folders folders;
  // Grown once: doubling a list of many files would hold it twice for a moment.
  if (files_.size() + plan.size() > files_.capacity())
    files_.reserve(std::max(files_.size() + plan.size(), 2 * files_.capacity()));
  queue_.Reserve(plan.size());
  for (PlannedFile& planned : plan) {
    if (listed && planned.step != PlanStep::kRefuse &&
        listed(planned.folder.empty() ? directory : directory + "/" + planned.folder, planned.name))
      continue;
    added.push_back(files_.size());
    Place(entries, planned, directory, awaitLinks, folders);
  }
  return added;
}

void ShareDownload::Place(const std::vector<FileEntry>& entries, PlannedFile& planned,
                          const std::string& directory, bool awaitLinks, Folders& folders) {
  size_t index = files_.size();
  ShareFile& f = files_.emplace_back();
  ++open_;
  f.packedEntry = PackEntry(entries[planned.entry]);
  f.plan = std::move(planned);
  std::shared_ptr<const std::string>& shared = folders[f.plan.folder];
  if (!shared)
    shared = std::make_shared<const std::string>(
        f.plan.folder.empty() ? directory : directory + "/" + f.plan.folder);
  f.directory = shared;
  if (f.plan.step == PlanStep::kRefuse) {
    f.problem = f.plan.problem;
    return End(f, index, ShareFileStatus::kFailed);
  }
  if (f.plan.step == PlanStep::kSkip) {
    f.savedName = f.plan.name;
    return End(f, index, ShareFileStatus::kSkipped);
  }
  if (awaitLinks) {
    f.status = ShareFileStatus::kAwaitingLink;
    awaiting_[f.plan.entry] = index + 1;
    return;
  }
  Start(index, directory, entries[f.plan.entry].dlink);
}

ShareDownload::~ShareDownload() {
  if (aside_ && aside_->worker.joinable()) {
    aside_->cancel = true;
    aside_->worker.join();
  }
}

void ShareDownload::PlanAside(std::shared_ptr<const std::vector<FileEntry>> entries,
                              std::vector<size_t> chosen, const std::string& directory,
                              bool awaitLinks, std::function<void()> wake) {
  aside_ = std::make_unique<Aside>();
  Aside& a = *aside_;
  a.entries = std::move(entries);
  a.directory = directory;
  a.awaitLinks = awaitLinks;
  if (awaitLinks) {
    linksMayCome_ = true;
    openDirectory_ = directory;
  }
  PlanOptions options;
  options.directory = directory;
  long nameMax = ::pathconf(directory.c_str(), _PC_NAME_MAX);
  if (nameMax > 0) options.nameMax = static_cast<size_t>(nameMax);
  if (awaitLinks && awaiting_.size() < a.entries->size()) awaiting_.resize(a.entries->size());
  // Grown once: doubling a list of many files would hold it twice for a moment.
  if (files_.size() + chosen.size() > files_.capacity())
    files_.reserve(std::max(files_.size() + chosen.size(), 2 * files_.capacity()));
  queue_.Reserve(chosen.size());
  // The plan is handed on as it grows, so the first files start while the rest are planned. A
  // window closed meanwhile does not wait for every look: the rest fail at once, unqueued.
  a.worker = std::thread([&a, options, chosen = std::move(chosen), wake = std::move(wake)] {
    DiskLook look = [&a](const std::string& path) {
      if (a.cancel) return DiskEntry{DiskEntry::Kind::kNone, 0, false, ECANCELED};
      return LookOnDisk(path);
    };
    SharePlanner planner(*a.entries, options, look);
    constexpr size_t kChunk = 256;
    std::vector<PlannedFile> chunk;
    bool first = true;
    for (size_t i = 0; i < chosen.size(); ++i) {
      if (chosen[i] < a.entries->size()) chunk.push_back(planner.Plan(chosen[i]));
      if (chunk.size() < kChunk && i + 1 < chosen.size()) continue;
      {
        std::lock_guard<std::mutex> hold(a.lock);
        a.ready.insert(a.ready.end(), std::make_move_iterator(chunk.begin()),
                       std::make_move_iterator(chunk.end()));
      }
      chunk.clear();
      if (std::exchange(first, false) && wake) wake();
    }
    {
      std::lock_guard<std::mutex> hold(a.lock);
      a.made = true;
    }
    if (wake) wake();
  });
}

std::vector<size_t> ShareDownload::Feed(size_t most, const Listed& listed) {
  std::vector<size_t> added;
  if (!aside_) return added;
  Aside& a = *aside_;
  bool made = false;
  if (a.fed == a.plan.size()) {
    std::lock_guard<std::mutex> hold(a.lock);
    a.plan.clear();
    a.plan.swap(a.ready);
    a.fed = 0;
    made = a.made;
  }
  const std::vector<FileEntry>& entries = *a.entries;
  for (; a.fed < a.plan.size() && added.size() < most; ++a.fed) {
    PlannedFile& planned = a.plan[a.fed];
    if (listed && planned.step != PlanStep::kRefuse &&
        listed(planned.folder.empty() ? a.directory : a.directory + "/" + planned.folder,
               planned.name))
      continue;
    added.push_back(files_.size());
    const size_t entry = planned.entry;
    Place(entries, planned, a.directory, a.awaitLinks, a.folders);
    // A link that came while the plan was being made starts its file now.
    if (a.awaitLinks && !a.links.empty())
      if (auto link = a.links.find(entry); link != a.links.end()) {
        if (awaiting_[entry] != 0) {
          awaiting_[entry] = 0;
          Start(added.back(), a.directory, link->second);
        }
        a.links.erase(link);
      }
  }
  if (a.fed < a.plan.size() || !made) return added;
  {
    std::lock_guard<std::mutex> hold(a.lock);
    if (!a.ready.empty()) return added;
  }
  a.worker.join();
  const bool close = a.close;
  aside_.reset();
  if (close) Close();
  return added;
}

void ShareDownload::Start(size_t index, const std::string& directory, const std::string& link) {
  ShareFile& f = files_[index];
  f.status = ShareFileStatus::kQueued;
  if (!f.plan.folder.empty() && made_.count(directory + "/" + f.plan.folder) == 0) {
    f.problem = MakeFolders(directory, f.plan.folder);
    if (f.problem.empty()) made_.insert(directory + "/" + f.plan.folder);
  }
  if (f.problem.empty() && link.empty()) f.problem = "the share gave no link for it";
  if (!f.problem.empty()) return End(f, index, ShareFileStatus::kFailed);
  // The folders below the directory are the plan's: the engine opens them without following
  // a link, so one swapped for a link during the run cannot lead a file out of the directory.
  f.item = queue_.Add({Utf8ToGbk(f.plan.name), link, Utf8ToGbk(f.Directory()), "", "", f.plan.size,
                       Utf8ToGbk(directory)});
}

std::optional<size_t> ShareDownload::Link(size_t entry, const std::string& link) {
  // Its file may not be planned yet: the link waits for it.
  if (aside_ && aside_->awaitLinks && (entry >= awaiting_.size() || awaiting_[entry] == 0)) {
    aside_->links[entry] = link;
    return std::nullopt;
  }
  if (entry >= awaiting_.size() || awaiting_[entry] == 0) return std::nullopt;
  size_t index = awaiting_[entry] - 1;
  awaiting_[entry] = 0;
  Start(index, openDirectory_, link);
  return index;
}

void ShareDownload::Close() {
  if (aside_) {
    aside_->close = true;
    return;
  }
  linksMayCome_ = false;
  // In the share's order, as Add would have failed them.
  std::vector<size_t> left;
  for (size_t file : awaiting_)
    if (file != 0) left.push_back(file - 1);
  awaiting_.clear();
  awaiting_.shrink_to_fit();
  std::sort(left.begin(), left.end());
  for (size_t file : left) Start(file, openDirectory_, {});
}

FileEntry ShareDownload::Entry(size_t file) const {
  if (file >= files_.size()) return {};
  const ShareFile& f = files_[file];
  FileEntry entry = UnpackEntry(f.packedEntry);
  if (const DownloadItem* item = f.item != 0 ? queue_.Find(f.item) : nullptr)
    entry.dlink = item->request.address;
  return entry;
}

std::string_view ShareDownload::FsId(size_t file) const {
  if (file >= files_.size()) return {};
  size_t at = 0;
  return UnpackField(files_[file].packedEntry, at);  // the first field packed
}

std::string_view ShareDownload::AppId(size_t file) const {
  if (file >= files_.size()) return {};
  size_t at = 0;
  UnpackField(files_[file].packedEntry, at);
  return UnpackField(files_[file].packedEntry, at);  // the second
}

std::vector<size_t> ShareDownload::Update() {
  std::vector<size_t> renew;
  for (size_t i = 0; i < files_.size(); ++i) Look(i, renew);
  return renew;
}

std::vector<size_t> ShareDownload::Update(std::vector<size_t> files) {
  std::sort(files.begin(), files.end());
  files.erase(std::unique(files.begin(), files.end()), files.end());
  std::vector<size_t> renew;
  for (size_t i : files)
    if (i < files_.size()) Look(i, renew);
  return renew;
}

void ShareDownload::Look(size_t i, std::vector<size_t>& renew) {
  ShareFile& f = files_[i];
  if (f.status != ShareFileStatus::kQueued) return;
  const DownloadItem* item = queue_.Find(f.item);
  if (item == nullptr) {
    f.problem = "taken out of the downloads";
    return End(f, i, ShareFileStatus::kFailed);
  }
  if (item->status == DownloadStatus::kDownloading) f.sawBytes = true;
  if (item->status == DownloadStatus::kFinished) {
    f.savedName = GbkToUtf8(item->Name());
    End(f, i, item->alreadyComplete ? ShareFileStatus::kSkipped : ShareFileStatus::kDone);
  } else if (item->status == DownloadStatus::kFailed) {
    f.failureCode = item->failureCode;
    if (!f.renewed && LinkRefused(item->failureCode, f.sawBytes)) {
      f.status = ShareFileStatus::kRenewing;
      renew.push_back(i);
    } else {
      End(f, i, ShareFileStatus::kFailed);
    }
  }
}

void ShareDownload::Renew(size_t file, const std::string& link, const std::string& why) {
  if (file >= files_.size() || files_[file].status != ShareFileStatus::kRenewing) return;
  ShareFile& f = files_[file];
  f.renewed = true;
  if (link.empty()) {
    f.problem = why.empty() ? "the share gave no fresh link" : why;
    return End(f, file, ShareFileStatus::kFailed);
  }
  f.sawBytes = false;
  f.failureCode = 0;
  f.status = ShareFileStatus::kQueued;
  if (!queue_.Relink(f.item, link)) {
    f.problem = "taken out of the downloads";
    End(f, file, ShareFileStatus::kFailed);
  }
}

size_t ShareDownload::Adopt(const FileEntry& entry, size_t position, int item,
                            const std::string& directory, const std::string& name) {
  ShareFile& f = files_.emplace_back();
  ++open_;
  f.packedEntry = PackEntry(entry);
  f.plan.entry = position;
  f.plan.name = name;
  f.directory = std::make_shared<const std::string>(directory);
  f.item = item;
  return files_.size() - 1;
}

bool ShareDownload::Reopen(size_t file) {
  if (file >= files_.size()) return false;
  ShareFile& f = files_[file];
  if (f.status != ShareFileStatus::kFailed || f.item == 0) return false;
  ++open_;
  f.status = ShareFileStatus::kQueued;
  f.renewed = false;
  f.sawBytes = false;
  f.failureCode = 0;
  f.problem.clear();
  return true;
}

bool ShareDownload::Ended() const {
  return !aside_ && !linksMayCome_ && open_ == 0;
}

std::vector<size_t> ShareDownload::TakeEnded() {
  std::vector<size_t> out;
  out.swap(ended_);
  return out;
}

// Only a file under way ends, so the count of open files stays exact.
void ShareDownload::End(ShareFile& file, size_t index, ShareFileStatus status) {
  --open_;
  file.status = status;
  ended_.push_back(index);
}

}  // namespace sf
