// sharefetchd's command line: the share host and the prompts' time-out beside the rest, and
// the values it must refuse.
#include "service/service_options.h"

#include <gtest/gtest.h>

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
                                                {"--prompt-timeout"}}) {
    SCOPED_TRACE(wrong[0] + " " + (wrong.size() > 1 ? wrong[1] : ""));
    EXPECT_NE(ParseDaemonCommand(wrong).error, "");
  }
}

}  // namespace
}  // namespace sf::service
