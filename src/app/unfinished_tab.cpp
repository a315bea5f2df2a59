#include "app/unfinished_tab.h"

#include "app/controls.h"
#include "app/qt_text.h"

namespace sf::app {

UnfinishedTab::UnfinishedTab(QWidget* parent) : TabPage(parent) {
  list_ = MakeReportList(this, "超级列表框3", 16, 40, 432, 320, {{"文件名", 120}, {"下载地址", 70}, {"保存目录", 520}});
  // Only a double click on a row counts; one on the empty part of the list starts nothing.
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
    if (item && start_) start_(ToGbk(item->text(0)), ToGbk(item->text(1)));
  });
}

void UnfinishedTab::SetRows(const std::vector<UnfinishedDownload>& rows) {
  list_->clear();
  for (const UnfinishedDownload& r : rows) {
    auto* item = new QTreeWidgetItem(list_);
    item->setText(0, FromGbk(r.fileName));
    item->setText(1, FromGbk(r.address));
    item->setText(2, FromGbk(r.saveDirectory));
  }
}

void UnfinishedTab::SetStartDownload(
    std::function<void(const std::string&, const std::string&)> start) {
  start_ = std::move(start);
}

}  // namespace sf::app
