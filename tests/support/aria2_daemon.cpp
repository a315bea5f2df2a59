#include "aria2_daemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

extern char** environ;

namespace sf::test {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

bool Accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = Loopback(port);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

int FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

Aria2Daemon::Aria2Daemon(const std::string& dir, const std::string& secret) {
  // Another process may take the free port before aria2c binds it; then it ends at once.
  for (int attempt = 0; attempt < 5 && !running(); ++attempt) StartOnce(dir, secret);
}

Aria2Daemon::~Aria2Daemon() {
  Stop();
}

std::string Aria2Daemon::Endpoint() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/jsonrpc";
}

bool Aria2Daemon::StartOnce(const std::string& dir, const std::string& secret) {
  port_ = FreeLoopbackPort();
  std::vector<std::string> args = {"aria2c",
                                   "--no-conf",
                                   "--enable-rpc",
                                   "--rpc-listen-all=false",
                                   "--rpc-listen-port=" + std::to_string(port_),
                                   "--dir=" + dir,
                                   "--stop-with-process=" + std::to_string(::getpid()),
                                   "--file-allocation=none",
                                   "--disable-ipv6",
                                   "--log=" + dir + ".log",
                                   "--log-level=notice",
                                   "--quiet"};
  if (!secret.empty()) args.push_back("--rpc-secret=" + secret);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, "aria2c", nullptr, nullptr, argv.data(), environ) != 0) {
    error_ = "aria2c cannot be started (is the Debian package aria2 installed?)";
    return false;
  }
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      error_ = "aria2c ended before it answered; see " + dir + ".log";
      return false;
    }
    if (Accepts(port_)) {
      pid_ = pid;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  error_ = "aria2c did not answer within 20 s";
  return false;
}

void Aria2Daemon::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid_ = -1;
}

}  // namespace sf::test
