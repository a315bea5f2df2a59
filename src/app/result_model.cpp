#include "app/result_model.h"

#include <algorithm>
#include <numeric>

#include "app/controls.h"
#include "app/qt_text.h"
#include "share/resolve_driver.h"

namespace sf::app {

namespace {

constexpr int kColumns = 4;
const char* const kTitles[kColumns] = {"编号", "文件名", "文件大小", "下载地址"};

bool IsFolder(const FileEntry& e) {
  return e.isdir == "1";
}

// The bytes a size text names, -1 for none (a folder, or a text that is no number).
qlonglong Bytes(const FileEntry& e) {
  if (IsFolder(e) || e.size.empty() || e.size.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  bool ok = false;
  qlonglong bytes = QByteArray::fromStdString(e.size).toLongLong(&ok);
  return ok ? bytes : -1;
}

}  // namespace

ResultModel::ResultModel(QObject* parent)
    : QAbstractTableModel(parent), nameTitle_(QString::fromUtf8(kTitles[1])) {}

const std::vector<FileEntry>& ResultModel::Entries() const {
  return parsed_ ? parsed_->entries() : running_;
}

int ResultModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(Entries().size());
}

int ResultModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumns;
}

Qt::ItemFlags ResultModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

size_t ResultModel::EntryAt(int row) const {
  if (row < 0) return Entries().size();
  const auto r = static_cast<size_t>(row);
  if (order_.empty()) return r;
  return r < order_.size() ? order_[r] : Entries().size();
}

QString ResultModel::Text(size_t entry, int column) const {
  const FileEntry& e = Entries()[entry];
  switch (column) {
    case 0:
      return QString::number(entry + 1);
    case 1:
      return FromGbk(e.server_filename);
    case 2:
      return IsFolder(e) ? QString() : FromGbk(e.size);
    default:
      if (IsFolder(e)) return QString();
      // A parse that ended gave no link past its position: it was stopped there, or failed.
      if (parsed_ && static_cast<int>(entry) + 1 >= parsed_->position())
        return QStringLiteral("用户主动放弃解析或解析失败");
      return FromGbk(e.dlink);
  }
}

QVariant ResultModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.column() >= kColumns) return {};
  const size_t entry = EntryAt(index.row());
  if (entry >= Entries().size()) return {};
  const FileEntry& e = Entries()[entry];
  switch (role) {
    case Qt::DisplayRole:
      return Text(entry, index.column());
    case Qt::ToolTipRole:
      // Where each file lives in the share.
      if (IsFolder(e)) return {};
      return QStringLiteral("所在文件夹：/") + FromGbk(e.folder_path);
    case Qt::DecorationRole:
      if (index.column() == 1 && IsFolder(e)) return folderIcon_;
      return {};
    case kSortRole:
      if (index.column() == 0) return static_cast<qlonglong>(entry + 1);
      if (index.column() == 2) return Bytes(e);
      return {};
    default:
      return {};
  }
}

QVariant ResultModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumns) return {};
  if (role == Qt::DisplayRole)
    return section == 1 ? nameTitle_ : QString::fromUtf8(kTitles[section]);
  // A first click on any column sorts upwards, whichever way the last column went.
  if (role == Qt::InitialSortOrderRole) return Qt::AscendingOrder;
  return {};
}

bool ResultModel::setHeaderData(int section, Qt::Orientation orientation, const QVariant& value,
                                int role) {
  if (orientation != Qt::Horizontal || section != 1 || role != Qt::EditRole) return false;
  nameTitle_ = value.toString();
  emit headerDataChanged(orientation, section, section);
  return true;
}

void ResultModel::Clear() {
  beginResetModel();
  std::vector<FileEntry>().swap(running_);
  parsed_.reset();
  order_.clear();
  keysColumn_ = -1;
  files_ = folders_ = links_ = 0;
  linksChanged_ = false;
  endResetModel();
  setHeaderData(1, Qt::Horizontal, QString::fromUtf8(kTitles[1]));
}

void ResultModel::Count(const FileEntry& e) {
  ++(IsFolder(e) ? folders_ : files_);
}

void ResultModel::Append(std::vector<FileEntry> more) {
  if (more.empty() || parsed_) return;
  const size_t first = running_.size();
  beginInsertRows(QModelIndex(), static_cast<int>(first),
                  static_cast<int>(first + more.size() - 1));
  for (FileEntry& e : more) {
    Count(e);
    running_.push_back(std::move(e));
    if (sortColumn_ >= 0) order_.push_back(running_.size() - 1);
  }
  endInsertRows();
  if (sortColumn_ >= 0) Reorder(first);
}

void ResultModel::SetLink(size_t entry, std::string link) {
  if (parsed_ || entry >= running_.size()) return;
  if (running_[entry].dlink.empty() && !link.empty()) ++links_;
  running_[entry].dlink = std::move(link);
  linksChanged_ = true;
}

