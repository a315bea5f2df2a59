// The main window: one tab control with four pages and a two-part status bar at the bottom.
#pragma once

#include <QMainWindow>
#include <functional>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/unfinished_tab.h"

class QLabel;
class QMenu;
class QTabWidget;

namespace sf::app {

class DownloadsTab;
class QuickTab;
class RemoteDialog;
class ResolveTab;

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

  // Asks before a close stops downloads under way: (parent, how many run or wait) -> close. A
  // question box by default; tests stand in for it.
  using CloseConfirm = std::function<bool(QWidget*, int)>;
  void SetCloseConfirm(CloseConfirm confirm) { confirmClose_ = std::move(confirm); }
  // The question the user sees: stop them and close, or stay.
  static bool AskToStopDownloads(QWidget* parent, int downloads);

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
  // Starts remembered downloads again; says of each how the download list took it.
  std::vector<UnfinishedTab::Taken> RestartRemembered(const std::vector<UnfinishedDownload>& rows);
  // What the settings file keeps at a close: the listed downloads not finished, then the
  // remembered ones the list does not hold, unless their file is whole. The first are made
  // into `listed`, the rest point into the unfinished tab's rows.
  std::vector<const UnfinishedDownload*> ToRemember(std::vector<UnfinishedDownload>& listed) const;

  AppState& state_;
  QTabWidget* tabs_;
  QLabel* status_;
  QMenu* statusMenu_;
  ResolveTab* resolve_;
  QuickTab* quick_;
  DownloadsTab* downloads_;
  UnfinishedTab* unfinished_;
  CloseConfirm confirmClose_;
};

}  // namespace sf::app
