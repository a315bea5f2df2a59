// The first tab, "第一种模式": the share URL, the parse button and the numbered result list.
// A parse runs on a worker thread of its own; the button stays disabled until it ends, and
// the stop button beside it gives the parse up. The list fills as the share's folders are
// listed, the status bar counting what was found.
#pragma once

#include <QPointer>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/controls.h"
#include "app/remote_following.h"
#include "app/result_model.h"
#include "app/worker_bridge.h"
#include "base/settings_file.h"
#include "download/download_manager.h"

class QDialog;
class QLineEdit;
class QMenu;
class QPushButton;
class QTreeView;

namespace sf {
struct RemoteHandOff;
class ResolveDriver;
class ShareSession;
class ShareStream;
}  // namespace sf

namespace sf::app {

class ResolveTab : public TabPage {
  Q_OBJECT
 public:
  ResolveTab(std::shared_ptr<ShareSession> session,
             std::function<void(const std::string&)> showStatus, QWidget* parent = nullptr);
  ~ResolveTab() override;

  // Hands a row (file name, link, size) to the downloads; until set, the menu item is unavailable.
  void SetStartDownload(std::function<void(const DownloadRequest&)> start);

  // Where 下载所选 and 全部下载 put the share's files: the owner of the downloads (null while
  // the engine library is missing), each file in its folder under the save directory (GBK);
  // until set, those menu items are unavailable.
  void SetShareTarget(DownloadManager* downloads, std::function<std::string()> directory);

  // Where 发送到远程下载器 hands the picked files: the remote downloader's settings as they
  // stand, and a way to let the user fill them in; until set, the menu item is unavailable.
  // The files handed over are followed there afterwards; `showFollowed` gets their rows.
  struct RemoteTarget {
    std::function<RemoteSettings()> settings;
    std::function<void()> configure;
    std::function<void(const std::vector<RemoteRow>&)> showFollowed;
  };
  void SetRemoteTarget(RemoteTarget target);
  bool sending() const { return remoteBridge_.running(); }
  // Files handed over are still being followed on the remote downloader.
  bool following() const;

  // Starts again a share's file remembered from an earlier run: its refused link is asked for
  // again from the share (with the remembered code, prompting when that no longer serves), on
  // this tab's worker. False when the downloads are not available or the row is no share's.
  bool RestartShareFile(const UnfinishedDownload& row);

  // Puts a share link into the URL box, as if typed.
  void SetUrl(const QString& url);

  // Text a user pasted or dropped on the tab: the first share link it holds goes into the URL
  // box, and its extraction code is kept to answer the next parse's first password prompt;
  // the status bar says what was found. False, and nothing changed, when it holds no link.
  bool TakeShareText(const QString& text);

  // Gives up the parse under way, closing its prompt, and waits for its worker; for good.
  void StopWork();
  bool parsing() const { return bridge_.running(); }
  // Gives up the parse under way as the stop button does: what it found so far stays listed,
  // the files without a link marked so.
  void StopParse();
  // The result list's rows.
  ResultModel* results() const { return model_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  class Crossing;
  class Renewer;
  class Remembered;
  struct Renewal;
  void Parse();
  void SetUpKeys();
  void MakeList();
  // A cancel flag not raised for the next use of the session, after a parse was stopped.
  void FreshCancel();
  void CopyLink();
  void StartSelectedDownload();
  // The files of the selected rows, a folder row standing for its whole subtree.
  std::vector<size_t> SelectedFiles() const;
  void DownloadSelected();
  void DownloadAll();
  void DownloadEntries(const std::vector<size_t>& chosen);
  // The links the downloads asked for, on the parse's worker once it is free.
  void RenewLinks();
  // Hands the selected files to the remote downloader on a worker of their own, so a parse
  // can go on meanwhile; the result shows in the status bar and, for failures, a message box.
  void SendToRemote();
  void ShowHandOff(const RemoteHandOff& handOff);
  // Follows the files a hand-off gave the downloader, their rows going to the downloads tab;
  // a refused link is renewed through `renewer`, the parse's.
  void Follow(const RemoteHandOff& handOff, const std::vector<FileEntry>& entries,
              std::shared_ptr<LinkRenewer> renewer, const std::string& address,
              const std::string& secret);
  // `wrong`: the service refused the password given before.
  std::string AskPassword(bool wrong);
  std::string AskCaptcha(ShareSession& session, int reason);

  std::shared_ptr<ShareSession> session_;
  std::function<void(const std::string&)> showStatus_;
  std::function<void(const DownloadRequest&)> startDownload_;
  QLineEdit* url_;
  // The link and code the last pasted text gave; the code serves while the box holds the link.
  std::string pastedLink_, pastedCode_;
  QPushButton* parse_;
  QPushButton* stop_;
  QTreeView* list_;
  ResultModel* model_;
  // Raised to give up the parse under way; a parse or renewal after a stopped one gets a fresh
  // one, as a raised flag stays raised.
  CancelFlag cancel_;
  bool stopped_ = false;  // the parse under way was given up by the user
  QMenu* menu_;
  QPointer<QDialog> prompt_;  // the password or captcha dialog while one is open
  DownloadManager* downloads_ = nullptr;
  std::function<std::string()> saveDirectory_;
  // The last parse, once it ended: its driver holds the entries the rows show, with their
  // folder paths, and the answers it was given; its renewer asks it for fresh links. The
  // renewer is there from the parse's start, for the files that start before it ends.
  std::shared_ptr<ResolveDriver> parsed_;
  std::shared_ptr<LinkRenewer> parsedRenewer_;
  ShareSource parsedSource_;
  // The shares of the last parse, from its first link on (null without the downloads): while it
  // runs, on the share's listing as the first link brought it (a copy, as the worker goes on
  // writing links into the driver's), each file taking its link as it comes; once it ended, on
  // the driver's entries.
  std::unique_ptr<ShareStream> stream_;
  bool listed_ = false;  // the parse under way has listed its share: its first link came
  // The renewers of shares remembered from earlier runs, one per link, so one answer to a
  // prompt serves all of that share's files.
  std::map<std::string, std::shared_ptr<Renewer>> remembered_;
  // Asked by the downloads, for the worker: one parse, or one batch of them, at a time.
  std::vector<Renewal> waiting_;
  RemoteTarget remoteTarget_;
  WorkerBridge bridge_;
  WorkerBridge remoteBridge_;
  // One following per hand-off. A file's row keeps its id (negative, counting down) for as long
  // as the window runs, by downloader and path, so a file sent again shows in its old row.
  std::vector<std::unique_ptr<RemoteFollowing>> following_;
  std::map<std::string, int> remoteRows_;
  int nextRemoteRow_ = -1;
  std::unique_ptr<Crossing> crossing_;
};

}  // namespace sf::app
