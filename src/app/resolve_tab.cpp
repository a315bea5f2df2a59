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
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <QTreeWidget>
#include <algorithm>
#include <utility>

#include "app/controls.h"
#include "app/prompt_dialogs.h"
#include "app/qt_text.h"
#include "app/resolve_tab_parts.h"
#include "app/share_text_box.h"
#include "base/encoding.h"
#include "base/text.h"
#include "download/share_plan.h"
#include "download/share_stream.h"
#include "share/resolve_driver.h"
#include "share/share_text.h"

namespace sf::app {

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

ResolveTab::ResolveTab(std::shared_ptr<ShareSession> session,
                       std::function<void(const std::string&)> showStatus, QWidget* parent)
    : TabPage(parent),
      session_(std::move(session)),
      showStatus_(std::move(showStatus)),
      bridge_(this),
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
// its download as 开始下载 does (several selected rows as 下载所选 does), and the menu keys open
// the list's menu at the current row.
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

bool ResolveTab::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_ && event->type() == QEvent::KeyPress) {
    int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      // Several rows are what 下载所选 takes; one is what a double click starts.
      if (list_->selectedItems().size() > 1)
        DownloadSelected();
      else
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
  stream_.reset();
  listed_ = false;
  parsed_.reset();
  parsedSource_ = {};
  // A message typed or put in the box some other way is read as a pasted one.
  if (std::string box = ToGbk(url_->text()); box != pastedLink_) {
    std::vector<PastedShare> found = ReadShareText(box, session_->host());
    if (!found.empty() &&
        (found.size() > 1 || found.front().link != box || !found.front().code.empty()))
      TakeShareText(url_->text());
  }
  crossing_->SetFirstPassword(ToGbk(url_->text()) == pastedLink_ ? pastedCode_ : std::string());
  auto driver = std::make_shared<ResolveDriver>(*session_, *crossing_, *crossing_);
  // The address is filled in once the parse ends, before the stream lets a renewal through.
  auto renewer = std::make_shared<Renewer>(*this, driver, std::string());
  parsedRenewer_ = renewer;
  if (downloads_) {
    stream_ = std::make_unique<ShareStream>(*downloads_, renewer);
    parsedRenewer_ = stream_->renewer();
  }
  // Each link crosses as it comes. The listing is whole by the first, and crosses with it.
  driver->SetLinkListener([this, d = driver.get(), first = true](size_t entry) mutable {
    std::vector<FileEntry> listing;
    if (std::exchange(first, false)) listing = d->entries();
    bridge_.Post(
        [this, entry, link = d->entries()[entry].dlink, listing = std::move(listing)]() mutable {
          if (!listing.empty()) {
            listed_ = true;
            if (stream_) stream_->KeepListing(std::move(listing));
          }
          if (stream_) stream_->Link(entry, link);
        });
    return true;
  });
  bridge_.Start([this, driver] { driver->Run([this] { return crossing_->ReadUrl(); }); },
                [this, driver, renewer] {
                  parse_->setEnabled(true);
                  parsed_ = driver;
                  listed_ = false;
                  const std::string& url = crossing_->lastUrl();
                  renewer->SetUrl(url);
                  // A session that passed the share before asks no password; the pasted code
                  // is still the share's.
                  std::string code = crossing_->lastPassword();
                  if (code.empty() && url == pastedLink_) code = pastedCode_;
                  parsedSource_ = {url, code};
                  // No more links come: the shares opened meanwhile are closed and the renewals
                  // held go to the worker, now free, in their order. Later shares are queued whole.
                  if (stream_) {
                    stream_->End(parsedSource_);
                    stream_->LendListing(driver->entries());
                  }
                  MarkPlaces();
                  RenewLinks();  // those other shares asked for while the parse ran
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

}  // namespace sf::app
