// One JSON value, read and changed through path expressions such as
// "file_list.list[3].server_filename" or "list.length". The share session loads each answer of
// the service into a document and reads the fields it needs as text.
//
// All texts in and out are GBK (member names and paths too); the value is kept in UTF-8.
// Nothing throws: what cannot be evaluated yields the empty text, 0 or false and leaves the
// document as it was.
//
// A path joins the root in one of three ways, noted per operation:
//   A: "[0].name" reads an element of a root array, "a.b" a member; the empty path is invalid.
//   B: the empty path is the root; "[0]" is not recognised.
//   C: the path must begin with a member name; the empty path is invalid.
// "length" of an array is its element count, of a string its count of UTF-16 units. A member
// of a missing or null member cannot be evaluated.
//
// Copies share one value: a copy sees every later change of the document it came from. The
// sub-document operations return independent documents.
#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace sf {

// The type codes of JsonDocument::TypeOf; 1 and 3 are not used.
enum class JsonType : int {
  kNull = 0,  // missing, or null
  kNumber = 2,
  kObject = 4,
  kArray = 5,
  kString = 6,
  kOther = -1,  // a logical value, or a path that does not parse
};

class JsonDocument {
 public:
  JsonDocument();  // an empty object
  JsonDocument(const JsonDocument&) = default;
  JsonDocument& operator=(const JsonDocument&) = default;
  ~JsonDocument();

  // Replaces the value with the JSON `text`. False, with the document left null, when the
  // text is empty, is not one JSON value, or is null.
  [[nodiscard]] bool Parse(std::string_view text);
  [[nodiscard]] std::string ToText() const;

  // Rule C. With `evaluate` the value is JSON text ("{}" when empty) and a text that does not
  // parse changes nothing; without it the value is stored as a string, exactly as given.
  void SetMember(std::string_view path, std::string_view value, bool evaluate);
  // Rule C. Like SetMember with `evaluate`, but an empty text is no value and changes nothing.
  void SetMemberValue(std::string_view path, std::string_view json);
  void SetNumber(std::string_view path, double number);  // rule C; NaN and infinities refused
  [[nodiscard]] double GetNumber(std::string_view path) const;           // rule C
  [[nodiscard]] std::string GetMemberJson(std::string_view path) const;  // rule C

  // Rule A. Plain: strings unquoted, numbers as digits, true/false, null as nothing, arrays as
  // their elements joined with ",", objects as "[object Object]". Serialised: compact JSON.
  [[nodiscard]] std::string GetText(std::string_view path, bool serialise = false) const;
  // Rule A. A new, independent document; null when the member is missing.
  [[nodiscard]] JsonDocument GetDocument(std::string_view path) const;
  // Rule A, the root for an empty path. Members of an object, elements of an array, else 0.
  [[nodiscard]] int Count(std::string_view path = {}) const;

  // Rule B. Turns the target into an empty array first when it is not an array. `raw` pushes
  // `value` as JSON text (nothing when empty), otherwise as a string.
  void Append(std::string_view value, std::string_view path = {}, bool raw = false);
  [[nodiscard]] JsonDocument GetElementDocument(int index, std::string_view path = {}) const;
  [[nodiscard]] std::string GetElementText(int index, std::string_view path = {},
                                           bool serialise = false) const;

  // The root's element `index` (an object takes it as a member name); `raw` as for Append.
  void SetElement(int index, std::string_view value, bool raw);
  // Removes one element of a root array; a negative index counts from the end.
  void RemoveElement(int index);
  // kNull and kObject make the root an empty object, kArray an empty array; others nothing.
  void Reset(JsonType type);
  // Replaces the root. False when `raw` text does not parse (nothing changes) or when the new
  // root is the logical value false; true otherwise.
  bool SetRoot(std::string_view value, bool raw);

  [[nodiscard]] bool Exists(std::string_view path) const;  // rule C; null counts as absent
  // Rule B. Replaces `names` with the member names in document order (an array's indices
  // "0", "1", ...) and returns their number.
  int MemberNames(std::vector<std::string>& names, std::string_view path = {}) const;
  // Rule B. A member of a missing member is missing too (kNull).
  [[nodiscard]] JsonType TypeOf(std::string_view path = {}) const;
  void Clear();  // an empty object

 private:
  bool LoadUtf8(std::string_view utf8);
  void Store(std::string_view path, std::string_view value, bool evaluate);

  std::shared_ptr<nlohmann::ordered_json> value_;
};

}  // namespace sf
