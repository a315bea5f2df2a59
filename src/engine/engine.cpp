#include "engine/engine.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/encoding.h"
#include "base/url_text.h"
#include "engine/save_directory.h"
#include "engine_api/engine_api.h"

namespace sf::engine {
namespace {

std::u16string ReadText(const uint8_t* record, layout::Field f) {
  std::u16string text;
  for (size_t i = 0; i + 1 < f.width; i += 2) {
    auto unit = static_cast<char16_t>(record[f.offset + i] | (record[f.offset + i + 1] << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

void Put(uint8_t* record, layout::Field f, int64_t value) {
  for (size_t i = 0; i < f.width; ++i)
    record[f.offset + i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
}

// The failure code for an exception caught on the engine thread.
int CodeOfCurrentException() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  } catch (...) {
    return EIO;
  }
}

// Runs one piece of a task's work; whatever it throws becomes that task's failure.
template <typename F>
void Guarded(Task& task, F&& work) {
  try {
    work();
  } catch (...) {
    task.Abandon(CodeOfCurrentException());
  }
}

// A file-size limit must end a task with EFBIG, not the whole process. A handler the program
// installed itself stays.
void IgnoreFileSizeSignal() {
  struct sigaction current {};
  if (::sigaction(SIGXFSZ, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL)
    ::signal(SIGXFSZ, SIG_IGN);
}

// A whole number of at least `least`; anything else is the fallback.
int EnvInt(const char* name, int fallback, int least = 1) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == 0) return fallback;
  char* end = nullptr;
  long n = std::strtol(v, &end, 10);
  return *end == 0 && n >= least && n <= INT32_MAX ? static_cast<int>(n) : fallback;
}

}  // namespace

TaskRequest ReadTaskParam(const void* param) {
  const auto* r = static_cast<const uint8_t*>(param);
  TaskRequest req;
  req.url = EncodeUrl(Utf16ToUtf8(ReadText(r, layout::param::kUrl)));
  req.referer = HeaderSafe(EncodeUrl(Utf16ToUtf8(ReadText(r, layout::param::kReferer))));
  req.cookies = HeaderSafe(Utf16ToUtf8(ReadText(r, layout::param::kCookies)));
  req.name = Utf16ToUtf8(ReadText(r, layout::param::kFileName));
  std::u16string dir = ReadText(r, layout::param::kSaveDir);
  req.dir = Utf16ToUtf8(dir);
  int64_t rootUnits = 0;
  for (size_t i = 0; i < layout::param::kRootUnits.width; ++i)
    rootUnits |= int64_t{r[layout::param::kRootUnits.offset + i]} << (8 * i);
  // A root that is not a part of the directory is refused when the task opens it.
  if (rootUnits > 0)
    req.rootBytes = rootUnits <= static_cast<int64_t>(dir.size())
                        ? Utf16ToUtf8(dir.substr(0, static_cast<size_t>(rootUnits))).size()
                        : req.dir.size() + 1;
  req.resume = r[layout::param::kResume.offset] != 0;
  // Digits only; anything else is no size at all.
  std::u16string expected = ReadText(r, layout::param::kExpectedSize);
  if (!expected.empty() && expected.size() <= 18 &&
      std::all_of(expected.begin(), expected.end(),
                  [](char16_t u) { return u >= u'0' && u <= u'9'; }))
    req.expectedSize = std::stoll(Utf16ToUtf8(expected));
  return req;
}

void WriteTaskInfo(const TaskStatus& s, const std::u16string& name, void* info) {
  auto* r = static_cast<uint8_t*>(info);
  namespace i = layout::info;
  Put(r, i::kState, s.state);
  Put(r, i::kFailureCode, s.failureCode);
  std::memset(r + i::kFileName.offset, 0, i::kFileName.width);
  size_t units = std::min(name.size(), i::kFileName.width / 2);
  for (size_t k = 0; k < units; ++k) {
    r[i::kFileName.offset + 2 * k] = static_cast<uint8_t>(name[k] & 0xFF);
    r[i::kFileName.offset + 2 * k + 1] = static_cast<uint8_t>(name[k] >> 8);
  }
  Put(r, i::kTotalSize, s.size);
  Put(r, i::kDownloaded, s.downloaded);
  uint32_t bits;
  std::memcpy(&bits, &s.progress, 4);
  Put(r, i::kProgress, bits);
  Put(r, i::kAlreadyComplete, s.alreadyComplete ? 1 : 0);
  Put(r, i::kSourceCount, s.connections);
  Put(r, i::kUsableSourceCount, s.connections);
  Put(r, i::kStartedOver, s.startedOver);
  Put(r, i::kPeerBytes, 0);
  Put(r, i::kOriginBytes, s.downloaded);
  Put(r, i::kMirrorBytes, 0);
  Put(r, i::kSpeed, s.speed);
  Put(r, i::kSpeedMirror, 0);
  Put(r, i::kSpeedPeer, 0);
  Put(r, i::kOriginValid, s.originValid ? 1 : 0);
  Put(r, i::kCreatingFile, s.creatingFile ? 1 : 0);
}

Engine& Engine::Instance() {
  static Engine engine;
  return engine;
}

Engine::~Engine() {
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
  }
  stop_ = true;
  curl_multi_wakeup(multi_);
  thread_.join();
  curl_multi_cleanup(multi_);
  if (eventFd_ >= 0) ::close(eventFd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool Engine::EnsureRunning() {
  std::lock_guard lock(mutex_);
  if (running_) return true;
  if (initFailed_) return false;
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK ||
      (multi_ = curl_multi_init()) == nullptr) {
    initFailed_ = true;
    return false;
  }
  IgnoreFileSizeSignal();
  // Without it the caller polls, as it always could.
  eventFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  // Without it, curl's own wake-up serves, at a system call more for each.
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (const char* ca = std::getenv("SHAREFETCH_CA_BUNDLE")) ctx_.settings.caBundle = ca;
  ctx_.settings.retryBaseMs = EnvInt("SHAREFETCH_RETRY_BASE_MS", ctx_.settings.retryBaseMs);
  ctx_.settings.stallSeconds = EnvInt("SHAREFETCH_STALL_SECONDS", ctx_.settings.stallSeconds);
  // 0 is a value of its own here: the window's thread draws, and downloads do not wait for it.
  ctx_.settings.belowDriver =
      std::min(EnvInt("SHAREFETCH_ENGINE_NICE", ctx_.settings.belowDriver, 0), 19);
  ctx_.multi = multi_;
  ctx_.bucket = &bucket_;
  disk_ = std::make_unique<DiskWorker>([this] { Wake(); }, ctx_.settings.belowDriver);
  ctx_.disk = disk_.get();
  running_ = true;
  thread_ = std::thread([this] { Run(); });
  return true;
}

int32_t Engine::Init() {
  return EnsureRunning() ? 1 : 0;
}

int32_t Engine::CreateTask(const void* param) {
  if (param == nullptr || !EnsureRunning()) return 0;
  TaskRequest request = ReadTaskParam(param);
  std::lock_guard lock(mutex_);
  int32_t handle = nextHandle_++;
  Entry& e = entries_[handle];
  e.status.name = request.name;
  e.request = std::move(request);
  return handle;
}

// Starts a task, resumes a paused one, or tries a failed one again from its bytes on disk.
int32_t Engine::StartTask(int32_t handle) {
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(handle);
    if (it == entries_.end()) return 0;
    Entry& e = it->second;
    bool failed = e.status.state == layout::kStateFailed;
    if (e.status.state == layout::kStateFinished || (e.wantRunning && !failed)) return 1;
    e.wantRunning = true;
    Command start{Command::kStart, handle, e.request, false, {}};
    // A failed task wrote to the name it reports; the new run goes on with that file.
    if (failed && !e.status.partPath.empty()) start.request.name = e.status.name;
    commands_.push_back(std::move(start));
    // Said at once, so a query in between never reads the old failure as the new outcome.
    e.status.state = layout::kStateRequesting;
    e.status.failureCode = 0;
  }
  Wake();
  return 1;
}

int32_t Engine::StopTask(int32_t handle) {
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(handle);
    if (it == entries_.end()) return 0;
    if (!it->second.wantRunning) return 1;
    it->second.wantRunning = false;
    commands_.push_back({Command::kStop, handle, {}, false, {}});
  }
  Wake();
  return 1;
}

// The handle is forgotten at once; the engine thread stops the task and deals with its files.
int32_t Engine::DeleteTask(int32_t handle, int32_t removeFiles) {
  bool finished = false;
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(handle);
    if (it == entries_.end()) return 0;
    const TaskStatus& s = it->second.status;
    // A task reported finished has ended on the engine thread, which forgets it on the pass
    // that told so, and its file is never removed: nothing is left for that thread to do, so
    // it need not wake for each file a stream of them ends.
    finished = s.state == layout::kStateFinished;
    if (!finished) {
      Command del{Command::kDelete, handle, it->second.request, removeFiles != 0, s.partPath};
      del.request.name = s.name;
      commands_.push_back(std::move(del));
    }
    entries_.erase(it);
  }
  if (!finished) Wake();
  return 1;
}

