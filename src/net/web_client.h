// One complete HTTP or HTTPS exchange per call, with browser-like default headers, the
// response's cookies and redirect target picked out, and the body handed back as GBK text.
// Synchronous; keeps nothing between calls but its one setting.
#pragma once

#include <memory>
#include <string>

#include "net/cancel_flag.h"
#include "net/http_platform.h"

namespace sf {

// The failure of an answer longer than kMaxAnswerBytes.
inline constexpr int kAnswerTooLarge = 714;

// The arguments of one exchange, in their fixed order. Pointers are "given" when not null:
// outputs are written only when given, and whether `cookies` is given changes behaviour.
struct WebRequest {
  std::string url{};
  int method = 0;  // 0 GET, 1 POST, 2 HEAD, 3 PUT; anything else GET
  std::string body{};
  std::string* cookies = nullptr;     // in; in/out when the client merges cookies
  std::string* newCookies = nullptr;  // out: the pairs this response set
  std::string headerLines{};          // extra request lines separated by CRLF
  std::string* responseHeaders = nullptr;
  bool noRedirect = false;
  std::string userName{};
  std::string password{};
  std::string proxy{};
  std::string proxyUserName{};
  std::string proxyPassword{};
  int timeoutSeconds = 0;  // per phase; 0 or less means 30
  std::string* location = nullptr;
  std::string* statusText = nullptr;     // status such as "200 OK", or the error message
  std::string* responseBytes = nullptr;  // the body exactly as received
};

class WebClient {
 public:
  // `mergeCookies`: after a response, merge its cookies into the caller's cookie text.
  // `platform`: the HTTP layer; null means the libcurl one.
  explicit WebClient(bool mergeCookies, std::shared_ptr<HttpPlatform> platform = nullptr);

  // Every later call, and the one under way, is given up once `cancel` is raised.
  void SetCancelFlag(CancelFlag cancel) { cancel_ = std::move(cancel); }

  bool mergeCookies() const { return mergeCookies_; }

  // Returns the body as GBK text (cut at its first zero byte unless decoded), or "" on failure
  // with the reason in `statusText`. A body past kMaxAnswerBytes is such a failure (714).
  std::string Request(const WebRequest& request) const;

  // The message a failure leaves in `statusText`, e.g. ErrorText(kAnswerTooLarge).
  static std::string ErrorText(int code);

 private:
  bool mergeCookies_;
  std::shared_ptr<HttpPlatform> platform_;
  CancelFlag cancel_;
};

// The process-wide libcurl layer, shared by every client that is not given another one.
std::shared_ptr<HttpPlatform> DefaultHttpPlatform();

}  // namespace sf
