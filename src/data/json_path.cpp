#include "data/json_path.h"

#include <limits>

namespace sf::json_internal {
namespace {

// A script engine stores a far index as a sparse hole; we would allocate every null up to
// it. Beyond this many padding nulls an assignment is refused instead.
constexpr int64_t kMaxPadding = int64_t{1} << 20;

bool IsNameStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;  // non-ASCII letters of a UTF-8 name
}

bool IsNameChar(char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9');
}

std::optional<Path> ParseSuffix(std::string_view text) {
  Path path;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    if (text[i] == '.') {
      const size_t start = ++i;
      if (i >= n || !IsNameStart(text[i])) return std::nullopt;
      while (i < n && IsNameChar(text[i])) ++i;
      path.push_back(PathStep{false, std::string(text.substr(start, i - start)), 0});
    } else if (text[i] == '[') {
      const bool negative = ++i < n && text[i] == '-';
      if (negative) ++i;
      while (i < n && text[i] == '0' && i + 1 < n && text[i + 1] >= '0' && text[i + 1] <= '9') ++i;
      const size_t start = i;
      int64_t value = 0;
      for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        value = value > (std::numeric_limits<int64_t>::max() - digit) / 10
                    ? std::numeric_limits<int64_t>::max()
                    : value * 10 + digit;
      }
      if (i == start || i >= n || text[i] != ']') return std::nullopt;
      std::string digits(text.substr(start, i - start));
      ++i;
      PathStep step{true, digits, value};
      if (negative && digits != "0") {
        step.name = "-" + digits;
        step.index = -1;
      }
      path.push_back(std::move(step));
    } else {
      return std::nullopt;
    }
  }
  return path;
}

// The child a step names, or nullptr. Computed values land in `scratch`.
const Json* Child(const Json& parent, const PathStep& step, Json& scratch) {
  if (parent.is_object()) {
    for (const auto& member : *parent.get_ptr<const Json::object_t*>()) {
      if (member.first == step.name) return &member.second;
    }
    return nullptr;
  }
  if (parent.is_array()) {
    if (step.isIndex) {
      return step.index >= 0 && static_cast<uint64_t>(step.index) < parent.size()
                 ? &parent[static_cast<size_t>(step.index)]
                 : nullptr;
    }
    if (step.name != "length") return nullptr;
    scratch = parent.size();
    return &scratch;
  }
  if (parent.is_string() && !step.isIndex && step.name == "length") {
    scratch = Utf16Length(*parent.get_ptr<const Json::string_t*>());
    return &scratch;
  }
  return nullptr;  // members of numbers and logical values are undefined, not errors
}

}  // namespace

std::optional<Path> ParsePath(std::string_view utf8, PathRule rule) {
  if (rule == PathRule::kB && utf8.empty()) return Path{};
  if (rule == PathRule::kA && utf8.empty()) return std::nullopt;
  if (rule == PathRule::kA && utf8.front() == '[') return ParseSuffix(utf8);
  return ParseSuffix("." + std::string(utf8));
}

PathStep IndexStep(int64_t index) {
  PathStep step{true, std::to_string(index), index};
  if (index < 0) step.index = -1;
  return step;
}

Reading Read(const Json& root, std::span<const PathStep> path) {
  Reading reading;
  Json scratch;
  const Json* current = &root;
  for (const PathStep& step : path) {
    if (current == nullptr || current->is_null()) {
      reading.state = Found::kUnreachable;
      return reading;
    }
    current = Child(*current, step, scratch);
  }
  if (current == nullptr) {
    reading.state = Found::kMissing;
  } else {
    reading.state = Found::kValue;
    if (current == &scratch) {
      reading.computed = std::move(scratch);
    } else {
      reading.node = current;
    }
  }
  return reading;
}

Reading Read(const Json& root, const std::optional<Path>& path) {
  if (!path) return Reading{};
  return Read(root, std::span<const PathStep>(*path));
}

Json* Assign(Json& root, const Path& path, Json&& value) {
  if (path.empty()) {
    root = std::move(value);
    return &root;
  }
  Reading parent = Read(root, std::span<const PathStep>(path).first(path.size() - 1));
  // A computed parent is a number: assigning a member of it changes nothing.
  if (parent.state != Found::kValue || parent.node == nullptr) return nullptr;
  // The reading came from `root`, which we hold mutable.
  Json& target = const_cast<Json&>(*parent.node);
  const PathStep& last = path.back();
  if (target.is_object()) {
    return &SetObjectMember(*target.get_ptr<Json::object_t*>(), last.name, std::move(value));
  }
  // Named members of an array (its "length" too) are not part of its JSON text.
  if (!target.is_array() || !last.isIndex || last.index < 0) return nullptr;
  auto& elements = *target.get_ptr<Json::array_t*>();
  const auto size = static_cast<int64_t>(elements.size());
  if (last.index >= size) {
    if (last.index - size > kMaxPadding) return nullptr;
    elements.resize(static_cast<size_t>(last.index) + 1);
  }
  Json& slot = elements[static_cast<size_t>(last.index)];
  slot = std::move(value);
  return &slot;
}

}  // namespace sf::json_internal
