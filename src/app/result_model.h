// The rows of the first tab's result list: one per entry of a parse, read from the entries
// themselves when the view draws them, so a share of hundreds of thousands of files costs no
// object per row. While a parse runs the model holds what the worker has sent so far; once it
// ended, the parse's own entries.
#pragma once

#include <QAbstractTableModel>
#include <QCollator>
#include <QIcon>
#include <memory>
#include <string>
#include <vector>

#include "share/share_session.h"

namespace sf {
class ResolveDriver;
}

namespace sf::app {

class ResultModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit ResultModel(QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  bool setHeaderData(int section, Qt::Orientation orientation, const QVariant& value,
                     int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // Sorts the rows by a column's value (a size by its bytes, a number as a number, texts in the
  // language's order), equal ones keeping their order; -1 puts them back in the share's order.
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

  // No rows: a parse starts.
  void Clear();
  // More entries a running parse listed, following those it sent before.
  void Append(std::vector<FileEntry> more);
  // The link of the entry at `entry` came while the parse runs; it shows on the next Refresh.
  void SetLink(size_t entry, std::string link);
  // Shows the links that came since the last call.
  void Refresh();
  // The parse ended: the rows are its entries from now on, those from its position on marked as
  // having no link.
  void Finish(std::shared_ptr<const ResolveDriver> parsed);

  // The entry a row shows (its place in the parse), whatever order a sort put the rows in.
  size_t EntryAt(int row) const;
  // The entries a running parse sent, each with the link SetLink gave it; emptied by Clear and
  // Finish.
  const std::vector<FileEntry>& running() const { return running_; }
  size_t files() const { return files_; }
  size_t folders() const { return folders_; }
  size_t links() const { return links_; }

  void SetFolderIcon(const QIcon& icon) { folderIcon_ = icon; }

 private:
  const std::vector<FileEntry>& Entries() const;
  QString Text(size_t entry, int column) const;
  void Count(const FileEntry& e);
  // Puts rows in the order of the sort chosen, keeping the view's selection on its entries:
  // the first `sorted` rows are in that order already and the rest are new, sorted apart and
  // merged in; 0 sorts them all.
  void Reorder(size_t sorted = 0);
  // Each row's key for the sort column, made once per entry: comparing texts in the language's
  // order row by row, many times over, is what made a large list slow to sort.
  void MakeKeys(size_t count);
  bool Less(size_t a, size_t b) const;

  std::vector<FileEntry> running_;  // a parse under way: what its worker sent
  std::shared_ptr<const ResolveDriver> parsed_;
  std::vector<size_t> order_;  // row to entry while sorted; empty in the share's order
  int sortColumn_ = -1;
  Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
  int keysColumn_ = -1;
  std::vector<qlonglong> numberKeys_;
  std::vector<QCollatorSortKey> textKeys_;
  QCollator collator_;
  size_t files_ = 0, folders_ = 0, links_ = 0;
  bool linksChanged_ = false;
  QString nameTitle_;
  QIcon folderIcon_;
};

}  // namespace sf::app
