// Shares pasted into the real service on loopback and resolved against the local share
// service: the prompts answered over the API as a remote user would, the tree read page by
// page, the records still there after a restart, and no secret ever handed back; a share's
// files downloaded into the service's folder, acted on, and finished after a restart; and a
// share's files handed to a real aria2c, acted on there and renewed, ending in its history.
#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "aria2_daemon.h"
#include "file_content.h"
#include "net/json_rpc.h"
#include "service_fixture.h"
#include "share_simulator.h"
#include "text_helpers.h"
#include "wait_until.h"

namespace sf::test {
namespace {

constexpr const char* kShares = R"({"captchaFormat": "png", "shares": [
  {"id": "1lock", "password": "ab12", "linkCaptchaAt": 1, "items": [
    {"name": "a.txt", "size": 10},
    {"name": "docs", "children": [
      {"generate": {"count": 5, "name": "f-{i}.txt", "size": 100, "sizeStep": 1, "digits": 1}}]},
    {"name": "b.bin", "size": 2048}]},
  {"id": "1part", "items": [
    {"name": "top.txt", "size": 3},
    {"name": "refused", "listError": -7, "children": [{"name": "lost.txt", "size": 1}]},
    {"name": "fine", "children": [{"name": "in.txt", "size": 4}]}]},
  {"id": "1dl", "items": [
    {"name": "a.txt", "size": 10, "fs_id": 9001},
    {"name": "docs", "children": [
      {"name": "f-1.txt", "size": 300, "fs_id": 9002},
      {"name": "f-2.txt", "size": 70000, "fs_id": 9003}]},
    {"name": "big.bin", "size": 1500000, "fs_id": 9004}]}
]})";

// The share "1dl"'s files: path in its tree, fs_id, size.
struct SimFile {
  std::string path;
  uint64_t fsId;
  uint64_t size;
};
const SimFile kA{"/a.txt", 9001, 10}, kF1{"/docs/f-1.txt", 9002, 300},
    kF2{"/docs/f-2.txt", 9003, 70000}, kBig{"/big.bin", 9004, 1500000};

// Every text a JSON value holds, keys among them, but for the share's address (whose port may
// hold any four digits): where a secret could show.
std::string Texts(const nlohmann::json& value) {
  std::string out;
  if (value.is_string()) return value.get<std::string>() + "\n";
  if (value.is_object())
    for (const auto& [key, item] : value.items())
      if (key != "url") out += key + "\n" + Texts(item);
  if (value.is_array())
    for (const auto& item : value) out += Texts(item);
  return out;
}

// The texts of every event's data in a stream.
std::string EventTexts(const std::string& stream) {
  std::string out;
  for (size_t at = stream.find("data: "); at != std::string::npos;
       at = stream.find("data: ", at + 1))
    out += Texts(nlohmann::json::parse(stream.substr(at + 6, stream.find('\n', at) - at - 6),
                                       nullptr, false));
  return out;
}

class ShareApiTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    ASSERT_TRUE(sim_.StartFromText(kShares)) << sim_.error();
    options_.shares.host = sim_.Url("");
    options_.http.maxPerAddress = 64;
    options_.eventRing = 256;
  }

  // A key for the calls: it outlives a restart, which a session cookie named by the port does
  // not.
  void MakeKey() {
    auto [cookie, csrf] = Login();
    Reply made = Exchange(Request("POST", "/api/v1/keys",
                                  "Cookie: " + cookie + "\r\nX-CSRF-Token: " + csrf + "\r\n",
                                  R"({"name":"shares"})"));
    ASSERT_EQ(made.status, 201) << made.body;
    bearer_ = "Authorization: Bearer " +
              nlohmann::json::parse(made.body)["key"].get<std::string>() + "\r\n";
  }

  nlohmann::json Call(const std::string& method, const std::string& path, int expected,
                      const std::string& body = "") {
    Reply reply = Exchange(Request(method, path, bearer_, body));
    EXPECT_EQ(reply.status, expected) << method << " " << path << ": " << reply.body;
    nlohmann::json answer = nlohmann::json::parse(reply.body, nullptr, false);
    seen_ += Texts(answer);
    return answer;
  }
  nlohmann::json Share(int64_t id) {
    return Call("GET", "/api/v1/shares/" + std::to_string(id), 200);
  }
  bool ReachesState(int64_t id, const std::string& state) {
    return WaitUntil([&] { return Share(id).value("state", "") == state; });
  }
  std::vector<int64_t> Paste(const std::string& text) {
    nlohmann::json added =
        Call("POST", "/api/v1/shares", 201, nlohmann::json{{"text", text}}.dump());
    std::vector<int64_t> ids;
    for (const auto& share : added["shares"]) ids.push_back(share["id"].get<int64_t>());
    return ids;
  }
  // Every entry of `folder`, read `limit` at a time.
  std::vector<nlohmann::json> Tree(int64_t id, const std::string& folder, int limit) {
    std::vector<nlohmann::json> entries;
    for (int offset = 0;; offset += limit) {
      nlohmann::json page =
          Call("GET",
               "/api/v1/shares/" + std::to_string(id) + "/tree?folder=" + folder +
                   "&offset=" + std::to_string(offset) + "&limit=" + std::to_string(limit),
               200);
      if (!page["entries"].is_array() || page["entries"].empty()) break;
      EXPECT_LE(page["entries"].size(), static_cast<size_t>(limit));
      if (!page["total"].is_number()) break;
      for (const auto& entry : page["entries"]) entries.push_back(entry);
      if (entries.size() >= page["total"].get<size_t>()) break;
    }
    return entries;
  }

  // The download rows the filter query takes ("state=...&sort=..."), whole.
  nlohmann::json Downloads(const std::string& query = "") {
    return Call("GET", "/api/v1/downloads?" + query, 200);
  }
  nlohmann::json Row(int64_t id) {
    nlohmann::json all = Downloads("limit=1000");
    for (const auto& row : all["downloads"])
      if (row["id"] == id) return row;
    return nlohmann::json::object();
  }
  bool RowReaches(int64_t id, const std::string& state,
                  std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    return WaitUntil([&] { return Row(id).value("state", "") == state; }, limit);
  }
  nlohmann::json Act(const std::string& action, const nlohmann::json& body) {
    return Call("POST", "/api/v1/downloads/" + action, 200, body.dump());
  }
  // The file on disk holds exactly the simulator's bytes.
  void ExpectWhole(const SimFile& file) {
    std::string saved = directory_ + "/downloads" + file.path;
    EXPECT_EQ(test::FileSha256(saved), sim::FileSha256Hex(file.fsId, file.size)) << saved;
  }
  int64_t ResolvedShare() {
    int64_t id = Paste(sim_.ShareUrl("1dl")).at(0);
    EXPECT_TRUE(ReachesState(id, "resolved"));
    return id;
  }
  std::vector<int64_t> Start(int64_t share, const nlohmann::json& body) {
    nlohmann::json started =
        Call("POST", "/api/v1/shares/" + std::to_string(share) + "/downloads", 201, body.dump());
    return started.value("ids", std::vector<int64_t>());
  }
  using ServiceFixture::Start;

  sim::ShareSimulator sim_;
  std::string bearer_;
  std::string seen_;  // every body the service answered
};

std::vector<std::string> Names(const std::vector<nlohmann::json>& entries) {
  std::vector<std::string> names;
  for (const auto& entry : entries) names.push_back(entry["name"]);
  return names;
}

