// sharefetchd's command line: the share host and the prompts' time-out beside the rest, and
// the values it must refuse; where downloads go.
#include "service/service_options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace sf::service {
namespace {

TEST(ServiceOptionsTest, ShareHostAndPromptTimeoutAreTakenAndBadValuesRefused) {
  DaemonCommand command = ParseDaemonCommand(
      {"--share-host", "http://127.0.0.1:8080/", "--prompt-timeout", "90", "--state-dir", "/x"});
  ASSERT_EQ(command.error, "");
  EXPECT_EQ(command.options.shares.host, "http://127.0.0.1:8080");
  EXPECT_EQ(command.options.shares.promptTimeout, std::chrono::seconds(90));
  EXPECT_EQ(command.options.stateDirectory, "/x");

  // Without one, the prompts wait ten minutes.
  EXPECT_EQ(ParseDaemonCommand({"--state-dir", "/x"}).options.shares.promptTimeout,
            std::chrono::minutes(10));

  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--prompt-timeout", "0"},
                                                {"--prompt-timeout", "10s"},
                                                {"--prompt-timeout", "9999999"},
                                                {"--share-host", "ftp://host"},
                                                {"--prompt-timeout"},
                                                {"--download-dir", ""}}) {
    SCOPED_TRACE(wrong[0] + " " + (wrong.size() > 1 ? wrong[1] : ""));
    EXPECT_NE(ParseDaemonCommand(wrong).error, "");
  }
}

TEST(ServiceOptionsTest, DownloadFolderGivenMadeAbsoluteOrChosenFromTheEnvironment) {
  EXPECT_EQ(ParseDaemonCommand({"--download-dir", "/srv/dl"}).options.downloads.directory,
            "/srv/dl");
  std::string relative =
      ParseDaemonCommand({"--download-dir", "dl/../got"}).options.downloads.directory;
  EXPECT_EQ(relative, (std::filesystem::current_path() / "got").string());

  const char* systemd = std::getenv("STATE_DIRECTORY");
  std::string kept = systemd ? systemd : "";
  setenv("STATE_DIRECTORY", "/var/lib/sfd:/var/lib/other", 1);
  EXPECT_EQ(ParseDaemonCommand({}).options.downloads.directory, "/var/lib/sfd/downloads");
  unsetenv("STATE_DIRECTORY");
  const char* home = std::getenv("HOME");
  std::string homeKept = home ? home : "";
  setenv("HOME", "/home/who", 1);
  EXPECT_EQ(ParseDaemonCommand({}).options.downloads.directory, "/home/who/Downloads/sharefetch");
  if (home) setenv("HOME", homeKept.c_str(), 1);
  if (systemd) setenv("STATE_DIRECTORY", kept.c_str(), 1);
}

}  // namespace
}  // namespace sf::service
