// The simulator's readers of client text (queries, cookies, escapes, log ids) on arbitrary
// bytes, and its JSON string writer, which must always produce JSON that reads back.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "sim_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  sf::sim::Pairs pairs = sf::sim::SplitPairs(input);
  for (const auto& [k, v] : pairs)
    if (k.find('&') != std::string::npos || v.find('&') != std::string::npos) std::abort();
  std::string decoded = sf::sim::PercentDecode(input);
  if (decoded.size() > input.size()) std::abort();
  if (sf::sim::PercentDecode(sf::sim::PercentEncode(input)) != input) std::abort();
  sf::sim::CookieValue({input}, "BDCLND");
  sf::sim::IsValidLogId(input);
  sf::sim::ParseUint(input);
  if (auto raw = sf::sim::Base64Decode(input); raw && raw->size() > input.size()) std::abort();

  for (int style = 0; style < 8; ++style) {
    sf::sim::JsonStyle st{(style & 1) != 0, (style & 2) != 0, (style & 4) != 0};
    std::string text = sf::sim::JsonString(input, st);
    auto j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_string()) std::abort();
    if (sf::sim::IsStrictUtf8(input) && j.get<std::string>() != input) std::abort();
    if (st.scriptSafe &&
        (text.find(';') != std::string::npos || text.find('<') != std::string::npos))
      std::abort();
  }
  return 0;
}
