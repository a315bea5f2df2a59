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
  ShapeAsReportList(list_);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
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
