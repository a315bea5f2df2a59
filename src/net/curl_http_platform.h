// The HTTP layer of the web client over libcurl. Each request handle runs its exchange on
// SendRequest, following redirects itself (so cookies set by a redirect response can go out
// on the redirected request), and keeps the final response for reading. Connections stay
// open for the exchanges after it (CurlConnectionPool).
#pragma once

#include <memory>

#include "net/http_platform.h"

namespace sf {

std::shared_ptr<HttpPlatform> MakeCurlHttpPlatform();

}  // namespace sf