TEST_F(ShareApiTest, ProtectedShareAnsweredFromAfarThenPagedAndKeptAcrossARestart) {
  Start();
  MakeKey();
  RawConnection events(port());
  events.Send(Request("GET", "/api/v1/events", bearer_));
  ASSERT_TRUE(events.ReadUntil("\r\n\r\n"));

  // The service's own message with a wrong code, wrapped as a chat program wraps it.
  const std::vector<int64_t> ids =
      Paste("链接：" + sim_.ShareUrl("1lock") + " \n提取码：zz99 --来自分享的超级会员v1的分享");
  ASSERT_EQ(ids.size(), 1u);
  const int64_t id = ids[0];
  const std::string base = "/api/v1/shares/" + std::to_string(id);

  ASSERT_TRUE(events.ReadUntil(R"("kind":"password")")) << events.received();
  nlohmann::json waiting = Share(id);
  EXPECT_EQ(waiting["state"], "password");
  EXPECT_EQ(waiting["prompt"]["kind"], "password");
  EXPECT_TRUE(waiting["hasCode"]);
  // The wrong code was tried, once, before the user was asked.
  EXPECT_EQ(sim_.CountRequests("/share/verify", "pwd=zz99"), 1u);
  Call("POST", base + "/captcha", 409, R"({"answer":"abcd"})");
  Call("GET", base + "/captcha", 404);
  Call("POST", base + "/password", 200, R"({"password":" ab12 "})");
  Call("POST", base + "/password", 409, R"({"password":"ab12"})");

  ASSERT_TRUE(events.ReadUntil(R"("kind":"captcha")")) << events.received();
  EXPECT_EQ(Share(id)["prompt"]["kind"], "captcha");
  Reply picture = Exchange(Request("GET", base + "/captcha", bearer_));
  ASSERT_EQ(picture.status, 200);
  EXPECT_EQ(picture.headers["content-type"], "image/png");
  EXPECT_EQ(picture.body.compare(0, 4, "\x89PNG"), 0);
  const std::string first = sim_.LatestCaptchaAnswer().value_or("");
  // An unreadable picture is replaced on asking; only the fresh one's answer counts then.
  std::string told = events.received();
  events.Consume(told.size());
  Call("POST", base + "/captcha/refresh", 202);
  ASSERT_TRUE(events.ReadUntil(R"("kind":"captcha")")) << events.received();
  Reply fresh = Exchange(Request("GET", base + "/captcha", bearer_));
  ASSERT_EQ(fresh.status, 200);
  EXPECT_NE(fresh.body, picture.body);
  const std::string answer = sim_.LatestCaptchaAnswer().value_or("");
  ASSERT_EQ(answer.size(), 4u);
  ASSERT_NE(answer, first);
  Call("POST", base + "/captcha", 200, nlohmann::json{{"answer", answer}}.dump());

  ASSERT_TRUE(events.ReadUntil(R"("state":"resolved")")) << events.received();
  nlohmann::json resolved = Share(id);
  EXPECT_EQ(resolved["files"], 7);
  EXPECT_EQ(resolved["folders"], 1);
  EXPECT_EQ(resolved["bytes"], 10 + 2048 + 100 + 101 + 102 + 103 + 104);
  EXPECT_TRUE(resolved["prompt"].is_null());
  EXPECT_TRUE(resolved["missingFolders"].empty());

  auto checkTree = [&] {
    std::vector<nlohmann::json> top = Tree(id, "/", 2);
    EXPECT_EQ(Names(top), (std::vector<std::string>{"a.txt", "b.bin", "docs"}));
    std::vector<nlohmann::json> docs = Tree(id, "/docs", 2);
    ASSERT_EQ(Names(docs),
              (std::vector<std::string>{"f-1.txt", "f-2.txt", "f-3.txt", "f-4.txt", "f-5.txt"}));
    EXPECT_EQ(docs[4]["size"], 104);
    EXPECT_EQ(docs[4]["path"], "/docs/f-5.txt");
    EXPECT_FALSE(docs[4]["folder"]);
    EXPECT_TRUE(top[2]["folder"]);
  };
  checkTree();
  Call("GET", base + "/tree?folder=/a.txt", 404);
  Call("GET", base + "/tree?limit=0", 400);

  // No code or answer given goes back out, in an answer or on the event stream.
  told = EventTexts(told + events.received());
  EXPECT_NE(told.find("password"), std::string::npos) << "the stream was read";
  for (const std::string& secret : {std::string("zz99"), std::string("ab12"), first, answer}) {
    EXPECT_EQ(seen_.find(secret), std::string::npos) << secret;
    EXPECT_EQ(told.find(secret), std::string::npos) << secret;
  }

  // A restart keeps the resolved share, its tree and the code that opened it; a share still
  // waiting on its prompt then is over.
  const int64_t waitingThen = Paste(sim_.ShareUrl("1lock")).at(0);
  ASSERT_TRUE(ReachesState(waitingThen, "password"));
  service_.reset();
  Start();
  nlohmann::json listed = Call("GET", "/api/v1/shares", 200);
  ASSERT_EQ(listed["shares"].size(), 2u);
  EXPECT_EQ(listed["shares"][0]["state"], "resolved");
  EXPECT_EQ(listed["shares"][1]["state"], "failed");
  EXPECT_NE(listed["shares"][1]["message"].get<std::string>().find("stopped"), std::string::npos);
  EXPECT_EQ(service_->store()->SharePassword(id), "ab12");
  checkTree();
  Call("DELETE", "/api/v1/shares/" + std::to_string(waitingThen), 200);

  // A share left waiting on its prompt is given up at once when it is removed.
  const int64_t again = Paste(sim_.ShareUrl("1lock")).at(0);
  ASSERT_TRUE(ReachesState(again, "password"));
  Call("DELETE", "/api/v1/shares/" + std::to_string(again), 200);
  EXPECT_TRUE(WaitUntil([&] { return service_->shares()->running() == 0; }));
  Call("GET", "/api/v1/shares/" + std::to_string(again), 404);
  Call("DELETE", base, 200);
  Call("GET", base + "/tree", 404);
  EXPECT_TRUE(Call("GET", "/api/v1/shares", 200)["shares"].empty());
}

