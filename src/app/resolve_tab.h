// The first tab, "第一种模式": the share URL, the parse button and the numbered result list.
// A parse runs on a worker thread of its own; the button stays disabled until it ends.
#pragma once

#include <QPointer>
#include <functional>
#include <memory>

#include "app/controls.h"
#include "app/worker_bridge.h"
#include "download/download_queue.h"

class QDialog;
class QLineEdit;
class QMenu;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace sf {
class ShareSession;
}

namespace sf::app {

class ResolveTab : public TabPage {
  Q_OBJECT
 public:
  ResolveTab(std::shared_ptr<ShareSession> session,
             std::function<void(const std::string&)> showStatus, QWidget* parent = nullptr);
  ~ResolveTab() override;

  // Hands a row (file name, link, size) to the downloads; until set, the menu item is unavailable.
  void SetStartDownload(std::function<void(const DownloadRequest&)> start);

  // Puts a share link into the URL box, as if typed.
  void SetUrl(const QString& url);

  // Gives up the parse under way, closing its prompt, and waits for its worker; for good.
  void StopWork();
  bool parsing() const { return bridge_.running(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class Crossing;
  void Parse();
  void CopyLink();
  void StartSelectedDownload();
  std::string AskPassword();
  std::string AskCaptcha(ShareSession& session, int reason);

  std::shared_ptr<ShareSession> session_;
  std::function<void(const std::string&)> showStatus_;
  std::function<void(const DownloadRequest&)> startDownload_;
  QLineEdit* url_;
  QPushButton* parse_;
  QTreeWidget* list_;
  QMenu* menu_;
  QPointer<QDialog> prompt_;  // the password or captcha dialog while one is open
  WorkerBridge bridge_;
};

}  // namespace sf::app
