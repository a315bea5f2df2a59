// The fourth tab, "未完成的下载": downloads that were still unfinished when the program last
// closed. A double click on one starts it again, into its own directory.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/controls.h"
#include "base/settings_file.h"

class QTreeWidget;

namespace sf::app {

class UnfinishedTab : public TabPage {
  Q_OBJECT
 public:
  explicit UnfinishedTab(QWidget* parent = nullptr);
  QTreeWidget* list() const { return list_; }

  void SetRows(const std::vector<UnfinishedDownload>& rows);
  // Receives a double-clicked row's download.
  void SetStartDownload(std::function<void(const UnfinishedDownload&)> start);
  // The rows that were not started again in this run, to be remembered once more.
  std::vector<UnfinishedDownload> NotRestarted() const;

 private:
  QTreeWidget* list_;
  std::vector<UnfinishedDownload> rows_;  // row i of the list
  std::vector<bool> restarted_;
  std::function<void(const UnfinishedDownload&)> start_;
};

}  // namespace sf::app
