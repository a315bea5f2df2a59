// The terminal program's resolve command, run in-process against the local share service.
#include "cli/resolve_command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "base/text.h"
#include "cli/get_command.h"
#include "cli_runner.h"
#include "fixture.h"
#include "raw_http_server.h"
#include "share_simulator.h"

namespace sf::cli {
namespace {

using test::Outcome;

Outcome RunAgainst(const std::string& host, std::vector<std::string> args,
                   test::TypedLine input = {}) {
  args.insert(args.begin(), {"--host", host});
  return test::RunCommand(RunResolve, args, std::move(input));
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr const char* kTooLarge = "解析结果：自定义错误代码,分享内容过多或应答过大,已停止解析\n";

class ResolveCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(simulator.StartFromText(R"({"shares": [
      {"id": "pub", "items": [{"name": "a.txt", "size": 10, "fs_id": 111}, {"name": "文件夹", "children": [{"name": "b.txt", "size": 3}]}]},
      {"id": "locked", "password": "ab12", "items": [{"name": "secret.zip", "size": 77}]},
      {"id": "cap", "linkCaptchaAt": 2, "items": [{"name": "1.bin", "size": 1}, {"name": "2.bin", "size": 2}]},
      {"id": "names", "items": [{"name": "a\tb\nc\u001b[2J\\d\u009b", "size": 1}, {"name": "ok\u202egpj\u2066.exe", "size": 2}]},
      {"id": "wide", "items": [{"tree": {"depth": 14, "folders": 2}}]},
      {"id": "many", "items": [{"name": "big", "children": [{"generate": {"count": 150, "name": "f-{i}.bin", "size": 8, "digits": 3}}]}]},
      {"id": "deep", "items": [{"tree": {"depth": 70, "folders": 1, "files": 1, "name": "d", "fileName": "f.txt"}}]},
      {"id": "broken", "items": [{"name": "1.bin", "size": 1}, {"name": "2.bin", "size": 2, "linkFailure": "badGateway"}, {"name": "3.bin", "size": 3}]},
      {"id": "dropped", "items": [{"name": "x.bin", "size": 1, "linkFailure": "drop"}]},
      {"id": "refused", "items": [{"name": "ok.txt", "size": 1}, {"name": "坏", "listError": -7},
                                  {"name": "好", "children": [{"name": "in.txt", "size": 2}]}]}
    ]})"))
        << simulator.error();
  }

  Outcome Resolve(std::vector<std::string> args, test::TypedLine input = {}) {
    return RunAgainst(simulator.Url(""), std::move(args), std::move(input));
  }

  sim::ShareSimulator simulator;
};

TEST_F(ResolveCommand, PrintsTheTableOfAPublicShare) {
  Outcome r = Resolve({simulator.ShareUrl("pub")});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "解析结果：成功\n");
  std::vector<std::string> lines = SplitText(r.out, "\n");
  ASSERT_EQ(lines.size(), 5u);
  // Two files and a folder: the title counts the files.
  EXPECT_EQ(lines[0], "编号\t文件名 2个文件\t文件大小\t下载地址");
  EXPECT_EQ(lines[1].rfind("1\ta.txt\t10\t" + simulator.Url("/file/"), 0), 0u);
  EXPECT_EQ(lines[2], "2\t文件夹\t\t");
  EXPECT_EQ(lines[3].rfind("3\tb.txt\t3\thttp://", 0), 0u);
}

TEST_F(ResolveCommand, JsonCarriesEveryField) {
  Outcome r = Resolve({"--json", simulator.ShareUrl("pub")});
  ASSERT_EQ(r.code, 0);
  auto doc = nlohmann::json::parse(r.out);
  EXPECT_EQ(doc["result"], 0);
  EXPECT_EQ(doc["message"], "成功");
  EXPECT_EQ(doc["position"], 4);
  ASSERT_EQ(doc["entries"].size(), 3u);
  EXPECT_EQ(doc["entries"][0]["fs_id"], "111");
  EXPECT_EQ(doc["entries"][1]["isdir"], "1");
  EXPECT_EQ(doc["entries"][2]["app_id"], "250528");
  for (const char* key : {"fs_id", "app_id", "server_filename", "size", "isdir", "path", "dlink"})
    EXPECT_TRUE(doc["entries"][0][key].is_string()) << key;
}

