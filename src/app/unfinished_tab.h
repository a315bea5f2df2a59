// The fourth tab, "未完成的下载": downloads that were still running when the program last
// closed. A double click on one starts it again.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/controls.h"
#include "app/settings_file.h"

class QTreeWidget;

namespace sf::app {

class UnfinishedTab : public TabPage {
  Q_OBJECT
 public:
  explicit UnfinishedTab(QWidget* parent = nullptr);
  QTreeWidget* list() const { return list_; }

  void SetRows(const std::vector<UnfinishedDownload>& rows);
  // Receives a double-clicked row's file name and address (GBK).
  void SetStartDownload(std::function<void(const std::string&, const std::string&)> start);

 private:
  QTreeWidget* list_;
  std::function<void(const std::string&, const std::string&)> start_;
};

}  // namespace sf::app
