// The session and the driver against the local share service, asserting on the rows and on
// the requests the service logged.
#include <gtest/gtest.h>

#include <deque>

#include "base/encoding.h"
#include "base/text.h"
#include "common_shares.h"
#include "recording_resolve_view.h"
#include "share/resolve_driver.h"
#include "share_simulator.h"

namespace sf {
namespace {

using sim::RequestRecord;
using sim::ShareSimulator;

const std::string kFixture = test::CommonSharesAnd(R"(
    {"id": "captcha5", "uk": 44, "shareid": 9003, "linkCaptchaAt": 3,
     "items": [{"name": "1.bin", "size": 1}, {"name": "2.bin", "size": 2}, {"name": "3.bin", "size": 3},
               {"name": "4.bin", "size": 4}, {"name": "5.bin", "size": 5}]},
    {"id": "tree", "uk": 45, "shareid": 9004,
     "items": [{"name": "top.txt", "size": 1},
               {"name": "资料 夹", "children": [{"name": "x.txt", "size": 2}, {"name": "y.txt", "size": 3},
                                                {"name": "sub", "children": [{"name": "deep.txt", "size": 4}]}]},
               {"name": "big", "children": [{"generate": {"count": 150, "name": "f-{i}.bin", "size": 8, "digits": 3}}]}]},
    {"id": "gone", "gone": true, "password": "x"},
    {"id": "nodata", "noPageData": true},
    {"id": "flaky", "missingOnce": true, "items": [{"name": "only.txt", "size": 5}]})");

class Scenarios : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(simulator.StartFromText(kFixture)) << simulator.error();
    session = std::make_unique<ShareSession>(simulator.Url(""));
  }

  ShareSimulator simulator;
  std::unique_ptr<ShareSession> session;
};

// Scripted prompts; a captcha prompt fetches the picture as the window would, then answers
// with what the service expects (or declines).
class Prompts : public ResolvePrompts {
 public:
  explicit Prompts(ShareSimulator& s) : sim_(s) {}
  std::deque<std::string> passwords;
  std::deque<bool> answerCaptcha;
  std::vector<std::string> pictures;
  std::string AskPassword() override {
    if (passwords.empty()) return {};
    std::string p = passwords.front();
    passwords.pop_front();
    return p;
  }
  std::string AskCaptcha(ShareSession& session, int reason) override {
    std::string image;
    EXPECT_EQ(session.FetchCaptcha(image, reason), 0);
    pictures.push_back(image);
    bool answer = !answerCaptcha.empty() && answerCaptcha.front();
    if (!answerCaptcha.empty()) answerCaptcha.pop_front();
    return answer ? sim_.CaptchaAnswer(session.vcodeStr()).value_or("") : "";
  }

 private:
  ShareSimulator& sim_;
};

using test::RecordingView;

TEST_F(Scenarios, APublicShareOfTwoFiles) {
  std::string url = simulator.ShareUrl("pub");
  std::vector<FileEntry> entries;
  int position = 1;
  ASSERT_EQ(session->Resolve(url, entries, position, "", ""), 0);
  EXPECT_EQ(position, 3);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].fs_id, "1234567890123456");
  EXPECT_EQ(GbkToUtf8(entries[1].server_filename), "报告.pdf");
  EXPECT_EQ(entries[1].size, "2048");
  EXPECT_EQ(entries[0].dlink.rfind(simulator.Url("/file/"), 0), 0u);
  EXPECT_EQ(entries[0].dlink.find('\\'), std::string::npos);

  EXPECT_EQ(simulator.RequestsTo("/s/pub").size(), 1u);
  auto links = simulator.RequestsTo("/api/sharedownload");
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[0].method, "POST");
  EXPECT_EQ(links[0].body,
            "encrypt=0&product=share&uk=42&primaryid=9001&vcode_input=&vcode_str=&extra=&fid_list=%"
            "5B1234567890123456%5D");
  EXPECT_EQ(links[0].Header("Referer"), url);
  EXPECT_EQ(links[0].CountHeader("Referer"), 1);
  EXPECT_NE(links[0].Header("Cookie").find("SHAREUID="), std::string::npos);
  std::string query = links[0].Query();
  EXPECT_EQ(query.find("channel=chunlei&clienttype=0&web=1&app_id=250528&logid="),
            query.find("channel="));
  for (const auto& r : simulator.Requests()) EXPECT_EQ(r.status, 200) << r.target;
}

