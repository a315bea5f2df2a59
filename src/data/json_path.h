// Path expressions of JsonDocument: member names joined by "." and indices written "[n]",
// resolved relative to the document's root the way a script engine resolves "da" + suffix.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data/json_text.h"

namespace sf::json_internal {

struct PathStep {
  bool isIndex = false;
  std::string name;   // the member name; for an index, its decimal text (objects take it so)
  int64_t index = 0;  // negative indices name no element
};
using Path = std::vector<PathStep>;

// How a caller's path joins the root name (see JsonDocument's header).
enum class PathRule {
  kA,  // "da." + path, or "da" + path when the path begins with "["; empty is invalid
  kB,  // "da" for an empty path, otherwise "da." + path
  kC,  // always "da." + path
};

// Nothing when the composed expression is not a valid member expression.
std::optional<Path> ParsePath(std::string_view utf8, PathRule rule);

PathStep IndexStep(int64_t index);

enum class Found {
  kInvalid,      // the path does not parse
  kUnreachable,  // a step reads a member of a missing or null value
  kMissing,      // the last step names nothing
  kValue,
};

// The result of reading a path. It points into the document instead of copying from it,
// since a share session reads thousands of fields from one document.
struct Reading {
  Found state = Found::kInvalid;
  const Json* node = nullptr;  // the value inside the document, unless computed
  Json computed;               // a value the path computes, such as "list.length"
  const Json& value() const { return node != nullptr ? *node : computed; }
};

Reading Read(const Json& root, std::span<const PathStep> path);
Reading Read(const Json& root, const std::optional<Path>& path);

// Assigns as "T = value" does in script: the parent must be an object or an array, an index
// beyond an array's end pads it with nulls. Returns the stored value, or nullptr when the
// document is left unchanged.
Json* Assign(Json& root, const Path& path, Json&& value);

}  // namespace sf::json_internal
