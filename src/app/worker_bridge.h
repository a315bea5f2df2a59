// The one place where a tab's worker thread meets the window. The parse of either tab runs on
// a worker of its own, so the window never waits on the network; whatever the worker shows
// crosses to the window's thread here, in order, and whatever it asks waits here for the
// answer. Closing ends it all at once: the requests under way are given up through the
// bridge's cancel flag, a worker waiting for an answer gets "" straight away, and the worker
// is joined.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "net/cancel_flag.h"

namespace sf::app {

class WorkerBridge {
 public:
  // `context`: the tab, living on the window's thread; it outlives the bridge.
  explicit WorkerBridge(QObject* context);
  ~WorkerBridge();
  WorkerBridge(const WorkerBridge&) = delete;
  WorkerBridge& operator=(const WorkerBridge&) = delete;

  // For the clients the worker makes its requests with; raised when the bridge closes.
  const CancelFlag& cancelFlag() const { return cancel_; }

  // Window's thread. Runs `work` on a new worker, then `finished` on the window's thread once
  // everything the work posted has been shown. False, and nothing run, while a worker runs
  // or once the bridge is closed.
  bool Start(std::function<void()> work, std::function<void()> finished);
  bool running() const { return running_; }

  // Worker's side. Post queues `call` for the window's thread. Ask runs `call` there and waits
  // for its answer; it gives "" at once when the bridge is closed or closes meanwhile.
  void Post(std::function<void()> call);
  std::string Ask(std::function<std::string()> call);

  // Window's thread, for good: gives up the worker's requests, releases it from a question and
  // joins it. Nothing queued before runs afterwards.
  void Close();

 private:
  struct Shared;

  QObject* context_;
  CancelFlag cancel_;
  std::shared_ptr<Shared> shared_;
  std::thread worker_;
  bool running_ = false;
};

}  // namespace sf::app
