#include "app/unfinished_tab.h"

#include "app/controls.h"

namespace sf::app {

UnfinishedTab::UnfinishedTab(QWidget* parent) : TabPage(parent) {
  list_ = MakeReportList(this, "超级列表框3", 16, 40, 432, 320, {{"文件名", 120}, {"下载地址", 70}, {"保存目录", 520}});
}

}  // namespace sf::app
