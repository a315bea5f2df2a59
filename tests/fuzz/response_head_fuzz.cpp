// Everything the engine reads from a response head comes from the server, which may lie. Fed
// line by line as libcurl hands them over, whatever the head holds must leave a content range
// that is in order, a length that is a length, and validators that fit one line of the
// control file; the version checks must agree with themselves.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/http_response.h"

namespace {

void CheckValidators(const sf::engine::Validators& v) {
  for (const std::string* s : {&v.etag, &v.lastModified}) {
    if (s->size() > sf::engine::kMaxValidatorLength) std::abort();
    for (char c : *s)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  sf::engine::ResponseHead head, previous;
  std::string_view rest = input;
  while (!rest.empty()) {
    size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl == std::string_view::npos ? rest.size() : nl + 1);
    rest.remove_prefix(line.size());
    for (std::string_view name : {"Content-Range", "ETag"}) {
      if (auto v = sf::engine::HeaderValue(line, name)) {
        if (!v->empty() && (v->front() == ' ' || v->back() == ' ' || v->back() == '\n'))
          std::abort();
      }
    }
    head.ReadLine(line);
    if (head.contentLength < -1) std::abort();
    if (auto cr = head.contentRange) {
      if (cr->total < -1 || (cr->first < 0) != (cr->last < 0)) std::abort();
      if (cr->first >= 0 && (cr->last < cr->first || (cr->total >= 0 && cr->last >= cr->total)))
        std::abort();
    }
    CheckValidators(head.validators);
    // Two heads in a row: the same version agrees with itself; a mismatch is symmetric.
    auto forward = sf::engine::SameVersion(previous.validators, head.validators);
    auto backward = sf::engine::SameVersion(head.validators, previous.validators);
    if (forward != backward) std::abort();
    if (sf::engine::SameVersion(head.validators, head.validators) == false) std::abort();
    std::string ifRange = sf::engine::IfRangeValue(head.validators);
    if (!ifRange.empty() && ifRange.substr(0, 2) == "W/" && ifRange != head.validators.lastModified)
      std::abort();  // a weak ETag never protects a range
    previous = head;
  }
  std::string_view bare = sf::engine::AddressWithoutQuery(input);
  if (bare.find_first_of("?#") != std::string_view::npos || input.substr(0, bare.size()) != bare)
    std::abort();
  if (auto n = sf::engine::ParseContentLength(input); n && *n < 0) std::abort();
  return 0;
}
