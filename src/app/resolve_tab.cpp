#include "app/resolve_tab.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <QTreeView>
#include <algorithm>
#include <utility>

#include "app/controls.h"
#include "app/prompt_dialogs.h"
#include "app/qt_text.h"
#include "app/resolve_tab_parts.h"
#include "app/share_text_box.h"
#include "base/encoding.h"
#include "base/text.h"
#include "base/timestamp.h"
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
  // The driver names the column once per row it lists; the last name stands, and is shown
  // when the parse ends.
  void SetNameColumnTitle(const std::string& title) override { title_ = title; }
  const std::string& title() const { return title_; }
  // The rows are the parse's entries themselves (ResultModel), not texts made of them.
  void AddRow(const std::array<std::string, 4>&) override {}

  // Set before a parse starts: nothing sent, nothing counted.
  void StartProgress() {
    sent_ = files_ = folders_ = links_ = 0;
    lastSent_ = 0;
    title_.clear();
  }
  // The entries the worker has listed so far: those the list lacks cross to it with the count
  // found, at most a few times a second unless `now`.
  void Listed(const std::vector<FileEntry>& entries, bool now) {
    if (sent_ >= entries.size() || (!now && NowMs() - lastSent_ < kProgressMs)) return;
    std::vector<FileEntry> more(entries.begin() + static_cast<std::ptrdiff_t>(sent_),
                                entries.end());
    sent_ = entries.size();
    for (const FileEntry& e : more) ++(e.isdir == "1" ? folders_ : files_);
    lastSent_ = NowMs();
    bridge_.Post([tab = tab_, more = std::move(more), status = ProgressText()]() mutable {
      tab->model_->Append(std::move(more));
      if (!tab->stopped_) tab->showStatus_(status);
    });
  }
  // A link came; the links that came show in the list and the count, a few times a second.
  void Linked() {
    ++links_;
    if (NowMs() - lastSent_ < kProgressMs) return;
    lastSent_ = NowMs();
    bridge_.Post([tab = tab_, status = ProgressText()] {
      tab->model_->Refresh();
      if (!tab->stopped_) tab->showStatus_(status);
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
  std::string title_;

  static constexpr int64_t kProgressMs = 250;
  std::string ProgressText() const {
    std::string text = "正在解析：已找到" + std::to_string(files_) + "个文件，" +
                       std::to_string(folders_) + "个文件夹";
    if (links_ > 0) text += "，已取得" + std::to_string(links_) + "个下载地址";
    return Utf8ToGbk(text);
  }
  size_t sent_ = 0, files_ = 0, folders_ = 0, links_ = 0;
  int64_t lastSent_ = 0;
};

ResolveTab::ResolveTab(std::shared_ptr<ShareSession> session,
                       std::function<void(const std::string&)> showStatus, QWidget* parent)
    : TabPage(parent),
      session_(std::move(session)),
      showStatus_(std::move(showStatus)),
      bridge_(this),
      crossing_(std::make_unique<Crossing>(*this)) {
  session_->SetCancelFlag(cancel_);
  Place(new QLabel(QStringLiteral("网盘地址："), this), "透明标签1", 24, 24, 64, 32);
  auto* url = Place(new ShareTextBox(this), "编辑框_URL", 88, 31, 242, 20);
  url->SetTaker([this](const QString& text) { return TakeShareText(text); });
  url_ = url;
  parse_ = Place(new QPushButton(QStringLiteral("解析"), this), "按钮1", 342, 30, 67, 23);
  stop_ = Place(new QPushButton(QStringLiteral("停止"), this), "按钮_停止", 413, 30, 38, 23);
  stop_->setEnabled(false);
  MakeList();
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
  connect(stop_, &QPushButton::clicked, this, &ResolveTab::StopParse);
  connect(list_, &QAbstractItemView::doubleClicked, this,
          [this](const QModelIndex&) { StartSelectedDownload(); });
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

// One row per entry, drawn from the model as it comes into view; the list keeps the look of
// the other report lists. The layout's width would put its right edge, and with it the
// vertical scroll bar, past the tab page's edge: it stops inside the page.
void ResolveTab::MakeList() {
  list_ = Place(new QTreeView(this), "超级列表框1", 24, 56, 428, 304);
  model_ = new ResultModel(list_);
  model_->SetFolderIcon(style()->standardIcon(QStyle::SP_DirIcon));
  list_->setModel(model_);
  list_->setRootIsDecorated(false);
  list_->setItemsExpandable(false);
  list_->setUniformRowHeights(true);
  list_->setAllColumnsShowFocus(true);
  list_->setAlternatingRowColors(true);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->header()->setStretchLastSection(false);
  const int widths[] = {50, 120, 80, 190};
  for (int i = 0; i < 4; ++i) list_->setColumnWidth(i, widths[i]);
  // No column yet: turning sorting on keeps the rows as they came.
  list_->header()->setSortIndicator(-1, Qt::AscendingOrder);
  list_->setSortingEnabled(true);
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
  cancel_.Raise();
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
      // Counted by ranges: choosing all of a big list is one range, not a row each.
      qsizetype rows = 0;
      for (const QItemSelectionRange& range : list_->selectionModel()->selection())
        rows += range.height();
      if (rows > 1)
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
    if (QModelIndex index = list_->indexAt(mouse->position().toPoint()); index.isValid()) {
      QItemSelectionModel* selection = list_->selectionModel();
      if (selection->isRowSelected(index.row()))
        selection->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
      else
        selection->setCurrentIndex(index,
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    menu_->popup(mouse->globalPosition().toPoint());
    return true;
  }
  return TabPage::eventFilter(watched, event);
}

void ResolveTab::Parse() {
  if (bridge_.running()) return;
  // The title counts the rows of the last parse; until this one lists its own, it counts none.
  model_->Clear();
  parse_->setEnabled(false);
  stop_->setEnabled(true);
  stopped_ = false;
  FreshCancel();
  crossing_->StartProgress();
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
  // The rows cross as the share's folders are listed, a batch at a time.
  driver->SetListingListener(
      [this](const std::vector<FileEntry>& entries) { crossing_->Listed(entries, false); });
  // Each link crosses as it comes. The listing is whole by the first, and crosses with it.
  driver->SetLinkListener(
      [this, d = driver.get(), first = true, keep = stream_ != nullptr](size_t entry) mutable {
        std::vector<FileEntry> listing;
        if (std::exchange(first, false)) {
          crossing_->Listed(d->entries(), true);  // the rows not sent yet, before any link
          if (keep) listing = d->entries();       // for the shares opened meanwhile
        }
        bridge_.Post([this, entry, link = d->entries()[entry].dlink,
                      listing = std::move(listing)]() mutable {
          listed_ = true;
          if (stream_ && !listing.empty()) stream_->KeepListing(std::move(listing));
          model_->SetLink(entry, link);
          if (stream_) stream_->Link(entry, std::move(link));
        });
        crossing_->Linked();
        return true;
      });
  bridge_.Start(
      [this, driver] { driver->Run([this] { return crossing_->ReadUrl(); }); },
      [this, driver, renewer] {
        parse_->setEnabled(true);
        stop_->setEnabled(false);
        parsed_ = driver;
        model_->Finish(driver);
        if (!crossing_->title().empty())
          model_->setHeaderData(1, Qt::Horizontal, FromGbk(crossing_->title()));
        // Given up by the user: the driver says nothing of it, the list is what was
        // found, its files without a link marked so.
        if (stopped_)
          showStatus_(
              ToGbk(QStringLiteral("解析已停止：已找到%1个文件，%2个文件夹，%3个文件未取得下载地址")
                        .arg(model_->files())
                        .arg(model_->folders())
                        .arg(model_->files() - model_->links())));
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

void ResolveTab::StopParse() {
  if (!bridge_.running() || stopped_ || !stop_->isEnabled()) return;
  stopped_ = true;
  stop_->setEnabled(false);
  showStatus_(Utf8ToGbk("正在停止解析……"));
  cancel_.Raise();
}

void ResolveTab::FreshCancel() {
  if (!cancel_.raised()) return;
  cancel_ = CancelFlag();
  session_->SetCancelFlag(cancel_);
}

void ResolveTab::CopyLink() {
  QModelIndex current = list_->currentIndex();
  if (!current.isValid()) return;
  QApplication::clipboard()->setText(model_->index(current.row(), 3).data().toString());
}

std::vector<size_t> ResolveTab::SelectedFiles() const {
  if (!parsed_) return {};
  std::vector<size_t> picked;
  // By range: a list chosen whole is one range, however many rows it holds.
  const size_t count = parsed_->entries().size();
  for (const QItemSelectionRange& range : list_->selectionModel()->selection())
    for (int row = range.top(); row <= range.bottom(); ++row)
      if (size_t entry = model_->EntryAt(row); entry < count) picked.push_back(entry);
  std::sort(picked.begin(), picked.end());
  picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
  return FilesUnder(parsed_->entries(), picked);
}

}  // namespace sf::app
