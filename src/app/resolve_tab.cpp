#include "app/resolve_tab.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <QTreeWidget>
#include <algorithm>
#include <filesystem>
#include <utility>

#include "app/controls.h"
#include "app/prompt_dialogs.h"
#include "app/qt_text.h"
#include "app/remote_dialog.h"
#include "app/share_text_box.h"
#include "base/encoding.h"
#include "base/text.h"
#include "download/remote_share.h"
#include "download/share_download.h"
#include "share/resolve_driver.h"
#include "share/share_text.h"

namespace sf::app {

// A row's entry in the parse: its number less one, wherever a sort moved the row.
static size_t EntryIndex(const QTreeWidgetItem* item) {
  return static_cast<size_t>(item->data(0, kSortRole).toLongLong() - 1);
}

// The driver's prompts and view on the worker's side: each call crosses to the window's thread.
class ResolveTab::Crossing : public ResolvePrompts, public ResolveView {
 public:
  explicit Crossing(ResolveTab& tab) : tab_(&tab), bridge_(tab.bridge_) {}

  std::string ReadUrl() {
    lastUrl_ = bridge_.Ask([tab = tab_] { return ToGbk(tab->url_->text()); });
    return lastUrl_;
  }
  // The address the last parse resolved; read once its worker has ended.
  const std::string& lastUrl() const { return lastUrl_; }
  // The password the last parse gave the service, kept with its downloads.
  const std::string& lastPassword() const { return lastPassword_; }
  // Set before a parse starts: answers its first password prompt without asking.
  void SetFirstPassword(std::string code) {
    firstPassword_ = std::move(code);
    passwordTried_ = false;
    lastPassword_.clear();
  }
  // The driver asks again only when the service refused the password it was given.
  std::string AskPassword() override {
    const bool wrong = std::exchange(passwordTried_, true);
    if (!firstPassword_.empty())
      lastPassword_ = std::exchange(firstPassword_, std::string());
    else
      lastPassword_ = bridge_.Ask([tab = tab_, wrong] { return tab->AskPassword(wrong); });
    return lastPassword_;
  }
  std::string AskCaptcha(ShareSession& session, int reason) override {
    return bridge_.Ask([tab = tab_, s = &session, reason] { return tab->AskCaptcha(*s, reason); });
  }
  void ShowStatus(const std::string& text) override {
    lastStatus_ = text;
    bridge_.Post([tab = tab_, text] { tab->showStatus_(text); });
  }
  // Beside the parse's own message, which stays; the whole text shows in the tooltip.
  void ShowMissingFolders(const std::vector<MissingFolder>& missing) override {
    ShowStatus(lastStatus_ + Utf8ToGbk("；") + MissingFoldersSummary(missing));
  }
  void SetNameColumnTitle(const std::string& title) override {
    bridge_.Post([tab = tab_, title] { tab->list_->headerItem()->setText(1, FromGbk(title)); });
  }
  void AddRow(const std::array<std::string, 4>& columns) override {
    bridge_.Post([tab = tab_, columns] {
      auto* item = new SortableItem(tab->list_);
      for (int i = 0; i < 4; ++i) item->setText(i, FromGbk(columns[static_cast<size_t>(i)]));
      // The number is the entry's place in the share, whatever order a sort shows it in.
      item->setData(0, kSortRole, item->text(0).toLongLong());
      bool sized = false;
      qlonglong bytes = item->text(2).toLongLong(&sized);
      item->setData(2, kSortRole, sized ? bytes : -1);
    });
  }

