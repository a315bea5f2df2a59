#include "app/unfinished_tab.h"

#include <dirent.h>
#include <sys/stat.h>

#include <QAction>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <cerrno>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "app/controls.h"
#include "app/qt_text.h"
#include "base/encoding.h"
#include "download/download_queue.h"
#include "view/download_list.h"

namespace sf::app {
namespace {

constexpr int kColumns = 3;
const char* const kTitles[kColumns] = {"文件名", "下载地址", "保存目录"};
constexpr int kWidths[kColumns] = {120, 70, 520};
// Up to this many separate runs of rows go out one run at a time, which keeps the selection
// and the place in the list as they are; more go in one reset.
constexpr size_t kFewRuns = 32;

// How the download stood at the last close, for the row's tooltip.
QString StandingText(const UnfinishedDownload& r) {
  QString text;
  if (r.state == UnfinishedDownload::State::kPaused) text = QStringLiteral("已暂停");
  if (r.state == UnfinishedDownload::State::kFailed) text = QStringLiteral("失败");
  QString bytes;
  if (r.expectedSize > 0) {
    double percent = static_cast<double>(r.done) * 100.0 / static_cast<double>(r.expectedSize);
    bytes = FromGbk(SizeText(r.done, SizeStyle::kWindow)) + QStringLiteral(" / ") +
            FromGbk(SizeText(r.expectedSize, SizeStyle::kWindow)) +
            QStringLiteral("（%1%）").arg(percent, 0, 'f', 2);
  } else if (r.done > 0) {
    bytes = FromGbk(SizeText(r.done, SizeStyle::kWindow));
  }
  if (!bytes.isEmpty()) bytes = QStringLiteral("已下载 ") + bytes;
  if (text.isEmpty()) return bytes;
  return bytes.isEmpty() ? text : text + QStringLiteral("，") + bytes;
}

}  // namespace

// The file itself is looked at first: most rows of a big queue have none yet, and a close
// looks at every row.
bool WholeOnDisk(const UnfinishedDownload& row) {
  if (row.expectedSize < 0 || row.fileName.empty()) return false;
  std::string path = GbkToUtf8(row.saveDirectory);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  path += "/" + GbkToUtf8(row.fileName);
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == row.expectedSize &&
         !HasPartialFiles(row.saveDirectory, row.fileName);
}

std::vector<char> WholeOnDisk(const std::vector<const UnfinishedDownload*>& rows) {
  std::vector<char> whole(rows.size(), 0);
  // The names in each directory a row of known size names; none read: the directory could not
  // be, and each of its rows is looked at alone.
  std::unordered_map<std::string, std::optional<std::unordered_set<std::string>>> names;
  for (size_t i = 0; i < rows.size(); ++i) {
    const UnfinishedDownload& row = *rows[i];
    if (row.expectedSize < 0 || row.fileName.empty()) continue;
    std::string dir = GbkToUtf8(row.saveDirectory);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    auto [at, fresh] = names.try_emplace(dir);
    if (fresh) {
      if (DIR* d = ::opendir(dir.c_str())) {
        at->second.emplace();
        while (const dirent* e = ::readdir(d)) at->second->insert(e->d_name);
        ::closedir(d);
      } else if (errno == ENOENT) {
        at->second.emplace();  // no directory, no file in it
      }
    }
    if (!at->second || at->second->count(GbkToUtf8(row.fileName)))
      whole[i] = WholeOnDisk(row) ? 1 : 0;
  }
  return whole;
}

int UnfinishedModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(shown_.size());
}

int UnfinishedModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumns;
}

Qt::ItemFlags UnfinishedModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

QVariant UnfinishedModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= kColumns) return {};
  const UnfinishedDownload& r = rows_[IndexAt(index.row())];
  if (role == Qt::DisplayRole) {
    switch (index.column()) {
      case 0:
        return FromGbk(r.fileName);
      case 1:
        return FromGbk(r.address);
      default:
        return FromGbk(r.saveDirectory);
    }
  }
  if (role == Qt::ToolTipRole) {
    QString standing = StandingText(r);
    return standing.isEmpty() ? QVariant() : QVariant(standing);
  }
  return {};
}

QVariant UnfinishedModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumns ||
      role != Qt::DisplayRole)
    return {};
  return QString::fromUtf8(kTitles[section]);
}

