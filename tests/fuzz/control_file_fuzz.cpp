// The engine reads two things it did not write itself in this run: control files left on disk
// and response heads. Whatever they hold, a control file that parses must describe ranges in
// order and inside its size, and must read back the same after being written again.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/url_text.h"
#include "engine/control_file.h"
#include "engine/http_response.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  if (auto control = sf::engine::ParseControl(input)) {
    int64_t last = -1;
    for (const auto& r : control->done.Ranges()) {
      if (r.begin <= last || r.end <= r.begin) std::abort();
      if (control->size >= 0 && r.end > control->size) std::abort();
      last = r.end;
    }
    auto again = sf::engine::ParseControl(sf::engine::FormatControl(*control));
    if (!again || again->done.Format() != control->done.Format() || again->size != control->size ||
        again->validators != control->validators)
      std::abort();
  }
  if (auto range = sf::engine::ParseContentRange(input)) {
    if (range->first >= 0 &&
        (range->last < range->first || (range->total >= 0 && range->last >= range->total)))
      std::abort();
  }
  sf::engine::HeaderValue(input, "Content-Length");
  sf::EncodeUrl(input);
  return 0;
}