TEST_F(Scenarios, AProtectedShareWrongThenRightPassword) {
  Prompts prompts(simulator);
  prompts.passwords = {"nope", "ab12"};
  RecordingView view;
  ResolveDriver driver(*session, prompts, view);
  std::string url = simulator.ShareUrl("locked");
  EXPECT_EQ(driver.Run([&] { return url; }), 0);
  EXPECT_EQ(view.statuses, (std::vector<std::string>{"解析结果：访问密码错误",
                                                     "解析结果：访问密码错误", "解析结果：成功"}));
  ASSERT_EQ(view.rows.size(), 1u);
  EXPECT_EQ(view.rows[0][3].rfind(simulator.Url("/file/"), 0), 0u);

  auto verifies = simulator.RequestsTo("/share/verify");
  ASSERT_EQ(verifies.size(), 3u);
  EXPECT_EQ(verifies[0].body, "pwd=&vcode=&vcode_str=");
  EXPECT_EQ(verifies[1].body, "pwd=nope&vcode=&vcode_str=");
  EXPECT_EQ(verifies[2].body, "pwd=ab12&vcode=&vcode_str=");
  EXPECT_EQ(verifies[2].Header("Referer"), simulator.InitUrl("locked"));
  EXPECT_NE(verifies[2].target.find("?shareid=9002&uk=43&t="), std::string::npos);
  auto link = simulator.RequestsTo("/api/sharedownload").at(0);
  std::string bdclnd = MiddleText(link.Header("Cookie") + ";", "BDCLND=", ";");
  ASSERT_FALSE(bdclnd.empty());
  EXPECT_NE(link.body.find("&extra={\"sekey\":\"" + bdclnd + "\"}&fid_list=%5B"),
            std::string::npos);
  // The page was fetched through the address the link redirects to.
  EXPECT_FALSE(simulator.RequestsTo("/share/init").empty());
}

TEST_F(Scenarios, ACaptchaAtEntryThreeOfFiveAnswered) {
  Prompts prompts(simulator);
  prompts.answerCaptcha = {true};
  RecordingView view;
  ResolveDriver driver(*session, prompts, view);
  std::string url = simulator.ShareUrl("captcha5");
  EXPECT_EQ(driver.Run([&] { return url; }), 0);
  EXPECT_EQ(view.statuses.front(), "解析到第3个文件错误：下载验证码错误");
  ASSERT_EQ(prompts.pictures.size(), 1u);
  EXPECT_EQ(prompts.pictures[0].rfind("\x89PNG", 0), 0u);
  for (const auto& row : view.rows)
    EXPECT_EQ(row[3].rfind(simulator.Url("/file/"), 0), 0u) << row[1];

  auto captcha = simulator.RequestsTo("/api/getcaptcha");
  ASSERT_EQ(captcha.size(), 1u);
  EXPECT_EQ(captcha[0].CountHeader("Cookie"), 0);
  EXPECT_NE(captcha[0].target.find("?prod=pan&web=1&t=0."), std::string::npos);
  EXPECT_EQ(simulator.RequestsTo("/genimage").at(0).CountHeader("Cookie"), 0);
  auto links = simulator.RequestsTo("/api/sharedownload");
  ASSERT_EQ(links.size(), 6u);  // 1, 2, 3 refused, then 3, 4, 5
  std::string token = MiddleText(simulator.RequestsTo("/genimage").at(0).target + "&", "?", "&");
  EXPECT_NE(links[3].body.find("&vcode_str=" + token + "&"), std::string::npos);
  EXPECT_EQ(links[3].body.find("&vcode_input=&"), std::string::npos);
  EXPECT_NE(links[4].body.find("&vcode_str=&"), std::string::npos);  // the token served once
}

TEST_F(Scenarios, ACaptchaAtEntryThreeOfFiveDeclined) {
  Prompts prompts(simulator);
  RecordingView view;
  ResolveDriver driver(*session, prompts, view);
  std::string url = simulator.ShareUrl("captcha5");
  EXPECT_EQ(driver.Run([&] { return url; }), -20);
  ASSERT_EQ(view.rows.size(), 5u);
  EXPECT_EQ(view.rows[1][3].rfind(simulator.Url("/file/"), 0), 0u);
  for (size_t i = 2; i < 5; ++i) EXPECT_EQ(view.rows[i][3], "用户主动放弃解析或解析失败");
  EXPECT_EQ(view.title, "文件名 5个文件");
}

