// One user's way through the service: log in, make a key, call with it, follow the events
// across reconnections, change the password.
#include <nlohmann/json.hpp>

#include "service_fixture.h"
#include "wait_until.h"

namespace sf::test {
namespace {

class ServiceScenarioTest : public ServiceFixture {};

// The ids of the events in `text`, in order, heartbeats (which have none) left out.
std::vector<std::string> EventIds(const std::string& text) {
  std::vector<std::string> ids;
  for (size_t at = text.find("id: "); at != std::string::npos; at = text.find("id: ", at + 1))
    ids.push_back(text.substr(at + 4, text.find('\n', at) - at - 4));
  return ids;
}

TEST_F(ServiceScenarioTest, LoginKeyBearerAndEventsWithReplayAndReset) {
  // A closed stream is only noticed at its next write; the streams closed here must not use up
  // the per-address allowance, which the security rows test.
  options_.http.maxPerAddress = 64;
  Start();
  ASSERT_EQ(password_.size(), 24u);
  Reply login = Exchange(
      Request("POST", "/api/v1/login", "", nlohmann::json{{"password", password_}}.dump()));
  ASSERT_EQ(login.status, 200);
  const std::string setCookie = login.headers["set-cookie"];
  EXPECT_EQ(setCookie.rfind("sfd_session_" + std::to_string(port()) + "=", 0), 0u) << setCookie;
  for (const char* attribute : {"; HttpOnly", "; SameSite=Strict", "; Path=/"})
    EXPECT_NE(setCookie.find(attribute), std::string::npos) << attribute;
  const std::string cookie = setCookie.substr(0, setCookie.find(';'));
  const std::string csrf = nlohmann::json::parse(login.body)["csrfToken"];
  const std::string session = "Cookie: " + cookie + "\r\nX-CSRF-Token: " + csrf + "\r\n";
  EXPECT_EQ(
      nlohmann::json::parse(Exchange(Request("GET", "/api/v1/session", session)).body)["kind"],
      "session");

  Reply created = Exchange(Request("POST", "/api/v1/keys", session, R"({"name":"nightly"})"));
  ASSERT_EQ(created.status, 201) << created.body;
  const std::string key = nlohmann::json::parse(created.body)["key"];
  Reply listed = Exchange(Request("GET", "/api/v1/keys", session));
  EXPECT_EQ(nlohmann::json::parse(listed.body)["keys"][0]["name"], "nightly");
  EXPECT_EQ(listed.body.find(key.substr(4)), std::string::npos) << "a key is shown only once";

  const std::string bearer = "Authorization: Bearer " + key + "\r\n";
  Reply version = Exchange(Request("GET", "/api/v1/version", bearer));
  ASSERT_EQ(version.status, 200);
  EXPECT_EQ(nlohmann::json::parse(version.body)["api"], 1);

  // A stream with nothing to say still beats, then carries what is published.
  auto stream = std::make_unique<RawConnection>(port());
  stream->Send(Request("GET", "/api/v1/events", bearer));
  ASSERT_TRUE(stream->ReadUntil("event: heartbeat\n"));
  EXPECT_NE(stream->received().find("Content-Type: text/event-stream"), std::string::npos);
  service::EventHub& hub = service_->events();
  std::vector<std::string> published;
  for (int i = 1; i <= 3; ++i) published.push_back(hub.Publish("row", {{"n", i}}));
  ASSERT_TRUE(stream->ReadUntil("id: " + published[2] + "\n"));
  EXPECT_EQ(EventIds(stream->received()), published);
  EXPECT_NE(stream->received().find("event: row\ndata: {\"n\":2}\n\n"), std::string::npos);
  stream.reset();

  // Back with the id of the first: the two after it are replayed, nothing else.
  published.push_back(hub.Publish("row", {{"n", 4}}));
  stream = std::make_unique<RawConnection>(port());
  stream->Send(
      Request("GET", "/api/v1/events", bearer + "Last-Event-ID: " + published[0] + "\r\n"));
  ASSERT_TRUE(stream->ReadUntil("id: " + published[3] + "\n"));
  EXPECT_EQ(EventIds(stream->received()),
            (std::vector<std::string>{published[1], published[2], published[3]}));
  stream.reset();

  // The ring holds four: an id that fell out of it, or one of another run, gets a reset.
  for (int i = 5; i <= 8; ++i) published.push_back(hub.Publish("row", {{"n", i}}));
  for (const std::string& stale : {published[1], std::string("0000-7")}) {
    RawConnection again(port());
    again.Send(Request("GET", "/api/v1/events", bearer + "Last-Event-ID: " + stale + "\r\n"));
    ASSERT_TRUE(again.ReadUntil("event: reset\n")) << stale;
    EXPECT_EQ(EventIds(again.received()), std::vector<std::string>{published.back()});
  }

  // A new password ends every session; keys stay.
  ASSERT_EQ(service::SetPassword(options_.stateDirectory, "a new password", 1000), "");
  EXPECT_EQ(Exchange(Request("GET", "/api/v1/session", session)).status, 401);
  EXPECT_EQ(Exchange(Request("GET", "/api/v1/session", bearer)).status, 200);
  EXPECT_EQ(
      Exchange(Request("POST", "/api/v1/login", "", nlohmann::json{{"password", password_}}.dump()))
          .status,
      401);
  password_ = "a new password";
  auto [newCookie, newCsrf] = Login();
  const std::string again = "Cookie: " + newCookie + "\r\nX-CSRF-Token: " + newCsrf + "\r\n";
  EXPECT_EQ(Exchange(Request("POST", "/api/v1/logout", again)).status, 200);
  EXPECT_EQ(Exchange(Request("GET", "/api/v1/session", again)).status, 401);
}

}  // namespace
}  // namespace sf::test
