// The HTTP layer of the web client over libcurl. Each request handle runs its exchange on
// SendRequest, following redirects itself (so cookies set by a redirect response can go out
// on the redirected request), and keeps the final response for reading.
#pragma once

#include <memory>

#include "net/http_platform.h"

namespace sf {

std::shared_ptr<HttpPlatform> MakeCurlHttpPlatform();

// Escapes spaces, control characters and non-ASCII bytes of a request target as %XX, the
// way the target is put on the wire; everything else goes as the caller wrote it.
std::string EscapeRequestTarget(std::string_view utf8);

}  // namespace sf
