// The download engine as the program sees it: the calls of the engine library's table, one for
// one. The real implementation loads the library; tests and the window's poll logic
// can use a fake.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sf {

class DownloadEngine {
 public:
  virtual ~DownloadEngine() = default;

  virtual int32_t Init() = 0;
  // `param` is the address of a TaskParamRecord; gives the task handle.
  virtual int32_t CreateTask(const void* param) = 0;
  virtual int32_t StartTask(int32_t handle) = 0;
  // Fills the TaskInfoRecord at `info`; nonzero when it did.
  virtual int32_t QueryTaskInfoEx(int32_t handle, void* info) = 0;
  // Kilobytes (1024 bytes) per second for all tasks together; 1410065407, 0 or less: no limit.
  virtual int32_t SetSpeedLimit(int32_t kilobytesPerSecond) = 0;
  virtual int32_t CreateTaskByThunder(const char16_t* url, const char16_t* fileName,
                                      const char16_t* referer, const void* charge,
                                      const char16_t* cookies) = 0;
  virtual int32_t CreateBTTaskByThunder(const char16_t* path) = 0;
  // Pauses a task; StartTask resumes it (and tries a failed one again) from its bytes on disk.
  virtual int32_t StopTask(int32_t handle) = 0;
  // Stops a task and forgets its handle; with removeFiles also deletes its partial files.
  virtual int32_t DeleteTask(int32_t handle, int32_t removeFiles) = 0;
  // A descriptor that turns readable when a task's state changes (see XL_GetTaskEventFd), for
  // the caller to wait on and to read 8 bytes from; -1 when the engine has none and the caller
  // polls. Owned by the engine: never closed by the caller.
  virtual int32_t GetTaskEventFd() { return -1; }
};

// The engine library's file name. It lives in the program's own directory, or, once installed,
// in the installed tree's private library directory (<prefix>/lib/sharefetch).
inline constexpr const char* kEngineLibraryName = "libsfengine.so";

struct EngineLocation {
  std::string path;        // the library to load; the one beside the program when none exists
  bool found = false;      // the library exists at `path`
  bool installed = false;  // found in the installed tree, not beside the program
};

// Where the engine of a program in `programDirectory` is: beside the program first, then in
// the installed library directory relative to it. Never through the loader's search path.
EngineLocation LocateEngineLibrary(const std::string& programDirectory);

struct EngineLoad {
  std::unique_ptr<DownloadEngine> engine;  // null on failure
  std::string error;                       // names the path and what went wrong
};

// Loads the engine library at `path` and binds every call of the table.
EngineLoad LoadEngineLibrary(const std::string& path);

// Loads the engine of the running program, from where LocateEngineLibrary finds it.
EngineLoad LoadEngineFromProgramDirectory();

}  // namespace sf