// A link answer that is no answer of the service's, a proxy's error page or a connection closed
// unanswered, fails the parse with its reason, in resolve and get alike; the files from there
// on have no link.
TEST_F(ResolveCommand, ALinkAnswerThatIsNoAnswerIsAFailureWithItsReason) {
  Outcome r = Resolve({simulator.ShareUrl("broken")});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "解析结果：自定义错误代码,JSON解析失败（502 Bad Gateway）\n");
  EXPECT_NE(r.out.find("\n2\t2.bin\t2\t用户主动放弃解析或解析失败\n"), std::string::npos);

  r = Resolve({"--json", simulator.ShareUrl("dropped")});
  EXPECT_EQ(r.code, 1);
  auto doc = nlohmann::json::parse(r.out);
  EXPECT_EQ(doc["result"], -998);
  EXPECT_EQ(doc["reason"].get<std::string>().rfind("71", 0), 0u) << doc["reason"];

  std::istringstream in;
  std::ostringstream out, err;
  std::atomic<bool> never{false};
  RunGet({"--host", simulator.Url(""), "--dry-run", "--json", simulator.ShareUrl("broken")},
         {in, out, err}, {}, false, never);
  EXPECT_EQ(nlohmann::json::parse(out.str())["reason"], "502 Bad Gateway");
}

TEST_F(ResolveCommand, PasswordFromTheOptionThenFromInput) {
  std::vector<std::string> lines = {"", "  ab12 "};
  size_t next = 0;
  Outcome r = Resolve({"--password", "wrong", simulator.ShareUrl("locked")},
                      [&]() -> std::optional<std::string> {
                        if (next >= lines.size()) return std::nullopt;
                        return lines[next++];
                      });
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.err.find("请输入提取密码!\n"), std::string::npos);  // the blank line was refused
  EXPECT_NE(r.out.find("secret.zip"), std::string::npos);
}

TEST_F(ResolveCommand, EndOfInputDeclinesThePrompt) {
  Outcome r = Resolve({simulator.ShareUrl("locked")});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("解析结果：访问密码错误"), std::string::npos);
}

TEST_F(ResolveCommand, ACaptchaIsSavedAndAnswered) {
  Outcome r = Resolve({simulator.ShareUrl("cap")}, [&] { return simulator.LatestCaptchaAnswer(); });
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("解析到第2个文件错误：下载验证码错误"), std::string::npos);
  std::string path = MiddleText(r.err, "验证码图片: ", "\n");
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(path.substr(path.size() - 4), ".png");
  std::filesystem::remove(path);
  EXPECT_EQ(r.out.find("用户主动放弃解析或解析失败"), std::string::npos);
}

TEST_F(ResolveCommand, NamesAreShownEscapedInTheTable) {
  Outcome r = Resolve({simulator.ShareUrl("names")});
  EXPECT_EQ(r.code, 0);
  std::vector<std::string> lines = SplitText(r.out, "\n");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].rfind("1\ta\\tb\\nc\\x1b[2J\\\\d\\u009b\t1\thttp://", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("2\tok\\u202egpj\\u2066.exe\t2\thttp://", 0), 0u) << lines[2];
  // The JSON output carries the names as they are.
  auto doc = nlohmann::json::parse(Resolve({"--json", simulator.ShareUrl("names")}).out);
  EXPECT_EQ(doc["entries"][0]["server_filename"], "a\tb\nc\x1b[2J\\d\u009b");
  EXPECT_EQ(doc["entries"][1]["server_filename"], "ok\u202egpj\u2066.exe");
}