int32_t Engine::QueryTaskInfo(int32_t handle, void* info) {
  if (info == nullptr) return 0;
  std::lock_guard lock(mutex_);
  auto it = entries_.find(handle);
  if (it == entries_.end()) return 0;
  Entry& e = it->second;
  if (e.name16Of != e.status.name) {
    e.name16 = Utf8ToUtf16(e.status.name);
    e.name16Of = e.status.name;
  }
  WriteTaskInfo(e.status, e.name16, info);
  return 1;
}

int32_t Engine::SetSpeedLimit(int32_t kb) {
  if (!EnsureRunning()) return 0;
  {
    std::lock_guard lock(mutex_);
    // 1410065407 is the caller's "no limit"; 0 or less means the same, so a box checked with
    // no number in it cannot stall every download.
    newRate_ = (kb <= 0 || kb == layout::kNoSpeedLimit) ? 0 : int64_t{kb} * 1024;
  }
  Wake();
  return 1;
}

int32_t Engine::TaskEventFd() {
  if (!EnsureRunning()) return -1;
  std::lock_guard lock(mutex_);
  return eventFd_;
}

void Engine::Wake() {
  // One wake-up is enough for everything queued before the engine thread's next pass: a file
  // that ends its transfer makes several calls at once, each would wake the thread anew.
  if (wakePending_.exchange(true)) return;
  uint64_t one = 1;
  if (wakeFd_ < 0 || ::write(wakeFd_, &one, sizeof one) < 0) curl_multi_wakeup(multi_);
}

