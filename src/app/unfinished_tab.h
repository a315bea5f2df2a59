// The fourth tab, "未完成的下载": downloads that were still unfinished when the program last
// closed. A double click, Enter or the menu's 继续下载 starts the chosen ones again, each into
// its own directory; 全部继续 starts every one; 删除 forgets them. A run may remember hundreds
// of thousands: the list draws them from the rows themselves, and a start of many hands them to
// the download list a batch at a time, between the window's other events.
#pragma once

#include <QAbstractTableModel>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/controls.h"
#include "base/settings_file.h"

class QAction;
class QMenu;
class QTimer;
class QTreeView;

namespace sf::app {

// The row's file is on disk at its known size, with no partial beside it: nothing is left to
// download. A row of unknown size is never taken for whole.
bool WholeOnDisk(const UnfinishedDownload& row);
// The same of many rows, by row: each directory is read once, and only a row whose file is
// there is looked at further, so a close asks nothing of the disk for each of the many rows
// whose download never began.
std::vector<char> WholeOnDisk(const std::vector<const UnfinishedDownload*>& rows);

// The list's rows: the remembered downloads, each known by its place among those given to
// SetRows (its index), which stays when rows before it are taken out.
class UnfinishedModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  using QAbstractTableModel::QAbstractTableModel;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  void SetRows(std::vector<UnfinishedDownload> rows);
  // Takes rows out of the list, given as rows of the list in ascending order. Many scattered
  // rows go in one reset rather than one removal each.
  void Take(const std::vector<int>& rows);
  size_t IndexAt(int row) const { return shown_[static_cast<size_t>(row)]; }
  const std::vector<UnfinishedDownload>& downloads() const { return rows_; }

 private:
  std::vector<UnfinishedDownload> rows_;
  std::vector<size_t> shown_;  // row of the list -> index
};

class UnfinishedTab : public TabPage {
  Q_OBJECT
 public:
  explicit UnfinishedTab(QWidget* parent = nullptr);
  QTreeView* list() const { return list_; }
  UnfinishedModel* model() const { return model_; }
  QMenu* menu() const { return menu_; }

  void SetRows(std::vector<UnfinishedDownload> rows);
  // How a row handed to the download list stands: held by an item it lists now, taken by a
  // share whose plan brings its item later (or never, when the plan cannot place the file), or
  // not taken at all.
  enum class Taken : char { kNo, kListed, kPlanned };
  // Receives downloads to start again, a batch at a time, and says how each was taken; one
  // not listed stays the tab's to remember, and 全部继续 offers again only one not taken.
  using Starter = std::function<std::vector<Taken>(const std::vector<UnfinishedDownload>&)>;
  void SetStartDownloads(Starter start);
  // The rows that no listed item held when they were handed over, nor deleted in this run, to
  // be remembered again unless the list holds them by now or their file is whole; those still
  // waiting for their batch included.
  std::vector<const UnfinishedDownload*> NotListed() const;
  // Rows chosen to start whose batch has not come yet.
  size_t waiting() const { return waiting_.size(); }

  // Rows handed over in one batch: enough that a share's files are mostly planned together,
  // few enough that the window answers between two.
  static constexpr size_t kBatch = 1000;

 private:
  // Queues the rows (indexes) to start; the first batch starts at once, the rest follow.
  void Start(const std::vector<size_t>& indexes);
  void StartBatch();
  std::vector<size_t> SelectedIndexes() const;
  std::vector<int> SelectedRows() const;
  void ShowMenu(const QPoint& at);
  void Delete();

  QTreeView* list_;
  UnfinishedModel* model_;
  QMenu* menu_;
  QAction* resume_;
  QAction* resumeAll_;
  QAction* delete_;
  QTimer* batches_;
  // By index: how the download list took it, taken out by the user, waiting for its batch.
  std::vector<Taken> taken_;
  std::vector<char> deleted_, queued_;
  std::deque<size_t> waiting_;
  Starter start_;
};

}  // namespace sf::app
