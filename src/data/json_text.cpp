#include "data/json_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sf::json_internal {
namespace {

using Members = std::vector<std::pair<std::string, Json>>;

// Turns parsed members into an object. Duplicate names keep their first position and their
// last value, as an object literal in script does.
Json BuildObject(Members& members) {
  Json result(Json::value_t::object);
  auto& object = *result.get_ptr<Json::object_t*>();
  object.reserve(members.size());  // no reallocation below, so the keys stay put
  const bool wide = members.size() > 8;
  std::unordered_map<std::string_view, size_t> positions;  // only for wide objects
  for (auto& [key, value] : members) {
    size_t at = object.size();
    if (wide) {
      auto it = positions.find(key);
      if (it != positions.end()) at = it->second;
    } else {
      for (size_t i = 0; i < object.size(); ++i) {
        if ((object.begin() + static_cast<std::ptrdiff_t>(i))->first == key) at = i;
      }
    }
    if (at < object.size()) {
      (object.begin() + static_cast<std::ptrdiff_t>(at))->second = std::move(value);
      continue;
    }
    object.emplace_back(std::move(key), std::move(value));
    if (wide) positions.emplace(object.back().first, object.size() - 1);
  }
  return result;
}

// Builds the value from parser events. nlohmann's own builder inserts members one by one into
// the ordered object, which copies every earlier member value on each reallocation.
class DomBuilder : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return Deliver(Json(nullptr)); }
  bool boolean(bool value) override { return Deliver(Json(value)); }
  bool number_integer(number_integer_t value) override { return Deliver(Json(value)); }
  bool number_unsigned(number_unsigned_t value) override { return Deliver(Json(value)); }
  bool number_float(number_float_t value, const string_t&) override { return Deliver(Json(value)); }
  bool string(string_t& value) override { return Deliver(Json(std::move(value))); }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override {
    frames_.push_back(Frame{true, Json(), {}, {}});
    return true;
  }
  bool key(string_t& name) override {
    frames_.back().key = std::move(name);
    return true;
  }
  bool end_object() override {
    Members members = std::move(frames_.back().members);
    frames_.pop_back();
    return Deliver(BuildObject(members));
  }
  bool start_array(std::size_t) override {
    frames_.push_back(Frame{false, Json(Json::value_t::array), {}, {}});
    return true;
  }
  bool end_array() override {
    Json array = std::move(frames_.back().array);
    frames_.pop_back();
    return Deliver(std::move(array));
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

  Json result;

 private:
  struct Frame {
    bool isObject;
    Json array;
    std::string key;
    Members members;
  };
  static_assert(std::is_nothrow_move_constructible_v<Frame>, "frames must move, not copy");

  bool Deliver(Json value) {
    if (frames_.empty()) {
      result = std::move(value);
      return true;
    }
    Frame& frame = frames_.back();
    if (frame.isObject) {
      frame.members.emplace_back(std::move(frame.key), std::move(value));
    } else {
      frame.array.push_back(std::move(value));
    }
    return true;
  }

  std::vector<Frame> frames_;
};

void WriteQuoted(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += kHex[(c >> 4) & 0xF];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

// Scalars in either form; false for arrays and objects, which the walker handles.
bool WriteScalar(const Json& value, bool json, std::string& out) {
  switch (value.type()) {
    case Json::value_t::null:
      if (json) out += "null";
      return true;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return true;
    case Json::value_t::number_integer:
      out += std::to_string(value.get<int64_t>());
      return true;
    case Json::value_t::number_unsigned:
      out += std::to_string(value.get<uint64_t>());
      return true;
    case Json::value_t::number_float: {
      double number = value.get<double>();
      out += json && !std::isfinite(number) ? "null" : FormatNumber(number);
      return true;
    }
    case Json::value_t::string:
      if (json) {
        WriteQuoted(*value.get_ptr<const Json::string_t*>(), out);
      } else {
        out += *value.get_ptr<const Json::string_t*>();
      }
      return true;
    case Json::value_t::object:
      if (json) return false;
      out += "[object Object]";
      return true;
    case Json::value_t::array:
      return false;
    default:
      return true;  // binary and discarded values never reach a document
  }
}

void Write(const Json& root, bool json, std::string& out) {
  struct Frame {
    const Json* node;
    size_t next;
  };
  std::vector<Frame> stack;
  auto visit = [&](const Json& value) {
    if (WriteScalar(value, json, out)) return;
    if (json) out += value.is_array() ? '[' : '{';
    stack.push_back(Frame{&value, 0});
  };
  visit(root);
  while (!stack.empty()) {
    const Json& node = *stack.back().node;
    const size_t i = stack.back().next++;
    if (i == node.size()) {
      if (json) out += node.is_array() ? ']' : '}';
      stack.pop_back();
      continue;
    }
    if (i > 0) out += ',';
    if (node.is_object()) {
      const auto& member =
          *(node.get_ptr<const Json::object_t*>()->begin() + static_cast<std::ptrdiff_t>(i));
      WriteQuoted(member.first, out);
      out += ':';
      visit(member.second);
    } else {
      visit(node[i]);
    }
  }
}

}  // namespace

bool ParseJson(std::string_view utf8, Json& out) {
  DomBuilder builder;
  if (!Json::sax_parse(utf8.begin(), utf8.end(), &builder)) return false;
  out = std::move(builder.result);
  return true;
}

void WriteJson(const Json& value, std::string& out) {
  Write(value, true, out);
}
void WritePlain(const Json& value, std::string& out) {
  Write(value, false, out);
}

std::string FormatNumber(double number) {
  if (std::isnan(number)) return "NaN";
  if (std::isinf(number)) return number < 0 ? "-Infinity" : "Infinity";
  if (number == 0) return "0";  // also -0
  char buffer[64];
  auto end = std::to_chars(buffer, buffer + sizeof buffer, number, std::chars_format::scientific);
  std::string_view text(buffer, static_cast<size_t>(end.ptr - buffer));
  std::string out;
  if (text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  const size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  // `point` is where the decimal point goes, counted in digits from the left.
  const int point = std::atoi(std::string(text.substr(e + 1)).c_str()) + 1;
  const int count = static_cast<int>(digits.size());
  if (count <= point && point <= 21) {
    out += digits + std::string(static_cast<size_t>(point - count), '0');
  } else if (0 < point && point <= 21) {
    out += digits.substr(0, static_cast<size_t>(point)) + "." +
           digits.substr(static_cast<size_t>(point));
  } else if (-6 < point && point <= 0) {
    out += "0." + std::string(static_cast<size_t>(-point), '0') + digits;
  } else {
    out += digits.substr(0, 1);
    if (count > 1) out += "." + digits.substr(1);
    out += point - 1 < 0 ? "e-" : "e+";
    out += std::to_string(std::abs(point - 1));
  }
  return out;
}

size_t Utf16Length(std::string_view utf8) {
  size_t units = 0;
  for (char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) ++units;
    if (byte >= 0xF0) ++units;  // beyond the basic plane: a surrogate pair
  }
  return units;
}

Json& SetObjectMember(Json::object_t& object, std::string_view key, Json&& value) {
  for (auto& member : object) {
    if (member.first == key) {
      member.second = std::move(value);
      return member.second;
    }
  }
  if (object.size() == object.capacity()) {
    Json::object_t grown;
    grown.reserve(std::max<size_t>(8, object.size() * 2));
    for (auto& member : object) grown.emplace_back(member.first, std::move(member.second));
    object.swap(grown);
  }
  object.emplace_back(std::string(key), std::move(value));
  return object.back().second;
}

}  // namespace sf::json_internal