void UnfinishedModel::SetRows(std::vector<UnfinishedDownload> rows) {
  beginResetModel();
  rows_ = std::move(rows);
  shown_.resize(rows_.size());
  for (size_t i = 0; i < shown_.size(); ++i) shown_[i] = i;
  endResetModel();
}

void UnfinishedModel::Take(const std::vector<int>& rows) {
  std::vector<std::pair<int, int>> runs;
  for (int row : rows) {
    if (row < 0 || row >= rowCount()) continue;
    if (!runs.empty() && runs.back().second + 1 == row)
      runs.back().second = row;
    else if (runs.empty() || runs.back().second < row)
      runs.emplace_back(row, row);
  }
  if (runs.empty()) return;
  if (runs.size() <= kFewRuns) {
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
      beginRemoveRows(QModelIndex(), run->first, run->second);
      shown_.erase(shown_.begin() + run->first, shown_.begin() + run->second + 1);
      endRemoveRows();
    }
    return;
  }
  beginResetModel();
  std::vector<char> gone(shown_.size(), 0);
  for (const auto& [first, last] : runs)
    std::fill(gone.begin() + first, gone.begin() + last + 1, 1);
  size_t kept = 0;
  for (size_t row = 0; row < shown_.size(); ++row)
    if (!gone[row]) shown_[kept++] = shown_[row];
  shown_.resize(kept);
  endResetModel();
}

UnfinishedTab::UnfinishedTab(QWidget* parent) : TabPage(parent) {
  list_ = Place(new QTreeView(this), "超级列表框3", 16, 40, 432, 320);
  model_ = new UnfinishedModel(list_);
  list_->setModel(model_);
  ShapeAsReportList(list_);
  for (int column = 0; column < kColumns; ++column) list_->setColumnWidth(column, kWidths[column]);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  batches_ = new QTimer(this);
  batches_->setSingleShot(true);
  batches_->setInterval(0);
  connect(batches_, &QTimer::timeout, this, &UnfinishedTab::StartBatch);
  // Only a double click on a row counts; one on the empty part of the list starts nothing.
  connect(list_, &QTreeView::doubleClicked, this, [this](const QModelIndex& index) {
    if (index.isValid()) Start({model_->IndexAt(index.row())});
  });
  menu_ = new QMenu(this);
  menu_->setObjectName(QStringLiteral("未完成菜单"));
  resume_ = AddAction(menu_, "继续下载");
  resumeAll_ = AddAction(menu_, "全部继续");
  menu_->addSeparator();
  delete_ = AddAction(menu_, "删除");
  connect(resume_, &QAction::triggered, this, [this] { Start(SelectedIndexes()); });
  connect(resumeAll_, &QAction::triggered, this, [this] {
    std::vector<size_t> all;
    all.reserve(static_cast<size_t>(model_->rowCount()));
    // Rows started already in this run are under way on 正在下载; a second start would only
    // make a second download of the same file.
    for (int row = 0; row < model_->rowCount(); ++row)
      if (size_t i = model_->IndexAt(row); taken_[i] == Taken::kNo) all.push_back(i);
    Start(all);
  });
  connect(delete_, &QAction::triggered, this, &UnfinishedTab::Delete);
  connect(list_, &QTreeView::customContextMenuRequested, this, &UnfinishedTab::ShowMenu);
  OnMenuKey(list_, [this](const QPoint& at) { ShowMenu(at); });
  for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
    auto* enter =
        new QShortcut(QKeySequence(key), list_, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    connect(enter, &QShortcut::activated, this, [this] { Start(SelectedIndexes()); });
  }
  auto* del = new QShortcut(QKeySequence(Qt::Key_Delete), list_, nullptr, nullptr,
                            Qt::WidgetWithChildrenShortcut);
  connect(del, &QShortcut::activated, this, &UnfinishedTab::Delete);
}

void UnfinishedTab::SetRows(std::vector<UnfinishedDownload> rows) {
  batches_->stop();
  waiting_.clear();
  taken_.assign(rows.size(), Taken::kNo);
  deleted_.assign(rows.size(), 0);
  queued_.assign(rows.size(), 0);
  model_->SetRows(std::move(rows));
}

void UnfinishedTab::SetStartDownloads(Starter start) {
  start_ = std::move(start);
}

