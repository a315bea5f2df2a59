// Reading and writing JSON text for JsonDocument, in UTF-8. Everything here works with an
// explicit stack instead of recursion: a share answer is outside input, and a value nested
// a hundred thousand levels deep must not exhaust the stack of a worker thread. Nothing here
// deep-copies a value either (nlohmann's copy is recursive).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace sf::json_internal {

using Json = nlohmann::ordered_json;

// Parses strict JSON text into `out`. False (and `out` untouched) when the text is not one
// JSON value.
[[nodiscard]] bool ParseJson(std::string_view utf8, Json& out);

// Compact JSON text as a script engine's JSON.stringify writes it, except that integers keep
// every digit (a 19-digit id must come back exactly).
void WriteJson(const Json& value, std::string& out);

// The text a script engine converts the value to: strings unquoted, null as nothing, an
// array as its elements joined with ",", an object as "[object Object]".
void WritePlain(const Json& value, std::string& out);

// A floating-point number as a script engine writes it: shortest round-trip digits, "1e+21",
// "1e-7", no trailing ".0".
std::string FormatNumber(double number);

// The "length" a script engine gives a string: its count of UTF-16 code units.
size_t Utf16Length(std::string_view utf8);

// Inserts `key` at the end of `object` or replaces its value in place. Growing the member
// vector ourselves matters: its elements have a const key, so the vector would copy (deeply
// and recursively) every member value when it reallocates.
Json& SetObjectMember(Json::object_t& object, std::string_view key, Json&& value);

}  // namespace sf::json_internal
