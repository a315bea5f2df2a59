// The main window: one tab control with four pages and a two-part status bar at the bottom.
#pragma once

#include <QMainWindow>
#include <string>

#include "app/app_state.h"

class QLabel;
class QMenu;
class QTabWidget;

namespace sf::app {

class DownloadsTab;
class QuickTab;
class RemoteDialog;
class ResolveTab;
class UnfinishedTab;

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(AppState& state, QWidget* parent = nullptr);

  // The status bar's first part; every message replaces the whole text. GBK.
  void ShowStatus(const std::string& text);

  ResolveTab* resolveTab() const { return resolve_; }
  QuickTab* quickTab() const { return quick_; }
  DownloadsTab* downloadsTab() const { return downloads_; }
  UnfinishedTab* unfinishedTab() const { return unfinished_; }

  // Opens the remote downloader's settings without blocking; what is confirmed there is kept
  // and saved at once. The dialog deletes itself when closed.
  RemoteDialog* ShowRemoteSettings();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void SetUp();
  void AttachSkin();
  void ShowStatusMenu(const QPoint& at);
  void AddSettingsButton();
  void DecorateDownloads();
  QString StartDirectory() const;
  void RestoreDownloadSettings(const DownloadSettings& kept);

  AppState& state_;
  QTabWidget* tabs_;
  QLabel* status_;
  QMenu* statusMenu_;
  ResolveTab* resolve_;
  QuickTab* quick_;
  DownloadsTab* downloads_;
  UnfinishedTab* unfinished_;
};

}  // namespace sf::app
