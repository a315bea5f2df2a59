// The plain values the service's HTTP adaptor hands to routes and takes back, so nothing above
// the adaptor sees libmicrohttpd.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace sf::service {

struct HttpRequest {
  std::string method;
  std::string path;  // decoded, without the query
  std::map<std::string, std::string> query;
  std::map<std::string, std::string> headers;  // names in lower case
  std::map<std::string, std::string> params;   // the ":name" parts of the route's pattern
  std::string body;
  std::string peer;    // the socket's address
  std::string client;  // the address the request is from, after trusted proxies

  std::string Header(const std::string& lowerName) const;
  std::string Cookie(const std::string& name) const;
  // POST, PUT, PATCH and DELETE: the methods that change something.
  bool Changes() const;
};

// A body that keeps coming (an event stream). The adaptor asks for bytes until Read gives 0,
// then sleeps until the source calls the waker it was given.
class StreamSource {
 public:
  virtual ~StreamSource() = default;
  // Copies up to `max` ready bytes into `buffer`; 0 when none are ready now.
  virtual size_t Read(char* buffer, size_t max) = 0;
  // True when the stream has ended and Read has nothing more.
  virtual bool Ended() = 0;
  // The adaptor's way to be told that bytes are ready; called from any thread.
  virtual void SetWaker(std::function<void()> wake) = 0;
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // Held back this long before it is sent, without holding up other connections.
  std::chrono::milliseconds delay{0};
  std::shared_ptr<StreamSource> stream;
};

HttpResponse JsonResponse(int status, const nlohmann::json& body);
// {"error": code, "message": message}: code is a stable word for scripts.
HttpResponse ErrorResponse(int status, const std::string& code, const std::string& message);

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

}  // namespace sf::service
