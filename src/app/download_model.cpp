#include "app/download_model.h"

#include <QBrush>
#include <QCollator>
#include <QColor>
#include <algorithm>
#include <numeric>

#include "app/controls.h"
#include "app/qt_text.h"
#include "view/download_list.h"

namespace sf::app {
namespace {

const char* const kTitles[kDownloadColumns] = {"文件名", "文件总大小", "已下载", "下载速度",
                                               "下载进度"};

// The item's id, whatever row a sort put it in.
constexpr int kIdRole = Qt::UserRole;

bool Moving(const DownloadItem& item) {
  return item.status == DownloadStatus::kDownloading || item.status == DownloadStatus::kRequesting;
}

double Key(const DownloadItem& item, int column) {
  switch (column) {
    case kColumnTotalSize:
      return static_cast<double>(item.KnownSize());
    case kColumnDownloaded:
      return static_cast<double>(item.done);
    case kColumnSpeed:
      return Moving(item) ? static_cast<double>(item.speed) : -1.0;
    default:
      return static_cast<double>(item.progress);
  }
}

}  // namespace

DownloadModel::DownloadModel(Finder find, QObject* parent)
    : QAbstractTableModel(parent), find_(std::move(find)) {}

int DownloadModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(ids_.size());
}

int DownloadModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kDownloadColumns;
}

Qt::ItemFlags DownloadModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

int DownloadModel::RowOf(int id) const {
  auto at = rowOf_.find(id);
  return at == rowOf_.end() ? -1 : at->second;
}

int DownloadModel::IdAt(int row) const {
  return row >= 0 && row < static_cast<int>(ids_.size()) ? ids_[static_cast<size_t>(row)] : -1;
}

QVariant DownloadModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.column() >= kDownloadColumns) return {};
  const DownloadItem* item = find_(IdAt(index.row()));
  if (!item) return {};
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
      return FromGbk(RowTexts(*item).columns[static_cast<size_t>(column)]);
    case Qt::ToolTipRole:
      return FromGbk(RowTexts(*item).toolTip);
    case Qt::ForegroundRole:
      if ((column == kColumnSpeed || column == kColumnProgress) &&
          item->status == DownloadStatus::kFailed)
        return QBrush(QColor(0xB0, 0x20, 0x20));
      return {};
    case kIdRole:
      return item->id;
    case kSortRole:
      if (column == kColumnFileName) return {};
      return Key(*item, column);
    default:
      return {};
  }
}

QVariant DownloadModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kDownloadColumns) return {};
  if (role == Qt::DisplayRole) return QString::fromUtf8(kTitles[section]);
  // A first click on any column sorts upwards, whichever way the last column went.
  if (role == Qt::InitialSortOrderRole) return Qt::AscendingOrder;
  return {};
}

void DownloadModel::Reindex(size_t from) {
  for (size_t row = from; row < ids_.size(); ++row) rowOf_[ids_[row]] = static_cast<int>(row);
}

void DownloadModel::Add(int id) {
  if (rowOf_.count(id)) return;
  const int row = rowCount();
  beginInsertRows(QModelIndex(), row, row);
  ids_.push_back(id);
  rowOf_[id] = row;
  endInsertRows();
}

void DownloadModel::Sync(const std::vector<int>& ids) {
  // Rows that left go in runs from the end, so each run's rows are still where they were.
  const auto gone = [this](int id) { return find_(id) == nullptr; };
  bool removed = false;
  for (int last = rowCount() - 1; last >= 0;) {
    if (!gone(ids_[static_cast<size_t>(last)])) {
      --last;
      continue;
    }
    int first = last;
    while (first > 0 && gone(ids_[static_cast<size_t>(first - 1)])) --first;
    beginRemoveRows(QModelIndex(), first, last);
    for (int row = first; row <= last; ++row) rowOf_.erase(ids_[static_cast<size_t>(row)]);
    ids_.erase(ids_.begin() + first, ids_.begin() + last + 1);
    endRemoveRows();
    removed = true;
    last = first - 1;
  }
  if (removed) Reindex();
  std::vector<int> fresh;
  for (int id : ids)
    if (!rowOf_.count(id)) fresh.push_back(id);
  if (fresh.empty()) return;
  const size_t first = ids_.size();
  beginInsertRows(QModelIndex(), static_cast<int>(first),
                  static_cast<int>(first + fresh.size() - 1));
  ids_.insert(ids_.end(), fresh.begin(), fresh.end());
  Reindex(first);
  endInsertRows();
}

