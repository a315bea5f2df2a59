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

// A decimal Content-Length value; nothing for anything else or a number too large.
std::optional<int64_t> ParseContentLength(std::string_view value);

// What identifies one version of a file on a server. Empty: not sent.
struct Validators {
  std::string etag;
  std::string lastModified;
  bool operator==(const Validators&) const = default;
};
// Longer values are not kept: they would bloat the control file and compare no better.
inline constexpr size_t kMaxValidatorLength = 512;

// Whether `seen` names the same version of the file as `saved`: false when an ETag or a
// Last-Modified present on both sides differs, true when a strong ETag or a Last-Modified
// matches, nothing when there is nothing to compare (a weak ETag alone proves no byte
// equality).
std::optional<bool> SameVersion(const Validators& saved, const Validators& seen);
// The value for an If-Range header that protects a resume: a strong ETag, else the
// Last-Modified date; empty when there is neither.
std::string IfRangeValue(const Validators& v);

// What the engine reads from one response head, line by line as libcurl hands them over.
// A status line starts the head afresh: only the last response of a redirect chain counts.
struct ResponseHead {
  std::optional<ContentRange> contentRange;
  int64_t contentLength = -1;
  Validators validators;
  void ReadLine(std::string_view line);
};

// The address without its query and fragment. The service signs each link it hands out with
// a new query, so two links to one file differ only there.
std::string_view AddressWithoutQuery(std::string_view url);

// An errno value for a libcurl result, so "失败代码" holds one number space: HTTP statuses
// (400 and up) or errno values (below 400).
int ErrnoForCurlCode(int curlCode);

// Failures that another try cannot mend: a refused certificate, an address we cannot use.
bool IsPermanentCurlFailure(int curlCode);

}  // namespace sf::engine
