// The fourth tab, "未完成的下载": downloads that were still running when the program last
// closed.
#pragma once

#include "app/controls.h"

class QTreeWidget;

namespace sf::app {

class UnfinishedTab : public TabPage {
  Q_OBJECT
 public:
  explicit UnfinishedTab(QWidget* parent = nullptr);
  QTreeWidget* list() const { return list_; }

 private:
  QTreeWidget* list_;
};

}  // namespace sf::app
