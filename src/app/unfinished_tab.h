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

class UnfinishedTab : public TabPage {
  Q_OBJECT
 public:
  explicit UnfinishedTab(QWidget* parent = nullptr);
  QTreeWidget* list() const { return list_; }
  QMenu* menu() const { return menu_; }

  void SetRows(const std::vector<UnfinishedDownload>& rows);
  // Receives each download to start again.
  void SetStartDownload(std::function<void(const UnfinishedDownload&)> start);
  // The rows that were neither started again nor deleted in this run, to be remembered again.
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
  std::function<void(const UnfinishedDownload&)> start_;
};

}  // namespace sf::app