// A folder of 150 files comes whole, over two pages: the first asked as ever, the second the
// same request with its page number changed.
TEST_F(ResolveCommand, AFolderOfMoreThanOnePageComesWhole) {
  Outcome r = Resolve({"--json", simulator.ShareUrl("many")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "解析结果：成功\n");
  auto doc = nlohmann::json::parse(r.out);
  EXPECT_EQ(doc["complete"], true);
  EXPECT_TRUE(doc["missing_folders"].empty());
  ASSERT_EQ(doc["entries"].size(), 151u);
  std::set<std::string> names;
  for (size_t i = 1; i < 151; ++i) {
    names.insert(doc["entries"][i]["server_filename"].get<std::string>());
    EXPECT_TRUE(StartsWithIgnoreCase(doc["entries"][i]["dlink"].get<std::string>(), "http://"));
  }
  EXPECT_EQ(names.size(), 150u);
  EXPECT_EQ(doc["entries"][1]["server_filename"], "f-150.bin");
  EXPECT_EQ(doc["entries"][150]["server_filename"], "f-001.bin");

  std::vector<sim::RequestRecord> lists = simulator.RequestsTo("/share/list");
  ASSERT_EQ(lists.size(), 2u);
  const std::string& first = lists[0].target;
  EXPECT_EQ(first.rfind("/share/list?uk=", 0), 0u);
  EXPECT_NE(first.find("&order=server_filename&desc=1&showempty=0&web=1&page=1&num=100&dir=/big&t="
                       "0."),
            std::string::npos);
  EXPECT_NE(first.find("&bdstoken=null&channel=chunlei&clienttype=0&web=1&app_id=250528&logid="),
            std::string::npos);
  EXPECT_EQ(lists[1].target, ReplaceAll(first, "&page=1&", "&page=2&"));
}

// A chain of 70 folders: the walk stops at 64 levels, and the folder below is named, on
// standard error and in the JSON output, with what was found listed.
TEST_F(ResolveCommand, AFolderTooDeepToListIsNamedAndFails) {
  Outcome r = Resolve({simulator.ShareUrl("deep")});
  EXPECT_EQ(r.code, 1);
  std::string path = "d";
  for (int i = 2; i <= 65; ++i) path += "/d";
  EXPECT_EQ(r.err, "解析结果：成功\n未能列出的文件夹：" + path +
                       "（文件夹层级过深，未列出）\n共1个文件夹未能完整列出，所列文件不全\n");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1 + 1 + 64 * 2);
  EXPECT_EQ(simulator.RequestsTo("/share/list").size(), 64u);

  auto doc = nlohmann::json::parse(Resolve({"--json", simulator.ShareUrl("deep")}).out);
  EXPECT_EQ(doc["result"], 0);
  EXPECT_EQ(doc["complete"], false);
  ASSERT_EQ(doc["missing_folders"].size(), 1u);
  EXPECT_EQ(doc["missing_folders"][0]["path"], path);
}

// A folder the service refuses to list: the others and the top level are listed, the refused
// one is named with the service's reason.
TEST_F(ResolveCommand, AFolderTheServiceRefusesIsNamedAndFails) {
  Outcome r = Resolve({simulator.ShareUrl("refused")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("未能列出的文件夹：坏（该分享已删除或已取消）\n"), std::string::npos)
      << r.err;
  std::vector<std::string> lines = SplitText(r.out, "\n");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[1].rfind("1\tok.txt\t1\thttp://", 0), 0u);
  EXPECT_EQ(lines[4].rfind("4\tin.txt\t2\thttp://", 0), 0u);
}

// A folder tree far wider than any real share: the walk stops at 10 000 folders, reports
// that, exits 1 and lists what it collected.
TEST_F(ResolveCommand, AnEndlessFolderWalkStopsAndFails) {
  if (kSanitized)
    GTEST_SKIP() << "10 000 folder requests take most of a minute under the sanitizers; the plain "
                    "build runs this";
  Outcome r = Resolve({"--json", simulator.ShareUrl("wide")});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, kTooLarge);
  EXPECT_EQ(simulator.CountRequests("/share/list"), 10000u);
  auto doc = nlohmann::json::parse(r.out);
  EXPECT_EQ(doc["result"], -996);
  EXPECT_GE(doc["entries"].size(), 10000u);
  EXPECT_EQ(doc["entries"][0]["server_filename"], "dir-1");
}

