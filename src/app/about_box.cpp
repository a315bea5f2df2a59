#include "app/about_box.h"

#include <QMessageBox>
#include <QPushButton>

#include "app/skin.h"
#include "base/version.h"

namespace sf::app {

QString AboutText() {
  QString commit = QString::fromLatin1(GitCommit());
  return QStringLiteral(
             "ShareFetch\n\n版本：%1\n提交：%2\n\n"
             "把公开的网盘分享链接解析成文件和直链，\n并用自带的下载引擎下载。")
      .arg(QString::fromLatin1(VersionNumber()),
           commit.isEmpty() ? QStringLiteral("未知") : commit);
}

QMessageBox* ShowAbout(QWidget* parent) {
  auto* box = new QMessageBox(parent);
  box->setObjectName(QStringLiteral("关于"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowTitle(QStringLiteral("关于 ShareFetch"));
  box->setIconPixmap(ProgramIcon().scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  box->setText(AboutText());
  box->setStandardButtons(QMessageBox::Ok);
  box->button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
  box->open();
  return box;
}

}  // namespace sf::app
