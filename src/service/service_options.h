// sharefetchd's command line. Passwords never come from it, since every user of the machine
// can read a process's arguments: they come from standard input or a file.
#pragma once

#include <string>
#include <vector>

#include "service/service.h"

namespace sf::service {

struct DaemonCommand {
  enum Action { kRun, kSetPassword, kHelp, kVersion } action = kRun;
  ServiceOptions options;
  std::string passwordFile;  // for kSetPassword; empty: standard input
  std::string error;         // set when the command line is wrong
};

// The state directory when none is given: systemd's $STATE_DIRECTORY, else
// $XDG_STATE_HOME/sharefetchd, else ~/.local/state/sharefetchd.
std::string DefaultStateDirectory();

// Where downloads go when no folder is given: $STATE_DIRECTORY/downloads under systemd, else
// ~/Downloads/sharefetch.
std::string DefaultDownloadDirectory();

DaemonCommand ParseDaemonCommand(const std::vector<std::string>& arguments);

extern const char* const kDaemonUsage;

}  // namespace sf::service
