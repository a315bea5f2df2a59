#include "download/share_download.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/encoding.h"

namespace sf {

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
  // Grown once: doubling a list of many files would hold it twice for a moment.
  if (files_.size() + plan.size() > files_.capacity())
    files_.reserve(std::max(files_.size() + plan.size(), 2 * files_.capacity()));
  queue_.Reserve(plan.size());
  for (PlannedFile& planned : plan) {
    if (listed && planned.step != PlanStep::kRefuse &&
        listed(planned.folder.empty() ? directory : directory + "/" + planned.folder, planned.name))
      continue;
    size_t index = files_.size();
    added.push_back(index);
    ShareFile& f = files_.emplace_back();
    ++open_;
    f.entry = entries[planned.entry];
    f.plan = std::move(planned);
    f.directory = f.plan.folder.empty() ? directory : directory + "/" + f.plan.folder;
    if (f.plan.step == PlanStep::kRefuse) {
      f.problem = f.plan.problem;
      End(f, index, ShareFileStatus::kFailed);
      continue;
    }
    if (f.plan.step == PlanStep::kSkip) {
      f.savedName = f.plan.name;
      End(f, index, ShareFileStatus::kSkipped);
      continue;
    }
    if (awaitLinks) {
      f.status = ShareFileStatus::kAwaitingLink;
      awaiting_[f.plan.entry] = index;
      continue;
    }
    Start(index, directory);
  }
  return added;
}

void ShareDownload::Start(size_t index, const std::string& directory) {
  ShareFile& f = files_[index];
  f.status = ShareFileStatus::kQueued;
  f.problem = MakeFolders(directory, f.plan.folder);
  if (f.problem.empty() && f.entry.dlink.empty()) f.problem = "the share gave no link for it";
  if (!f.problem.empty()) return End(f, index, ShareFileStatus::kFailed);
  // The folders below the directory are the plan's: the engine opens them without following
  // a link, so one swapped for a link during the run cannot lead a file out of the directory.
  f.item = queue_.Add({Utf8ToGbk(f.plan.name), f.entry.dlink, Utf8ToGbk(f.directory), "", "",
                       f.plan.size, Utf8ToGbk(directory)});
}

std::optional<size_t> ShareDownload::Link(size_t entry, const std::string& link) {
  auto at = awaiting_.find(entry);
  if (at == awaiting_.end()) return std::nullopt;
  size_t index = at->second;
  awaiting_.erase(at);
  files_[index].entry.dlink = link;
  Start(index, openDirectory_);
  return index;
}

void ShareDownload::Close() {
  linksMayCome_ = false;
  // In the share's order, as Add would have failed them.
  std::vector<size_t> left;
  for (const auto& [entry, file] : awaiting_) left.push_back(file);
  awaiting_.clear();
  std::sort(left.begin(), left.end());
  for (size_t file : left) {
    files_[file].entry.dlink.clear();
    Start(file, openDirectory_);
  }
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
  f.entry.dlink = link;
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
  f.entry = entry;
  f.plan.entry = position;
  f.plan.name = name;
  f.directory = directory;
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
  return !linksMayCome_ && open_ == 0;
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