void Engine::Signal() {
  if (eventFd_ < 0) return;
  uint64_t one = 1;
  // A full counter (never in practice) is readable already, which is all a waiter needs.
  [[maybe_unused]] ssize_t n = ::write(eventFd_, &one, sizeof one);
}

// Hands the tokens out in turn, so no connection waits behind the others for ever.
void Engine::ReleasePaused(Clock::time_point now) {
  if (bucket_.Limited()) pausedMayRemain_ = true;
  // Without a limit no connection is paused: once those an earlier limit held are let go,
  // every pass need not look through every task for them.
  if (!bucket_.Available() || !pausedMayRemain_) return;
  std::vector<Connection*> paused;
  for (auto& [h, t] : tasks_) t->CollectPaused(paused);
  if (paused.empty()) {
    pausedMayRemain_ = bucket_.Limited();
    return;
  }
  size_t start = unpauseCursor_ % paused.size();
  for (size_t k = 0; k < paused.size() && bucket_.Available(); ++k) {
    Connection* c = paused[(start + k) % paused.size()];
    if (c->paused && c->easy != nullptr) c->task->Unpause(*c, now);
    unpauseCursor_ = start + k + 1;
  }
}

void Engine::Publish(Clock::time_point now, bool all) {
  std::vector<std::pair<int32_t, TaskStatus>> statuses;
  statuses.reserve(tasks_.size() + (all ? waiting_.size() : 0));
  for (auto& [h, t] : tasks_)
    if (all || !t->WaitsForDisk()) statuses.emplace_back(h, t->Status(now));
  if (all)
    for (auto& [h, t] : waiting_) statuses.emplace_back(h, t->Status(now));
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    for (auto& [h, s] : statuses) {
      // A task deleted in the meantime stays forgotten.
      auto it = entries_.find(h);
      if (it == entries_.end()) continue;
      TaskStatus& old = it->second.status;
      changed = changed || old.state != s.state || old.failureCode != s.failureCode;
      old = std::move(s);
    }
  }
  // After the table holds the new state, so a woken caller's query reads it.
  if (changed) Signal();
}

