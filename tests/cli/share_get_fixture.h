// A local share service serving the suite's own shares, a sandbox for what `get` writes, and
// `get` run in this process against them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cli/get_command.h"
#include "cli_runner.h"
#include "sandbox.h"
#include "share_simulator.h"

namespace sf::test {

using EngineSource = std::function<DownloadEngine*(std::string& error)>;

// For runs that hand the share to another downloader: asking for the engine is a fault.
inline DownloadEngine* NoEngine(std::string& error) {
  error = "no engine: nothing may be downloaded here";
  return nullptr;
}

class ShareGetTest : public ::testing::Test {
 protected:
  explicit ShareGetTest(std::string shares, EngineSource engine = NoEngine)
      : shares_(std::move(shares)), engine_(std::move(engine)) {}

  void SetUp() override { ASSERT_TRUE(simulator.StartFromText(shares_)) << simulator.error(); }

  // `get` with `args` after --host; `input` answers its prompts, `interrupted` stands for
  // Ctrl-C (null: never).
  Outcome RunGetCommand(std::vector<std::string> args, TypedLine input = {},
                        const std::atomic<bool>* interrupted = nullptr) {
    static const std::atomic<bool> never{false};
    args.insert(args.begin(), {"--host", simulator.Url("")});
    return RunCommand(
        [&](const std::vector<std::string>& a, cli::Streams io) {
          return cli::RunGet(a, io, engine_, false, interrupted ? *interrupted : never);
        },
        args, std::move(input));
  }

  Sandbox sandbox;
  const std::filesystem::path root = sandbox.path();
  sim::ShareSimulator simulator;

 private:
  std::string shares_;
  EngineSource engine_;
};

}  // namespace sf::test
