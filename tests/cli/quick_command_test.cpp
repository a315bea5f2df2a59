// The terminal program's quick command, run in-process against the local share service.
#include "cli/quick_command.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli_runner.h"
#include "sandbox.h"
#include "share_simulator.h"
#include "text_helpers.h"

namespace sf::cli {
namespace {

using test::Outcome;
using test::ReadFile;

class QuickCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(simulator.StartFromText(R"({"shares": [
      {"id": "pub", "items": [{"name": "a.txt", "size": 10}, {"name": "b.txt", "size": 3}]},
      {"id": "locked", "password": "ab12", "items": [{"name": "secret.zip", "size": 77}]},
      {"id": "cap", "items": [{"name": "1.bin", "size": 1, "captcha": true}]}
    ]})"))
        << simulator.error();
  }

  Outcome Quick(std::vector<std::string> args, test::TypedLine input = {}, bool withHost = true) {
    if (withHost) args.insert(args.begin(), {"--host", simulator.Url("")});
    return test::RunCommand(RunQuick, args, std::move(input));
  }

  sim::ShareSimulator simulator;
};

TEST_F(QuickCommand, PrintsTheFirstFilesLink) {
  Outcome r = Quick({simulator.ShareUrl("pub")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "无需输入分享密码\n");
  EXPECT_EQ(r.out.rfind(simulator.Url("/file/"), 0), 0u);
  EXPECT_NE(r.out.find("/a.txt?"), std::string::npos);
  EXPECT_EQ(r.out.find('\\'), std::string::npos);
  EXPECT_EQ(r.out.back(), '\n');
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
}

TEST_F(QuickCommand, AProtectedShareWithAndWithoutItsPassword) {
  Outcome ok = Quick({"--password=ab12", simulator.InitUrl("locked")});
  EXPECT_EQ(ok.code, 0) << ok.err;
  EXPECT_EQ(ok.err, "需要输入分享密码\n");
  EXPECT_NE(ok.out.find("/secret.zip?"), std::string::npos);

  Outcome wrong = Quick({"--password", "nope", simulator.InitUrl("locked")});
  EXPECT_EQ(wrong.code, 1);
  EXPECT_EQ(wrong.out, "");
  EXPECT_EQ(wrong.err, "需要输入分享密码\n分享密码错误，请检查后重新解析\n未得到下载链接\n");
}

TEST_F(QuickCommand, CaptchasAreSavedAndAnsweredWhileTheyKeepComing) {
  std::vector<std::string> pictures;
  int asked = 0;
  Outcome r = Quick({simulator.ShareUrl("cap")}, [&]() -> std::optional<std::string> {
    ++asked;
    if (asked == 1) return "";  // a blank line is refused and asked again
    std::string answer = simulator.LatestCaptchaAnswer().value_or("");
    if (asked == 2) return answer == "ZZZZ" ? "YYYY" : "ZZZZ";
    return answer;
  });
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(simulator.CountRequests("/api/getvcode"), 2u);
  EXPECT_NE(r.err.find("请输入验证码!\n"), std::string::npos);
  EXPECT_NE(r.out.find("/1.bin?"), std::string::npos);

  // Each picture went to a file of its own, named on the error stream.
  const std::string kPicture = "验证码图片: ";
  std::istringstream lines(r.err);
  std::string line;
  while (std::getline(lines, line))
    if (size_t at = line.find(kPicture); at != std::string::npos)
      pictures.push_back(line.substr(at + kPicture.size()));
  ASSERT_EQ(pictures.size(), 2u);
  EXPECT_NE(pictures[0], pictures[1]);
  for (const auto& path : pictures) {
    EXPECT_EQ(ReadFile(path).rfind("\x89PNG", 0), 0u) << path;
    std::filesystem::remove(path);
  }
}

TEST_F(QuickCommand, EndOfInputAtACaptchaStops) {
  Outcome r = Quick({simulator.ShareUrl("cap")});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(simulator.CountRequests("/api/getvcode"), 1u);
  EXPECT_NE(r.err.find("未得到下载链接"), std::string::npos);
}

TEST_F(QuickCommand, APictureNeverOverwritesWhatIsInTheTemporaryDirectory) {
  namespace fs = std::filesystem;
  test::Sandbox sandbox;
  const fs::path& dir = sandbox.path();
  fs::path victim = dir / "victim.txt";
  std::ofstream(victim) << "keep me";
  // Links planted under the names the pictures would take next.
  for (int n = 1; n <= 64; ++n)
    fs::create_symlink(victim, dir / ("sharefetch-captcha-" + std::to_string(::getpid()) + "-" +
                                      std::to_string(n) + ".png"));
  const char* old = std::getenv("TMPDIR");
  std::string saved = old ? old : "";
  ::setenv("TMPDIR", dir.c_str(), 1);
  Outcome r = Quick({simulator.ShareUrl("cap")});
  if (old)
    ::setenv("TMPDIR", saved.c_str(), 1);
  else
    ::unsetenv("TMPDIR");

  EXPECT_EQ(ReadFile(victim), "keep me");
  size_t at = r.err.find("验证码图片: ");
  ASSERT_NE(at, std::string::npos) << r.err;
  fs::path picture = r.err.substr(at + std::string("验证码图片: ").size());
  picture = picture.string().substr(0, picture.string().find('\n'));
  EXPECT_EQ(picture.parent_path(), dir);
  EXPECT_FALSE(fs::is_symlink(picture));
  EXPECT_GT(fs::file_size(picture), 8u);
}

TEST_F(QuickCommand, WrongUsageIsRefusedWithoutARequest) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{}, "missing SHARE"},
      {{"  "}, "missing SHARE"},
      {{"--password"}, "--password needs a value"},
      {{"--verbose", "http://x/s/1"}, "unknown option --verbose"},
      {{"http://x/s/1", "http://x/s/2"}, "only one SHARE"},
      {{"http://x/s/1\r\nX-Injected: 1"}, "control character"},
  };
  for (const Case& c : cases) {
    Outcome r = Quick(c.args);
    EXPECT_EQ(r.code, 2) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Usage: sharefetch-cli quick"), std::string::npos);
  }
  Outcome badHost = Quick({"--host", "ftp://x", "http://x/s/1"}, {}, false);
  EXPECT_EQ(badHost.code, 2);
  EXPECT_NE(badHost.err.find("is not an http:// or https:// address"), std::string::npos);
  EXPECT_TRUE(simulator.Requests().empty());

  Outcome help = Quick({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out.rfind("Usage: sharefetch-cli quick", 0), 0u);
}

}  // namespace
}  // namespace sf::cli