void DownloadModel::Remove(std::vector<int> ids) {
  std::vector<int> rows;
  for (int id : ids)
    if (const int row = RowOf(id); row >= 0) rows.push_back(row);
  if (rows.empty()) return;
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  // In runs from the end, so each run's rows are still where they were.
  for (size_t end = rows.size(); end > 0;) {
    size_t begin = end - 1;
    while (begin > 0 && rows[begin - 1] == rows[begin] - 1) --begin;
    const int first = rows[begin], last = rows[end - 1];
    beginRemoveRows(QModelIndex(), first, last);
    for (int row = first; row <= last; ++row) rowOf_.erase(ids_[static_cast<size_t>(row)]);
    ids_.erase(ids_.begin() + first, ids_.begin() + last + 1);
    endRemoveRows();
    end = begin;
  }
  Reindex(static_cast<size_t>(rows.front()));
}

void DownloadModel::Changed(const std::vector<int>& ids) {
  if (ids_.empty() || ids.empty()) return;
  const int last = kDownloadColumns - 1;
  // Most rows changing (all paused, say): one range, not a signal per row.
  if (ids.size() >= ids_.size() / 2) {
    emit dataChanged(index(0, 0), index(rowCount() - 1, last));
  } else {
    for (int id : ids) {
      const int row = RowOf(id);
      if (row >= 0) emit dataChanged(index(row, 0), index(row, last));
    }
  }
  // A value sorted by moved: the rows are sorted again only when one of those that changed
  // now stands out of order beside its neighbours.
  if (sortColumn_ < 0 || sortColumn_ == kColumnFileName) return;
  for (int id : ids)
    if (const int row = RowOf(id); row >= 0 && !InPlace(row)) return Resort();
}

double DownloadModel::KeyAt(int row) const {
  const DownloadItem* item = find_(IdAt(row));
  return item ? Key(*item, sortColumn_) : -1.0;
}

bool DownloadModel::InPlace(int row) const {
  const double key = KeyAt(row);
  const bool up = sortOrder_ == Qt::AscendingOrder;
  if (row > 0) {
    const double before = KeyAt(row - 1);
    if (up ? key < before : key > before) return false;
  }
  if (row + 1 < rowCount()) {
    const double after = KeyAt(row + 1);
    if (up ? after < key : after > key) return false;
  }
  return true;
}

void DownloadModel::sort(int column, Qt::SortOrder order) {
  sortColumn_ = column >= 0 && column < kDownloadColumns ? column : -1;
  sortOrder_ = order;
  Resort();
}

void DownloadModel::Resort() {
  if (sortColumn_ < 0 || ids_.size() < 2) return;
  // Each row's key made once, then compared: the rows' texts are not rebuilt per comparison.
  const size_t n = ids_.size();
  std::vector<size_t> rows(n);
  std::iota(rows.begin(), rows.end(), size_t{0});
  std::vector<int> order(n);
  if (sortColumn_ == kColumnFileName) {
    QCollator collator;
    std::vector<QCollatorSortKey> keys;
    keys.reserve(n);
    for (int id : ids_) {
      const DownloadItem* item = find_(id);
      keys.push_back(collator.sortKey(item ? FromGbk(item->Name()) : QString()));
    }
    std::stable_sort(rows.begin(), rows.end(), [&](size_t a, size_t b) {
      if (sortOrder_ == Qt::DescendingOrder) std::swap(a, b);
      return keys[a].compare(keys[b]) < 0;
    });
  } else {
    std::vector<double> keys;
    keys.reserve(n);
    for (int id : ids_) {
      const DownloadItem* item = find_(id);
      keys.push_back(item ? Key(*item, sortColumn_) : -1.0);
    }
    std::stable_sort(rows.begin(), rows.end(), [&](size_t a, size_t b) {
      if (sortOrder_ == Qt::DescendingOrder) std::swap(a, b);
      return keys[a] < keys[b];
    });
  }
  for (size_t i = 0; i < n; ++i) order[i] = ids_[rows[i]];
  if (order != ids_) Arrange(std::move(order));
}

void DownloadModel::Arrange(std::vector<int> order) {
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList before = persistentIndexList();
  std::vector<int> held;
  held.reserve(static_cast<size_t>(before.size()));
  for (const QModelIndex& index : before) held.push_back(IdAt(index.row()));
  ids_ = std::move(order);
  Reindex();
  QModelIndexList after;
  after.reserve(before.size());
  for (qsizetype i = 0; i < before.size(); ++i) {
    const int row = RowOf(held[static_cast<size_t>(i)]);
    after.push_back(row >= 0 ? index(row, before[i].column()) : QModelIndex());
  }
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

}  // namespace sf::app
