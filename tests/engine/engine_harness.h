// Drives the real engine library through the binding, as the program does.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "download/download_engine.h"
#include "sandbox.h"
#include "text_helpers.h"

namespace sf::test {

// The engine library, loaded once per process. Before loading it sets the engine's tuning
// variables for tests (short retry pauses and stall time-out, the test CA bundle path).
DownloadEngine& Engine();
// Where the TLS test writes the certificate the engine is told to trust.
std::string TestCaBundlePath();

struct TaskOutcome {
  int32_t state = 0;
  int32_t failure = 0;
  std::string name;  // UTF-8, as the engine reports it
  int64_t size = 0;
  int64_t downloaded = 0;
  float progress = 0;
  bool originValid = false;
  bool alreadyComplete = false;
};

struct NewTask {
  NewTask(std::string u, std::string d, std::string n)
      : url(std::move(u)), dir(std::move(d)), name(std::move(n)) {}
  std::string url;
  std::string dir;
  std::string name;  // UTF-8
  bool resume = true;
  std::string referer;
  std::string cookies;
};

int32_t StartTask(const NewTask& task);
TaskOutcome Query(int32_t handle);
// Polls until the task is finished or failed, or `limit` passes.
TaskOutcome WaitForEnd(int32_t handle, std::chrono::milliseconds limit = std::chrono::seconds(30));
TaskOutcome RunTask(const NewTask& task);

void WriteWholeFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
std::string RandomBytes(size_t n, uint32_t seed);

}  // namespace sf::test