// What users paste: the demo's protected share from a link with "?pwd=" and from the
// service's message resolves without a prompt, and only the clean link reaches the service;
// a wrong code brings the prompt as before, and --password wins over a code.
TEST(PastedShare, TheCodeInTheTextAnswersThePasswordPrompt) {
  sim::ShareSimulator demo;
  ASSERT_TRUE(demo.StartFromText(sim::DemoFixtureText())) << demo.error();
  const std::string link = demo.ShareUrl("1demoLocked");
  int prompts = 0;
  auto noInput = [&]() -> std::optional<std::string> {
    ++prompts;
    return std::nullopt;
  };
  for (const std::string& text :
       {link + "?pwd=ab12", "链接：" + link + "\n提取码：ab12 复制这段内容后打开手机App",
        "【" + link.substr(7) + "】 Code: ab12"}) {
    demo.ClearRequests();
    Outcome r = RunAgainst(demo.Url(""), {text}, noInput);
    EXPECT_EQ(r.code, 0) << text << "\n" << r.err;
    EXPECT_EQ(prompts, 0) << text;
    EXPECT_NE(r.out.find("项目计划书.docx"), std::string::npos);
    std::vector<std::string> verified;
    for (const auto& q : demo.Requests()) {
      if (q.Path() == "/share/verify") verified.push_back(q.body);
      EXPECT_EQ(q.target.find("pwd"), std::string::npos) << q.target;
      for (const std::string& line : q.headerLines) EXPECT_EQ(line.find("pwd="), std::string::npos);
    }
    // As with --password: the first attempt goes without, the code answers its prompt.
    EXPECT_EQ(verified,
              (std::vector<std::string>{"pwd=&vcode=&vcode_str=", "pwd=ab12&vcode=&vcode_str="}));
  }

  std::vector<std::string> answers = {"ab12"};
  size_t next = 0;
  auto answer = [&]() -> std::optional<std::string> {
    if (next >= answers.size()) return std::nullopt;
    return answers[next++];
  };
  Outcome wrong = RunAgainst(demo.Url(""), {link + "?pwd=zzzz"}, answer);
  EXPECT_EQ(wrong.code, 0);
  EXPECT_EQ(next, 1u);
  EXPECT_NE(wrong.err.find("请输入提取密码"), std::string::npos);

  demo.ClearRequests();
  Outcome option = RunAgainst(demo.Url(""), {"--password", "ab12", link + "?pwd=zzzz"}, noInput);
  EXPECT_EQ(option.code, 0);
  size_t withOption = 0;
  for (const auto& q : demo.Requests()) withOption += q.body == "pwd=ab12&vcode=&vcode_str=";
  EXPECT_EQ(withOption, 1u);

  Outcome none = RunAgainst(demo.Url(""), {"看看这个：提取码 ab12"}, noInput);
  EXPECT_EQ(none.code, 2);
  EXPECT_NE(none.err.find("no share link"), std::string::npos);
}

// A hostile service of our own: the share page and every answer come from `answer`.
class HostileService : public ::testing::Test {
 protected:
  static std::string Page(const std::string& list) {
    return "<html><script>yunData.setData({\"sign\":\"s\",\"timestamp\":1,\"bdstoken\":\"b\","
           "\"uk\":1,"
           "\"shareid\":2,\"file_list\":{\"list\":" +
           list + "}});</script></html>";
  }
  Outcome Run(std::function<std::string(const test::RawRequest&)> answer, bool json = false) {
    test::RawHttpServer server([&](const test::RawRequest& r) {
      return test::RawHttpServer::Reply(200, "OK", {}, answer(r));
    });
    std::vector<std::string> args = {server.Url("/s/1x")};
    if (json) args.insert(args.begin(), "--json");
    return RunAgainst(server.Url(""), args);
  }
};

