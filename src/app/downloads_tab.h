// The third tab, "正在下载": the save directory, the speed limit, the running downloads and
// the overall progress.
#pragma once

#include "app/controls.h"

class QCheckBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace sf::app {

class DownloadsTab : public TabPage {
  Q_OBJECT
 public:
  explicit DownloadsTab(QWidget* parent = nullptr);

  QLineEdit* saveDirectory() const { return saveDirectory_; }
  QPushButton* chooseDirectory() const { return choose_; }
  QCheckBox* limitBox() const { return limit_; }
  QLineEdit* limitValue() const { return limitValue_; }
  QTreeWidget* list() const { return list_; }
  QProgressBar* progress() const { return progress_; }
  QTimer* timer() const { return timer_; }

 private:
  QLineEdit* saveDirectory_;
  QPushButton* choose_;
  QCheckBox* limit_;
  QLineEdit* limitValue_;
  QTreeWidget* list_;
  QProgressBar* progress_;
  QTimer* timer_;
};

}  // namespace sf::app
