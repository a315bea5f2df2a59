#include "engine_harness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "base/encoding.h"
#include "download/task_records.h"
#include "engine_api/engine_api.h"

namespace sf::test {

std::string TestCaBundlePath() {
  return "/tmp/sf-engine-test-ca-" + std::to_string(::getpid()) + ".pem";
}

DownloadEngine& Engine() {
  static std::unique_ptr<DownloadEngine> engine = [] {
    ::setenv("SHAREFETCH_RETRY_BASE_MS", "50", 1);
    ::setenv("SHAREFETCH_STALL_SECONDS", "3", 1);
    ::setenv("SHAREFETCH_CA_BUNDLE", TestCaBundlePath().c_str(), 1);
    EngineLoad load = LoadEngineLibrary(SF_ENGINE_PATH);
    if (!load.engine) {
      std::fprintf(stderr, "%s\n", load.error.c_str());
      std::abort();
    }
    load.engine->Init();
    return std::move(load.engine);
  }();
  return *engine;
}

int32_t StartTask(const NewTask& task) {
  TaskParamRecord param;
  param.Init(Utf8ToGbk(task.url), Utf8ToGbk(task.referer), Utf8ToGbk(task.cookies),
             Utf8ToGbk(task.name), Utf8ToGbk(task.dir), false, true, task.resume);
  int32_t handle = Engine().CreateTask(param.Address());
  Engine().StartTask(handle);
  return handle;
}

TaskOutcome Query(int32_t handle) {
  TaskInfoRecord info;
  info.Init();
  TaskOutcome o;
  if (Engine().QueryTaskInfoEx(handle, info.Address()) == 0) return o;
  o.state = info.State();
  o.failure = info.FailureCode();
  o.name = GbkToUtf8(info.FileName());
  o.size = info.TotalSize();
  o.downloaded = info.Downloaded();
  o.progress = info.Progress();
  o.originValid = info.OriginValid();
  o.alreadyComplete = info.AlreadyComplete() == 1;
  return o;
}

TaskOutcome WaitForEnd(int32_t handle, std::chrono::milliseconds limit) {
  auto until = std::chrono::steady_clock::now() + limit;
  TaskOutcome o;
  while (std::chrono::steady_clock::now() < until) {
    o = Query(handle);
    if (o.state == layout::kStateFinished || o.state == layout::kStateFailed) return o;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return o;
}

TaskOutcome RunTask(const NewTask& task) {
  return WaitForEnd(StartTask(task));
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (size_t i = 0; i < n; i += 4) {
    uint32_t v = gen();
    for (size_t k = 0; k < 4 && i + k < n; ++k) out[i + k] = static_cast<char>(v >> (8 * k));
  }
  return out;
}

}  // namespace sf::test
