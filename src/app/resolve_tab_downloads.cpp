// ResolveTab's files into the downloads: a row, the selected files or all of them, each file
// as its link comes while the parse runs; the fresh links they ask for, on the parse's worker;
// and a share's file remembered from an earlier run, started again.
#include <QPushButton>
#include <QTimer>
#include <QTreeView>
#include <filesystem>
#include <functional>
#include <memory>
#include <utility>

#include "app/prompt_dialogs.h"
#include "app/resolve_tab.h"
#include "app/resolve_tab_parts.h"
#include "base/encoding.h"
#include "base/text.h"
#include "download/share_download.h"
#include "download/share_plan.h"
#include "download/share_stream.h"
#include "share/resolve_driver.h"

namespace sf::app {

// The prompts of a share remembered from an earlier run: its code first, then the user's, on the
// window's thread; nothing of a renewal shows in the result list.
class ResolveTab::Remembered : public ResolvePrompts, public ResolveView {
 public:
  Remembered(ResolveTab& tab, std::string code)
      : tab_(&tab), bridge_(tab.bridge_), code_(std::move(code)) {}
  // The remembered code is tried once; the user is told when the service refused it.
  std::string AskPassword() override {
    const bool wrong = std::exchange(tried_, true);
    if (!code_.empty()) return std::exchange(code_, std::string());
    return bridge_.Ask([tab = tab_, wrong] { return tab->AskPassword(wrong); });
  }
  std::string AskCaptcha(ShareSession& session, int reason) override {
    return bridge_.Ask([tab = tab_, s = &session, reason] { return tab->AskCaptcha(*s, reason); });
  }
  void ShowStatus(const std::string&) override {}
  void SetNameColumnTitle(const std::string&) override {}
  void AddRow(const std::array<std::string, 4>&) override {}
  void ShowMissingFolders(const std::vector<MissingFolder>&) override {}