// A row started again stays listed, as it always did. The rows wait their turn in the order
// chosen; a row chosen again while it waits keeps its place.
void UnfinishedTab::Start(const std::vector<size_t>& indexes) {
  if (!start_) return;
  for (size_t i : indexes) {
    if (i >= deleted_.size() || deleted_[i] || queued_[i]) continue;
    queued_[i] = 1;
    waiting_.push_back(i);
  }
  if (!waiting_.empty() && !batches_->isActive()) StartBatch();
}

// The rows of a batch go together, so the files of one share are planned as one.
void UnfinishedTab::StartBatch() {
  std::vector<size_t> chosen;
  std::vector<UnfinishedDownload> downloads;
  while (!waiting_.empty() && chosen.size() < kBatch) {
    const size_t i = waiting_.front();
    waiting_.pop_front();
    queued_[i] = 0;
    if (deleted_[i]) continue;
    chosen.push_back(i);
    downloads.push_back(model_->downloads()[i]);
  }
  if (chosen.empty() || !start_) return;
  std::vector<Taken> taken = start_(downloads);
  // No answer at all: nothing can start now (the engine is missing). The user was told once;
  // the rows stay remembered, as they were.
  if (taken.empty()) {
    for (size_t i : waiting_) queued_[i] = 0;
    waiting_.clear();
    return;
  }
  // A row started again by hand keeps the better standing it had.
  for (size_t k = 0; k < chosen.size() && k < taken.size(); ++k)
    if (taken_[chosen[k]] != Taken::kListed && taken[k] != Taken::kNo) taken_[chosen[k]] = taken[k];
  if (!waiting_.empty()) batches_->start();
}

std::vector<int> UnfinishedTab::SelectedRows() const {
  std::vector<char> marked(static_cast<size_t>(model_->rowCount()), 0);
  for (const QItemSelectionRange& range : list_->selectionModel()->selection())
    for (int row = std::max(range.top(), 0); row <= range.bottom() && row < model_->rowCount();
         ++row)
      marked[static_cast<size_t>(row)] = 1;
  std::vector<int> rows;
  for (size_t row = 0; row < marked.size(); ++row)
    if (marked[row]) rows.push_back(static_cast<int>(row));
  return rows;
}

std::vector<size_t> UnfinishedTab::SelectedIndexes() const {
  std::vector<size_t> indexes;
  for (int row : SelectedRows()) indexes.push_back(model_->IndexAt(row));
  return indexes;
}

void UnfinishedTab::ShowMenu(const QPoint& at) {
  // A right click on a row outside the selection selects that row alone, as file lists do.
  if (QModelIndex index = list_->indexAt(at);
      index.isValid() && !list_->selectionModel()->isRowSelected(index.row(), QModelIndex()))
    list_->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  bool selected = list_->selectionModel()->hasSelection();
  resume_->setEnabled(selected);
  delete_->setEnabled(selected);
  resumeAll_->setEnabled(model_->rowCount() > 0);
  menu_->popup(list_->viewport()->mapToGlobal(at));
}

// The rows go for good: they are not remembered at the next close, and one still waiting for
// its batch does not start. Their partial files stay.
void UnfinishedTab::Delete() {
  const std::vector<int> rows = SelectedRows();
  if (rows.empty()) return;
  for (int row : rows) deleted_[model_->IndexAt(row)] = 1;
  const int top = list_->verticalScrollBar()->value();
  model_->Take(rows);
  // Taken out in one reset, the list would go back to its top: it stays where the user was,
  // on the row that came in place of the first one taken.
  list_->doItemsLayout();
  list_->verticalScrollBar()->setValue(top);
  if (int next = std::min(rows.front(), model_->rowCount() - 1); next >= 0)
    list_->selectionModel()->setCurrentIndex(model_->index(next, 0), QItemSelectionModel::NoUpdate);
}

std::vector<const UnfinishedDownload*> UnfinishedTab::NotListed() const {
  std::vector<const UnfinishedDownload*> out;
  const std::vector<UnfinishedDownload>& rows = model_->downloads();
  for (size_t i = 0; i < rows.size(); ++i)
    if (taken_[i] != Taken::kListed && !deleted_[i]) out.push_back(&rows[i]);
  return out;
}

}  // namespace sf::app
