// The files 发送到远程下载器 handed over, followed on the remote downloader afterwards: a worker
// of their own asks it about them once a second (RemoteFollower), a file whose link the server
// refused gets a fresh one through the parse's renewer on the window's thread, whose answer
// crosses back to the worker, and each round's rows cross to the window for the downloads tab.
// Closing stops the following only: the downloads go on over there.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/worker_bridge.h"
#include "download/link_renewer.h"
#include "download/remote_share.h"
#include "view/download_list.h"

namespace sf::app {

struct RemoteRow {
  int id = 0;  // negative: never a queue item's
  DownloadRowTexts texts;
  bool complete = false;
  int64_t size = -1, done = 0, speed = 0;
};

class RemoteFollowing {
 public:
  using Show = std::function<void(const std::vector<RemoteRow>&)>;
  // `context`: the tab, on the window's thread.
  explicit RemoteFollowing(QObject* context);
  ~RemoteFollowing();
  RemoteFollowing(const RemoteFollowing&) = delete;
  RemoteFollowing& operator=(const RemoteFollowing&) = delete;

  // Window's thread. Follows `files`, which the downloader at `address` (UTF-8) took, until
  // each has ended; `show` gets every file's row after each round, under its id in `ids`.
  void Start(std::string address, std::string secret, std::vector<RemoteFile> files,
             std::vector<int> ids, std::vector<FileEntry> entries,
             std::shared_ptr<LinkRenewer> renewer, Show show);
  bool running() const { return bridge_.running(); }
  // Window's thread: stops following, for good.
  void Close() { bridge_.Close(); }

 private:
  WorkerBridge bridge_;
};

}  // namespace sf::app
