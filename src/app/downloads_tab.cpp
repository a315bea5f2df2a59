#include "app/downloads_tab.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "app/controls.h"

namespace sf::app {

DownloadsTab::DownloadsTab(QWidget* parent) : TabPage(parent) {
  Place(new QLabel(QStringLiteral("下载目录："), this), "透明标签5", 8, 24, 56, 24);
  saveDirectory_ = Place(new QLineEdit(this), "编辑框_保存目录", 72, 24, 200, 24);
  choose_ = Place(new QPushButton(QStringLiteral("选择目录"), this), "按钮2", 280, 24, 64, 24);
  limit_ = Place(new QCheckBox(this), "选择框1", 352, 24, 16, 16);
  Place(new QLabel(QStringLiteral("限速"), this), "透明标签6", 371, 24, 32, 16);
  limitValue_ = Place(new QLineEdit(this), "编辑框1", 396, 24, 32, 17);
  Place(new QLabel(QStringLiteral("/KB"), this), "透明标签8", 430, 24, 32, 16);
  list_ = MakeReportList(this, "超级列表框2", 8, 48, 416, 280,
                         {{"文件名", 100}, {"文件总大小", 80}, {"已下载", 80}, {"下载速度", 70}, {"下载进度", 70},
                          {"10", 0}, {"www", 0}, {"eee", 0}});
  Place(new QLabel(QStringLiteral("下载进度："), this), "透明标签9", 56, 336, 56, 24);
  progress_ = Place(new QProgressBar(this), "进度条1", 119, 337, 285, 23);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  timer_ = new QTimer(this);
  timer_->setObjectName(QStringLiteral("时钟1"));
}

}  // namespace sf::app
