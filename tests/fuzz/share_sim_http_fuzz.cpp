// Arbitrary bytes as one connection's worth of requests to the simulator, answered in this
// process without sockets, so the sanitizers watch its request parsing and every endpoint.
// Every answer must be an HTTP/1.1 answer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "share_simulator.h"

namespace {

constexpr const char* kFixture = R"({"shares": [
  {"id": "pub", "uk": 42, "shareid": 9001, "items": [{"name": "a.txt", "size": 10},
    {"name": "d", "children": [{"name": "b.txt", "size": 3}]}]},
  {"id": "locked", "uk": 43, "shareid": 9002, "password": "pw", "verifyCaptcha": true,
   "items": [{"name": "s.txt", "size": 5, "captcha": true}]},
  {"id": "flaky", "uk": 44, "shareid": 9003, "missingOnce": true, "items": []}]})";

sf::sim::ShareSimulator* Sim() {
  static sf::sim::ShareSimulator* sim = [] {
    auto* s = new sf::sim::ShareSimulator;
    if (!s->LoadFromText(kFixture)) std::abort();
    s->SetKeepRequests(false);
    return s;
  }();
  return sim;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string reply =
      Sim()->AnswerConnection(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!reply.empty() && reply.rfind("HTTP/1.1 ", 0) != 0) {
    std::fprintf(stderr, "answer does not start with a status line: %s\n",
                 reply.substr(0, 200).c_str());
    std::abort();
  }
  return 0;
}