 private:
  ResolveTab* tab_;  // touched only by calls that run on the window's thread
  WorkerBridge& bridge_;
  std::string lastUrl_;
  std::string firstPassword_;
  std::string lastPassword_;
  bool passwordTried_ = false;  // a password was given in this parse
  std::string lastStatus_;      // the worker's own
};

// A fresh link the downloads asked for, waiting for the worker.
struct ResolveTab::Renewal {
  std::shared_ptr<ResolveDriver> driver;
  std::string url;
  FileEntry entry;
  LinkRenewer::Answer done;
};

// The window's way of renewing a parse's links: on the tab's worker, with the parse's driver and
// so its prompts, the answer handed back on the window's thread.
class ResolveTab::Renewer : public LinkRenewer {
 public:
  Renewer(ResolveTab& tab, std::shared_ptr<ResolveDriver> driver, std::string url)
      : tab_(&tab), driver_(std::move(driver)), url_(std::move(url)) {}
  void Renew(const FileEntry& entry, Answer done) override {
    if (!tab_) return done({}, "no fresh link");
    tab_->waiting_.push_back({driver_, url_, entry, std::move(done)});
    tab_->RenewLinks();
  }
  // The address the parse resolved, known once it ended.
  void SetUrl(const std::string& url) { url_ = url; }

 private:
  QPointer<ResolveTab> tab_;
  std::shared_ptr<ResolveDriver> driver_;
  std::string url_;
};

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

ResolveTab::ResolveTab(std::shared_ptr<ShareSession> session,
                       std::function<void(const std::string&)> showStatus, QWidget* parent)
    : TabPage(parent),
      session_(std::move(session)),
      showStatus_(std::move(showStatus)),
      bridge_(this),
      remoteBridge_(this),
      crossing_(std::make_unique<Crossing>(*this)) {
  session_->SetCancelFlag(bridge_.cancelFlag());
  Place(new QLabel(QStringLiteral("网盘地址："), this), "透明标签1", 24, 24, 64, 32);
  auto* url = Place(new ShareTextBox(this), "编辑框_URL", 88, 31, 242, 20);
  url->SetTaker([this](const QString& text) { return TakeShareText(text); });
  url_ = url;
  parse_ = Place(new QPushButton(QStringLiteral("解析"), this), "按钮1", 342, 30, 67, 23);
  list_ = MakeReportList(this, "超级列表框1", 24, 56, 440, 304,
                         {{"编号", 50}, {"文件名", 120}, {"文件大小", 80}, {"下载地址", 190}});
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  MakeSortable(list_);
  menu_ = new QMenu(this);
  menu_->setObjectName(QStringLiteral("菜单"));
  QAction* copy = AddAction(menu_, "复制链接");
  QAction* start = AddAction(menu_, "开始下载");
  QAction* selected = AddAction(menu_, "下载所选");
  QAction* all = AddAction(menu_, "全部下载");
  QAction* remote = AddAction(menu_, "发送到远程下载器");
  // Each waits for what it hands the rows to.
  for (QAction* action : {start, selected, all, remote}) action->setEnabled(false);

  connect(parse_, &QPushButton::clicked, this, &ResolveTab::Parse);
  connect(selected, &QAction::triggered, this, &ResolveTab::DownloadSelected);
  connect(all, &QAction::triggered, this, &ResolveTab::DownloadAll);
  connect(remote, &QAction::triggered, this, &ResolveTab::SendToRemote);
  connect(copy, &QAction::triggered, this, &ResolveTab::CopyLink);
  connect(start, &QAction::triggered, this, &ResolveTab::StartSelectedDownload);
  connect(list_, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem*, int) { StartSelectedDownload(); });
  list_->viewport()->installEventFilter(this);
  SetUpKeys();
  // A paste or a drop anywhere on the tab reads the text as the URL box does.
  setAcceptDrops(true);
  auto* paste = new QShortcut(QKeySequence::Paste, this);
  paste->setContext(Qt::WidgetWithChildrenShortcut);
  connect(paste, &QShortcut::activated, this,
          [this] { TakeShareText(QApplication::clipboard()->text()); });
}

ResolveTab::~ResolveTab() {
  StopWork();
}