TEST_F(Scenarios, AFolderTreeIsWalkedDepthFirst) {
  std::string url = simulator.ShareUrl("tree");
  std::vector<FileEntry> entries;
  int position = 1;
  // What a listener sees while the walk goes on: the names listed so far, each call's.
  std::vector<std::vector<std::string>> seen;
  session->SetListingListener([&](const std::vector<FileEntry>& so_far) {
    seen.emplace_back();
    for (const auto& e : so_far) seen.back().push_back(GbkToUtf8(e.server_filename));
  });
  ASSERT_EQ(session->Resolve(url, entries, position, "", ""), 0);
  session->SetListingListener({});
  // Top level first in page order, then each folder's listing, sorted by name descending.
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(GbkToUtf8(e.server_filename));
  ASSERT_EQ(names.size(), 3u + 4u + 150u);
  EXPECT_EQ(
      std::vector<std::string>(names.begin(), names.begin() + 7),
      (std::vector<std::string>{"top.txt", "资料 夹", "big", "y.txt", "x.txt", "sub", "deep.txt"}));
  // All 150, by name descending, over two pages.
  for (size_t i = 0; i < 150; ++i) {
    std::string n = std::to_string(150 - i);
    ASSERT_EQ(names[7 + i], "f-" + std::string(3 - n.size(), '0') + n + ".bin");
  }
  EXPECT_TRUE(session->MissingFolders().empty());
  // The top level at once, then once per page listed (sub's inside 资料 夹's, big's two), each
  // a beginning of the final list with no blank among it.
  std::vector<size_t> sizes;
  for (const auto& call : seen) {
    sizes.push_back(call.size());
    EXPECT_EQ(call, std::vector<std::string>(names.begin(), names.begin() + call.size()));
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{3, 7, 7, 107, 157}));
  EXPECT_EQ(entries[1].dlink, "");
  EXPECT_EQ(entries[3].app_id, "250528");
  // Each entry knows its folders inside the share, whatever the sharer's own path.
  std::vector<std::string> folders;
  for (size_t i = 0; i < 8; ++i) folders.push_back(GbkToUtf8(entries[i].folder_path));
  EXPECT_EQ(folders, (std::vector<std::string>{"", "", "", "资料 夹", "资料 夹", "资料 夹",
                                               "资料 夹/sub", "big"}));
  for (const auto& e : entries)
    if (e.isdir == "0") {
      EXPECT_FALSE(e.dlink.empty()) << GbkToUtf8(e.server_filename);
    }

  // "资料 夹" and its "sub" in one page each; "big" in two, the second the first but for its
  // page number.
  auto lists = simulator.RequestsTo("/share/list");
  ASSERT_EQ(lists.size(), 4u);
  EXPECT_NE(lists[0].target.find("&dir=/%E8%B5%84%E6%96%99%20%E5%A4%B9&t=0."), std::string::npos);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_NE(
        lists[i].target.find("&order=server_filename&desc=1&showempty=0&web=1&page=1&num=100&dir="),
        std::string::npos);
  EXPECT_EQ(lists[3].target, ReplaceAll(lists[2].target, "&page=1&", "&page=2&"));
  EXPECT_EQ(simulator.RequestsTo("/api/sharedownload").size(), 1u + 3u + 150u);
  // The page, the four listings and the 154 link requests, one after another over the one
  // connection the first of them opened.
  EXPECT_EQ(simulator.ConnectionsAccepted(), 1u);
}

// The share listed again with its count known: the list takes that room at once and never
// grows past it; a count that proves short still lists everything.
TEST_F(Scenarios, AListingOfAKnownCountTakesItsRoomOnce) {
  Prompts prompts(simulator);
  RecordingView view;
  std::string url = simulator.ShareUrl("tree");
  for (size_t expected : {size_t{157}, size_t{10}}) {
    ResolveDriver driver(*session, prompts, view);
    driver.ExpectEntries(expected);
    ASSERT_EQ(driver.Run([&] { return url; }), 0);
    ASSERT_EQ(driver.entries().size(), 157u);
    EXPECT_EQ(GbkToUtf8(driver.entries()[156].server_filename), "f-001.bin");
    if (expected == 157) {
      EXPECT_EQ(driver.entries().capacity(), 157u);
    }
  }
}

TEST_F(Scenarios, GoneAndUnreadablePages) {
  std::vector<FileEntry> entries;
  int position = 1;
  std::string gone = simulator.ShareUrl("gone");
  EXPECT_EQ(session->Resolve(gone, entries, position, "", ""), -997);
  EXPECT_TRUE(simulator.RequestsTo("/share/verify").empty());  // gone wins over the password prompt
  std::string nodata = simulator.ShareUrl("nodata");
  EXPECT_EQ(session->Resolve(nodata, entries, position, "", ""), -998);
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(simulator.RequestsTo("/api/sharedownload").empty());
}

TEST_F(Scenarios, APageMissingOnceIsFetchedExactlyTwice) {
  std::string url = simulator.ShareUrl("flaky");
  std::vector<FileEntry> entries;
  int position = 1;
  EXPECT_EQ(session->Resolve(url, entries, position, "", ""), 0);
  EXPECT_EQ(simulator.RequestsTo("/s/flaky").size(), 2u);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_FALSE(entries[0].dlink.empty());
}

}  // namespace
}  // namespace sf
