#include "app/skin.h"

#include <QApplication>
#include <QFile>
#include <QPalette>

#include "module/window_skin.h"

// Resources of a static library must be registered by name, outside any namespace.
static void RegisterThemeResource() {
  Q_INIT_RESOURCE(theme);
}

namespace sf::app {

QByteArray ThemeData() {
  RegisterThemeResource();
  QFile file(QStringLiteral(":/theme/sharefetch.qss"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

QPixmap ProgramIcon() {
  RegisterThemeResource();
  return QPixmap(QStringLiteral(":/theme/sharefetch-128.png"));
}

void AttachSkin(WindowSkin& skin) {
  QByteArray theme = ThemeData();
  skin.AttachSkin(
      {reinterpret_cast<const uint8_t*>(theme.constData()), static_cast<size_t>(theme.size())},
      nullptr, 0, 0, 0);
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!app) return;
  QPalette palette = app->palette();
  palette.setColor(QPalette::Window, QColor(0xf3, 0xf5, 0xf8));
  palette.setColor(QPalette::Base, Qt::white);
  palette.setColor(QPalette::AlternateBase, QColor(0xf7, 0xf9, 0xfb));
  palette.setColor(QPalette::Highlight, QColor(0x1a, 0x6f, 0xd6));
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::Text, QColor(0x1f, 0x29, 0x33));
  palette.setColor(QPalette::WindowText, QColor(0x1f, 0x29, 0x33));
  // The colours above hold for every state; greyed controls get their own ink back.
  const QColor greyed(0xa3, 0xad, 0xb8);
  for (QPalette::ColorRole role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
    palette.setColor(QPalette::Disabled, role, greyed);
  app->setPalette(palette);
  app->setStyleSheet(QString::fromUtf8(theme));
}

}  // namespace sf::app
