#include "app/downloads_tab.h"

#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QShortcut>
#include <QSocketNotifier>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <algorithm>
#include <map>
#include <utility>

#include "app/app_state.h"
#include "app/controls.h"
#include "app/desktop_notice.h"
#include "app/download_model.h"
#include "app/qt_text.h"
#include "base/encoding.h"
#include "base/timestamp.h"
#include "view/download_list.h"
#include "view/download_tick.h"

namespace sf::app {
namespace {

// A right click on a row outside the selection selects that row alone, as file lists do.
void SelectRowUnder(QTreeView* list, const QPoint& at) {
  const QModelIndex index = list->indexAt(at);
  if (!index.isValid() || list->selectionModel()->isRowSelected(index.row(), QModelIndex())) return;
  list->selectionModel()->setCurrentIndex(
      index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

}  // namespace

DownloadsTab::DownloadsTab(AppState& state, std::function<void(const std::string&)> showStatus,
                           QWidget* parent)
    : TabPage(parent), state_(state), showStatus_(std::move(showStatus)) {
  Place(new QLabel(QStringLiteral("下载目录："), this), "透明标签5", 8, 24, 56, 24);
  saveDirectory_ = Place(new QLineEdit(this), "编辑框_保存目录", 72, 24, 192, 24);
  choose_ = Place(new QPushButton(QStringLiteral("选择目录"), this), "按钮2", 272, 24, 64, 24);
  limit_ = Place(new QCheckBox(this), "选择框1", 344, 24, 16, 16);
  Place(new QLabel(QStringLiteral("限速"), this), "透明标签6", 363, 24, 24, 16);
  // Room for four digits: the theme's padding would leave three.
  limitValue_ = Place(new QLineEdit(this), "编辑框1", 388, 24, 40, 17);
  limitValue_->setStyleSheet(QStringLiteral("padding: 0 1px;"));
  Place(new QLabel(QStringLiteral("/KB"), this), "透明标签8", 430, 24, 32, 16);
  // One row per item, drawn from the item as it comes into view; the list keeps the look of
  // the other report lists.
  list_ = Place(new QTreeView(this), "超级列表框2", 8, 48, 416, 280);
  model_ = new DownloadModel([this](int id) { return FindItem(id); }, list_);
  list_->setModel(model_);
  ShapeAsReportList(list_);
  // Every menu item acts on all selected rows, so more than one may be selected.
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  const int widths[kDownloadColumns] = {100, 80, 80, 70, 70};
  for (int i = 0; i < kDownloadColumns; ++i) list_->setColumnWidth(i, widths[i]);
  // No column yet: turning sorting on keeps the rows as they came.
  list_->header()->setSortIndicator(-1, Qt::AscendingOrder);
  list_->setSortingEnabled(true);
  auto* removeKey = new QShortcut(QKeySequence(Qt::Key_Delete), list_, nullptr, nullptr,
                                  Qt::WidgetWithChildrenShortcut);
  connect(removeKey, &QShortcut::activated, this, [this] { Remove(false); });
  auto* removeFilesKey = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_Delete), list_, nullptr,
                                       nullptr, Qt::WidgetWithChildrenShortcut);
  connect(removeFilesKey, &QShortcut::activated, this, [this] { Remove(true); });
  finishedCount_ = new QLabel(this);
  finishedCount_->setObjectName(QStringLiteral("本次完成"));
  finishedCount_->hide();
  auto* notice = new DesktopNotice(this);
  notify_ = [this, notice](int finished, int failed, const QString& folder) {
    notice->Show(QStringLiteral("下载结束"),
                 QStringLiteral("%1 个文件已下载完毕，%2 个失败").arg(finished).arg(failed),
                 [this, folder] {
                   if (folderOpener_)
                     folderOpener_(folder);
                   else
                     QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
                 });
  };
  Place(new QLabel(QStringLiteral("下载进度："), this), "透明标签9", 56, 336, 56, 24);
  progress_ = Place(new QProgressBar(this), "进度条1", 119, 337, 285, 23);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  timer_ = new QTimer(this);
  timer_->setObjectName(QStringLiteral("时钟1"));
  remoteTick_ = new QTimer(this);
  remoteTick_->setSingleShot(true);
  connect(remoteTick_, &QTimer::timeout, this, [this] {
    for (Remote& remote : remotes_) RemoteChanged(*remote.downloads);
  });

