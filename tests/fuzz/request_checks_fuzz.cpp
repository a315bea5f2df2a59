// Feeds arbitrary header texts through the service's request checks and checks what they
// promise: a static name never climbs out of the set, the client address is always a real
// address, a foreign Host is never allowed, and odd event ids or stored hashes never match.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "service/event_hub.h"
#include "service/http_types.h"
#include "service/request_checks.h"
#include "service/secrets.h"

namespace {

bool IsAddress(const std::string& text) {
  unsigned char bytes[16];
  return inet_pton(AF_INET, text.c_str(), bytes) == 1 ||
         inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t cut = input.find('\x01');
  std::string first = input.substr(0, cut);
  std::string second = cut == std::string::npos ? "" : input.substr(cut + 1);
  using namespace sf::service;

  std::string name = StaticName(first);
  if (!name.empty() &&
      (name.find("..") != std::string::npos || name[0] == '/' ||
       name.find('\\') != std::string::npos || name.find('%') != std::string::npos))
    std::abort();

  std::string client = ClientAddress("127.0.0.1", first, {"127.0.0.1", "::1"});
  if (!IsAddress(client)) std::abort();

  if (HostAllowed(first, {"nas.example"}) && HostName(first) != "nas.example") std::abort();
  SameOrigin(first, second);

  HttpRequest request;
  request.headers["cookie"] = first;
  request.Cookie(second);

  if (VerifyPassword(second, first) && first.rfind("pbkdf2-sha256$", 0) != 0) std::abort();

  static EventHub hub(4);
  if (size % 7 == 0) hub.Publish("row", {{"n", size}});
  auto stream = hub.Subscribe(first);
  char buffer[256];
  while (stream->Read(buffer, sizeof buffer) > 0) {
  }
  return 0;
}
