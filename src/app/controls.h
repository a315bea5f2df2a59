// Small helpers that put the fixed layout's controls where they belong.
#pragma once

#include <QRect>
#include <QString>
#include <QTreeView>
#include <QTreeWidget>
#include <QWidget>
#include <functional>
#include <utility>
#include <vector>

class QAction;
class QMenu;

namespace sf::app {

// Names a control after the layout and places it at x, y with its width and height, relative
// to its container.
template <typename W>
W* Place(W* widget, const char* name, int x, int y, int width, int height) {
  widget->setObjectName(QString::fromUtf8(name));
  widget->setGeometry(x, y, width, height);
  widget->setProperty("layoutRect", QRect(x, y, width, height));
  return widget;
}

// A page of the tab control. The layout gives its controls' positions relative to the tab
// control itself, tab headers included, so the page moves them up by its own offset inside
// the tab control whenever it is laid out.
class TabPage : public QWidget {
  Q_OBJECT
 public:
  using QWidget::QWidget;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void Reposition();
};

// A menu item named after its caption, so tests and the user find it by the same text.
QAction* AddAction(QMenu* menu, const char* caption);

// The look every report list shares: flat rows of one height, alternating, focus and
// selection across the whole row, no column stretched.
void ShapeAsReportList(QTreeView* list);

// A report-view list: one row per item, these column titles and widths; a width of 0 hides
// the column, which still carries its value.
QTreeWidget* MakeReportList(QWidget* parent, const char* name, int x, int y, int width, int height,
                            const std::vector<std::pair<const char*, int>>& columns);

// The Menu key and Shift+F10 on `list`, while it has the focus, call `show` with where the
// menu belongs in the list's viewport: at the current row, or at the top left without one.
void OnMenuKey(QAbstractItemView* list, std::function<void(const QPoint& viewportPos)> show);

// A right click on a row outside the selection selects that row alone, as file lists do.
void SelectRowUnder(QTreeWidget* list, const QPoint& viewportPos);

// A column's value to sort by, where its text is a size, a percentage or a speed.
constexpr int kSortRole = Qt::UserRole + 1;

// A row that sorts by the value a column carries under kSortRole, else by its text in the
// language's own order; the rows of a sortable list are made as these.
class SortableItem : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;
  bool operator<(const QTreeWidgetItem& other) const override;
};

// A click on a column's header sorts the list by it, a second click reverses; until the first
// click the rows keep the order they came in. Selection stays on the same rows.
void MakeSortable(QTreeWidget* list);

}  // namespace sf::app
