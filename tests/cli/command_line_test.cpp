// Every terminal command reads its options by the same rules: both forms of a value, --help,
// an unknown option, a missing value and a control character in a value.
#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>

#include "cli/download_command.h"
#include "cli/get_command.h"
#include "cli/quick_command.h"
#include "cli/resolve_command.h"
#include "cli_runner.h"
#include "share_simulator.h"

namespace sf::cli {
namespace {

using test::Outcome;

// `download` writes to the program's own streams.
int Download(const std::vector<std::string>& args, Streams io) {
  std::streambuf* out = std::cout.rdbuf(io.out.rdbuf());
  std::streambuf* err = std::cerr.rdbuf(io.err.rdbuf());
  int code = RunDownload(args);
  std::cout.rdbuf(out);
  std::cerr.rdbuf(err);
  return code;
}

int Get(const std::vector<std::string>& args, Streams io) {
  static const std::atomic<bool> interrupted{false};
  auto noEngine = [](std::string& error) -> DownloadEngine* {
    error = "no engine in this test";
    return nullptr;
  };
  return RunGet(args, io, noEngine, false, interrupted);
}

TEST(CommandLine, EveryCommandReadsOptionsAlike) {
  struct Command {
    const char* name;
    std::function<int(const std::vector<std::string>&, Streams)> run;
    const char* valueOption;  // one that takes any text
  };
  const Command commands[] = {{"resolve", RunResolve, "--password"},
                              {"quick", RunQuick, "--password"},
                              {"download", Download, "--name"},
                              {"get", Get, "--password"}};
  for (const Command& c : commands) {
    SCOPED_TRACE(c.name);
    const std::string usage = std::string("Usage: sharefetch-cli ") + c.name;
    const std::string v = c.valueOption;
    Outcome help = test::RunCommand(c.run, {"x", "--help", "--bogus"});
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.rfind(usage, 0), 0u);
    EXPECT_EQ(test::RunCommand(c.run, {v, "x", "-h"}).code,
              0);  // -h is no value of anything before it

    struct Wrong {
      std::vector<std::string> args;
      std::string problem;
    };
    const Wrong wrong[] = {
        {{"--bogus", "x"}, "unknown option --bogus"},
        {{"-q", "x"}, "unknown option -q"},
        {{"--bogus=1", "x"}, "unknown option --bogus=1"},
        {{"x", v}, v + " needs a value"},
        {{v + "=a\nb", "x"}, v + " holds a control character"},
        {{v, "a\x1b[2Jb", "x"}, v + " holds a control character"},
    };
    for (const Wrong& w : wrong) {
      Outcome r = test::RunCommand(c.run, w.args);
      EXPECT_EQ(r.code, 2) << w.problem;
      EXPECT_EQ(r.err, "sharefetch-cli " + std::string(c.name) + ": " + w.problem + "\n" +
                           r.err.substr(r.err.find('\n') + 1));
      EXPECT_EQ(r.err.find(usage, r.err.find('\n')), r.err.find('\n') + 1) << r.err;
      EXPECT_TRUE(r.out.empty());
    }
  }
  // A switch takes no value.
  EXPECT_NE(test::RunCommand(RunResolve, {"--json=yes", "x"}).err.find("--json takes no value"),
            std::string::npos);

  // Both forms of a value, alike in every command that takes the option.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--dir=/d", "--jobs=2", "--limit", "7", "http://h/a"},
        std::vector<std::string>{"--dir", "/d", "--jobs", "2", "--limit=7", "http://h/a"}}) {
    std::string error;
    std::optional<DownloadOptions> o = ParseDownloadArgs(args, error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->dir, "/d");
    EXPECT_EQ(o->jobs, 2);
    EXPECT_EQ(o->limitKb, 7);
  }
  sim::ShareSimulator simulator;
  ASSERT_TRUE(simulator.StartFromText(
      R"({"shares": [{"id": "pub", "items": [{"name": "a.txt", "size": 10}]}]})"))
      << simulator.error();
  const std::string share = simulator.ShareUrl("pub");
  const std::string url = simulator.Url("");
  for (const std::vector<std::string>& host :
       {std::vector<std::string>{"--host=" + url}, std::vector<std::string>{"--host", url}}) {
    auto with = [&](std::vector<std::string> rest) {
      rest.insert(rest.begin(), host.begin(), host.end());
      return rest;
    };
    EXPECT_EQ(test::RunCommand(RunResolve, with({share})).code, 0);
    EXPECT_EQ(test::RunCommand(RunQuick, with({share})).code, 0);
    Outcome plan = test::RunCommand(Get, with({"--dry-run", "--dir=/d", "--jobs", "2", share}));
    EXPECT_EQ(plan.code, 0) << plan.err;
    EXPECT_EQ(plan.out, "10\ta.txt\n");
    EXPECT_EQ(test::RunCommand(Get, with({"--dry-run", "--dir", "/d", "--jobs=2", share})).out,
              plan.out);
  }
}

}  // namespace
}  // namespace sf::cli
