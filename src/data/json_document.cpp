#include "data/json_document.h"

#include <charconv>
#include <cmath>
#include <utility>

#include "base/encoding.h"
#include "data/json_path.h"
#include "data/json_text.h"

namespace sf {
namespace {

using json_internal::Found;
using json_internal::Json;
using json_internal::Path;
using json_internal::PathRule;
using json_internal::Reading;

// Runs `body`, turning any exception (allocation, a library error) into `failure`.
template <class Result, class Body>
Result Guarded(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

std::optional<Path> PathOf(std::string_view gbkPath, PathRule rule) {
  return json_internal::ParsePath(GbkToUtf8(gbkPath), rule);
}

// UTF-8 JSON text of what `reading` found; empty when it found nothing.
std::string JsonOf(const Reading& reading) {
  std::string utf8;
  if (reading.state == Found::kValue) json_internal::WriteJson(reading.value(), utf8);
  return utf8;
}

std::string TextOf(const Reading& reading, bool serialise) {
  if (reading.state != Found::kValue) return {};
  std::string utf8;
  (serialise ? json_internal::WriteJson : json_internal::WritePlain)(reading.value(), utf8);
  return Utf8ToGbk(utf8);
}

// The value to store: JSON text when `evaluate`, otherwise the text itself as a string.
std::optional<Json> ValueOf(std::string_view gbk, bool evaluate) {
  if (!evaluate) return Json(GbkToUtf8(gbk));
  Json value;
  if (!json_internal::ParseJson(GbkToUtf8(gbk), value)) return std::nullopt;
  return value;
}

double NumberOf(const Json& value) {
  switch (value.type()) {
    case Json::value_t::number_integer:
      return static_cast<double>(value.get<int64_t>());
    case Json::value_t::number_unsigned:
      return static_cast<double>(value.get<uint64_t>());
    case Json::value_t::number_float:
      return value.get<double>();
    case Json::value_t::boolean:
      return value.get<bool>() ? 1 : 0;
    case Json::value_t::string: {
      std::string_view text = *value.get_ptr<const Json::string_t*>();
      while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
      while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
      if (!text.empty() && text.front() == '+') text.remove_prefix(1);
      double number = 0;
      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
      const bool whole = error == std::errc() && end == text.data() + text.size();
      return whole && std::isfinite(number) ? number : 0;
    }
    default:
      return 0;
  }
}

}  // namespace

JsonDocument::JsonDocument() : value_(std::make_shared<Json>(Json::value_t::object)) {}
JsonDocument::~JsonDocument() = default;

bool JsonDocument::LoadUtf8(std::string_view utf8) {
  return Guarded(false, [&] {
    *value_ = nullptr;
    Json parsed;
    if (!json_internal::ParseJson(utf8, parsed) || parsed.is_null()) return false;
    *value_ = std::move(parsed);
    return true;
  });
}

bool JsonDocument::Parse(std::string_view text) {
  return Guarded(false, [&] { return LoadUtf8(GbkToUtf8(text)); });
}

std::string JsonDocument::ToText() const {
  return Guarded(std::string(), [&] {
    std::string utf8;
    json_internal::WriteJson(*value_, utf8);
    return Utf8ToGbk(utf8);
  });
}

void JsonDocument::Store(std::string_view path, std::string_view value, bool evaluate) {
  Guarded(false, [&] {
    auto target = PathOf(path, PathRule::kC);
    auto stored = ValueOf(value, evaluate);
    return target && stored && json_internal::Assign(*value_, *target, std::move(*stored));
  });
}

void JsonDocument::SetMember(std::string_view path, std::string_view value, bool evaluate) {
  Store(path, evaluate && value.empty() ? std::string_view("{}") : value, evaluate);
}

void JsonDocument::SetMemberValue(std::string_view path, std::string_view json) {
  Store(path, json, true);
}

void JsonDocument::SetNumber(std::string_view path, double number) {
  // JSON has no NaN or infinity; storing one would write "null" and read back as nothing.
  if (!std::isfinite(number)) return;
  Guarded(false, [&] {
    auto target = PathOf(path, PathRule::kC);
    return target && json_internal::Assign(*value_, *target, Json(number));
  });
}

double JsonDocument::GetNumber(std::string_view path) const {
  return Guarded(0.0, [&] {
    Reading reading = Read(*value_, PathOf(path, PathRule::kC));
    return reading.state == Found::kValue ? NumberOf(reading.value()) : 0.0;
  });
}

std::string JsonDocument::GetMemberJson(std::string_view path) const {
  return Guarded(std::string(),
                 [&] { return TextOf(Read(*value_, PathOf(path, PathRule::kC)), true); });
}

std::string JsonDocument::GetText(std::string_view path, bool serialise) const {
  return Guarded(std::string(),
                 [&] { return TextOf(Read(*value_, PathOf(path, PathRule::kA)), serialise); });
}

JsonDocument JsonDocument::GetDocument(std::string_view path) const {
  JsonDocument document;
  Guarded(false,
          [&] { return document.LoadUtf8(JsonOf(Read(*value_, PathOf(path, PathRule::kA)))); });
  return document;
}

int JsonDocument::Count(std::string_view path) const {
  return Guarded(0, [&] {
    Reading reading = Read(*value_, PathOf(path, path.empty() ? PathRule::kB : PathRule::kA));
    if (reading.state != Found::kValue) return 0;
    const Json& value = reading.value();
    return value.is_object() || value.is_array() ? static_cast<int>(value.size()) : 0;
  });
}

void JsonDocument::Append(std::string_view value, std::string_view path, bool raw) {
  Guarded(false, [&] {
    auto target = PathOf(path, PathRule::kB);
    if (!target) return false;
    std::optional<Json> item;  // a raw empty value pushes nothing, as "push()" does
    if (!raw || !value.empty()) {
      item = ValueOf(value, raw);
      if (!item) return false;
    }
    Reading reading = Read(*value_, target);
    Json* array = reading.state == Found::kValue && reading.node && reading.node->is_array()
                      ? const_cast<Json*>(reading.node)  // `*value_` is ours to change
                      : json_internal::Assign(*value_, *target, Json(Json::value_t::array));
    if (array == nullptr) return false;
    if (item) array->push_back(std::move(*item));
    return true;
  });
}

JsonDocument JsonDocument::GetElementDocument(int index, std::string_view path) const {
  JsonDocument document;
  Guarded(false, [&] {
    auto target = PathOf(path, PathRule::kB);
    if (target) target->push_back(json_internal::IndexStep(index));
    return document.LoadUtf8(JsonOf(Read(*value_, target)));
  });
  return document;
}

std::string JsonDocument::GetElementText(int index, std::string_view path, bool serialise) const {
  return Guarded(std::string(), [&] {
    auto target = PathOf(path, PathRule::kB);
    if (target) target->push_back(json_internal::IndexStep(index));
    return TextOf(Read(*value_, target), serialise);
  });
}

void JsonDocument::SetElement(int index, std::string_view value, bool raw) {
  Guarded(false, [&] {
    auto stored = ValueOf(value, raw);
    return stored && json_internal::Assign(*value_, Path{json_internal::IndexStep(index)},
                                           std::move(*stored));
  });
}

void JsonDocument::RemoveElement(int index) {
  if (!value_->is_array()) return;
  auto& elements = *value_->get_ptr<Json::array_t*>();
  const auto size = static_cast<int64_t>(elements.size());
  int64_t start = index < 0 ? std::max<int64_t>(size + index, 0) : index;
  if (start < size) elements.erase(elements.begin() + start);
}

void JsonDocument::Reset(JsonType type) {
  Guarded(false, [&] {
    if (type == JsonType::kNull || type == JsonType::kObject) {
      *value_ = Json(Json::value_t::object);
    } else if (type == JsonType::kArray) {
      *value_ = Json(Json::value_t::array);
    }
    return true;
  });
}

bool JsonDocument::SetRoot(std::string_view value, bool raw) {
  return Guarded(false, [&] {
    auto stored = ValueOf(value, raw);
    if (!stored) return false;
    const bool isFalse = stored->is_boolean() && !stored->get<bool>();
    *value_ = std::move(*stored);
    return !isFalse;
  });
}

bool JsonDocument::Exists(std::string_view path) const {
  return Guarded(false, [&] {
    Reading reading = Read(*value_, PathOf(path, PathRule::kC));
    return reading.state == Found::kValue && !reading.value().is_null();
  });
}

int JsonDocument::MemberNames(std::vector<std::string>& names, std::string_view path) const {
  names.clear();
  return Guarded(0, [&] {
    Reading reading = Read(*value_, PathOf(path, PathRule::kB));
    if (reading.state != Found::kValue) return 0;
    const Json& value = reading.value();
    if (value.is_object()) {
      for (const auto& member : *value.get_ptr<const Json::object_t*>()) {
        names.push_back(Utf8ToGbk(member.first));
      }
    } else if (value.is_array()) {
      for (size_t i = 0; i < value.size(); ++i) names.push_back(std::to_string(i));
    }
    return static_cast<int>(names.size());
  });
}

JsonType JsonDocument::TypeOf(std::string_view path) const {
  return Guarded(JsonType::kOther, [&] {
    Reading reading = Read(*value_, PathOf(path, PathRule::kB));
    if (reading.state == Found::kInvalid) return JsonType::kOther;
    if (reading.state != Found::kValue) return JsonType::kNull;
    switch (reading.value().type()) {
      case Json::value_t::null:
        return JsonType::kNull;
      case Json::value_t::number_integer:
      case Json::value_t::number_unsigned:
      case Json::value_t::number_float:
        return JsonType::kNumber;
      case Json::value_t::object:
        return JsonType::kObject;
      case Json::value_t::array:
        return JsonType::kArray;
      case Json::value_t::string:
        return JsonType::kString;
      default:
        return JsonType::kOther;
    }
  });
}

void JsonDocument::Clear() {
  Reset(JsonType::kObject);
}

}  // namespace sf
