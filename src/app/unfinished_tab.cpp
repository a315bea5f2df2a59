#include "app/unfinished_tab.h"

#include <QAction>
#include <QKeyEvent>
#include <QMenu>
#include <QShortcut>

#include "app/controls.h"
#include "app/qt_text.h"
#include "view/download_list.h"

namespace sf::app {
namespace {

constexpr int kRowRole = Qt::UserRole;

// How the download stood at the last close, for the row's tooltip.
QString StandingText(const UnfinishedDownload& r) {
  QString text;
  if (r.state == UnfinishedDownload::State::kPaused) text = QStringLiteral("已暂停");
  if (r.state == UnfinishedDownload::State::kFailed) text = QStringLiteral("失败");
  QString bytes;
  if (r.expectedSize > 0) {
    double percent = static_cast<double>(r.done) * 100.0 / static_cast<double>(r.expectedSize);
    bytes = FromGbk(SizeText(r.done, SizeStyle::kWindow)) + QStringLiteral(" / ") +
            FromGbk(SizeText(r.expectedSize, SizeStyle::kWindow)) +
            QStringLiteral("（%1%）").arg(percent, 0, 'f', 2);
  } else if (r.done > 0) {
    bytes = FromGbk(SizeText(r.done, SizeStyle::kWindow));
  }
  if (!bytes.isEmpty()) bytes = QStringLiteral("已下载 ") + bytes;
  if (text.isEmpty()) return bytes;
  return bytes.isEmpty() ? text : text + QStringLiteral("，") + bytes;
}

}  // namespace

UnfinishedTab::UnfinishedTab(QWidget* parent) : TabPage(parent) {
  list_ = MakeReportList(this, "超级列表框3", 16, 40, 432, 320,
                         {{"文件名", 120}, {"下载地址", 70}, {"保存目录", 520}});
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  // Only a double click on a row counts; one on the empty part of the list starts nothing.
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
    if (item) Start({item->data(0, kRowRole).toInt()});
  });
  menu_ = new QMenu(this);
  menu_->setObjectName(QStringLiteral("未完成菜单"));
  resume_ = AddAction(menu_, "继续下载");
  resumeAll_ = AddAction(menu_, "全部继续");
  menu_->addSeparator();
  delete_ = AddAction(menu_, "删除");
  connect(resume_, &QAction::triggered, this, [this] { Start(SelectedRows()); });
  connect(resumeAll_, &QAction::triggered, this, [this] {
    std::vector<int> all;
    // Rows started already in this run are under way on 正在下载; a second start would only
    // make a second download of the same file.
    for (int row = 0; row < list_->topLevelItemCount(); ++row)
      if (int i = list_->topLevelItem(row)->data(0, kRowRole).toInt(); !restarted_[i])
        all.push_back(i);
    Start(all);
  });
  connect(delete_, &QAction::triggered, this, &UnfinishedTab::Delete);
  connect(list_, &QTreeWidget::customContextMenuRequested, this, &UnfinishedTab::ShowMenu);
  OnMenuKey(list_, [this](const QPoint& at) { ShowMenu(at); });
  for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
    auto* enter =
        new QShortcut(QKeySequence(key), list_, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    connect(enter, &QShortcut::activated, this, [this] { Start(SelectedRows()); });
  }
  auto* del = new QShortcut(QKeySequence(Qt::Key_Delete), list_, nullptr, nullptr,
                            Qt::WidgetWithChildrenShortcut);
  connect(del, &QShortcut::activated, this, &UnfinishedTab::Delete);
}

void UnfinishedTab::SetRows(const std::vector<UnfinishedDownload>& rows) {
  list_->clear();
  rows_ = rows;
  restarted_.assign(rows.size(), false);
  deleted_.assign(rows.size(), false);
  for (size_t i = 0; i < rows.size(); ++i) {
    const UnfinishedDownload& r = rows[i];
    auto* item = new QTreeWidgetItem(list_);
    item->setData(0, kRowRole, static_cast<int>(i));
    item->setText(0, FromGbk(r.fileName));
    item->setText(1, FromGbk(r.address));
    item->setText(2, FromGbk(r.saveDirectory));
    QString standing = StandingText(r);
    for (int column = 0; column < 3; ++column) item->setToolTip(column, standing);
  }
}

void UnfinishedTab::SetStartDownload(std::function<void(const UnfinishedDownload&)> start) {
  start_ = std::move(start);
}

// A row started again stays listed, as it always did.
void UnfinishedTab::Start(const std::vector<int>& rows) {
  if (!start_) return;
  for (int row : rows) {
    auto i = static_cast<size_t>(row);
    if (row < 0 || i >= rows_.size() || deleted_[i]) continue;
    restarted_[i] = true;
    start_(rows_[i]);
  }
}

std::vector<int> UnfinishedTab::SelectedRows() const {
  std::vector<int> rows;
  for (int row = 0; row < list_->topLevelItemCount(); ++row)
    if (QTreeWidgetItem* item = list_->topLevelItem(row); item->isSelected())
      rows.push_back(item->data(0, kRowRole).toInt());
  return rows;
}

void UnfinishedTab::ShowMenu(const QPoint& at) {
  SelectRowUnder(list_, at);
  bool selected = !SelectedRows().empty();
  resume_->setEnabled(selected);
  delete_->setEnabled(selected);
  resumeAll_->setEnabled(list_->topLevelItemCount() > 0);
  menu_->popup(list_->viewport()->mapToGlobal(at));
}

// The rows go for good: they are not remembered at the next close. Their partial files stay.
void UnfinishedTab::Delete() {
  for (int row : SelectedRows()) deleted_[static_cast<size_t>(row)] = true;
  for (int row = list_->topLevelItemCount() - 1; row >= 0; --row)
    if (list_->topLevelItem(row)->isSelected()) delete list_->takeTopLevelItem(row);
}

std::vector<UnfinishedDownload> UnfinishedTab::NotRestarted() const {
  std::vector<UnfinishedDownload> out;
  for (size_t i = 0; i < rows_.size(); ++i)
    if (!restarted_[i] && !deleted_[i]) out.push_back(rows_[i]);
  return out;
}

}  // namespace sf::app
