#include "app/worker_bridge.h"

#include <QMetaObject>
#include <QThread>
#include <condition_variable>
#include <mutex>

namespace sf::app {

// What the queued calls share with the worker; it lives as long as the last of them.
struct WorkerBridge::Shared {
  std::mutex mutex;
  std::condition_variable answered;
  bool closed = false;

  bool IsClosed() {
    std::lock_guard<std::mutex> lock(mutex);
    return closed;
  }
};

namespace {

struct Answer {
  bool ready = false;
  std::string text;
};

}  // namespace

WorkerBridge::WorkerBridge(QObject* context)
    : context_(context), shared_(std::make_shared<Shared>()) {}

WorkerBridge::~WorkerBridge() {
  Close();
}

bool WorkerBridge::Start(std::function<void()> work, std::function<void()> finished) {
  if (running_ || shared_->IsClosed()) return false;
  if (worker_.joinable()) worker_.join();
  running_ = true;
  worker_ = std::thread([this, work = std::move(work), finished = std::move(finished)]() mutable {
    work();
    // Queued after everything the work posted, so the window shows it all before this runs.
    Post([this, finished = std::move(finished)] {
      if (worker_.joinable()) worker_.join();
      running_ = false;
      finished();
    });
  });
  return true;
}

void WorkerBridge::Post(std::function<void()> call) {
  QMetaObject::invokeMethod(
      context_,
      [shared = shared_, call = std::move(call)] {
        if (!shared->IsClosed()) call();
      },
      Qt::QueuedConnection);
}

std::string WorkerBridge::Ask(std::function<std::string()> call) {
  if (QThread::currentThread() == context_->thread()) return call();
  auto answer = std::make_shared<Answer>();
  std::shared_ptr<Shared> shared = shared_;
  QMetaObject::invokeMethod(
      context_,
      [shared, answer, call = std::move(call)] {
        std::string text = shared->IsClosed() ? std::string() : call();
        std::lock_guard<std::mutex> lock(shared->mutex);
        answer->text = std::move(text);
        answer->ready = true;
        shared->answered.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock<std::mutex> lock(shared->mutex);
  shared->answered.wait(lock, [&] { return answer->ready || shared->closed; });
  return answer->ready ? answer->text : std::string();
}

void WorkerBridge::Close() {
  cancel_.Raise();
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->closed = true;
  }
  shared_->answered.notify_all();
  if (worker_.joinable()) worker_.join();
  running_ = false;
}

}  // namespace sf::app
