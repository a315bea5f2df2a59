#include "service/service_options.h"

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "share/share_host.h"

namespace sf::service {

const char* const kDaemonUsage =
    "Usage: sharefetchd [OPTION...]            run the service\n"
    "       sharefetchd password [OPTION...]   set a new login password, read from standard\n"
    "                                          input or --password-file; ends every session\n"
    "\n"
    "  --listen ADDRESS       the address to listen on (default 127.0.0.1)\n"
    "  --port N               the port (default 8765)\n"
    "  --state-dir DIR        where the state is kept (default $STATE_DIRECTORY, else\n"
    "                         $XDG_STATE_HOME/sharefetchd, else ~/.local/state/sharefetchd)\n"
    "  --allow-host NAME      a host name the service answers to besides the loopback\n"
    "                         names and the listen address (repeatable)\n"
    "  --trusted-proxy ADDR   a reverse proxy whose X-Forwarded-For is believed (repeatable)\n"
    "  --share-host URL       the share service's web host (default $SHAREFETCH_HOST, else\n"
    "                         the service's own)\n"
    "  --prompt-timeout S     seconds a password or captcha prompt waits for its answer\n"
    "                         before its share is given up (default 600)\n"
    "  --download-dir DIR     where downloaded files go (default $STATE_DIRECTORY/downloads\n"
    "                         under systemd, else ~/Downloads/sharefetch)\n"
    "  --password-file FILE   with `password`: read the new password from FILE\n"
    "  --help                 show this help\n"
    "  --version              show the version\n";

std::string DefaultStateDirectory() {
  if (const char* systemd = std::getenv("STATE_DIRECTORY"); systemd && *systemd) {
    std::string first = systemd;  // systemd lists several with ':' when asked to
    return first.substr(0, first.find(':'));
  }
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/')
    return std::string(xdg) + "/sharefetchd";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/state/sharefetchd";
}

std::string DefaultDownloadDirectory() {
  if (const char* systemd = std::getenv("STATE_DIRECTORY"); systemd && *systemd) {
    std::string first = systemd;
    return first.substr(0, first.find(':')) + "/downloads";
  }
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/Downloads/sharefetch";
}

DaemonCommand ParseDaemonCommand(const std::vector<std::string>& arguments) {
  DaemonCommand command;
  ServiceOptions& options = command.options;
  options.http.port = 8765;
  size_t i = 0;
  std::optional<std::string> shareHost;
  if (!arguments.empty() && arguments[0] == "password") {
    command.action = DaemonCommand::kSetPassword;
    i = 1;
  }
  auto fail = [&command](std::string why) {
    command.error = std::move(why);
    return command;
  };
  for (; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--help") return command.action = DaemonCommand::kHelp, command;
    if (option == "--version") return command.action = DaemonCommand::kVersion, command;
    if (i + 1 >= arguments.size()) return fail("unknown option or missing value: " + option);
    const std::string& value = arguments[++i];
    if (option == "--listen") {
      options.http.address = value;
    } else if (option == "--port") {
      if (value.empty() || value.size() > 5 ||
          value.find_first_not_of("0123456789") != std::string::npos || std::stoi(value) < 1 ||
          std::stoi(value) > 65535)
        return fail("--port wants a number from 1 to 65535");
      options.http.port = static_cast<uint16_t>(std::stoi(value));
    } else if (option == "--state-dir") {
      options.stateDirectory = value;
    } else if (option == "--download-dir") {
      if (value.empty()) return fail("--download-dir wants a folder");
      options.downloads.directory = value;
    } else if (option == "--allow-host") {
      options.http.allowedHosts.push_back(value);
    } else if (option == "--trusted-proxy") {
      options.http.trustedProxies.push_back(value);
    } else if (option == "--share-host") {
      shareHost = value;
    } else if (option == "--prompt-timeout") {
      if (value.empty() || value.size() > 6 ||
          value.find_first_not_of("0123456789") != std::string::npos || std::stoi(value) < 1)
        return fail("--prompt-timeout wants a number of seconds from 1 to 999999");
      options.shares.promptTimeout = std::chrono::seconds(std::stoi(value));
    } else if (option == "--password-file" && command.action == DaemonCommand::kSetPassword) {
      command.passwordFile = value;
    } else {
      return fail("unknown option: " + option);
    }
  }
  if (options.stateDirectory.empty()) options.stateDirectory = DefaultStateDirectory();
  if (options.downloads.directory.empty()) options.downloads.directory = DefaultDownloadDirectory();
  // The engine opens files by absolute paths, and the service may change its folder later.
  if (options.downloads.directory[0] != '/')
    options.downloads.directory =
        std::filesystem::absolute(options.downloads.directory).lexically_normal().string();
  std::string hostError;
  std::optional<std::string> host = ChooseShareHost(shareHost, &hostError);
  if (!host) return fail(hostError);
  options.shares.host = *host;
  return command;
}

}  // namespace sf::service
