// The share-sim program as a person or a script starts it: usage errors, the printed address,
// serving, and stopping when its standard input closes.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "sim_client.h"

extern char** environ;

namespace sf::sim::test {
namespace {

struct Child {
  pid_t pid = -1;
  int in = -1, out = -1;
};

Child Spawn(std::vector<std::string> args) {
  int toChild[2], fromChild[2];
  if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addclose(&actions, toChild[1]);
  posix_spawn_file_actions_addclose(&actions, fromChild[0]);
  args.insert(args.begin(), SHARE_SIM_PROGRAM);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Child c;
  if (posix_spawn(&c.pid, SHARE_SIM_PROGRAM, &actions, nullptr, argv.data(), environ) != 0)
    c.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  c.in = toChild[1];
  c.out = fromChild[0];
  return c;
}

std::string ReadLine(int fd) {
  std::string line;
  char ch;
  while (::read(fd, &ch, 1) == 1 && ch != '\n') line += ch;
  return line;
}

int Wait(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 100; ++i) {  // at most 10 s, then it is stopped for good
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ::usleep(100000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -2;
}

TEST(ShareSimProgram, WrongUsageExitsWithTwo) {
  for (auto args : std::vector<std::vector<std::string>>{{},
                                                         {"--fixture"},
                                                         {"--demo", "--port", "70000"},
                                                         {"--demo", "--rate", "fast"},
                                                         {"--bogus"}}) {
    Child c = Spawn(args);
    ASSERT_GT(c.pid, 0);
    ::close(c.in);
    EXPECT_EQ(Wait(c.pid), 2) << (args.empty() ? "(no arguments)" : args[0]);
    ::close(c.out);
  }
  Child missing = Spawn({"--fixture", "/nonexistent/fixture.json"});
  ::close(missing.in);
  EXPECT_EQ(Wait(missing.pid), 1);
  ::close(missing.out);
}

TEST(ShareSimProgram, PrintsItsAddressServesAndStopsAtEndOfInput) {
  Child c = Spawn({"--demo", "--exit-on-eof"});
  ASSERT_GT(c.pid, 0);
  std::string first = ReadLine(c.out);
  ASSERT_EQ(first.rfind("listening on http://127.0.0.1:", 0), 0u) << first;
  int port = std::stoi(first.substr(first.rfind(':') + 1));
  std::string share = ReadLine(c.out);
  EXPECT_EQ(share,
            "share 1demoPublic: http://127.0.0.1:" + std::to_string(port) + "/s/1demoPublic");
  Reply page = Fetch(port, "GET", "/s/1demoPublic");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("yunData.setData("), std::string::npos);
  ::close(c.in);
  EXPECT_EQ(Wait(c.pid), 0);
  ::close(c.out);
}

}  // namespace
}  // namespace sf::sim::test
