// A download engine that remembers every call and answers queries from reports a test sets,
// for the download queue, the download list's logic and the window's handlers.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "download/download_engine.h"
#include "download/task_records.h"
#include "engine_api/engine_api.h"

namespace sf::test {

// A text field of a record as the engine sees it: UTF-16 up to its terminator.
inline std::u16string ReadWide(const uint8_t* record, layout::Field f) {
  std::u16string text;
  for (size_t i = 0; i + 1 < f.width; i += 2) {
    auto unit = static_cast<char16_t>(record[f.offset + i] | (record[f.offset + i + 1] << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

inline std::string ReadText(const uint8_t* record, layout::Field f) {
  return Utf16ToGbk(ReadWide(record, f));
}

template <typename T>
inline void Put(uint8_t* record, layout::Field f, T value) {
  std::memcpy(record + f.offset, &value, sizeof value);
}

struct Created {
  std::string url, fileName, saveDir;
  bool givenAddressOnly, noAutoRename, resume;
  std::u16string wideFileName;  // the name's units as handed over, before any conversion
};

struct Report {
  int32_t state = layout::kStateDownloading;
  std::string fileName;  // GBK
  int64_t total = 0;
  int64_t done = 0;
  float progress = 0;
  int32_t speed = 0;
  int32_t failure = 0;
  bool alreadyComplete = false;
  bool answers = true;  // false: the query fails
};

// Hands out handles from 7 on (or from `firstHandle`, or the ones queued), remembers every call,
// and answers queries from the reports a test set.
class RecordingEngine : public DownloadEngine {
 public:
  explicit RecordingEngine(int32_t firstHandle = 7) : counter_(firstHandle) {}

  std::vector<Created> created;
  std::vector<int32_t> started, queried, limits, stopped;
  std::vector<std::pair<int32_t, int32_t>> deleted;  // handle, removeFiles
  std::vector<int32_t> nextHandles;
  std::map<int32_t, Report> reports;
  int inits = 0;
  std::function<void()> onInit;  // runs inside Init, to see what happened before it

  int32_t Init() override {
    ++inits;
    if (onInit) onInit();
    return 1;
  }
  int32_t CreateTask(const void* param) override {
    const auto* r = static_cast<const uint8_t*>(param);
    namespace p = layout::param;
    created.push_back({ReadText(r, p::kUrl), ReadText(r, p::kFileName), ReadText(r, p::kSaveDir),
                       r[p::kGivenAddressOnly.offset] != 0, r[p::kNoAutoRename.offset] != 0,
                       r[p::kResume.offset] != 0, ReadWide(r, p::kFileName)});
    if (!nextHandles.empty()) {
      int32_t h = nextHandles.front();
      nextHandles.erase(nextHandles.begin());
      return h;
    }
    return counter_++;
  }
  int32_t StartTask(int32_t handle) override {
    started.push_back(handle);
    return 1;
  }
  int32_t QueryTaskInfoEx(int32_t handle, void* info) override {
    queried.push_back(handle);
    auto it = reports.find(handle);
    if (it == reports.end() || !it->second.answers) return 0;
    const Report& rep = it->second;
    auto* r = static_cast<uint8_t*>(info);
    namespace i = layout::info;
    Put(r, i::kState, rep.state);
    std::string wide = ToWide(rep.fileName);
    std::memset(r + i::kFileName.offset, 0, i::kFileName.width);
    std::memcpy(r + i::kFileName.offset, wide.data(), std::min(wide.size(), i::kFileName.width));
    Put(r, i::kTotalSize, rep.total);
    Put(r, i::kDownloaded, rep.done);
    Put(r, i::kProgress, rep.progress);
    Put(r, i::kSpeed, rep.speed);
    Put(r, i::kFailureCode, rep.failure);
    Put(r, i::kAlreadyComplete, int32_t{rep.alreadyComplete ? 1 : 0});
    return 1;
  }
  int32_t SetSpeedLimit(int32_t limit) override {
    limits.push_back(limit);
    return 1;
  }
  int32_t CreateTaskByThunder(const char16_t*, const char16_t*, const char16_t*, const void*,
                              const char16_t*) override {
    return 0;
  }
  int32_t CreateBTTaskByThunder(const char16_t*) override { return 0; }
  // Like the engine, a paused task reports state 2 and a deleted one is unknown from then on.
  int32_t StopTask(int32_t handle) override {
    stopped.push_back(handle);
    if (auto it = reports.find(handle); it != reports.end())
      it->second.state = layout::kStatePaused;
    return 1;
  }
  int32_t DeleteTask(int32_t handle, int32_t removeFiles) override {
    deleted.emplace_back(handle, removeFiles);
    reports.erase(handle);
    return 1;
  }

 private:
  int32_t counter_;
};

}  // namespace sf::test
