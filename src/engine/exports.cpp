// The engine library's call table. Nothing may throw across it: each call catches everything
// and answers as a failed call would.
#include "engine/engine.h"
#include "engine_api/engine_api.h"

#define SF_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

template <typename F>
int32_t Guard(F&& f, int32_t failed = 0) {
  try {
    return f();
  } catch (...) {
    return failed;
  }
}

}  // namespace

using sf::engine::Engine;

SF_EXPORT int32_t XL_Init() {
  return Guard([] { return Engine::Instance().Init(); });
}

SF_EXPORT int32_t XL_CreateTask(const void* param) {
  return Guard([&] { return Engine::Instance().CreateTask(param); });
}

SF_EXPORT int32_t XL_StartTask(int32_t handle) {
  return Guard([&] { return Engine::Instance().StartTask(handle); });
}

SF_EXPORT int32_t XL_StopTask(int32_t handle) {
  return Guard([&] { return Engine::Instance().StopTask(handle); });
}

SF_EXPORT int32_t XL_DeleteTask(int32_t handle, int32_t removeFiles) {
  return Guard([&] { return Engine::Instance().DeleteTask(handle, removeFiles); });
}

SF_EXPORT int32_t XL_QueryTaskInfoEx(int32_t handle, void* info) {
  return Guard([&] { return Engine::Instance().QueryTaskInfo(handle, info); });
}

SF_EXPORT int32_t XL_SetSpeedLimit(int32_t kilobytesPerSecond) {
  return Guard([&] { return Engine::Instance().SetSpeedLimit(kilobytesPerSecond); });
}

SF_EXPORT int32_t XL_GetTaskEventFd() {
  return Guard([] { return Engine::Instance().TaskEventFd(); }, -1);
}

// This engine talks to no external download client and does not do BitTorrent, so these two
// entry points accept their arguments, start nothing and answer 0.
SF_EXPORT int32_t XL_CreateTaskByThunder(const char16_t*, const char16_t*, const char16_t*,
                                         const void*, const char16_t*) {
  return 0;
}

SF_EXPORT int32_t XL_CreateBTTaskByThunder(const char16_t*) {
  return 0;
}

// The signatures above must be exactly the ones the loader binds.
static_assert(std::is_same_v<decltype(&XL_Init), XL_InitFn>);
static_assert(std::is_same_v<decltype(&XL_CreateTask), XL_CreateTaskFn>);
static_assert(std::is_same_v<decltype(&XL_StartTask), XL_StartTaskFn>);
static_assert(std::is_same_v<decltype(&XL_StopTask), XL_StopTaskFn>);
static_assert(std::is_same_v<decltype(&XL_DeleteTask), XL_DeleteTaskFn>);
static_assert(std::is_same_v<decltype(&XL_QueryTaskInfoEx), XL_QueryTaskInfoExFn>);
static_assert(std::is_same_v<decltype(&XL_SetSpeedLimit), XL_SetSpeedLimitFn>);
static_assert(std::is_same_v<decltype(&XL_GetTaskEventFd), XL_GetTaskEventFdFn>);
static_assert(std::is_same_v<decltype(&XL_CreateTaskByThunder), XL_CreateTaskByThunderFn>);
static_assert(std::is_same_v<decltype(&XL_CreateBTTaskByThunder), XL_CreateBTTaskByThunderFn>);
