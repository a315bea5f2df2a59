// The 下载进度 cell of a download row: a bar as long as the download is done, behind the
// percentage text the row already shows. Cells that hold no percentage (a failure's reason,
// an empty cell) are drawn as plain text.
#pragma once

#include <QStyledItemDelegate>

namespace sf::app {

class ProgressDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;

  // The fraction done that a cell's text such as "42.50%" gives, 0 to 1; -1 when the text is
  // not a percentage.
  static double Fraction(const QString& text);
};

}  // namespace sf::app