// The keyboard reaches what the mouse does: Enter in the URL box parses, Enter on a row starts
// its download as 开始下载 does, and the menu keys open the list's menu at the current row.
void ResolveTab::SetUpKeys() {
  connect(url_, &QLineEdit::returnPressed, this, [this] {
    if (parse_->isEnabled()) Parse();
  });
  list_->installEventFilter(this);
  OnMenuKey(list_, [this](const QPoint& at) { menu_->popup(list_->viewport()->mapToGlobal(at)); });
}

// Where each file lives in the share, in its tooltip, and a folder's icon on folder rows.
void ResolveTab::MarkPlaces() {
  if (!parsed_) return;
  const std::vector<FileEntry>& entries = parsed_->entries();
  const QIcon folderIcon = style()->standardIcon(QStyle::SP_DirIcon);
  for (int row = 0; row < list_->topLevelItemCount(); ++row) {
    QTreeWidgetItem* item = list_->topLevelItem(row);
    size_t index = EntryIndex(item);
    if (index >= entries.size()) continue;
    const FileEntry& entry = entries[index];
    if (entry.isdir == "1") {
      item->setIcon(1, folderIcon);
      continue;
    }
    QString tip = QStringLiteral("所在文件夹：/") + FromGbk(entry.folder_path);
    for (int column = 0; column < list_->columnCount(); ++column) item->setToolTip(column, tip);
  }
}

void ResolveTab::SetUrl(const QString& url) {
  url_->setText(url);
}

bool ResolveTab::TakeShareText(const QString& text) {
  std::vector<PastedShare> found = ReadShareText(ToGbk(text), session_->host());
  if (found.empty()) return false;
  url_->setText(FromGbk(found.front().link));
  pastedLink_ = found.front().link;
  pastedCode_ = found.front().code;
  showStatus_(ToGbk(PasteStatus(found.size(), !pastedCode_.empty())));
  return true;
}

void ResolveTab::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasText()) event->acceptProposedAction();
}

void ResolveTab::dropEvent(QDropEvent* event) {
  if (event->mimeData()->hasText() && TakeShareText(event->mimeData()->text()))
    event->acceptProposedAction();
}

void ResolveTab::StopWork() {
  // A prompt left open would keep the program from ending once the window is gone.
  if (prompt_) prompt_->reject();
  bridge_.Close();
  remoteBridge_.Close();
  // The downloads handed over go on over there; only the following ends.
  for (auto& f : following_) f->Close();
}

bool ResolveTab::following() const {
  for (const auto& f : following_)
    if (f->running()) return true;
  return false;
}

void ResolveTab::SetStartDownload(std::function<void(const DownloadRequest&)> start) {
  startDownload_ = std::move(start);
  menu_->findChild<QAction*>(QStringLiteral("开始下载"))
      ->setEnabled(static_cast<bool>(startDownload_));
}

void ResolveTab::SetShareTarget(DownloadManager* downloads,
                                std::function<std::string()> directory) {
  downloads_ = downloads;
  saveDirectory_ = std::move(directory);
  for (const char* name : {"下载所选", "全部下载"})
    menu_->findChild<QAction*>(QString::fromUtf8(name))->setEnabled(true);
}

void ResolveTab::SetRemoteTarget(RemoteTarget target) {
  remoteTarget_ = std::move(target);
  menu_->findChild<QAction*>(QStringLiteral("发送到远程下载器"))
      ->setEnabled(static_cast<bool>(remoteTarget_.settings));
}

bool ResolveTab::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_ && event->type() == QEvent::KeyPress) {
    int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      StartSelectedDownload();
      return true;
    }
  }
  if (watched == list_->viewport() && event->type() == QEvent::MouseButtonPress &&
      static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
    // Select the row under the pointer first, as a report list does, then show the menu; a
    // row already among the selected ones keeps them all selected.
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (QTreeWidgetItem* item = list_->itemAt(mouse->position().toPoint())) {
      if (item->isSelected())
        list_->setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
      else
        list_->setCurrentItem(item);
    }
    menu_->popup(mouse->globalPosition().toPoint());
    return true;
  }
  return TabPage::eventFilter(watched, event);
}

