// Small text tools of the simulator: reading what a client sends (queries, form bodies, cookie
// lines, percent escapes, log ids) and writing JSON texts exactly as the service lays them out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sf::sim {

// Query or form pairs in arrival order, split at "&" and at the first "=" of each piece.
// Values stay raw (not percent-decoded); a piece without "=" has an empty value.
using Pairs = std::vector<std::pair<std::string, std::string>>;
Pairs SplitPairs(std::string_view text);

// First value of `key`, or nothing when the key is absent.
std::optional<std::string> Find(const Pairs& pairs, std::string_view key);
// True when `key` occurs at least once and every occurrence has the value `want`.
bool AllEqual(const Pairs& pairs, std::string_view key, std::string_view want);

// Decodes %XX escapes (invalid ones stay as they are); "+" is left alone.
std::string PercentDecode(std::string_view text);
// Escapes everything but unreserved characters as %XX (upper-case hex).
std::string PercentEncode(std::string_view text);

// The value of the first cookie named `name` in "Cookie:" header values.
std::optional<std::string> CookieValue(const std::vector<std::string>& cookieHeaders,
                                       std::string_view name);

bool AllDigits(std::string_view text);                     // non-empty and 0-9 only
std::optional<uint64_t> ParseUint(std::string_view text);  // digits only, no overflow

// A log id as the client makes it: Base64 of 13 digits, ".", 19 digits.
bool IsValidLogId(std::string_view logid);
// "0." followed by exactly `digits` digits.
bool IsRandomFraction(std::string_view text, size_t digits = 16);

std::optional<std::string> Base64Decode(std::string_view text);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsStrictUtf8(std::string_view bytes);

struct JsonStyle {
  bool escapeSlash = false;  // "/" as "\/", as the service writes its links
  bool asciiOnly = false;    // non-ASCII as \uXXXX escapes
  bool scriptSafe = false;   // ";" and "<" as escapes, so the text can sit inside a script
};
// A JSON string literal (with the quotes) for UTF-8 `text`.
std::string JsonString(std::string_view text, JsonStyle style = {});

std::string ToHex(const uint8_t* bytes, size_t n);
std::string Lower(std::string_view text);

}  // namespace sf::sim
