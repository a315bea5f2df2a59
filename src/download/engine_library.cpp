#include <dlfcn.h>
#include <unistd.h>

#include "base/paths.h"
#include "download/download_engine.h"
#include "engine_api/engine_api.h"

namespace sf {
namespace {

struct CallTable {
  XL_InitFn init = nullptr;
  XL_CreateTaskFn createTask = nullptr;
  XL_StartTaskFn startTask = nullptr;
  XL_QueryTaskInfoExFn queryTaskInfoEx = nullptr;
  XL_SetSpeedLimitFn setSpeedLimit = nullptr;
  XL_CreateTaskByThunderFn createTaskByThunder = nullptr;
  XL_CreateBTTaskByThunderFn createBtTaskByThunder = nullptr;
  XL_StopTaskFn stopTask = nullptr;
  XL_DeleteTaskFn deleteTask = nullptr;
  XL_GetTaskEventFdFn getTaskEventFd = nullptr;  // optional: an engine without it is polled
};

class LibraryEngine final : public DownloadEngine {
 public:
  explicit LibraryEngine(const CallTable& calls) : calls_(calls) {}
  // The library stays mapped until the process ends: its engine thread and the task table
  // live in it, and the window never uninitialises the engine.
  int32_t Init() override { return calls_.init(); }
  int32_t CreateTask(const void* param) override { return calls_.createTask(param); }
  int32_t StartTask(int32_t handle) override { return calls_.startTask(handle); }
  int32_t QueryTaskInfoEx(int32_t handle, void* info) override {
    return calls_.queryTaskInfoEx(handle, info);
  }
  int32_t SetSpeedLimit(int32_t limit) override { return calls_.setSpeedLimit(limit); }
  int32_t CreateTaskByThunder(const char16_t* url, const char16_t* fileName,
                              const char16_t* referer, const void* charge,
                              const char16_t* cookies) override {
    return calls_.createTaskByThunder(url, fileName, referer, charge, cookies);
  }
  int32_t CreateBTTaskByThunder(const char16_t* path) override {
    return calls_.createBtTaskByThunder(path);
  }
  int32_t StopTask(int32_t handle) override { return calls_.stopTask(handle); }
  int32_t DeleteTask(int32_t handle, int32_t removeFiles) override {
    return calls_.deleteTask(handle, removeFiles);
  }
  int32_t GetTaskEventFd() override {
    return calls_.getTaskEventFd != nullptr ? calls_.getTaskEventFd() : -1;
  }

 private:
  CallTable calls_;
};

template <typename Fn>
bool Bind(void* library, const char* name, Fn& out, const std::string& path, std::string& error) {
  dlerror();
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) {
    error = "download engine " + path + " lacks the function " + name;
    return false;
  }
  out = reinterpret_cast<Fn>(symbol);
  return true;
}

}  // namespace

EngineLoad LoadEngineLibrary(const std::string& path) {
  EngineLoad result;
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    result.error = "cannot load the download engine " + path + ": " + (why ? why : "unknown error");
    return result;
  }
  CallTable calls;
  std::string& e = result.error;
  if (!Bind(library, "XL_Init", calls.init, path, e) ||
      !Bind(library, "XL_CreateTask", calls.createTask, path, e) ||
      !Bind(library, "XL_StartTask", calls.startTask, path, e) ||
      !Bind(library, "XL_QueryTaskInfoEx", calls.queryTaskInfoEx, path, e) ||
      !Bind(library, "XL_SetSpeedLimit", calls.setSpeedLimit, path, e) ||
      !Bind(library, "XL_CreateTaskByThunder", calls.createTaskByThunder, path, e) ||
      !Bind(library, "XL_CreateBTTaskByThunder", calls.createBtTaskByThunder, path, e) ||
      !Bind(library, "XL_StopTask", calls.stopTask, path, e) ||
      !Bind(library, "XL_DeleteTask", calls.deleteTask, path, e)) {
    dlclose(library);
    return result;
  }
  calls.getTaskEventFd = reinterpret_cast<XL_GetTaskEventFdFn>(dlsym(library, "XL_GetTaskEventFd"));
  result.engine = std::make_unique<LibraryEngine>(calls);
  return result;
}

EngineLocation LocateEngineLibrary(const std::string& programDirectory) {
  EngineLocation beside{programDirectory + "/" + kEngineLibraryName, false, false};
  beside.found = ::access(beside.path.c_str(), F_OK) == 0;
  if (beside.found) return beside;
  std::string lib = InstalledLibraryDirectory(programDirectory);
  if (!lib.empty()) {
    std::string path = lib + "/" + kEngineLibraryName;
    if (::access(path.c_str(), F_OK) == 0) return {path, true, true};
  }
  return beside;
}

EngineLoad LoadEngineFromProgramDirectory() {
  std::string dir = ProgramDirectory();
  if (dir.empty()) return {nullptr, "cannot find the program's own directory"};
  EngineLocation where = LocateEngineLibrary(dir);
  if (!where.found) {
    std::string lib = InstalledLibraryDirectory(dir);
    return {nullptr, std::string("cannot find the download engine ") + kEngineLibraryName + " in " +
                         dir + (lib.empty() ? "" : " nor in " + lib)};
  }
  return LoadEngineLibrary(where.path);
}

}  // namespace sf