// A list that is not an array is no list of no files: the page's is a failure, a folder's
// leaves that folder out, named.
TEST_F(HostileService, AListThatIsNotAnArrayIsAFailure) {
  // A 60-byte list that claims two billion entries.
  Outcome r = Run([](const test::RawRequest&) { return Page("{\"length\":2000000000}"); });
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "解析结果：自定义错误代码,JSON解析失败\n");
  EXPECT_EQ(r.out, "");

  // A folder whose listing claims 300 000.
  r = Run(
      [](const test::RawRequest& q) {
        if (q.Target().rfind("/share/list?", 0) == 0)
          return std::string("{\"errno\":0,\"list\":{\"length\":300000}}");
        return Page("[{\"fs_id\":7,\"isdir\":1,\"path\":\"/d\",\"server_filename\":\"d\"}]");
      },
      true);
  EXPECT_EQ(r.code, 1);
  auto doc = nlohmann::json::parse(r.out);
  EXPECT_EQ(doc["entries"].size(), 1u);
  ASSERT_EQ(doc["missing_folders"].size(), 1u);
  EXPECT_EQ(doc["missing_folders"][0]["path"], "d");
  EXPECT_EQ(doc["missing_folders"][0]["reason"], "列表应答无法读取");
}

// A service that ignores the page number answers the first page again: the walk takes what
// is new, so the second page ends it.
TEST_F(HostileService, APageThatBringsNothingNewEndsTheFolder) {
  std::atomic<int> lists{0};
  Outcome r = Run(
      [&](const test::RawRequest& q) {
        if (q.Target().rfind("/share/list?", 0) != 0)
          return Page("[{\"fs_id\":7,\"isdir\":1,\"path\":\"/d\",\"server_filename\":\"d\"}]");
        ++lists;
        std::string list = "{\"errno\":0,\"list\":[";
        for (int i = 1; i <= 100; ++i)
          list += (i > 1 ? "," : "") + std::string("{\"fs_id\":") + std::to_string(100 + i) +
                  ",\"isdir\":0,\"path\":\"/d/" + std::to_string(i) + "\",\"server_filename\":\"" +
                  std::to_string(i) + "\",\"size\":1}";
        return list + "]}";
      },
      true);
  EXPECT_EQ(lists, 2);
  EXPECT_EQ(nlohmann::json::parse(r.out)["entries"].size(), 101u);
}

// What one parse takes in is bounded: a name past 4 KiB, or answers past 256 MiB together,
// end it as a share too large, with what came before kept.
TEST_F(HostileService, ANamePastFourKilobytesEndsTheParse) {
  Outcome r = Run(
      [](const test::RawRequest& q) {
        if (q.Target().rfind("/share/list?", 0) == 0)
          return "{\"errno\":0,\"list\":[{\"fs_id\":8,\"isdir\":0,\"path\":\"/d/a\","
                 "\"server_filename\":\"" +
                 std::string(4096, 'a') +
                 "\",\"size\":1},{\"fs_id\":9,\"isdir\":0,\"path\":\"/d/b\","
                 "\"server_filename\":\"" +
                 std::string(4097, 'b') + "\",\"size\":1}]}";
        return Page("[{\"fs_id\":7,\"isdir\":1,\"path\":\"/d\",\"server_filename\":\"d\"}]");
      },
      true);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, kTooLarge);
  auto doc = nlohmann::json::parse(r.out);
  EXPECT_EQ(doc["result"], -996);
  ASSERT_EQ(doc["entries"].size(), 2u);
  EXPECT_EQ(doc["entries"][1]["server_filename"], std::string(4096, 'a'));
}

