// sharefetchd: the service program. It runs until SIGINT or SIGTERM, or sets a new password.
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "base/paths.h"
#include "base/version.h"
#include "service/service_options.h"
#include "service/web_files.h"

namespace {

// The first line of `in`, without its line end.
std::string FirstLine(std::istream& in) {
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string ReadPassword(const std::string& file) {
  if (!file.empty()) {
    std::ifstream in(file);
    return in ? FirstLine(in) : std::string();
  }
  termios saved{};
  bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    std::cerr << "New password: " << std::flush;
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::string password = FirstLine(std::cin);
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::cerr << "\n";
  }
  return password;
}

// True when standard error is the journal's stream, as systemd tells through JOURNAL_STREAM
// ("DEVICE:INODE" of the stream it connected).
bool StandardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat info {};
  if (!stream || fstat(STDERR_FILENO, &info) != 0) return false;
  return std::string(stream) == std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

int SetPassword(const sf::service::DaemonCommand& command) {
  std::string password = ReadPassword(command.passwordFile);
  if (password.size() < 8) {
    std::cerr << "sharefetchd: the password must have at least 8 characters\n";
    return 2;
  }
  std::string error = sf::service::SetPassword(command.options.stateDirectory, password,
                                               command.options.passwordIterations);
  if (!error.empty()) {
    std::cerr << "sharefetchd: " << error << "\n";
    return 1;
  }
  std::cerr << "sharefetchd: the password is set; every session has ended\n";
  return 0;
}

int Run(const sf::service::DaemonCommand& command) {
  // Blocked before any thread starts, so only the wait below receives them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  sf::service::ServiceOptions options = command.options;
  options.http.staticFiles =
      sf::service::WebFiles(sf::service::WebDirectory(sf::ProgramDirectory()));
  if (options.http.staticFiles.empty())
    std::cerr << "sharefetchd: the page's files are not found; only the API is served\n";
  sf::service::Service service(options);
  std::string password;
  std::string error = service.Start(password);
  if (!error.empty()) {
    std::cerr << "sharefetchd: " << error << "\n";
    return 1;
  }
  if (!password.empty() && StandardErrorIsJournal()) {
    // The journal keeps what it is told for anyone with access to it: the password goes to a
    // file that only the service's user can read.
    std::string file = sf::service::KeepFirstPassword(command.options.stateDirectory, password);
    if (file.empty()) {
      std::cerr << "sharefetchd: the first password cannot be kept; `sharefetchd password` "
                   "sets one\n";
    } else {
      std::cerr << "sharefetchd: first start; the login password is in " << file
                << "\nsharefetchd: remove it once read; `sharefetchd password` sets another\n";
    }
  } else if (!password.empty()) {
    std::cerr << "sharefetchd: first start; the login password is " << password
              << "\nsharefetchd: it is shown only this once; `sharefetchd password` sets another\n";
  }
  std::string host = command.options.http.address;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  std::cerr << "sharefetchd: listening on http://" << host << ":" << service.port() << "/\n";
  int received = 0;
  sigwait(&signals, &received);
  service.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Every thread that allocates would get a heap of its own, and each keeps the pages its
  // large tasks freed (a share's listing, its links, the plan of its downloads): with dozens
  // of threads that is far more than the live data. Two heaps are enough for two cores.
  mallopt(M_ARENA_MAX, 2);
  sf::service::DaemonCommand command =
      sf::service::ParseDaemonCommand(std::vector<std::string>(argv + 1, argv + argc));
  if (!command.error.empty()) {
    std::cerr << "sharefetchd: " << command.error << "\n" << sf::service::kDaemonUsage;
    return 2;
  }
  switch (command.action) {
    case sf::service::DaemonCommand::kHelp:
      std::cout << sf::service::kDaemonUsage;
      return 0;
    case sf::service::DaemonCommand::kVersion:
      std::cout << sf::VersionLine("sharefetchd") << "\n";
      return 0;
    case sf::service::DaemonCommand::kSetPassword:
      return SetPassword(command);
    case sf::service::DaemonCommand::kRun:
      break;
  }
  return Run(command);
}
