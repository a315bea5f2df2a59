// The engine behind the exported calls: a task table that any thread may use, and one engine
// thread that does all network work with libcurl's multi interface. Calls only touch the
// table under a short lock, queue what the engine thread is to do and wake it, so they return
// at once; the engine thread carries out everything queued, in order, in one pass.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/task.h"

namespace sf::engine {

class Engine {
 public:
  static Engine& Instance();
  ~Engine();

  int32_t Init();
  int32_t CreateTask(const void* param);
  int32_t StartTask(int32_t handle);
  int32_t StopTask(int32_t handle);
  int32_t DeleteTask(int32_t handle, int32_t removeFiles);
  int32_t QueryTaskInfo(int32_t handle, void* info);
  int32_t SetSpeedLimit(int32_t kilobytesPerSecond);
  int32_t TaskEventFd();

 private:
  Engine() = default;
  bool EnsureRunning();
  void Run();
  void Step();
  struct Command {
    enum Kind { kStart, kStop, kDelete } kind = kStart;
    int32_t handle = 0;
    // kStart: what to start when the task is not on the engine thread; kDelete: where a task
    // that ended left its files, under the name it reported
    TaskRequest request;
    bool removeFiles = false;  // kDelete
    std::string partPath;      // kDelete: empty when the task had no files
  };
  void Carry(Command& command, Clock::time_point now);
  void StartOne(int32_t handle, TaskRequest request, Clock::time_point now);
  void ReleasePaused(Clock::time_point now);
  // Every task's status into the table (`all`), or only those of tasks not waiting for the
  // disk with their state told: hundreds of small files may wait so, and the passes of the
  // others come one after another.
  void Publish(Clock::time_point now, bool all);
  // Wakes whoever waits on eventFd_.
  void Signal();
  // Wakes the engine thread, unless a wake-up is on its way already.
  void Wake();

  struct Entry {
    TaskRequest request;
    TaskStatus status;
    bool wantRunning = false;  // started and not paused since, as the caller last said
    // status.name in UTF-16 as the record holds it, and the name it was made from: a caller
    // asks about hundreds of files waiting for the disk on every poll.
    std::u16string name16;
    std::string name16Of;
  };

  std::mutex mutex_;  // guards everything up to the engine-thread section
  bool running_ = false;
  bool initFailed_ = false;
  std::map<int32_t, Entry> entries_;
  int32_t nextHandle_ = 1;
  std::vector<Command> commands_;
  std::optional<int64_t> newRate_;
  CURLM* multi_ = nullptr;
  int eventFd_ = -1;  // readable once a task's state changed; made with the engine thread
  int wakeFd_ = -1;   // wakes the engine thread from its poll
  std::atomic<bool> stop_{false};
  std::atomic<bool> wakePending_{false};
  std::thread thread_;

  // Engine thread only.
  EngineContext ctx_;
  TokenBucket bucket_;
  std::unique_ptr<DiskWorker> disk_;
  std::map<int32_t, std::unique_ptr<Task>> tasks_;
  // Tasks whose every byte is in, their state told, waiting for the disk to finish them: a
  // pass has nothing to do with them but their disk results (and the status of every task,
  // now and then). Hundreds of small files may wait so while the others transfer.
  std::map<int32_t, std::unique_ptr<Task>> waiting_;
  // The task's map iterator in tasks_, brought back from waiting_ when it waits there.
  std::map<int32_t, std::unique_ptr<Task>>::iterator Active(int32_t handle);
  size_t unpauseCursor_ = 0;
  bool pausedMayRemain_ = false;     // a limit was set since no connection was last found paused
  Clock::time_point lastPublish_{};  // of every task's status
  int transfers_ = 0;  // curl's transfers under way after the last pass, paused ones included
};

// Reads the task-parameter record at `param` into a request (texts to UTF-8).
TaskRequest ReadTaskParam(const void* param);
// Writes `status` into the task-information record at `info`; `name16` is its name in UTF-16.
void WriteTaskInfo(const TaskStatus& status, const std::u16string& name16, void* info);

}  // namespace sf::engine
