// The third tab, "正在下载": the save directory, the speed limit, the running downloads and
// the overall progress. The download logic lives in the core; this page is its view.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/controls.h"
#include "app/settings_file.h"
#include "download/download_list.h"

class QCheckBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace sf::app {

struct AppState;

class DownloadsTab : public TabPage, private DownloadsView {
  Q_OBJECT
 public:
  DownloadsTab(AppState& state, std::function<void(const std::string&)> showStatus,
               QWidget* parent = nullptr);

  // Starts a download of `address` saved as `fileName` (both GBK) into the save directory.
  void StartDownload(const std::string& fileName, const std::string& address);
  // The listed downloads (file name, address), in row order.
  std::vector<ListedDownload> Listed() const;
  std::string SaveDirectory() const override;  // GBK

  QLineEdit* saveDirectory() const { return saveDirectory_; }
  QPushButton* chooseDirectory() const { return choose_; }
  QCheckBox* limitBox() const { return limit_; }
  QLineEdit* limitValue() const { return limitValue_; }
  QTreeWidget* list() const { return list_; }
  QProgressBar* progress() const { return progress_; }
  QTimer* timer() const { return timer_; }

  // The folder browser: (parent, title, starting directory) -> the chosen directory, or ""
  // when cancelled. The platform's own by default; tests stand in for it.
  using FolderBrowser = std::function<QString(QWidget*, const QString&, const QString&)>;
  void SetFolderBrowser(FolderBrowser browser) { browseForFolder_ = std::move(browser); }

 private:
  void ChooseDirectory();
  void LimitClicked();
  void Poll();
  void Tell(const QString& text);

  int RowCount() const override;
  void InsertRow(int index, const std::string& fileName) override;
  void RemoveRow(int index) override;
  std::string Cell(int row, int column) const override;
  void SetCell(int row, int column, const std::string& text) override;
  void ShowStatus(const std::string& text) override;
  void SetProgress(int position) override;
  int TimerPeriod() const override;
  void StartTimer(int periodMs) override;

  AppState& state_;
  std::function<void(const std::string&)> showStatus_;
  QLineEdit* saveDirectory_;
  QPushButton* choose_;
  QCheckBox* limit_;
  QLineEdit* limitValue_;
  QTreeWidget* list_;
  QProgressBar* progress_;
  QTimer* timer_;
  FolderBrowser browseForFolder_;
};

}  // namespace sf::app
