// The fourth tab, "未完成的下载": downloads that were still unfinished when the program last
// closed. A double click, Enter or the menu's 继续下载 starts the chosen ones again, each into
// its own directory; 全部继续 starts every one; 删除 forgets them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/controls.h"
#include "base/settings_file.h"

class QAction;
class QMenu;
class QTreeWidget;

namespace sf::app {

// The row's file is on disk at its known size, with no partial beside it: nothing is left to
// download. A row of unknown size is never taken for whole.
bool WholeOnDisk(const UnfinishedDownload& row);

class UnfinishedTab : public TabPage {
  Q_OBJECT
 public:
  explicit UnfinishedTab(QWidget* parent = nullptr);
  QTreeWidget* list() const { return list_; }
  QMenu* menu() const { return menu_; }

  void SetRows(const std::vector<UnfinishedDownload>& rows);
  // Receives the downloads to start again, all the chosen ones at once, and says of each
  // whether the download list holds it now; one it does not stays the tab's to remember.
  using Starter = std::function<std::vector<bool>(const std::vector<UnfinishedDownload>&)>;
  void SetStartDownloads(Starter start);
  // The rows that were neither handed to the download list nor deleted in this run, to be
  // remembered again until their file is whole.
  std::vector<UnfinishedDownload> NotRestarted() const;

 private:
  void Start(const std::vector<int>& rows);
  std::vector<int> SelectedRows() const;
  void ShowMenu(const QPoint& at);
  void Delete();

  QTreeWidget* list_;
  QMenu* menu_;
  QAction* resume_;
  QAction* resumeAll_;
  QAction* delete_;
  // Row i of the list; a row keeps its index in the data of its first column.
  std::vector<UnfinishedDownload> rows_;
  std::vector<bool> restarted_;
  std::vector<bool> deleted_;
  Starter start_;
};

}  // namespace sf::app
