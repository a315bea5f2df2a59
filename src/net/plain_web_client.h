// One HTTP or HTTPS exchange per call that hands back the body as raw bytes: the client for
// pictures and other binary content. It reports no errors: whatever fails, the caller gets
// the bytes that arrived, which may be none. A body past kMaxAnswerBytes gives none at all.
#pragma once

#include <memory>
#include <string>

#include "net/cancel_flag.h"
#include "net/inet_platform.h"

namespace sf {

// The arguments, in their fixed order; pointers are "given" when not null.
struct PlainRequest {
  std::string url{};  // a missing scheme means http
  int method = 0;     // 0 GET, 1 POST, 2 HEAD; anything else GET
  std::string body{};
  std::string* cookies = nullptr;  // pairs joined by "; ", or a whole line holding "Cookie:"
  std::string* newCookies = nullptr;
  std::string* headerLines = nullptr;  // in/out: the default lines are appended to it
  std::string* responseHeaders = nullptr;
  bool noRedirect = false;
  std::string* bodyBytes = nullptr;  // in/out: filled from `body` for a POST or HEAD
  std::string proxy{};
};

class PlainWebClient {
 public:
  explicit PlainWebClient(std::shared_ptr<InetPlatform> platform = nullptr);
  std::string Request(const PlainRequest& request) const;

  // Every later call, and the one under way, is given up once `cancel` is raised.
  void SetCancelFlag(CancelFlag cancel) { cancel_ = std::move(cancel); }

 private:
  std::shared_ptr<InetPlatform> platform_;
  CancelFlag cancel_;
};

}  // namespace sf
