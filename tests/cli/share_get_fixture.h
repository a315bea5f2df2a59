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
  // `folders`: made below the root before each test.
  explicit ShareGetTest(std::string shares, EngineSource engine = NoEngine,
                        std::vector<std::string> folders = {})
      : shares_(std::move(shares)), engine_(std::move(engine)), folders_(std::move(folders)) {}

  void SetUp() override {
    ASSERT_TRUE(simulator.StartFromText(shares_)) << simulator.error();
    for (const std::string& folder : folders_) std::filesystem::create_directories(root / folder);
  }

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
  // `get` of the share `id`, with `args` before its address.
  Outcome GetShare(std::vector<std::string> args, const std::string& id,
                   const std::atomic<bool>* interrupted = nullptr) {
    args.push_back(simulator.ShareUrl(id));
    return RunGetCommand(std::move(args), {}, interrupted);
  }

  Sandbox sandbox;
  const std::filesystem::path root = sandbox.path();
  sim::ShareSimulator simulator;

 private:
  std::string shares_;
  EngineSource engine_;
  std::vector<std::string> folders_;
};

}  // namespace sf::test