  menu_ = new QMenu(this);
  menu_->setObjectName(QStringLiteral("下载菜单"));
  pause_ = AddAction(menu_, "暂停");
  resume_ = AddAction(menu_, "继续");
  retry_ = AddAction(menu_, "重试");
  menu_->addSeparator();
  delete_ = AddAction(menu_, "删除任务");
  deleteWithFiles_ = AddAction(menu_, "删除任务和文件");
  menu_->addSeparator();
  openFolder_ = AddAction(menu_, "打开所在文件夹");
  copyAddress_ = AddAction(menu_, "复制下载地址");

  connect(choose_, &QPushButton::clicked, this, &DownloadsTab::ChooseDirectory);
  connect(limit_, &QCheckBox::clicked, this, &DownloadsTab::LimitClicked);
  connect(limitValue_, &QLineEdit::editingFinished, this, &DownloadsTab::LimitEdited);
  connect(timer_, &QTimer::timeout, this, &DownloadsTab::Poll);
  connect(list_, &QTreeView::customContextMenuRequested, this, &DownloadsTab::ShowMenu);
  connect(pause_, &QAction::triggered, this,
          [this] { Act([](Downloads& d, const std::vector<ItemId>& ids) { d.Pause(ids); }); });
  connect(resume_, &QAction::triggered, this,
          [this] { Act([](Downloads& d, const std::vector<ItemId>& ids) { d.Resume(ids); }); });
  connect(retry_, &QAction::triggered, this,
          [this] { Act([](Downloads& d, const std::vector<ItemId>& ids) { d.Retry(ids); }); });
  connect(delete_, &QAction::triggered, this, [this] { Remove(false); });
  connect(deleteWithFiles_, &QAction::triggered, this, [this] { Remove(true); });
  connect(openFolder_, &QAction::triggered, this, &DownloadsTab::OpenFolders);
  connect(copyAddress_, &QAction::triggered, this, &DownloadsTab::CopyAddresses);
}

DownloadsTab::~DownloadsTab() {
  StopFollowing();
}

void DownloadsTab::StartEngine() {
  if (!state_.engine || downloads_) return;
  downloads_ = std::make_unique<DownloadManager>(*state_.engine, ids_);
  downloads_->Listen([this](const DownloadEvent& event) { Heard(event); });
  // Without the descriptor (an older engine library) the timer alone moves the queue.
  if (int fd = downloads_->TaskEventFd(); fd >= 0) {
    taskEvents_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(taskEvents_, &QSocketNotifier::activated, this, &DownloadsTab::TaskChanged);
  }
  // A share of many files is planned aside and its files come in batches, so that the window
  // answers while its looks on disk and its folders are made.
  downloads_->SetPlanAsideFrom(kPlanAsideFrom);
  if (int fd = downloads_->PlanReadyFd(); fd >= 0) {
    auto* planned = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(planned, &QSocketNotifier::activated, this, &DownloadsTab::TakePlans);
  }
  planTick_ = new QTimer(this);
  planTick_->setSingleShot(true);
  connect(planTick_, &QTimer::timeout, this, &DownloadsTab::TakePlans);
}

void DownloadsTab::TakePlans() {
  if (!downloads_) return;
  settling_ = true;
  std::vector<int> ended = RawIds(downloads_->Tick(NowMs()));
  settling_ = false;
  endedSincePoll_.insert(endedSincePoll_.end(), ended.begin(), ended.end());
  QueueChanged();
  // A batch each turn of the event loop, leaving room for the user's events between them.
  if (downloads_->Planning() && !planTick_->isActive())
    planTick_->start(static_cast<int>(DownloadManager::kPlanningEveryMs));
  // All in: the share's entries its plan was made on are gone.
  if (!downloads_->Planning()) ReturnFreedMemory();
}

void DownloadsTab::TaskChanged() {
  uint64_t count = 0;
  // Read until quiet, or the notifier would fire again at once.
  [[maybe_unused]] ssize_t n =
      ::read(static_cast<int>(taskEvents_->socket()), &count, sizeof count);
  if (!downloads_) return;
  settling_ = true;
  std::vector<int> ended = RawIds(downloads_->Tick(NowMs()));
  settling_ = false;
  endedSincePoll_.insert(endedSincePoll_.end(), ended.begin(), ended.end());
}

void DownloadsTab::StartDownload(DownloadRequest request) {
  if (!downloads_) {
    Tell(QStringLiteral("下载引擎未能加载，无法下载。\n\n") +
         QString::fromStdString(state_.engineError));
    return;
  }
  if (request.directory.empty()) request.directory = SaveDirectory();
  downloads_->Add(std::move(request));
}

void DownloadsTab::StartTogether(const std::function<void()>& start) {
  if (settling_) return start();
  settling_ = true;
  start();
  settling_ = false;
  QueueChanged();
}

// A new item, whoever queued it, shows at once; an item that came back under a fresh link keeps
// its row, and the next poll shows it.
void DownloadsTab::Heard(const DownloadEvent& event) {
  if (event.kind == DownloadEvent::kFinished || event.kind == DownloadEvent::kFailed) {
    // Finished items leave the list after this tick; the overall bar keeps their bytes.
    const DownloadItem* item = downloads_->Find(event.item);
    if (item) overall_.See(*item);
    if (event.kind == DownloadEvent::kFailed) {
      ++batch_.failed;
    } else {
      ++batch_.finished;
      batch_.directory = item ? item->request.directory : SaveDirectory();
      // A file found whole on disk, or a share's file skipped as whole, finished in an earlier
      // run: this run's count leaves it out.
      // Worded with the rows, once a render: files may end by the hundred a second.
      if (item != nullptr && !item->alreadyComplete) ++finishedInRun_;
    }
  }
  const int id = Raw(event.item);
  if (event.kind == DownloadEvent::kFinished || event.kind == DownloadEvent::kFailed)
    leaving_.push_back(id);
  if (event.kind == DownloadEvent::kStarted && model_->RowOf(id) < 0 && FindItem(id)) {
    // The row comes now, at the end; a sort in force places the rows that came, together,
    // once this turn of the event loop is over.
    model_->Add(id);
    overall_.See(*FindItem(id));
    if (!resortDue_) {
      resortDue_ = true;
      QTimer::singleShot(0, this, [this] {
        resortDue_ = false;
        model_->Resort();
      });
    }
    // Many rows coming in one turn of the event loop (a share's batch) are shown once, at its
    // end; a single one at once.
    if (!settling_) {
      if (!startsThisTurn_) {
        startsThisTurn_ = true;
        QTimer::singleShot(0, this, [this] {
          startsThisTurn_ = false;
          if (std::exchange(moreStarts_, false)) QueueChanged();
        });
        QueueChanged();
      } else {
        moreStarts_ = true;
      }
    }
  } else if (id >= 0) {
    // A paused item is polled with the others and shows the same each time.
    const DownloadItem* item = event.kind == DownloadEvent::kProgress ? FindItem(id) : nullptr;
    if (!item || item->status != DownloadStatus::kPaused) changed_.push_back(id);
  }
  if (event.kind == DownloadEvent::kShown) ShowRow(Raw(event.item));
}

// A download asked for again is the row already listed: it is the one the user is shown.
void DownloadsTab::ShowRow(int id) {
  if (!settling_) QueueChanged();
  const int row = model_->RowOf(id);
  if (row < 0) return;
  if (!shown_) list_->clearSelection();
  shown_ = true;
  const QModelIndex index = model_->index(row, 0);
  list_->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
  list_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
  list_->scrollTo(index);
  QTimer::singleShot(0, this, [this] { shown_ = false; });
}

void DownloadsTab::QueueChanged() {
  if (!downloads_) return;
  if (downloads_->Planning() && planTick_ && !planTick_->isActive())
    planTick_->start(static_cast<int>(DownloadManager::kPlanningEveryMs));
  settling_ = true;
  std::string text = SettleDownloads(*downloads_, std::exchange(endedSincePoll_, {}));
  settling_ = false;
  if (!text.empty()) showStatus_(text);
  Render();
  CheckBatchEnd();
  if (!timer_->isActive()) timer_->start(1000);
}

void DownloadsTab::CheckBatchEnd() {
  if (batch_.finished + batch_.failed == 0 || !downloads_->Idle()) return;
  Batch ended = batch_;
  batch_ = {};
  if (!window()->isActiveWindow() && notify_)
    notify_(ended.finished, ended.failed,
            FromGbk(ended.directory.empty() ? SaveDirectory() : ended.directory));
}

std::vector<UnfinishedDownload> DownloadsTab::Unfinished() const {
  std::vector<UnfinishedDownload> out;
  if (!downloads_) return out;
  out.reserve(downloads_->queue().Items().size());
  for (const DownloadItem& item : downloads_->queue().Items()) {
    if (item.status == DownloadStatus::kFinished) continue;
    UnfinishedDownload row{item.Name(), item.request.address, item.request.directory,
                           item.KnownSize()};
    if (item.status == DownloadStatus::kPaused) row.state = UnfinishedDownload::State::kPaused;
    if (item.status == DownloadStatus::kFailed) row.state = UnfinishedDownload::State::kFailed;
    row.done = item.done;
    if (const ShareSource* source = downloads_->SourceOf(item.id, row.shareFile, row.shareApp)) {
      row.shareUrl = source->url;
      row.shareCode = source->code;
    }
    out.push_back(std::move(row));
  }
  return out;
}

std::string DownloadsTab::SaveDirectory() const {
  return ToGbk(saveDirectory_->text());
}

void DownloadsTab::ChooseDirectory() {
  const QString title = QStringLiteral("请选择要保存的目录");
  QString chosen = browseForFolder_
                       ? browseForFolder_(this, title, saveDirectory_->text())
                       : QFileDialog::getExistingDirectory(this, title, saveDirectory_->text());
  // A cancelled browser gives nothing; the directory in use stays.
  if (!chosen.isEmpty()) saveDirectory_->setText(chosen);
}

void DownloadsTab::LimitClicked() {
  if (!downloads_) return;
  std::string value = ToGbk(limitValue_->text());
  if (ApplySpeedLimit(*downloads_, limit_->isChecked(), value) == SpeedLimitResult::kValueMissing)
    Tell(QStringLiteral("请输入需要限制的速度后继续！"));
  else if (limit_->isChecked())
    limitApplied_ = value;
}

// An emptied box keeps the limit in effect: only a value replaces it.
void DownloadsTab::LimitEdited() {
  std::string value = ToGbk(limitValue_->text());
  if (!downloads_ || !limit_->isChecked() || value.empty() || value == limitApplied_) return;
  if (ApplySpeedLimit(*downloads_, true, value) == SpeedLimitResult::kApplied)
    limitApplied_ = value;
}

void DownloadsTab::RestoreSpeedLimit(const std::string& value, bool on) {
  limitValue_->setText(FromGbk(value));
  limit_->setChecked(on);
  if (on && downloads_ && ApplySpeedLimit(*downloads_, true, value) == SpeedLimitResult::kApplied)
    limitApplied_ = value;
}

std::string DownloadsTab::SpeedLimitInEffect() const {
  return limit_->isChecked() ? limitApplied_ : ToGbk(limitValue_->text());
}

void DownloadsTab::Poll() {
  for (Remote& remote : remotes_) RemoteChanged(*remote.downloads);
  if (!downloads_) return Render();
  settling_ = true;
  std::string text = TickDownloads(*downloads_, NowMs(), std::exchange(endedSincePoll_, {}));
  settling_ = false;
  if (!text.empty()) showStatus_(text);
  Render();
  CheckBatchEnd();
}

const DownloadItem* DownloadsTab::FindItem(int id) const {
  if (downloads_)
    if (const DownloadItem* item = downloads_->queue().Find(id)) return item;
  for (const Remote& remote : remotes_)
    if (const DownloadItem* item = remote.downloads->Find(ItemId{id})) return item;
  return nullptr;
}

// Rows are found by their item's id, never by position: a sort moves them, and the selection
// stays on the same downloads as rows leave or move. Only the rows whose items changed are
// drawn again: those the events named, the started ones and the remote downloaders' few.
void DownloadsTab::Render() {
  const std::vector<DownloadItem> none;
  const DownloadQueue* queue = this->queue();
  const std::vector<DownloadItem>& items = queue ? queue->Items() : none;
  if (std::exchange(membershipChanged_, false)) {
    // Our engine's items, then each remote downloader's: one list, one id space.
    std::vector<int> ids;
    ids.reserve(items.size());
    for (const DownloadItem& item : items) ids.push_back(item.id);
    for (const Remote& remote : remotes_)
      for (const DownloadItem& item : remote.downloads->Items()) ids.push_back(item.id);
    model_->Sync(ids);
    model_->Resort();
    // The bar weighs the remote downloaders' rows as well: without ours it is theirs alone.
    if (items.empty() && !ids.empty()) {
      std::vector<DownloadItem> theirs;
      for (const Remote& remote : remotes_)
        theirs.insert(theirs.end(), remote.downloads->Items().begin(),
                      remote.downloads->Items().end());
      overall_.See(theirs);
    } else {
      overall_.See(items);
    }
    leaving_.clear();
  } else if (!leaving_.empty()) {
    // The rows of finished items go; a failed one stays, waiting for the user.
    std::vector<int> gone;
    for (int id : std::exchange(leaving_, {}))
      if (!FindItem(id)) gone.push_back(id);
    model_->Remove(gone);
    for (int id : gone) overall_.Left(id);
  }
  std::vector<int> changed = std::exchange(changed_, {});
  // A paused row shows what it showed when it paused: the user's resume names it again.
  // Running items are all among those a poll asks about; the paused rest is not walked.
  if (downloads_)
    for (int id : downloads_->queue().Watched())
      if (const DownloadItem* item = downloads_->queue().Find(id);
          item && item->status != DownloadStatus::kPaused)
        changed.push_back(id);
  for (const Remote& remote : remotes_)
    for (const DownloadItem& item : remote.downloads->Items()) changed.push_back(item.id);
  // Each tick between two renders names every running item again: thousands of ticks a second
  // while small files end, and each row is drawn once.
  std::sort(changed.begin(), changed.end());
  changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
  model_->Changed(changed);
  if (model_->rowCount() == 0) overall_.See(items);  // an empty list starts the bar afresh
  for (int id : changed)
    if (const DownloadItem* item = FindItem(id)) overall_.See(*item);
  progress_->setValue(overall_.Percent());
  if (finishedInRun_ > shownFinished_) {
    shownFinished_ = finishedInRun_;
    finishedCount_->setText(QStringLiteral("本次已完成 %1 个文件").arg(finishedInRun_));
    finishedCount_->show();
  }
  // The status bar's text is often too long for the fixed window to show the time left at its
  // end; the bar beside the overall progress has room for it.
  int64_t eta = queue ? queue->Totals().etaSeconds : -1;
  progress_->setFormat(eta < 0 ? QStringLiteral("%p%")
                               : QStringLiteral("%p%  剩余时间 ") +
                                     QString::fromStdString(DurationText(eta)));
}

std::vector<int> DownloadsTab::SelectedIds() const {
  QModelIndexList rows = list_->selectionModel()->selectedRows();
  std::sort(rows.begin(), rows.end(),
            [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  std::vector<int> ids;
  ids.reserve(static_cast<size_t>(rows.size()));
  for (const QModelIndex& row : rows) ids.push_back(model_->IdAt(row.row()));
  return ids;
}

RemoteDownloads* DownloadsTab::RemoteOf(int id) const {
  for (const Remote& remote : remotes_)
    if (remote.downloads->Find(ItemId{id})) return remote.downloads.get();
  return nullptr;
}

void DownloadsTab::SendToRemote(const RemoteSettings& settings, ShareOrder order,
                                HandOffDone done) {
  const std::string address = GbkToUtf8(settings.address), secret = GbkToUtf8(settings.secret);
  auto at = std::find_if(remotes_.begin(), remotes_.end(), [&](const Remote& r) {
    return r.address == address && r.secret == secret;
  });
  if (at == remotes_.end()) {
    Remote& remote = remotes_.emplace_back();
    remote.address = address;
    remote.secret = secret;
    remote.downloads =
        std::make_unique<RemoteDownloads>(std::vector<RemoteEndpoint>{{address, secret}}, ids_);
    RemoteDownloads* downloads = remote.downloads.get();
    // Without the descriptor (none could be made) the ticks of the timers alone bring news.
    if (downloads->WakeFd() >= 0) {
      remote.news = new QSocketNotifier(downloads->WakeFd(), QSocketNotifier::Read, this);
      connect(remote.news, &QSocketNotifier::activated, this,
              [this, downloads] { RemoteChanged(*downloads); });
    }
    at = remotes_.end() - 1;
  }
  RemoteDownloads& remote = *at->downloads;
  ShareId share = remote.AddShare(std::move(order));
  handOffs_.push_back({&remote, share, std::move(done)});
  if (!timer_->isActive()) timer_->start(1000);
}

void DownloadsTab::RemoteChanged(RemoteDownloads& remote) {
  remote.Tick(NowMs());
  // As a finished download here, a file complete over there leaves the list, and the overall
  // bar keeps its bytes.
  for (const DownloadItem& item : remote.Items())
    if (item.status == DownloadStatus::kFinished) overall_.See(item);
  remote.ReleaseFinished();
  membershipChanged_ = true;
  std::vector<HandOff> over;
  std::erase_if(handOffs_, [&](HandOff& h) {
    if (h.remote != &remote || remote.HandOff(h.share) == nullptr) return false;
    over.push_back(std::move(h));
    return true;
  });
  Render();
  const int64_t now = NowMs();
  int64_t next = -1;
  for (const Remote& r : remotes_)
    if (!r.downloads->Idle())
      next = next < 0 ? r.downloads->NextTickMs(now) : std::min(next, r.downloads->NextTickMs(now));
  if (next >= 0) remoteTick_->start(static_cast<int>(std::clamp<int64_t>(next - now, 0, 1000)));
  for (HandOff& h : over) h.done(*h.remote->HandOff(h.share));
}

bool DownloadsTab::following() const {
  return std::any_of(remotes_.begin(), remotes_.end(),
                     [](const Remote& r) { return !r.downloads->Idle(); });
}

void DownloadsTab::StopFollowing() {
  remoteTick_->stop();
  handOffs_.clear();
  for (Remote& remote : remotes_) delete remote.news;
  remotes_.clear();
}

std::vector<const DownloadItem*> DownloadsTab::SelectedItems(bool remoteToo) const {
  std::vector<const DownloadItem*> items;
  for (int id : SelectedIds()) {
    const DownloadItem* item = downloads_ ? downloads_->queue().Find(id) : nullptr;
    if (!item && remoteToo) item = FindItem(id);
    if (item) items.push_back(item);
  }
  return items;
}

void DownloadsTab::ShowMenu(const QPoint& at) {
  SelectRowUnder(list_, at);
  auto selected = SelectedItems();
  auto any = [&](auto test) { return std::any_of(selected.begin(), selected.end(), test); };
  pause_->setEnabled(any(
      [](const DownloadItem* i) { return i->status != DownloadStatus::kPaused && !i->Ended(); }));
  resume_->setEnabled(
      any([](const DownloadItem* i) { return i->status == DownloadStatus::kPaused; }));
  retry_->setEnabled(
      any([](const DownloadItem* i) { return i->status == DownloadStatus::kFailed; }));
  for (QAction* a : {deleteWithFiles_, openFolder_}) a->setEnabled(!selected.empty());
  // A remote downloader's row that ended waits for the user to let it go; its address is the
  // link it was given.
  const auto all = SelectedItems(true);
  delete_->setEnabled(std::any_of(all.begin(), all.end(), [this](const DownloadItem* i) {
    return RemoteOf(i->id) == nullptr || i->Ended();
  }));
  copyAddress_->setEnabled(std::any_of(
      all.begin(), all.end(), [](const DownloadItem* i) { return !i->request.address.empty(); }));
  menu_->popup(list_->viewport()->mapToGlobal(at));
}

// Each back-end acts on its own items; a remote downloader's pauses and resumes them there.
void DownloadsTab::Act(const std::function<void(Downloads&, const std::vector<ItemId>&)>& action) {
  std::vector<ItemId> ours;
  std::map<RemoteDownloads*, std::vector<ItemId>> theirs;
  const std::vector<int> selected = SelectedIds();
  changed_.insert(changed_.end(), selected.begin(), selected.end());
  membershipChanged_ = true;
  for (int id : selected) {
    if (RemoteDownloads* remote = RemoteOf(id))
      theirs[remote].push_back(ItemId{id});
    else
      ours.push_back(ItemId{id});
  }
  for (auto& [remote, ids] : theirs) action(*remote, ids);
  if (!downloads_) return Render();
  action(*downloads_, ours);
  QueueChanged();
}

bool DownloadsTab::AskToRemoveFiles(QWidget* parent, int downloads) {
  QMessageBox box(QMessageBox::Question, QStringLiteral("ShareFetch"),
                  QStringLiteral("确定删除所选的 %1 个下载任务和它们已下载的文件吗？\n"
                                 "删除后无法恢复；已下载完毕的文件不会被删除。")
                      .arg(downloads),
                  QMessageBox::Yes | QMessageBox::No, parent);
  box.setObjectName(QStringLiteral("删除确认"));
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

// A remote downloader's row goes only once it ended, and its file there stays: it is not ours to
// take out.
void DownloadsTab::Remove(bool withFiles) {
  std::vector<int> ids = SelectedIds();
  std::map<RemoteDownloads*, std::vector<ItemId>> theirs;
  std::erase_if(ids, [&](int id) {
    RemoteDownloads* remote = RemoteOf(id);
    if (remote) theirs[remote].push_back(ItemId{id});
    return remote != nullptr;
  });
  if (!downloads_) ids.clear();
  if (ids.empty() && theirs.empty()) return;
  auto n = static_cast<int>(ids.size());
  if (withFiles && n > 0 && !(confirm_ ? confirm_(this, n) : AskToRemoveFiles(this, n))) return;
  int removed = 0;
  for (auto& [remote, gone] : theirs) removed += remote->Cancel(gone, false);
  if (!ids.empty()) removed += downloads_->Cancel(ItemIds(ids), withFiles);
  if (removed == 0 && ids.empty()) return;
  membershipChanged_ = true;
  if (downloads_)
    QueueChanged();
  else
    Render();
  showStatus_(ToGbk(withFiles ? QStringLiteral("已删除 %1 个下载任务和它们的文件").arg(removed)
                              : QStringLiteral("已从列表删除 %1 个下载任务").arg(removed)));
}

void DownloadsTab::OpenFolders() {
  QSet<QString> opened;
  for (const DownloadItem* item : SelectedItems()) {
    QString dir = FromGbk(item->request.directory);
    if (opened.contains(dir)) continue;
    opened.insert(dir);
    if (folderOpener_)
      folderOpener_(dir);
    else
      QDesktopServices::openUrl(QUrl::fromLocalFile(dir));
  }
}

void DownloadsTab::CopyAddresses() {
  QStringList addresses;
  for (const DownloadItem* item : SelectedItems(true))
    if (!item->request.address.empty()) addresses << FromGbk(item->request.address);
  if (!addresses.isEmpty()) QApplication::clipboard()->setText(addresses.join('\n'));
}

void DownloadsTab::Tell(const QString& text) {
  QMessageBox::information(this, QStringLiteral("ShareFetch"), text, QMessageBox::Ok);
}

}  // namespace sf::app