 private:
  ResolveTab* tab_;
  WorkerBridge& bridge_;
  std::string code_;
  bool tried_ = false;
};

void ResolveTab::StartSelectedDownload() {
  const QModelIndex current = list_->currentIndex();
  // A click on an empty part of the list, or no row selected, starts nothing; nor does a row of
  // a parse still under way, or a file the share gave no link for.
  if (!current.isValid() || !list_->selectionModel()->isRowSelected(current.row()) ||
      !startDownload_ || !parsed_)
    return;
  size_t row = model_->EntryAt(current.row());
  if (row >= parsed_->entries().size()) return;
  const FileEntry& entry = parsed_->entries()[row];
  // A folder stands for its files, as in 下载所选: a folder itself has no link to download.
  if (entry.isdir == "1") return DownloadEntries(FilesUnder(parsed_->entries(), {row}));
  if (static_cast<int>(row) + 1 >= parsed_->position()) return;
  DownloadRequest request;
  request.name = entry.server_filename;
  request.address = entry.dlink;
  // The service's byte count lets the download see that a file is already whole on disk.
  if (!entry.size.empty() && entry.size.find_first_not_of("0123456789") == std::string::npos)
    request.expectedSize = ReadInteger(entry.size);
  startDownload_(request);
  // The new item is the share's file: a refused link is renewed from the share, now or at a
  // retry, and the share is remembered with it.
  if (downloads_ == nullptr || downloads_->queue().Items().empty()) return;
  const DownloadItem& added = downloads_->queue().Items().back();
  if (added.request.address == request.address)
    downloads_->Adopt(added.id, parsed_->entries(), row, parsedRenewer_, parsedSource_);
}

void ResolveTab::DownloadSelected() {
  if (!parsed_) return;
  DownloadEntries(SelectedFiles());
}

void ResolveTab::DownloadAll() {
  if (parsed_) return DownloadEntries(ChooseFiles(parsed_->entries(), {}));
  // While a parse runs, once its listing is known, each file starts as its link comes.
  if (stream_ && stream_->listing()) return DownloadEntries(ChooseFiles(*stream_->listing(), {}));
  if (listed_) DownloadEntries({});  // says there is nothing to download with
}

void ResolveTab::DownloadEntries(const std::vector<size_t>& chosen) {
  if (downloads_ == nullptr) {
    showStatus_(Utf8ToGbk("下载引擎未能加载，无法下载。"));
    return;
  }
  std::error_code ec;
  std::filesystem::path directory = std::filesystem::absolute(GbkToUtf8(saveDirectory_()), ec);
  if (!ec) std::filesystem::create_directories(directory, ec);
  if (ec) {
    showStatus_(Utf8ToGbk("无法创建下载目录：" + ec.message()));
    return;
  }
  std::string dir = directory.lexically_normal().string();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  // Once the parse ended, every file is queued at once; before, each as its link comes.
  if (!stream_) return;
  const ShareId share = stream_->Open(chosen, dir);
  if (downloads_->Share(share) == nullptr) return;
  // A share of many files is planned aside: the counts are told once its files are in.
  auto tell = std::make_shared<std::function<void()>>();
  *tell = [this, share, again = std::weak_ptr(tell), files = chosen.size()] {
    const ShareDownload* opened = downloads_ ? downloads_->Share(share) : nullptr;
    if (opened == nullptr) return;
    if (opened->Planning()) {
      showStatus_(Utf8ToGbk("正在加入下载：" + std::to_string(files) + "个文件……"));
      QTimer::singleShot(100, this, [tell = again.lock()] { (*tell)(); });
      return;
    }
    int queued = 0, skipped = 0, refused = 0;
    for (const ShareFile& f : opened->Files()) {
      if (f.status == ShareFileStatus::kSkipped)
        ++skipped;
      else if (f.status == ShareFileStatus::kFailed)
        ++refused;
      else
        ++queued;
    }
    std::string text = "已加入下载：" + std::to_string(queued) + "个文件";
    if (skipped > 0) text += "，" + std::to_string(skipped) + "个已下载过";
    if (refused > 0) text += "，" + std::to_string(refused) + "个无法保存";
    showStatus_(Utf8ToGbk(text));
  };
  (*tell)();
}

std::vector<bool> ResolveTab::RestartShareFiles(const std::vector<UnfinishedDownload>& rows) {
  std::vector<bool> started(rows.size(), false);
  if (downloads_ == nullptr) return started;
  // The rows of one share and directory, in their order: one share each, planned at once.
  std::map<std::pair<std::string, std::string>, std::vector<size_t>> groups;
  std::vector<std::pair<std::string, std::string>> order;
  for (size_t i = 0; i < rows.size(); ++i) {
    const UnfinishedDownload& row = rows[i];
    if (row.shareUrl.empty() || row.shareFile.empty()) continue;
    // A file already whole is the queue's to find and say so; there is no link to renew.
    std::error_code ec;
    if (!HasPartialFiles(row.saveDirectory, row.fileName) &&
        std::filesystem::exists(GbkToUtf8(row.saveDirectory + "/" + row.fileName), ec))
      continue;
    std::string dir = GbkToUtf8(row.saveDirectory);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::vector<size_t>& group = groups[{row.shareUrl, dir}];
    if (group.empty()) order.emplace_back(row.shareUrl, dir);
    group.push_back(i);
    started[i] = true;
  }
  for (const auto& key : order) {
    const std::vector<size_t>& group = groups[key];
    const UnfinishedDownload& first = rows[group.front()];
    std::shared_ptr<Renewer>& renewer = remembered_[first.shareUrl];
    if (!renewer) {
      auto prompts = std::make_shared<Remembered>(*this, first.shareCode);
      // The driver keeps its prompts alive: both go when the last download of the share does.
      struct Held {
        std::shared_ptr<Remembered> prompts;
        ResolveDriver driver;
      };
      auto held =
          std::make_shared<Held>(Held{prompts, ResolveDriver(*session_, *prompts, *prompts)});
      renewer = std::make_shared<Renewer>(
          *this, std::shared_ptr<ResolveDriver>(held, &held->driver), first.shareUrl);
    }
    std::vector<FileEntry> entries;
    std::vector<size_t> chosen;
    entries.reserve(group.size());
    chosen.reserve(group.size());
    for (size_t i : group) {
      const UnfinishedDownload& row = rows[i];
      FileEntry& entry = entries.emplace_back();
      entry.fs_id = row.shareFile;
      entry.app_id = row.shareApp;
      entry.server_filename = row.fileName;
      entry.isdir = "0";
      entry.dlink = row.address;
      if (row.expectedSize >= 0) entry.size = std::to_string(row.expectedSize);
      chosen.push_back(chosen.size());
    }
    downloads_->AddShare(entries, chosen, key.second, renewer, LookOnDisk,
                         {first.shareUrl, first.shareCode});
  }
  return started;
}

void ResolveTab::RenewLinks() {
  if (waiting_.empty() || bridge_.running()) return;
  struct Job {
    Renewal renewal;
    int code = 0;
  };
  auto jobs = std::make_shared<std::vector<Job>>();
  for (Renewal& r : waiting_) jobs->push_back({std::move(r)});
  waiting_.clear();
  parse_->setEnabled(false);
  FreshCancel();
  // The worker asks the share, and through the prompts the user, with each parse's own driver.
  bridge_.Start(
      [jobs] {
        for (Job& job : *jobs)
          job.code = job.renewal.driver->RenewLink(job.renewal.entry, job.renewal.url);
      },
      [this, jobs] {
        parse_->setEnabled(true);
        for (Job& job : *jobs)
          job.renewal.done(job.code == 0 ? job.renewal.entry.dlink : std::string(),
                           job.code == 0 ? std::string() : "no fresh link");
        RenewLinks();
      });
}

}  // namespace sf::app