TEST_F(ShareApiTest, FoldersLeftOutAreNamedAndAnUnansweredPromptEndsItsShare) {
  options_.shares.promptTimeout = std::chrono::milliseconds(200);
  Start();
  MakeKey();
  // Two shares in one text: one lists a folder the service refuses, one asks for a code that
  // nobody gives.
  const std::vector<int64_t> ids =
      Paste("第一个 " + sim_.ShareUrl("1part") + "\n第二个 " + sim_.ShareUrl("1lock") + "\n");
  ASSERT_EQ(ids.size(), 2u);

  ASSERT_TRUE(ReachesState(ids[0], "incomplete"));
  nlohmann::json partial = Share(ids[0]);
  ASSERT_EQ(partial["missingFolders"].size(), 1u);
  EXPECT_EQ(partial["missingFolders"][0]["path"], "refused");
  EXPECT_FALSE(partial["missingFolders"][0]["reason"].get<std::string>().empty());
  EXPECT_NE(partial["message"].get<std::string>().find("refused"), std::string::npos)
      << partial["message"];
  EXPECT_EQ(Names(Tree(ids[0], "/", 10)), (std::vector<std::string>{"fine", "refused", "top.txt"}));
  EXPECT_EQ(Names(Tree(ids[0], "/fine", 10)), (std::vector<std::string>{"in.txt"}));
  EXPECT_TRUE(Tree(ids[0], "/refused", 10).empty());

  ASSERT_TRUE(ReachesState(ids[1], "failed"));
  nlohmann::json abandoned = Share(ids[1]);
  EXPECT_NE(abandoned["message"].get<std::string>().find("password prompt"), std::string::npos)
      << abandoned["message"];
  EXPECT_EQ(abandoned["files"], 0);
  Call("POST", "/api/v1/shares/" + std::to_string(ids[1]) + "/password", 409,
       R"({"password":"ab12"})");
  Call("POST", "/api/v1/shares", 400, R"({"text":"no link in here, 提取码：ab12"})");
}

}  // namespace
}  // namespace sf::test

