#include "app/controls.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QTabWidget>

namespace sf::app {

void TabPage::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Reposition();
}

void TabPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  Reposition();
}

void TabPage::Reposition() {
  QWidget* tabs = parentWidget();
  while (tabs && !qobject_cast<QTabWidget*>(tabs)) tabs = tabs->parentWidget();
  if (!tabs) return;
  QPoint offset = mapTo(tabs, QPoint(0, 0));
  for (QObject* child : children()) {
    auto* w = qobject_cast<QWidget*>(child);
    if (!w) continue;
    QRect r = w->property("layoutRect").toRect();
    if (r.isValid()) w->setGeometry(r.translated(-offset));
  }
}

namespace {

class MenuKeyFilter : public QObject {
 public:
  MenuKeyFilter(QAbstractItemView* list, std::function<void(const QPoint&)> show)
      : QObject(list), list_(list), show_(std::move(show)) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != list_) return false;
    // Some platforms turn the Menu key into a context-menu event of their own as well; the
    // key is answered here, so that one would open the menu a second time.
    if (event->type() == QEvent::ContextMenu)
      return static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard;
    if (event->type() != QEvent::KeyPress) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    const bool menuKey = key->key() == Qt::Key_Menu && key->modifiers() == Qt::NoModifier;
    const bool shiftF10 = key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier;
    if (!menuKey && !shiftF10) return false;
    QPoint at(4, 4);
    if (QModelIndex current = list_->currentIndex(); current.isValid()) {
      QRect row = list_->visualRect(current);
      if (row.isValid() && list_->viewport()->rect().intersects(row))
        at = QPoint(row.left() + 12, row.center().y());
    }
    show_(at);
    return true;
  }

 private:
  QAbstractItemView* list_;
  std::function<void(const QPoint&)> show_;
};

}  // namespace

void SelectRowUnder(QTreeWidget* list, const QPoint& viewportPos) {
  if (QTreeWidgetItem* item = list->itemAt(viewportPos); item && !item->isSelected()) {
    list->clearSelection();
    item->setSelected(true);
    list->setCurrentItem(item);
  }
}

void OnMenuKey(QAbstractItemView* list, std::function<void(const QPoint& viewportPos)> show) {
  list->installEventFilter(new MenuKeyFilter(list, std::move(show)));
}

bool SortableItem::operator<(const QTreeWidgetItem& other) const {
  int column = treeWidget() ? treeWidget()->sortColumn() : 0;
  QVariant mine = data(column, kSortRole), theirs = other.data(column, kSortRole);
  if (mine.isValid() && theirs.isValid()) return mine.toDouble() < theirs.toDouble();
  return QString::localeAwareCompare(text(column), other.text(column)) < 0;
}

void MakeSortable(QTreeWidget* list) {
  // No column yet: turning sorting on keeps the rows as they came.
  list->header()->setSortIndicator(-1, Qt::AscendingOrder);
  // A first click on any column sorts upwards, whichever way the last column went.
  for (int column = 0; column < list->columnCount(); ++column)
    list->headerItem()->setData(column, Qt::InitialSortOrderRole, Qt::AscendingOrder);
  list->setSortingEnabled(true);
}

QAction* AddAction(QMenu* menu, const char* caption) {
  QAction* action = menu->addAction(QString::fromUtf8(caption));
  action->setObjectName(QString::fromUtf8(caption));
  return action;
}

void ShapeAsReportList(QTreeView* list) {
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setUniformRowHeights(true);
  list->setAllColumnsShowFocus(true);
  list->setAlternatingRowColors(true);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->header()->setStretchLastSection(false);
}

QTreeWidget* MakeReportList(QWidget* parent, const char* name, int x, int y, int width, int height,
                            const std::vector<std::pair<const char*, int>>& columns) {
  auto* list = Place(new QTreeWidget(parent), name, x, y, width, height);
  ShapeAsReportList(list);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setColumnCount(static_cast<int>(columns.size()));
  QStringList titles;
  for (const auto& [title, w] : columns) titles << QString::fromUtf8(title);
  list->setHeaderLabels(titles);
  for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
    int w = columns[static_cast<size_t>(i)].second;
    if (w == 0)
      list->setColumnHidden(i, true);
    else
      list->setColumnWidth(i, w);
  }
  return list;
}

}  // namespace sf::app
