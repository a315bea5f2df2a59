#include "app/progress_delegate.h"

#include <QApplication>
#include <QPainter>
#include <algorithm>

namespace sf::app {

double ProgressDelegate::Fraction(const QString& text) {
  QString t = text.trimmed();
  if (!t.endsWith(QLatin1Char('%'))) return -1;
  bool ok = false;
  double percent = t.chopped(1).toDouble(&ok);
  if (!ok) return -1;
  return std::clamp(percent / 100.0, 0.0, 1.0);
}

void ProgressDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
  QStyleOptionViewItem opt(option);
  initStyleOption(&opt, index);
  const double fraction = Fraction(opt.text);
  if (fraction < 0) {
    QStyledItemDelegate::paint(painter, option, index);
    return;
  }
  // The row's background and selection first, then the bar, then the text over both.
  const QString text = opt.text;
  opt.text.clear();
  const QWidget* widget = opt.widget;
  QStyle* style = widget ? widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

  QRect track = opt.rect.adjusted(2, 3, -2, -3);
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing, false);
  painter->setPen(QColor(0xc6, 0xcf, 0xda));
  painter->setBrush(Qt::NoBrush);
  painter->drawRect(track.adjusted(0, 0, -1, -1));
  QRect bar = track.adjusted(1, 1, -1, -1);
  bar.setWidth(static_cast<int>(bar.width() * fraction + 0.5));
  if (bar.width() > 0) painter->fillRect(bar, QColor(0x2f, 0xa3, 0x6b, 110));
  const bool selected = opt.state & QStyle::State_Selected;
  QPalette::ColorGroup group =
      opt.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled;
  painter->setPen(opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
  if (!selected && opt.index.data(Qt::ForegroundRole).canConvert<QBrush>()) {
    QBrush ink = opt.index.data(Qt::ForegroundRole).value<QBrush>();
    if (ink.style() != Qt::NoBrush) painter->setPen(ink.color());
  }
  painter->setFont(opt.font);
  painter->drawText(track, Qt::AlignCenter, text);
  painter->restore();
}

}  // namespace sf::app
