#include "app/share_text_box.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>

namespace sf::app {

void ShareTextBox::PasteFromClipboard() {
  if (!Offer(QApplication::clipboard()->text())) paste();
}

void ShareTextBox::keyPressEvent(QKeyEvent* event) {
  if (event == QKeySequence::Paste && !isReadOnly()) {
    PasteFromClipboard();
    event->accept();
    return;
  }
  QLineEdit::keyPressEvent(event);
}

void ShareTextBox::contextMenuEvent(QContextMenuEvent* event) {
  QMenu* menu = createStandardContextMenu();
  menu->setAttribute(Qt::WA_DeleteOnClose);
  // The standard menu's paste goes straight into the box; ours offers the text first.
  for (QAction* action : menu->actions()) {
    if (action->objectName() != QLatin1String("edit-paste") &&
        !action->text().startsWith(QLineEdit::tr("&Paste")))
      continue;
    disconnect(action, &QAction::triggered, nullptr, nullptr);
    connect(action, &QAction::triggered, this, &ShareTextBox::PasteFromClipboard);
  }
  menu->popup(event->globalPos());
}

void ShareTextBox::dropEvent(QDropEvent* event) {
  if (event->mimeData()->hasText() && Offer(event->mimeData()->text())) {
    event->acceptProposedAction();
    return;
  }
  QLineEdit::dropEvent(event);
}

QString PasteStatus(size_t links, bool code) {
  QString said;
  if (links > 1) said = QStringLiteral("识别到%1个分享链接，已填入第一个").arg(links);
  if (code)
    said += (said.isEmpty() ? QString() : QStringLiteral("，")) + QStringLiteral("已识别提取码");
  if (said.isEmpty()) said = QStringLiteral("已识别分享链接");
  return said;
}

}  // namespace sf::app
