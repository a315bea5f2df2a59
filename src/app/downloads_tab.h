// The third tab, "正在下载": the save directory, the speed limit, the downloads and the overall
// progress. The downloads live in the core's back-ends: our engine's DownloadManager, which this
// page makes once the engine may start, and one RemoteDownloads per remote downloader a share
// was sent to, whose files are rows like any other (their ids come from the same source). It
// renders their items once a second, moves each as soon as its WakeFd says there is news (else
// on that timer), and hands the user's choices (start, pause, resume, retry, delete, the speed
// limit) to the back-end that holds the item.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/controls.h"
#include "base/settings_file.h"
#include "download/download_manager.h"
#include "download/remote_downloads.h"
#include "view/download_list.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QSocketNotifier;
class QTimer;
class QTreeView;

namespace sf::app {

struct AppState;
class DownloadModel;

class DownloadsTab : public TabPage {
  Q_OBJECT
 public:
  // A share of this many files or more is planned aside (DownloadManager::SetPlanAsideFrom).
  static constexpr size_t kPlanAsideFrom = 2000;
  DownloadsTab(AppState& state, std::function<void(const std::string&)> showStatus,
               QWidget* parent = nullptr);
  ~DownloadsTab() override;

  // Makes the owner of the downloads, which starts the engine; until then, and for good while
  // the engine library is missing, nothing can download.
  void StartEngine();
  // Queues a download (texts GBK); without a directory it goes to the save directory.
  void StartDownload(DownloadRequest request);
  // Runs `start`, which queues many downloads at once, and shows the list once, after it.
  void StartTogether(const std::function<void()>& start);
  // Hands a share to the remote downloader `remote` names, and follows its files there as rows
  // that leave once complete; the settings file leaves them alone. `done` gets the hand-off
  // once it is over.
  using HandOffDone = std::function<void(const SpreadHandOff&)>;
  void SendToRemote(const RemoteSettings& remote, ShareOrder order, HandOffDone done);
  // Shares are being handed to remote downloaders, or their files followed there.
  bool following() const;
  // Ends the following, for good; the downloads go on over there.
  void StopFollowing();
  // The downloads not finished, in list order, for the settings file.
  std::vector<UnfinishedDownload> Unfinished() const;
  std::string SaveDirectory() const;  // GBK
  // The limit's box and value as a last run left them, applied when ticked.
  void RestoreSpeedLimit(const std::string& value, bool on);
  // The value of the limit the downloads run under while the box is ticked, else the one
  // typed (GBK): what the next start applies.
  std::string SpeedLimitInEffect() const;

  // Null while the engine library is missing.
  DownloadManager* downloads() const { return downloads_.get(); }
  const DownloadQueue* queue() const { return downloads_ ? &downloads_->queue() : nullptr; }
  QLineEdit* saveDirectory() const { return saveDirectory_; }
  QPushButton* chooseDirectory() const { return choose_; }
  QCheckBox* limitBox() const { return limit_; }
  QLineEdit* limitValue() const { return limitValue_; }
  QTreeView* list() const { return list_; }
  DownloadModel* model() const { return model_; }
  QProgressBar* progress() const { return progress_; }
  QTimer* timer() const { return timer_; }
  QMenu* menu() const { return menu_; }
  // The count of files finished in this run, for the status bar; hidden until the first.
  QLabel* finishedCount() const { return finishedCount_; }

  // The folder browser: (parent, title, starting directory) -> the chosen directory, or ""
  // when cancelled. The platform's own by default; tests stand in for it.
  using FolderBrowser = std::function<QString(QWidget*, const QString&, const QString&)>;
  void SetFolderBrowser(FolderBrowser browser) { browseForFolder_ = std::move(browser); }
  // Shows a directory in the platform's file manager; tests stand in for it.
  using FolderOpener = std::function<void(const QString&)>;
  void SetFolderOpener(FolderOpener opener) { folderOpener_ = std::move(opener); }
  // Asks before partial files are removed: (parent, how many downloads) -> go ahead. A question
  // box by default; tests stand in for it.
  using Confirm = std::function<bool(QWidget*, int)>;
  void SetConfirm(Confirm confirm) { confirm_ = std::move(confirm); }
  // Tells the desktop that the downloads started together have ended while the window was not
  // in front: (finished, failed, the folder to open when the notice is clicked).
  using Notifier = std::function<void(int finished, int failed, const QString& folder)>;
  void SetNotifier(Notifier notifier) { notify_ = std::move(notifier); }
  // The confirmation the user sees before 删除任务和文件.
  static bool AskToRemoveFiles(QWidget* parent, int downloads);