namespace sf::test {
namespace {

TEST_F(ShareApiTest, ShareDownloadedWholeListedInWindowsPausedAndResumedUnderAFreshLink) {
  Start();
  MakeKey();
  RawConnection events(port());
  events.Send(Request("GET", "/api/v1/events", bearer_));
  ASSERT_TRUE(events.ReadUntil("\r\n\r\n"));
  const int64_t share = ResolvedShare();

  // Everything but the big file: each finishes with the share's exact bytes.
  std::vector<int64_t> ids = Start(share, {{"all", true}, {"exclude", {"big.bin"}}});
  ASSERT_EQ(ids.size(), 3u);
  for (int64_t id : ids) ASSERT_TRUE(RowReaches(id, "finished")) << Row(id);
  for (const SimFile& file : {kA, kF1, kF2}) ExpectWhole(file);
  ASSERT_TRUE(events.ReadUntil(R"("state":"finished")")) << events.received();
  // Started again, a listed file is not a second download.
  EXPECT_TRUE(Start(share, {{"paths", {kA.path}}}).empty());

  // A window of the list, sorted on the server, with the number of its revision.
  nlohmann::json first = Downloads("sort=name&order=desc&limit=2");
  ASSERT_TRUE(first["revision"].is_number());
  EXPECT_EQ(first["total"], 3);
  ASSERT_EQ(first["downloads"].size(), 2u);
  EXPECT_EQ(first["downloads"][0]["path"], kF2.path);
  EXPECT_EQ(first["downloads"][1]["path"], kF1.path);
  EXPECT_EQ(first["downloads"][0]["done"], kF2.size);
  EXPECT_EQ(first["downloads"][0]["size"], kF2.size);
  nlohmann::json rest = Downloads("sort=name&order=desc&limit=2&offset=2");
  ASSERT_EQ(rest["downloads"].size(), 1u);
  EXPECT_EQ(rest["downloads"][0]["path"], kA.path);
  EXPECT_EQ(Downloads("sort=size&order=asc")["downloads"][0]["path"], kA.path);
  EXPECT_EQ(Downloads("q=F-&sort=name")["total"], 2);
  Call("GET", "/api/v1/downloads?sort=colour", 400);

  // The big file, slowed down, paused while it runs; its link then expires, and the resume
  // asks the share for a fresh one.
  sim_.SetDownloadOverride(sim::DownloadQuirks{64 * 1024});
  const int64_t big = Start(share, {{"paths", {kBig.path}}}).at(0);
  ASSERT_TRUE(WaitUntil([&] { return Row(big).value("done", 0) > 0; }, std::chrono::seconds(30)))
      << Row(big);
  const uint64_t before = Downloads()["revision"];
  EXPECT_EQ(Act("pause", {{"ids", {big}}})["acted"], 1);
  EXPECT_EQ(Row(big)["state"], "paused");
  EXPECT_GT(Downloads()["revision"].get<uint64_t>(), before);
  EXPECT_EQ(Act("pause", {{"ids", {big}}})["acted"], 0);
  sim_.SetDownloadOverride(std::nullopt);
  sim_.ExpireLinks();
  const size_t links = sim_.CountRequests("/api/sharedownload");
  EXPECT_EQ(Act("resume", {{"filter", {{"state", "paused"}}}})["acted"], 1);
  // Told finished, the row is kept so, though nothing asked the list since.
  auto toldFinished = [&] {
    for (;;) {
      const size_t at = events.received().find(R"("state":"finished")");
      if (at == std::string::npos) {
        if (!events.ReadUntil(R"("state":"finished")")) return false;
        continue;
      }
      // The fields come in the order of their names: the id before the state.
      const size_t id = events.received().find(R"("id":)", events.received().rfind("data: ", at));
      if (id < at && std::stoll(events.received().substr(id + 5)) == big) return true;
      events.Consume(at + 1);
    }
  };
  ASSERT_TRUE(toldFinished()) << events.received();
  auto kept = service_->store()->Downloads();
  auto keptBig = std::find_if(kept.begin(), kept.end(), [&](auto& row) { return row.id == big; });
  ASSERT_NE(keptBig, kept.end());
  EXPECT_EQ(keptBig->state, "finished");
  ASSERT_TRUE(RowReaches(big, "finished")) << Row(big);
  ExpectWhole(kBig);
  EXPECT_GT(sim_.CountRequests("/api/sharedownload"), links);

  // Removed from the list, the finished file stays on disk.
  EXPECT_EQ(Act("remove", {{"ids", {ids[0]}}})["acted"], 1);
  EXPECT_EQ(Downloads()["total"], 3);
  ASSERT_TRUE(events.ReadUntil("event: download-removed")) << events.received();
  ExpectWhole(kA);
}

TEST_F(ShareApiTest, DownloadsStoppedMidwayComeBackAsTheyWereAndFinishExactly) {
  Start();
  MakeKey();
  const int64_t share = ResolvedShare();
  // Paused before their links came: the share is asked for no more once the first comes, and
  // the resume asks it again for both.
  sim_.ClearRequests();
  sim_.SetLinkDelay(300);
  const std::vector<int64_t> early = Start(share, {{"paths", {kA.path, kF1.path}}});
  ASSERT_EQ(early.size(), 2u);
  EXPECT_EQ(Act("pause", {{"ids", early}})["acted"], 2);
  ASSERT_TRUE(WaitUntil([&] { return sim_.CountRequests("/api/sharedownload") >= 1; }));
  sim_.SetLinkDelay(0);
  EXPECT_EQ(Act("resume", {{"ids", early}})["acted"], 2);
  for (int64_t id : early) ASSERT_TRUE(RowReaches(id, "finished")) << Row(id);
  ExpectWhole(kA);
  EXPECT_EQ(sim_.CountRequests("/api/sharedownload"), 3u);
  sim_.SetDownloadOverride(sim::DownloadQuirks{32 * 1024});
  std::vector<int64_t> ids = Start(share, {{"paths", {kBig.path, kF2.path}}});
  ASSERT_EQ(ids.size(), 2u);
  auto under = [&](int64_t id) {
    return WaitUntil([&] { return Row(id).value("done", 0) > 0; }, std::chrono::seconds(30));
  };
  ASSERT_TRUE(under(ids[0]) && under(ids[1]));
  EXPECT_EQ(Act("pause", {{"ids", {ids[1]}}})["acted"], 1);

  service_.reset();
  sim_.ClearRequests();
  sim_.SetDownloadOverride(std::nullopt);
  Start();
  EXPECT_EQ(Row(ids[1])["state"], "paused");
  ASSERT_TRUE(RowReaches(ids[0], "finished")) << Row(ids[0]);
  ExpectWhole(kBig);
  // It went on from the bytes on disk, not from the start.
  bool resumed = false;
  for (const sim::RequestRecord& request : sim_.RequestsTo("/file/"))
    resumed = resumed || (!request.Header("range").empty() &&
                          request.Header("range").rfind("bytes=0-", 0) != 0);
  EXPECT_TRUE(resumed);
  EXPECT_EQ(Row(ids[1])["state"], "paused");
  EXPECT_EQ(Act("resume", {{"ids", {ids[1]}}})["acted"], 1);
  ASSERT_TRUE(RowReaches(ids[1], "finished")) << Row(ids[1]);
  ExpectWhole(kF2);
}

TEST_F(ShareApiTest, LinksAreAskedOnlyALittleAheadOfTheDownloads) {
  options_.downloads.linksAhead = 1;
  Start();
  MakeKey();
  const int64_t share = ResolvedShare();
  Call("PUT", "/api/v1/settings", 200, R"({"speedLimit": 4, "jobs": 1})");
  sim_.ClearRequests();
  const std::vector<int64_t> ids = Start(share, {{"all", true}});
  ASSERT_EQ(ids.size(), 4u);
  // While a large file downloads, one more file holds its link and the share is asked for no
  // other.
  size_t links = 0;
  ASSERT_TRUE(WaitUntil(
      [&] {
        links = sim_.CountRequests("/api/sharedownload");
        const nlohmann::json running = Downloads("state=downloading");
        for (const auto& row : running["downloads"])
          if (row["size"].get<int64_t>() > 1000 && row["done"].get<int64_t>() > 0) return true;
        return false;
      },
      std::chrono::seconds(30)))
      << Downloads().dump();
  EXPECT_LE(links, Downloads("state=finished")["total"].get<size_t>() + 2) << Downloads().dump();
  // The files still waiting, paused while the share is held, let it go; resumed, they ask it
  // again and finish, and every finished row keeps its figures once the engine forgets it.
  const size_t waiting = Downloads("state=queued")["total"];
  ASSERT_GE(waiting, 1u);
  EXPECT_EQ(Act("pause", {{"filter", {{"state", "queued"}}}})["acted"], waiting);
  Call("PUT", "/api/v1/settings", 200, R"({"speedLimit": 0, "jobs": 1})");
  EXPECT_EQ(Act("resume", {{"filter", {{"state", "paused"}}}})["acted"], waiting);
  for (int64_t id : ids) ASSERT_TRUE(RowReaches(id, "finished")) << Row(id);
  for (const SimFile& file : {kA, kF1, kF2, kBig}) ExpectWhole(file);
  for (int64_t id : ids) EXPECT_EQ(Row(id)["done"], Row(id)["size"]) << Row(id);
  EXPECT_GT(sim_.CountRequests("/api/sharedownload"), links);
}

TEST_F(ShareApiTest, PartialOfAnEarlierRunRemovedWithItsFileAndWrongAsksRefused) {
  Start();
  MakeKey();
  const int64_t share = ResolvedShare();
  sim_.SetDownloadOverride(sim::DownloadQuirks{16 * 1024});
  const int64_t big = Start(share, {{"paths", {kBig.path}}}).at(0);
  ASSERT_TRUE(WaitUntil([&] { return Row(big).value("done", 0) > 0; }, std::chrono::seconds(30)));
  EXPECT_EQ(Act("pause", {{"filter", {{"q", "BIG"}}}})["acted"], 1);
  service_.reset();
  Start();
  // Paused since the last run: no task holds it, and its partial still goes with it.
  const std::string partial = directory_ + "/downloads/big.bin.sfpart";
  ASSERT_TRUE(std::filesystem::exists(partial));
  EXPECT_EQ(Act("remove", {{"ids", {big}}, {"files", true}})["acted"], 1);
  EXPECT_FALSE(std::filesystem::exists(partial));
  EXPECT_FALSE(std::filesystem::exists(directory_ + "/downloads/big.bin.sfctl"));
  EXPECT_EQ(Downloads()["total"], 0);

  const std::string base = "/api/v1/shares/" + std::to_string(share) + "/downloads";
  Call("POST", base, 400, R"({"paths": ["/nowhere.txt"]})");
  Call("POST", base, 400, R"({"paths": "/a.txt"})");
  Call("POST", base, 400, "{}");
  Call("POST", base, 400, R"({"all": "yes"})");
  const int64_t locked = Paste(sim_.ShareUrl("1lock")).at(0);
  ASSERT_TRUE(ReachesState(locked, "password"));
  Call("POST", "/api/v1/shares/" + std::to_string(locked) + "/downloads", 409, R"({"all": true})");
  Call("POST", "/api/v1/downloads/pause", 400, R"({"ids": "all"})");
  EXPECT_EQ(Act("remove", {{"ids", {1}}, {"files", "yes"}})["acted"], 0);
  Call("PUT", "/api/v1/settings", 400, R"({"jobs": 0})");
  Call("PUT", "/api/v1/settings", 400, R"({"speedLimit": -1})");
  Call("PUT", "/api/v1/settings", 200, R"({"speedLimit": 512, "jobs": 2})");
  EXPECT_EQ(service_->store()->Setting("jobs"), "2");
  EXPECT_EQ(service_->store()->Setting("speedLimit"), "512");
  EXPECT_TRUE(Downloads()["downloads"].empty());
}

}  // namespace
}  // namespace sf::test