void ResolveTab::Parse() {
  if (bridge_.running()) return;
  list_->clear();
  // The title counts the rows of the last parse; until this one lists its own, it counts none.
  list_->headerItem()->setText(1, QStringLiteral("文件名"));
  parse_->setEnabled(false);
  parsed_.reset();
  parsedSource_ = {};
  streaming_ = {};
  // A message typed or put in the box some other way is read as a pasted one.
  if (std::string box = ToGbk(url_->text()); box != pastedLink_) {
    std::vector<PastedShare> found = ReadShareText(box, session_->host());
    if (!found.empty() &&
        (found.size() > 1 || found.front().link != box || !found.front().code.empty()))
      TakeShareText(url_->text());
  }
  crossing_->SetFirstPassword(ToGbk(url_->text()) == pastedLink_ ? pastedCode_ : std::string());
  auto driver = std::make_shared<ResolveDriver>(*session_, *crossing_, *crossing_);
  // Its renewals wait in waiting_ until the parse ends; the address is filled in then.
  parsedRenewer_ = std::make_shared<Renewer>(*this, driver, std::string());
  // Each link crosses as it comes. The listing is whole by the first, and crosses with it.
  driver->SetLinkListener([this, d = driver.get(), first = true](size_t entry) mutable {
    std::vector<FileEntry> listing;
    if (std::exchange(first, false)) listing = d->entries();
    bridge_.Post(
        [this, entry, link = d->entries()[entry].dlink, listing = std::move(listing)]() mutable {
          if (!listing.empty()) streaming_.listing = std::move(listing);
          TakeLink(entry, std::move(link));
        });
    return true;
  });
  bridge_.Start([this, driver] { driver->Run([this] { return crossing_->ReadUrl(); }); },
                [this, driver] {
                  parse_->setEnabled(true);
                  parsed_ = driver;
                  const std::string& url = crossing_->lastUrl();
                  parsedRenewer_->SetUrl(url);
                  for (Renewal& r : waiting_)
                    if (r.driver == driver) r.url = url;
                  // A session that passed the share before asks no password; the pasted code
                  // is still the share's.
                  std::string code = crossing_->lastPassword();
                  if (code.empty() && url == pastedLink_) code = pastedCode_;
                  parsedSource_ = {url, code};
                  // No more links come: the files still without one fail, those under way go on.
                  for (int share : streaming_.shares) {
                    downloads_->SetShareSource(share, parsedSource_);
                    downloads_->CloseShare(share);
                  }
                  streaming_ = {};
                  MarkPlaces();
                  RenewLinks();  // those refused while the parse ran
                });
}

std::string ResolveTab::AskPassword(bool wrong) {
  PasswordDialog dialog(window());
  if (wrong) dialog.SayWrong();
  prompt_ = &dialog;
  dialog.exec();
  return dialog.answer();
}

std::string ResolveTab::AskCaptcha(ShareSession& session, int reason) {
  CaptchaDialog dialog(session, reason, window());
  prompt_ = &dialog;
  dialog.exec();
  return dialog.answer();
}

void ResolveTab::CopyLink() {
  QTreeWidgetItem* item = list_->currentItem();
  if (!item) return;
  QApplication::clipboard()->setText(item->text(3));
}

