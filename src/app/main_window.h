// The main window: one tab control with four pages and a two-part status bar at the bottom.
#pragma once

#include <QMainWindow>
#include <memory>
#include <string>

#include "base/settings_file.h"
#include "download/download_engine.h"
#include "module/window_skin.h"

class QLabel;
class QMenu;
class QTabWidget;

namespace sf {
class ShareSession;
}

namespace sf::app {

class DownloadsTab;
class QuickTab;
class RemoteDialog;
class ResolveTab;
class UnfinishedTab;

// The program-wide objects the window's handlers share, made in this order at start and
// released in the reverse order at the end: the module loader of the skin library, the share
// session, the engine. The downloads themselves live in the downloads tab's queue.
struct AppState {
  WindowSkin skin;  // the module loader holding the skin library, when one is carried
  std::shared_ptr<ShareSession> session;
  std::unique_ptr<DownloadEngine> engine;  // null when the engine library did not load
  std::string engineError;                 // then why, naming the library's path
  std::string programDirectory;            // file-system path of the program's own directory
  std::string saveDirectory;  // where downloads start; empty: <programDirectory>/下载内容
  SettingsPaths settings;
  RemoteSettings remote;  // the remote downloader, as the settings file holds it
};

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(AppState& state, QWidget* parent = nullptr);

  // Part 1 of the status bar; every message replaces the whole text. GBK.
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