 private:
  void ChooseDirectory();
  void LimitClicked();
  // A value typed while the box is ticked takes effect once its editing is finished.
  void LimitEdited();
  void Poll();
  // A share's plan made aside is ready, or more of it waits: a batch of its files comes in.
  void TakePlans();
  // The engine said a task changed: the queue moves at once, so a free slot takes the next
  // file now; the rows and the status bar wait for the next Poll, which words what ended here.
  void TaskChanged();
  // Shows what the user's action, or another tab's, changed, and starts the poll.
  void QueueChanged();
  void Heard(const DownloadEvent& event);
  // A remote downloader's back-end has news, or the timer came: it moves, and the hand-offs
  // that ended are told.
  void RemoteChanged(RemoteDownloads& remote);
  void ShowRow(int id);
  const DownloadItem* FindItem(int id) const;
  void Render();
  void ShowMenu(const QPoint& at);
  std::vector<int> SelectedIds() const;
  // The remote back-end that holds an item; null for ours.
  RemoteDownloads* RemoteOf(int id) const;
  // Ours, or with `remoteToo` the remote downloaders' as well.
  std::vector<const DownloadItem*> SelectedItems(bool remoteToo = false) const;
  // Runs the user's choice on the selected items, then shows what came of it.
  void Act(const std::function<void(Downloads&, const std::vector<ItemId>&)>& action);
  void OpenFolders();
  void CopyAddresses();
  // Delete, Shift+Delete and the two menu items: the files only after the user agreed.
  void Remove(bool withFiles);
  // Once every download started together has ended, a notice when the window is not in front.
  void CheckBatchEnd();
  void Tell(const QString& text);

  AppState& state_;
  std::function<void(const std::string&)> showStatus_;
  // One source of ids for every back-end, so no two rows share one.
  std::shared_ptr<IdSource> ids_ = std::make_shared<IdSource>();
  std::unique_ptr<DownloadManager> downloads_;
  struct Remote {
    std::string address, secret;  // UTF-8
    std::unique_ptr<RemoteDownloads> downloads;
    QSocketNotifier* news = nullptr;
  };
  std::vector<Remote> remotes_;
  struct HandOff {
    RemoteDownloads* remote;
    ShareId share;
    HandOffDone done;
  };
  std::vector<HandOff> handOffs_;  // under way
  // Ticks the remote back-ends when the next poll is due, so that each downloader is asked
  // once a second, not whenever the second's timer happens to come after that.
  QTimer* remoteTick_;
  // The rows to draw again at the next Render, besides the started ones; and whether items came
  // or left since, which only then costs a pass over every item.
  std::vector<int> changed_;
  bool membershipChanged_ = true;
  std::vector<int> leaving_;  // items that ended: their rows go once the items left
  bool resortDue_ = false;    // rows came: one sort for the lot, on the next turn of the loop
  bool settling_ = false;     // inside QueueChanged: what the manager tells then shows at its end
  bool shown_ = false;        // rows of one request shown again are selected together
  bool startsThisTurn_ = false;  // a row came in this turn of the event loop, and was shown
  bool moreStarts_ = false;      // more came after it: shown at the turn's end
  QTimer* planTick_ = nullptr;
  BatchProgress overall_;
  struct Batch {
    int finished = 0;
    int failed = 0;
    std::string directory;  // GBK: of the last file that finished
  } batch_;
  int finishedInRun_ = 0;
  int shownFinished_ = 0;  // the count the label shows
  QLabel* finishedCount_;
  QLineEdit* saveDirectory_;
  QPushButton* choose_;
  QCheckBox* limit_;
  QLineEdit* limitValue_;
  std::string limitApplied_;  // GBK: the value the engine got while the box was ticked
  QTreeView* list_;
  DownloadModel* model_;
  QProgressBar* progress_;
  QTimer* timer_;
  QSocketNotifier* taskEvents_ = nullptr;
  std::vector<int> endedSincePoll_;  // by TaskChanged, not yet worded
  QMenu* menu_;
  QAction* pause_;
  QAction* resume_;
  QAction* retry_;
  QAction* delete_;
  QAction* deleteWithFiles_;
  QAction* openFolder_;
  QAction* copyAddress_;
  FolderBrowser browseForFolder_;
  FolderOpener folderOpener_;
  Confirm confirm_;
  Notifier notify_;
};

}  // namespace sf::app