void ResolveTab::StartSelectedDownload() {
  QTreeWidgetItem* item = list_->currentItem();
  // A click on an empty part of the list, or no row selected, starts nothing; nor does a row of
  // a parse still under way, or a file the share gave no link for.
  if (!item || !item->isSelected() || !startDownload_ || !parsed_) return;
  size_t row = EntryIndex(item);
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

std::vector<size_t> ResolveTab::SelectedFiles() const {
  if (!parsed_) return {};
  std::vector<size_t> picked;
  // Row by row: asking each selected row for its index would cost a search of the list apiece.
  for (int row = 0; row < list_->topLevelItemCount(); ++row)
    if (QTreeWidgetItem* item = list_->topLevelItem(row); item->isSelected())
      picked.push_back(EntryIndex(item));
  std::sort(picked.begin(), picked.end());
  return FilesUnder(parsed_->entries(), picked);
}

void ResolveTab::DownloadSelected() {
  if (!parsed_) return;
  DownloadEntries(SelectedFiles());
}

void ResolveTab::DownloadAll() {
  if (parsed_) return DownloadEntries(ChooseFiles(parsed_->entries(), {}));
  // While a parse runs, once its listing is known, each file starts as its link comes.
  if (!streaming_.listing.empty()) DownloadEntries(ChooseFiles(streaming_.listing, {}));
}

void ResolveTab::TakeLink(size_t entry, std::string link) {
  if (entry >= streaming_.listing.size()) return;
  streaming_.listing[entry].dlink = std::move(link);
  streaming_.linked.push_back(entry);
  for (int share : streaming_.shares)
    downloads_->AddLink(share, entry, streaming_.listing[entry].dlink);
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
  int share = 0;
  if (parsed_) {
    share = downloads_->AddShare(parsed_->entries(), chosen, dir, parsedRenewer_, LookOnDisk,
                                 parsedSource_);
  } else {
    share = downloads_->OpenShare(streaming_.listing, chosen, dir, parsedRenewer_, LookOnDisk);
    for (size_t entry : streaming_.linked)
      downloads_->AddLink(share, entry, streaming_.listing[entry].dlink);
    streaming_.shares.push_back(share);
  }
  int queued = 0, skipped = 0, refused = 0;
  for (const ShareFile& f : downloads_->Share(share)->Files()) {
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
}

bool ResolveTab::RestartShareFile(const UnfinishedDownload& row) {
  if (downloads_ == nullptr || row.shareUrl.empty() || row.shareFile.empty()) return false;
  // A file already whole is the queue's to find and say so; there is no link to renew.
  std::error_code ec;
  if (!HasPartialFiles(row.saveDirectory, row.fileName) &&
      std::filesystem::exists(GbkToUtf8(row.saveDirectory + "/" + row.fileName), ec))
    return false;
  std::shared_ptr<Renewer>& renewer = remembered_[row.shareUrl];
  if (!renewer) {
    auto prompts = std::make_shared<Remembered>(*this, row.shareCode);
    // The driver keeps its prompts alive: both go when the last download of the share does.
    struct Held {
      std::shared_ptr<Remembered> prompts;
      ResolveDriver driver;
    };
    auto held = std::make_shared<Held>(Held{prompts, ResolveDriver(*session_, *prompts, *prompts)});
    renewer = std::make_shared<Renewer>(*this, std::shared_ptr<ResolveDriver>(held, &held->driver),
                                        row.shareUrl);
  }
  FileEntry entry;
  entry.fs_id = row.shareFile;
  entry.app_id = row.shareApp;
  entry.server_filename = row.fileName;
  entry.isdir = "0";
  entry.dlink = row.address;
  if (row.expectedSize >= 0) entry.size = std::to_string(row.expectedSize);
  std::string dir = GbkToUtf8(row.saveDirectory);
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  downloads_->AddShare({entry}, {0}, dir, renewer, LookOnDisk, {row.shareUrl, row.shareCode});
  return true;
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

void ResolveTab::SendToRemote() {
  if (!parsed_ || !remoteTarget_.settings) return;
  if (remoteBridge_.running()) {
    showStatus_(Utf8ToGbk("正在发送到远程下载器，请稍候"));
    return;
  }
  std::vector<size_t> chosen = SelectedFiles();
  if (chosen.empty()) {
    showStatus_(Utf8ToGbk("没有选中要发送的文件"));
    return;
  }
  RemoteSettings remote = remoteTarget_.settings();
  if (remote.address.empty()) {
    showStatus_(Utf8ToGbk("请先填写远程下载器的地址"));
    if (remoteTarget_.configure) remoteTarget_.configure();
    return;
  }
  showStatus_(Utf8ToGbk("正在发送到远程下载器……"));
  auto handOff = std::make_shared<RemoteHandOff>();
  const std::string address = GbkToUtf8(remote.address), secret = GbkToUtf8(remote.secret);
  remoteBridge_.Start(
      [this, handOff, entries = parsed_->entries(), chosen, address, secret] {
        JsonRpcClient client(address);
        client.SetCancelFlag(remoteBridge_.cancelFlag());
        Aria2Remote aria2(client, secret);
        *handOff = HandOverShare(aria2, entries, chosen, std::string());
      },
      [this, handOff, entries = parsed_->entries(), renewer = parsedRenewer_, address, secret] {
        ShowHandOff(*handOff);
        Follow(*handOff, entries, renewer, address, secret);
      });
}

void ResolveTab::Follow(const RemoteHandOff& handOff, const std::vector<FileEntry>& entries,
                        std::shared_ptr<LinkRenewer> renewer, const std::string& address,
                        const std::string& secret) {
  if (!remoteTarget_.showFollowed) return;
  // Only the files it took are followed.
  std::vector<RemoteFile> taken;
  for (const RemoteFile& f : handOff.files)
    if (f.accepted()) taken.push_back(f);
  if (taken.empty()) return;
  std::vector<int> ids;
  for (const RemoteFile& f : taken) {
    auto [at, added] = remoteRows_.try_emplace(address + "\n" + f.RemotePath(), nextRemoteRow_);
    if (added) --nextRemoteRow_;
    ids.push_back(at->second);
  }
  // Those that ended have nothing more to show.
  following_.erase(std::remove_if(following_.begin(), following_.end(),
                                  [](const auto& f) { return !f->running(); }),
                   following_.end());
  auto following = std::make_unique<RemoteFollowing>(this);
  following->Start(address, secret, std::move(taken), std::move(ids), entries, std::move(renewer),
                   remoteTarget_.showFollowed);
  following_.push_back(std::move(following));
}

void ResolveTab::ShowHandOff(const RemoteHandOff& handOff) {
  const bool failed = handOff.failure.kind != RpcFailure::kNone;
  const std::string common = handOff.FailureText();
  QStringList left;
  for (const RemoteFile& f : handOff.files) {
    if (f.accepted()) continue;
    // The cause most files share is said once, below.
    std::string reason = handOff.Reason(f);
    left << QString::fromStdString(f.plan.sharePath) +
                (reason == common ? QString()
                                  : QStringLiteral("：") + QString::fromStdString(reason));
  }
  const qsizetype sent = static_cast<qsizetype>(handOff.files.size()) - left.size();
  if (left.isEmpty()) {
    showStatus_(ToGbk(QStringLiteral("已发送到远程下载器：%1个文件").arg(sent)));
    return;
  }
  showStatus_(
      ToGbk(QStringLiteral("发送到远程下载器：%1个已发送，%2个未发送").arg(sent).arg(left.size())));
  QString text = QStringLiteral("以下文件没有交给远程下载器：\n\n");
  constexpr qsizetype kShown = 20;
  text += left.mid(0, kShown).join(QStringLiteral("\n"));
  if (left.size() > kShown) text += QStringLiteral("\n……另有%1个").arg(left.size() - kShown);
  if (failed)
    text += QStringLiteral("\n\n原因：") + RemoteFailureText(handOff.failedMethod, handOff.failure);
  auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("发送到远程下载器"), text,
                              QMessageBox::Ok, window());
  box->setObjectName(QStringLiteral("发送结果"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setTextFormat(Qt::PlainText);  // names from the share are text, never markup
  box->button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
  box->open();
}

}  // namespace sf::app