void Engine::Run() {
  RunBelowDriver(ctx_.settings.belowDriver);
  while (!stop_) {
    // Nothing may leave this thread as an exception. A task's own work is guarded in Step and
    // fails that task; what is left (the speed limit, publishing) is tried again next turn.
    try {
      Step();
    } catch (...) {
    }
    // The limit's tokens are handed out often only while bytes flow: a limited engine with
    // nothing to transfer (every download paused) wakes no more often than an unlimited one.
    int timeout = bucket_.Limited() && transfers_ > 0 ? 10 : 100;
    curl_waitfd wake{wakeFd_, CURL_WAIT_POLLIN, 0};
    curl_multi_poll(multi_, wakeFd_ >= 0 ? &wake : nullptr, wakeFd_ >= 0 ? 1 : 0, timeout, nullptr);
    if ((wake.revents & CURL_WAIT_POLLIN) != 0) {
      uint64_t count;
      // One read makes it quiet again, however many wake-ups it counted.
      [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
    }
  }
  try {
    for (auto& [h, t] : tasks_) t->Shutdown();
    for (auto& [h, t] : waiting_) t->Shutdown();
    Publish(Clock::now(), true);
  } catch (...) {
  }
  tasks_.clear();
  waiting_.clear();
  disk_->Stop();
}

void Engine::StartOne(int32_t handle, TaskRequest request, Clock::time_point now) {
  Task* task = nullptr;
  try {
    auto made = std::make_unique<Task>(handle, std::move(request), ctx_);
    task = made.get();
    tasks_[handle] = std::move(made);
  } catch (...) {
    // No task to fail: its entry reports the failure, or it would wait for ever.
    int code = CodeOfCurrentException();
    {
      std::lock_guard lock(mutex_);
      auto it = entries_.find(handle);
      if (it != entries_.end()) {
        it->second.status.state = layout::kStateFailed;
        it->second.status.failureCode = code;
      }
    }
    Signal();
    return;
  }
  Guarded(*task, [&] { task->Start(now); });
}

std::map<int32_t, std::unique_ptr<Task>>::iterator Engine::Active(int32_t handle) {
  auto it = tasks_.find(handle);
  if (it != tasks_.end()) return it;
  auto node = waiting_.extract(handle);
  if (node.empty()) return tasks_.end();
  return tasks_.insert(std::move(node)).position;
}

// One command of a caller, on the engine thread.
void Engine::Carry(Command& command, Clock::time_point now) {
  auto it = Active(command.handle);
  Task* task = it != tasks_.end() ? it->second.get() : nullptr;
  switch (command.kind) {
    case Command::kStart:
      if (task == nullptr) return StartOne(command.handle, std::move(command.request), now);
      return Guarded(*task, [&] { task->Resume(now); });
    case Command::kStop:
      if (task != nullptr) Guarded(*task, [&] { task->Pause(); });
      return;
    case Command::kDelete:
      if (task != nullptr) {
        Guarded(*task, [&] { task->Delete(command.removeFiles); });
        tasks_.erase(it);
      } else if (command.removeFiles && !command.partPath.empty()) {
        // A task that ended failed has let its partial go; it goes if nobody took it since.
        PartFile left;
        const TaskRequest& r = command.request;
        if (OpenSaveDirectory(r.dir, r.rootBytes, false, left.dirFd) == 0) {
          left.partName = r.name + std::string(layout::kPartSuffix);
          left.controlName = r.name + std::string(layout::kControlSuffix);
          RemovePartFiles(left);
        }
      }
      return;
  }
}

void Engine::Step() {
  wakePending_ = false;  // before the queue is taken: what comes after wakes the thread again
  std::vector<Command> commands;
  std::optional<int64_t> rate;
  {
    std::lock_guard lock(mutex_);
    commands.swap(commands_);
    rate.swap(newRate_);
  }
  auto now = Clock::now();
  if (rate) bucket_.SetRate(*rate, now);
  // A batch of any size is carried out here, in the order the calls came.
  for (Command& command : commands) Carry(command, now);
  auto takeDiskResults = [this] {
    std::vector<DiskResult> results = disk_->TakeResults();
    for (const auto& r : results) {
      auto it = Active(r.handle);
      if (it != tasks_.end()) Guarded(*it->second, [&] { it->second->OnDiskResult(r); });
    }
    return !results.empty();
  };
  auto transfer = [this] {
    int still = 0;
    curl_multi_perform(multi_, &still);
    transfers_ = still;
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      Connection* c = nullptr;
      curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &c);
      if (c != nullptr) {
        Task& task = *c->task;
        Guarded(task, [&] { task.OnTransferDone(*c, msg->data.result, Clock::now()); });
      }
    }
  };
  takeDiskResults();
  bucket_.Refill(now);
  ReleasePaused(now);
  for (auto& entry : tasks_) {
    Task& task = *entry.second;
    Guarded(task, [&] { task.Tick(now); });
  }
  transfer();
  // Claims that came back meanwhile woke nobody when their task's first answer was on its way:
  // the answers held for them go on now, not on the next wake-up.
  if (takeDiskResults()) transfer();

  now = Clock::now();
  // A state that moved is told at once: the caller starts the next file when one ends its
  // transfer, not on the next round of progress.
  bool moved = std::any_of(tasks_.begin(), tasks_.end(),
                           [](const auto& kv) { return kv.second->StateMoved(); });
  const bool all = now - lastPublish_ >= std::chrono::milliseconds(50);
  if (all) lastPublish_ = now;
  if (moved || !commands.empty() || all) Publish(now, all);
  // Ended tasks keep only their last status in the table; those waiting for the disk step
  // aside until it is done with them.
  for (auto it = tasks_.begin(); it != tasks_.end();) {
    if (it->second->Ended()) {
      it = tasks_.erase(it);
    } else if (it->second->WaitsForDisk()) {
      auto next = std::next(it);
      waiting_.insert(tasks_.extract(it));
      it = next;
    } else {
      ++it;
    }
  }
}

}  // namespace sf::engine
