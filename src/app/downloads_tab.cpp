#include "app/downloads_tab.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "app/controls.h"
#include "app/main_window.h"
#include "app/qt_text.h"

namespace sf::app {

DownloadsTab::DownloadsTab(AppState& state, std::function<void(const std::string&)> showStatus,
                           QWidget* parent)
    : TabPage(parent), state_(state), showStatus_(std::move(showStatus)) {
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

  connect(choose_, &QPushButton::clicked, this, &DownloadsTab::ChooseDirectory);
  connect(limit_, &QCheckBox::clicked, this, &DownloadsTab::LimitClicked);
  connect(timer_, &QTimer::timeout, this, &DownloadsTab::Poll);
}

void DownloadsTab::StartDownload(const std::string& fileName, const std::string& address) {
  if (!state_.engine) {
    Tell(QStringLiteral("下载引擎未能加载，无法下载。\n\n") +
         QString::fromStdString(state_.engineError));
    return;
  }
  sf::StartDownload(*state_.engine, state_.downloads, *this, fileName, address);
}

std::vector<ListedDownload> DownloadsTab::Listed() const {
  std::vector<ListedDownload> out;
  for (int row = 0; row < RowCount(); ++row)
    out.push_back({Cell(row, kColumnFileName), Cell(row, kColumnAddress)});
  return out;
}

std::string DownloadsTab::SaveDirectory() const { return ToGbk(saveDirectory_->text()); }

void DownloadsTab::ChooseDirectory() {
  const QString title = QStringLiteral("请选择要保存的目录");
  QString chosen = browseForFolder_ ? browseForFolder_(this, title, saveDirectory_->text())
                                    : QFileDialog::getExistingDirectory(this, title, saveDirectory_->text());
  // A cancelled browser gives nothing; the directory in use stays.
  if (!chosen.isEmpty()) saveDirectory_->setText(chosen);
}

void DownloadsTab::LimitClicked() {
  if (!state_.engine) return;
  if (ApplySpeedLimit(*state_.engine, limit_->isChecked(), ToGbk(limitValue_->text())) ==
      SpeedLimitResult::kValueMissing)
    Tell(QStringLiteral("请输入需要限制的速度后继续！"));
}

void DownloadsTab::Poll() {
  if (state_.engine) PollDownloads(*state_.engine, state_.downloads, *this);
}

void DownloadsTab::Tell(const QString& text) {
  QMessageBox::information(this, QStringLiteral("ShareFetch"), text, QMessageBox::Ok);
}

int DownloadsTab::RowCount() const { return list_->topLevelItemCount(); }

void DownloadsTab::InsertRow(int index, const std::string& fileName) {
  auto* item = new QTreeWidgetItem;
  item->setText(kColumnFileName, FromGbk(fileName));
  list_->insertTopLevelItem(index, item);
}

void DownloadsTab::RemoveRow(int index) { delete list_->takeTopLevelItem(index); }

std::string DownloadsTab::Cell(int row, int column) const {
  QTreeWidgetItem* item = list_->topLevelItem(row);
  return item ? ToGbk(item->text(column)) : std::string();
}

void DownloadsTab::SetCell(int row, int column, const std::string& text) {
  if (QTreeWidgetItem* item = list_->topLevelItem(row)) item->setText(column, FromGbk(text));
}

void DownloadsTab::ShowStatus(const std::string& text) { showStatus_(text); }

void DownloadsTab::SetProgress(int position) { progress_->setValue(position); }

int DownloadsTab::TimerPeriod() const { return timer_->isActive() ? timer_->interval() : 0; }

void DownloadsTab::StartTimer(int periodMs) { timer_->start(periodMs); }

}  // namespace sf::app