namespace sf::test {
namespace {

// aria2's status of the download it keeps at `path`; "" when it has none.
std::string HeldStatus(const Aria2Daemon& aria2, const std::string& secret,
                       const std::string& path) {
  JsonRpcClient client(aria2.Endpoint());
  const std::string token = "token:" + secret;
  const nlohmann::json keys = {"status", "files"};
  for (RpcReply r : {client.Call("aria2.tellActive", {token, keys}),
                     client.Call("aria2.tellWaiting", {token, 0, 100, keys})})
    for (const auto& d : r.ok() ? r.result : nlohmann::json::array())
      if (d["files"][0]["path"] == path) return d["status"];
  return {};
}

TEST_F(ShareApiTest, ShareOnADownloaderPausedAcrossARestartRenewedAndKeptInHistory) {
  constexpr const char* kSecret = "Rpc-Secret-51x";
  const std::string aria2Dir = directory_ + "/aria2";
  std::filesystem::create_directories(aria2Dir);
  Aria2Daemon aria2(aria2Dir, kSecret);
  ASSERT_TRUE(aria2.running()) << aria2.error();
  Start();
  MakeKey();
  RawConnection events(port());
  events.Send(Request("GET", "/api/v1/events", bearer_));
  ASSERT_TRUE(events.ReadUntil("\r\n\r\n"));

  // One downloader that answers, one whose secret is wrong: the test call says so, and
  // neither secret comes back.
  nlohmann::json box =
      Call("POST", "/api/v1/downloaders", 201,
           nlohmann::json{{"name", "box"}, {"url", aria2.Endpoint()}, {"secret", kSecret}}.dump());
  const int64_t boxId = box.value("id", 0);
  EXPECT_TRUE(box["hasSecret"]);
  nlohmann::json tried =
      Call("POST", "/api/v1/downloaders/" + std::to_string(boxId) + "/test", 200);
  EXPECT_TRUE(tried["ok"]) << tried;
  EXPECT_FALSE(tried.value("version", "").empty());
  const std::string wrong = "Wrong-Secret-42";
  nlohmann::json other =
      Call("POST", "/api/v1/downloaders", 201,
           nlohmann::json{{"name", "other"}, {"url", aria2.Endpoint()}, {"secret", wrong}}.dump());
  const std::string otherPath = "/api/v1/downloaders/" + std::to_string(other.value("id", 0));
  nlohmann::json refused = Call("POST", otherPath + "/test", 200);
  EXPECT_FALSE(refused["ok"]);
  EXPECT_FALSE(refused.value("message", "").empty());
  EXPECT_FALSE(Call("PUT", otherPath, 200, R"({"secret": ""})")["hasSecret"]);
  Call("DELETE", otherPath, 200);
  Call("DELETE", otherPath, 404);
  ASSERT_EQ(Call("GET", "/api/v1/downloaders", 200)["downloaders"].size(), 1u);
  ASSERT_TRUE(events.ReadUntil("event: downloaders")) << events.received();

  // The share's files onto the downloader, below a folder of its own directory, slowly
  // enough to be caught midway.
  const int64_t share = ResolvedShare();
  sim_.SetDownloadOverride(sim::DownloadQuirks{300000});
  nlohmann::json started =
      Call("POST", "/api/v1/shares/" + std::to_string(share) + "/downloads", 201,
           nlohmann::json{{"all", true}, {"downloader", boxId}, {"folder", "got/here"}}.dump());
  EXPECT_EQ(started["directory"], aria2Dir + "/got/here");
  const std::vector<int64_t> ids = started.value("ids", std::vector<int64_t>());
  ASSERT_EQ(ids.size(), 4u);
  int64_t big = 0;
  for (int64_t id : ids) {
    nlohmann::json row = Row(id);
    EXPECT_EQ(row["downloader"], boxId);
    EXPECT_EQ(row["where"], "box");
    if (row["path"] == kBig.path) big = id;
  }
  ASSERT_TRUE(WaitUntil([&] { return Row(big).value("done", 0) > 0; }, std::chrono::seconds(30)))
      << Row(big);
  Call("DELETE", "/api/v1/downloaders/" + std::to_string(boxId), 409);

  // Paused on the downloader, and still paused there and here after a restart.
  const std::string bigThere = aria2Dir + "/got/here" + kBig.path;
  EXPECT_EQ(Act("pause", {{"ids", {big}}})["acted"], 1);
  ASSERT_TRUE(WaitUntil([&] { return HeldStatus(aria2, kSecret, bigThere) == "paused"; }));
  std::string told = EventTexts(events.received());
  service_.reset();
  Start();
  RawConnection after(port());
  after.Send(Request("GET", "/api/v1/events", bearer_));
  ASSERT_TRUE(after.ReadUntil("\r\n\r\n"));
  EXPECT_EQ(Row(big)["state"], "paused");
  EXPECT_EQ(HeldStatus(aria2, kSecret, bigThere), "paused");

  // Its link expired meanwhile: resumed, the same download there is refused, and goes on
  // from its partial under a link from a fresh resolution.
  sim_.ExpireLinks();
  const size_t links = sim_.CountRequests("/api/sharedownload");
  EXPECT_EQ(Act("resume", {{"ids", {big}}})["acted"], 1);
  for (int64_t id : ids) ASSERT_TRUE(RowReaches(id, "finished")) << Row(id);
  for (const SimFile& file : {kA, kF1, kF2, kBig}) {
    std::string saved = aria2Dir + "/got/here" + file.path;
    EXPECT_EQ(FileSha256(saved), sim::FileSha256Hex(file.fsId, file.size)) << saved;
  }
  EXPECT_GT(sim_.CountRequests("/api/sharedownload"), links);
  // After its refusal the file went on from where it was, not from its start.
  bool refusedOnce = false;
  std::string resumedFrom;
  for (const sim::RequestRecord& request : sim_.RequestsTo("/file/"))
    if (request.Path().find("big.bin") != std::string::npos) {
      refusedOnce = refusedOnce || request.status == 403;
      if (refusedOnce && request.status == 206 && resumedFrom.empty())
        resumedFrom = request.Header("range");
    }
  EXPECT_TRUE(refusedOnce);
  EXPECT_NE(resumedFrom.rfind("bytes=", 0), std::string::npos) << resumedFrom;
  EXPECT_NE(resumedFrom, "bytes=0-");

  // Every file ended: the share is in the history, and the totals say so.
  ASSERT_TRUE(after.ReadUntil("event: history")) << after.received();
  nlohmann::json history = Call("GET", "/api/v1/history", 200);
  ASSERT_EQ(history["total"], 1);
  const nlohmann::json& entry = history["history"][0];
  EXPECT_EQ(entry["share"], share);
  EXPECT_EQ(entry["files"], 4);
  EXPECT_EQ(entry["filesFailed"], 0);
  EXPECT_EQ(entry["bytes"], kA.size + kF1.size + kF2.size + kBig.size);
  EXPECT_NE(entry.value("url", "").find("1dl"), std::string::npos) << entry;
  EXPECT_FALSE(entry.value("title", "").empty());
  EXPECT_LE(entry["started"].get<int64_t>(), entry["ended"].get<int64_t>());
  nlohmann::json totals = Downloads()["totals"];
  EXPECT_EQ(totals["filesDone"], 4);
  EXPECT_EQ(totals["filesFailed"], 0);
  EXPECT_EQ(totals["bytesDone"], entry["bytes"]);
  EXPECT_EQ(Call("GET", "/api/v1/settings", 200)["jobs"], Downloads()["settings"]["jobs"]);

  // Taken from the list, with its files, a file stays whole on the downloader.
  EXPECT_EQ(Act("remove", {{"ids", {big}}, {"files", true}})["acted"], 1);
  EXPECT_EQ(FileSha256(bigThere), sim::FileSha256Hex(kBig.fsId, kBig.size));

  // A downloader no file is under way on goes, and its rows with it; the history stays.
  Call("DELETE", "/api/v1/downloaders/" + std::to_string(boxId), 200);
  EXPECT_EQ(Downloads()["total"], 0);
  Call("DELETE", "/api/v1/history/" + std::to_string(entry.value("id", 0)), 200);
  EXPECT_EQ(Call("GET", "/api/v1/history", 200)["total"], 0);

  told += EventTexts(after.received());
  for (const std::string& secret : {std::string(kSecret), wrong}) {
    EXPECT_EQ(seen_.find(secret), std::string::npos) << secret;
    EXPECT_EQ(told.find(secret), std::string::npos) << secret;
  }
}

}  // namespace
}  // namespace sf::test
