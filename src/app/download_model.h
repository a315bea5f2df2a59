// The rows of the 正在下载 list: one per item of the back-ends, by id, drawn from the item
// itself when the view paints it, so a queue of hundreds of thousands of files costs no
// object per row and an event moves only its own row.
#pragma once

#include <QAbstractTableModel>
#include <functional>
#include <unordered_map>
#include <vector>

#include "download/downloads.h"

namespace sf::app {

class DownloadModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  // `find` gives the item an id names, wherever it lives, or null once it left.
  using Finder = std::function<const DownloadItem*(int id)>;
  explicit DownloadModel(Finder find, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // Sorts by a column's value (sizes, bytes, speed and progress as numbers, names in the
  // language's order), equal rows keeping their order; -1 keeps the order rows came in.
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

  // A row for an item not listed yet, at the end; the next Sort puts it in its place.
  void Add(int id);
  // The rows of items `find` no longer knows leave, and those of `ids` not listed yet come.
  void Sync(const std::vector<int>& ids);
  // The rows of `ids` leave, wherever they stand.
  void Remove(std::vector<int> ids);
  // The items of `ids` changed: their rows, and only those, are drawn again.
  void Changed(const std::vector<int>& ids);
  // Puts the rows in the order of the sort chosen again, after rows came or values moved.
  void Resort();

  int RowOf(int id) const;  // -1 when not listed
  int IdAt(int row) const;

 private:
  void Reindex(size_t from = 0);
  double KeyAt(int row) const;  // by the sort column, which is not the names'
  // The row's key sits between its neighbours' in the order chosen.
  bool InPlace(int row) const;
  // Moves the rows into `order`, keeping persistent indexes (the selection) on their items.
  void Arrange(std::vector<int> order);

  Finder find_;
  std::vector<int> ids_;  // row to item id
  std::unordered_map<int, int> rowOf_;
  int sortColumn_ = -1;
  Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
};

}  // namespace sf::app