void ResultModel::Refresh() {
  if (!std::exchange(linksChanged_, false) || Entries().empty()) return;
  const int last = rowCount() - 1;
  // A sort by link stays as it was until the parse ends: sorting again for every few links
  // would cost a pass over all rows each time.
  emit dataChanged(index(0, 3), index(last, 3), {Qt::DisplayRole});
}

void ResultModel::Finish(std::shared_ptr<const ResolveDriver> parsed) {
  const size_t before = Entries().size(), after = parsed ? parsed->entries().size() : 0;
  // The links and their marks are the parse's own now: a sort by them is made afresh.
  if (keysColumn_ == 3) keysColumn_ = -1;
  if (after < before) {
    // The parse listed less than it sent: nothing of the old rows can stand.
    beginResetModel();
    order_.clear();
    keysColumn_ = -1;
  } else if (after > before) {
    beginInsertRows(QModelIndex(), static_cast<int>(before), static_cast<int>(after - 1));
  }
  std::vector<FileEntry>().swap(running_);
  parsed_ = std::move(parsed);
  files_ = folders_ = links_ = 0;
  linksChanged_ = false;
  for (size_t i = 0; i < after; ++i) {
    const FileEntry& e = parsed_->entries()[i];
    Count(e);
    if (!IsFolder(e) && static_cast<int>(i) + 1 < parsed_->position()) ++links_;
  }
  if (after < before) {
    endResetModel();
  } else if (after > before) {
    if (sortColumn_ >= 0)
      for (size_t i = before; i < after; ++i) order_.push_back(i);
    endInsertRows();
  }
  if (after > 0) emit dataChanged(index(0, 0), index(static_cast<int>(after) - 1, kColumns - 1));
  if (sortColumn_ >= 0) Reorder(after < before || keysColumn_ < 0 ? 0 : before);
}

void ResultModel::sort(int column, Qt::SortOrder order) {
  sortColumn_ = column >= 0 && column < kColumns ? column : -1;
  sortOrder_ = order;
  Reorder();
}

void ResultModel::MakeKeys(size_t count) {
  if (keysColumn_ != sortColumn_) {
    numberKeys_.clear();
    textKeys_.clear();
    keysColumn_ = sortColumn_;
  }
  const std::vector<FileEntry>& entries = Entries();
  if (sortColumn_ == 2) {
    for (size_t i = numberKeys_.size(); i < count; ++i) numberKeys_.push_back(Bytes(entries[i]));
  } else if (sortColumn_ == 1 || sortColumn_ == 3) {
    textKeys_.reserve(count);
    for (size_t i = textKeys_.size(); i < count; ++i)
      textKeys_.push_back(collator_.sortKey(Text(i, sortColumn_)));
  }
}

bool ResultModel::Less(size_t a, size_t b) const {
  // Downwards is upwards with the two swapped, so equal rows keep their order either way.
  if (sortOrder_ == Qt::DescendingOrder) std::swap(a, b);
  if (sortColumn_ == 2) return numberKeys_[a] < numberKeys_[b];
  if (sortColumn_ == 1 || sortColumn_ == 3) return textKeys_[a].compare(textKeys_[b]) < 0;
  return a < b;
}

void ResultModel::Reorder(size_t sorted) {
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList before = persistentIndexList();
  std::vector<size_t> held;
  held.reserve(static_cast<size_t>(before.size()));
  for (const QModelIndex& index : before) held.push_back(EntryAt(index.row()));

  const size_t n = Entries().size();
  if (sortColumn_ < 0) {
    order_.clear();
  } else {
    MakeKeys(n);
    auto less = [this](size_t a, size_t b) { return Less(a, b); };
    if (sorted == 0 || sorted > n || order_.size() != n) {
      order_.resize(n);
      std::iota(order_.begin(), order_.end(), size_t{0});
      std::stable_sort(order_.begin(), order_.end(), less);
    } else {
      // New rows have later entries than all before them, so a stable merge keeps equal rows
      // in the share's order, as a sort of them all would.
      const auto middle = order_.begin() + static_cast<std::ptrdiff_t>(sorted);
      std::stable_sort(middle, order_.end(), less);
      std::inplace_merge(order_.begin(), middle, order_.end(), less);
    }
  }

  std::vector<int> rowOf(n);
  for (size_t row = 0; row < n; ++row)
    rowOf[EntryAt(static_cast<int>(row))] = static_cast<int>(row);
  QModelIndexList after;
  after.reserve(before.size());
  for (qsizetype i = 0; i < before.size(); ++i) {
    const size_t entry = held[static_cast<size_t>(i)];
    after.push_back(entry < n ? index(rowOf[entry], before[i].column()) : QModelIndex());
  }
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

}  // namespace sf::app
