#include "share/resolve_driver.h"

#include <gtest/gtest.h>

#include <deque>

#include "base/encoding.h"
#include "recording_resolve_view.h"

namespace sf {
namespace {

// A session whose Resolve plays a script; every call is recorded.
class ScriptedSession : public ShareSession {
 public:
  struct Step {
    int result;
    int position;                 // where Resolve leaves the position
    std::vector<FileEntry> fill;  // entries added when the list is empty
  };
  ScriptedSession() : ShareSession("http://unused.invalid") {}
  std::deque<Step> script;
  std::vector<std::string> calls;  // "url|position|password|captcha"

  int Resolve(std::string& url, std::vector<FileEntry>& entries, int& position,
              const std::string& password, const std::string& captcha) override {
    calls.push_back(url + "|" + std::to_string(position) + "|" + password + "|" + captcha);
    Step step = script.front();
    script.pop_front();
    if (entries.empty()) entries = step.fill;
    for (int i = position; i < step.position && i <= static_cast<int>(entries.size()); ++i)
      entries[static_cast<size_t>(i) - 1].dlink = "http://d/" + std::to_string(i);
    position = step.position;
    url = "rewritten";  // the driver must drop what Resolve writes back
    return step.result;
  }
};

class RecordingPrompts : public ResolvePrompts {
 public:
  std::deque<std::string> passwords, captchas;
  std::vector<int> captchaReasons;
  int passwordPrompts = 0;
  std::string AskPassword() override {
    ++passwordPrompts;
    std::string a = passwords.empty() ? "" : passwords.front();
    if (!passwords.empty()) passwords.pop_front();
    return a;
  }
  std::string AskCaptcha(ShareSession&, int reason) override {
    captchaReasons.push_back(reason);
    std::string a = captchas.empty() ? "" : captchas.front();
    if (!captchas.empty()) captchas.pop_front();
    return a;
  }
};

using test::RecordingView;

FileEntry File(const std::string& name, const std::string& size = "10") {
  return {"1", "250528", Utf8ToGbk(name), size, "0", "/" + name, "", ""};
}
FileEntry Folder(const std::string& name) {
  return {"2", "250528", Utf8ToGbk(name), "0", "1", "/" + name, "", ""};
}

struct DriverTest : ::testing::Test {
  ScriptedSession session;
  RecordingPrompts prompts;
  RecordingView view;
  ResolveDriver driver{session, prompts, view};
  std::string url = "http://h/s/1abc";
  int Run() {
    return driver.Run([&] { return url; });
  }
};

TEST_F(DriverTest, APublicShareOfTwoFiles) {
  session.script = {{0, 3, {File("a.txt", "5"), File("报告.pdf", "1024")}}};
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(view.statuses, std::vector<std::string>{"解析结果：成功"});
  EXPECT_EQ(view.title, "文件名 2个文件");
  ASSERT_EQ(view.rows.size(), 2u);
  EXPECT_EQ(view.rows[0], (std::array<std::string, 4>{"1", "a.txt", "5", "http://d/1"}));
  EXPECT_EQ(view.rows[1], (std::array<std::string, 4>{"2", "报告.pdf", "1024", "http://d/2"}));
  EXPECT_EQ(session.calls, std::vector<std::string>{"http://h/s/1abc|1||"});
  EXPECT_TRUE(view.missing.empty());
  EXPECT_TRUE(driver.complete());
}

TEST_F(DriverTest, AProtectedShareAsksUntilThePasswordIsRight) {
  session.script = {{-9, 1, {}}, {-12, 1, {}}, {0, 2, {File("x")}}};
  prompts.passwords = {"wrong", "right"};
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(view.statuses, (std::vector<std::string>{"解析结果：访问密码错误",
                                                     "解析结果：访问密码错误", "解析结果：成功"}));
  EXPECT_EQ(session.calls,
            (std::vector<std::string>{"http://h/s/1abc|1||", "http://h/s/1abc|1|wrong|",
                                      "http://h/s/1abc|1|right|"}));
}

TEST_F(DriverTest, ADeclinedPasswordEndsWithNothingListed) {
  session.script = {{-9, 1, {}}};
  EXPECT_EQ(Run(), -9);
  EXPECT_EQ(prompts.passwordPrompts, 1);
  EXPECT_TRUE(view.rows.empty());
  EXPECT_EQ(view.statuses, std::vector<std::string>{"解析结果：访问密码错误"});
}

TEST_F(DriverTest, ACaptchaAtEntryThreeDeclinedListsTheRestWithoutLinks) {
  std::vector<FileEntry> five = {File("1"), File("2"), File("3"), File("4"), File("5")};
  session.script = {{-20, 3, five}};
  EXPECT_EQ(Run(), -20);
  EXPECT_EQ(view.statuses, std::vector<std::string>{"解析到第3个文件错误：下载验证码错误"});
  EXPECT_EQ(prompts.captchaReasons, std::vector<int>{-20});
  ASSERT_EQ(view.rows.size(), 5u);
  EXPECT_EQ(view.rows[1][3], "http://d/2");
  for (int i = 2; i < 5; ++i)
    EXPECT_EQ(view.rows[static_cast<size_t>(i)][3], "用户主动放弃解析或解析失败");
}

TEST_F(DriverTest, ACaptchaAnsweredResumesAtTheSameEntryWithTheAnswer) {
  std::vector<FileEntry> five = {File("1"), File("2"), File("3"), File("4"), File("5")};
  session.script = {{-62, 1, {}}, {-20, 3, five}, {0, 6, {}}};
  prompts.captchas = {"ab12", "cd34"};
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(prompts.captchaReasons, (std::vector<int>{-62, -20}));
  EXPECT_EQ(session.calls[1], "http://h/s/1abc|1||ab12");
  EXPECT_EQ(session.calls[2], "http://h/s/1abc|3||cd34");
  EXPECT_EQ(view.statuses,
            (std::vector<std::string>{"解析结果：访问验证码错误",
                                      "解析到第3个文件错误：下载验证码错误", "解析结果：成功"}));
  EXPECT_EQ(view.rows[4][3], "http://d/5");
}

TEST_F(DriverTest, TheUrlIsReadAgainBeforeEveryAttempt) {
  session.script = {{-9, 1, {}}, {0, 1, {}}};
  prompts.passwords = {"pw"};
  int reads = 0;
  driver.Run([&] { return std::string(++reads == 1 ? "http://h/s/old" : "http://h/s/new"); });
  EXPECT_EQ(session.calls[1], "http://h/s/new|1|pw|");
}

TEST_F(DriverTest, TheTitleFollowsTheLastEntryAndCountsItsOwnKind) {
  session.script = {{0, 4, {File("a"), Folder("文件夹"), File("b")}}};
  Run();
  EXPECT_EQ(view.title, "文件名 2个文件");
  session.script = {{0, 3, {File("a"), Folder("文件夹")}}};
  Run();
  EXPECT_EQ(view.title, "目录 1个文件夹");
  EXPECT_EQ(view.rows.back(), (std::array<std::string, 4>{"2", "文件夹", "", ""}));
}

TEST_F(DriverTest, OtherCodesEndTheParseAtOnce) {
  for (int code : {-997, -998, -7, 2}) {
    session.script = {{code, 1, {}}};
    view.statuses.clear();
    EXPECT_EQ(Run(), code);
    EXPECT_EQ(view.statuses.size(), 1u);
  }
  EXPECT_EQ(view.statuses[0], "解析结果：参数错误");
  EXPECT_EQ(prompts.passwordPrompts, 0);
}

TEST_F(DriverTest, ASecondParseCannotRunWhileOneHoldsTheSession) {
  ASSERT_TRUE(session.TryBeginResolution());
  EXPECT_EQ(Run(), kResolutionBusy);
  EXPECT_TRUE(session.calls.empty());
  session.EndResolution();
  session.script = {{0, 1, {}}};
  EXPECT_EQ(Run(), 0);
}

}  // namespace
}  // namespace sf
