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
struct SpreadHandOff;
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
  // `send` gives the share to the downloads that follow it on that downloader, and calls
  // `done` with the hand-off once it is over; `following` says whether files handed over are
  // still followed.
  struct RemoteTarget {
    using Done = std::function<void(const SpreadHandOff&)>;
    std::function<RemoteSettings()> settings;
    std::function<void()> configure;
    std::function<void(const RemoteSettings&, ShareOrder, Done)> send;
    std::function<bool()> following;
  };
  void SetRemoteTarget(RemoteTarget target);
  bool sending() const { return sending_ > 0; }
  // Files handed over are still being followed on the remote downloader.
  bool following() const;

  // Starts again shares' files remembered from an earlier run, the files of one share and
  // directory together: a refused link is asked for again from the share (with the remembered
  // code, prompting when that no longer serves), on this tab's worker. Gives, row by row,
  // whether it was started so; not when the downloads are not available, the row is no share's
  // or its file is there without a partial (the queue's to find whole).
  std::vector<bool> RestartShareFiles(const std::vector<UnfinishedDownload>& rows);

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
  // Hands the selected files to the remote downloader, whose back-end does it on a worker of
  // its own, so a parse can go on meanwhile; the result shows in the status bar and, for
  // failures, a message box. A refused link is renewed through the parse's renewer.
  void SendToRemote();
  void ShowHandOff(const SpreadHandOff& handOff);
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
  int sending_ = 0;  // hand-offs under way
  std::unique_ptr<Crossing> crossing_;
};

}  // namespace sf::app
