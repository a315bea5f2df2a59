// Small parsers for what the engine reads from a response head, and the form in which an
// address goes out on the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sf::engine {

// "Content-Range: bytes 0-99/1000" gives {0, 99, 1000}; "bytes */1000" gives {-1, -1, 1000};
// an unknown total ("/*") gives total -1.
struct ContentRange {
  int64_t first = -1;
  int64_t last = -1;
  int64_t total = -1;
};
std::optional<ContentRange> ParseContentRange(std::string_view value);

// The value of header line `line` when its name is `name` (case-insensitive), trimmed.
std::optional<std::string_view> HeaderValue(std::string_view line, std::string_view name);

// Percent-encodes bytes that may not appear raw in a URL (non-ASCII, blanks, controls), so a
// UTF-8 address typed or pasted with such characters still goes out as a valid request.
std::string EncodeUrl(std::string_view utf8);

// An errno value for a libcurl result, so "失败代码" holds one number space: HTTP statuses
// (400 and up) or errno values (below 400).
int ErrnoForCurlCode(int curlCode);

// Failures that another try cannot mend: a refused certificate, an address we cannot use.
bool IsPermanentCurlFailure(int curlCode);

}  // namespace sf::engine
