#include "app/unfinished_tab.h"

#include "app/controls.h"
#include "app/qt_text.h"

namespace sf::app {

UnfinishedTab::UnfinishedTab(QWidget* parent) : TabPage(parent) {
  list_ = MakeReportList(this, "超级列表框3", 16, 40, 432, 320,
                         {{"文件名", 120}, {"下载地址", 70}, {"保存目录", 520}});
  // Only a double click on a row counts; one on the empty part of the list starts nothing.
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
    int row = item ? list_->indexOfTopLevelItem(item) : -1;
    if (row < 0 || static_cast<size_t>(row) >= rows_.size() || !start_) return;
    restarted_[static_cast<size_t>(row)] = true;
    start_(rows_[static_cast<size_t>(row)]);
  });
}

void UnfinishedTab::SetRows(const std::vector<UnfinishedDownload>& rows) {
  list_->clear();
  rows_ = rows;
  restarted_.assign(rows.size(), false);
  for (const UnfinishedDownload& r : rows) {
    auto* item = new QTreeWidgetItem(list_);
    item->setText(0, FromGbk(r.fileName));
    item->setText(1, FromGbk(r.address));
    item->setText(2, FromGbk(r.saveDirectory));
  }
}

void UnfinishedTab::SetStartDownload(std::function<void(const UnfinishedDownload&)> start) {
  start_ = std::move(start);
}

std::vector<UnfinishedDownload> UnfinishedTab::NotRestarted() const {
  std::vector<UnfinishedDownload> out;
  for (size_t i = 0; i < rows_.size(); ++i)
    if (!restarted_[i]) out.push_back(rows_[i]);
  return out;
}

}  // namespace sf::app