TEST_F(HostileService, WhatAParseKeepsPastTheBudgetEndsIt) {
  if (kSanitized)
    GTEST_SKIP()
        << "270 MB of answers take minutes under the sanitizers; the plain build runs this";
  // Ten folders of 100 files, each file with a path of 300 000 bytes: 30 MB kept per folder,
  // so the ninth passes the budget.
  std::string page = "[";
  for (int i = 0; i < 10; ++i)
    page += (i > 0 ? "," : "") + std::string("{\"fs_id\":") + std::to_string(10 + i) +
            ",\"isdir\":1,\"path\":\"/d" + std::to_string(i) + "\",\"server_filename\":\"d" +
            std::to_string(i) + "\"}";
  page += "]";
  std::string folder = "{\"errno\":0,\"list\":[";
  for (int i = 0; i < 100; ++i)
    folder += (i > 0 ? "," : "") + std::string("{\"fs_id\":") + std::to_string(100 + i) +
              ",\"isdir\":0,\"size\":1,\"server_filename\":\"f" + std::to_string(i) +
              "\",\"path\":\"/" + std::string(300000, 'x') + "\"}";
  folder += "]}";
  std::atomic<int> firstPages{0};
  Outcome r = Run([&](const test::RawRequest& q) {
    if (q.Target().rfind("/share/list?", 0) != 0) return Page(page);
    if (q.Target().find("&page=1&") == std::string::npos)
      return std::string("{\"errno\":0,\"list\":[]}");
    ++firstPages;
    return folder;
  });
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, kTooLarge);
  EXPECT_EQ(firstPages, 9);
  // The title, the ten folders, eight folders' files and part of the ninth's.
  auto rows = std::count(r.out.begin(), r.out.end(), '\n');
  EXPECT_GT(rows, 1 + 10 + 800);
  EXPECT_LT(rows, 1 + 10 + 900);
}

TEST_F(HostileService, TooManyEntriesStopAndFail) {
  if (kSanitized)
    GTEST_SKIP()
        << "a million entries take minutes under the sanitizers; the plain build runs this";
  std::string list = "[";
  for (int i = 0; i <= 1000000; ++i) list += i ? ",{}" : "{}";
  list += "]";
  Outcome r = Run([&](const test::RawRequest&) { return Page(list); });
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, kTooLarge);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'),
            1000001);  // the title and every entry kept
}

TEST_F(HostileService, AnAnswerOverTheCapIsAFailureNotAnEmptySuccess) {
  Outcome r = Run([](const test::RawRequest& q) {
    if (q.Target().rfind("/api/sharedownload?", 0) == 0)
      return "{\"errno\":0,\"dlink\":\"http:\\/\\/h\\/f\"}" + std::string(33u << 20, ' ');
    return Page("[{\"fs_id\":7,\"isdir\":0,\"path\":\"/f\",\"server_filename\":\"f\",\"size\":3}]");
  });
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, kTooLarge);
  EXPECT_EQ(r.out,
            "编号\t文件名 1个文件\t文件大小\t下载地址\n1\tf\t3\t用户主动放弃解析或解析失败\n");
}

TEST_F(HostileService, ALinkAnswerOfNoErrnoIsUnreadable) {
  for (std::string answer : {"<html>busy</html>", "{}"}) {
    Outcome r = Run([&](const test::RawRequest& q) {
      return q.Target().rfind("/api/sharedownload?", 0) == 0 ? answer : Page("[{\"isdir\":0}]");
    });
    EXPECT_EQ(r.err, "解析结果：自定义错误代码,JSON解析失败（链接应答无法读取）\n") << answer;
  }
}

TEST_F(ResolveCommand, WrongUsageIsExitStatusTwo) {
  std::istringstream in;
  std::ostringstream out, err;
  EXPECT_EQ(RunResolve({}, {in, out, err}), 2);
  EXPECT_NE(err.str().find("missing SHARE"), std::string::npos);
  EXPECT_EQ(RunResolve({"--host", "ftp://x", "http://h/s/1"}, {in, out, err}), 2);
  EXPECT_NE(err.str().find("is not an http:// or https:// address"), std::string::npos);
  EXPECT_EQ(RunResolve({"--bogus", "u"}, {in, out, err}), 2);
  EXPECT_EQ(RunResolve({"a", "b"}, {in, out, err}), 2);
  EXPECT_EQ(RunResolve({"u", "--host"}, {in, out, err}), 2);
}

}  // namespace
}  // namespace sf::cli
