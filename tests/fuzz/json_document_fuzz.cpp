// Loads the input as a document (the part before a first \x01 byte; what follows is a list of
// paths separated by \x01) and reads paths taken from the input and from the document's own
// member names, checking that the readers agree with each other.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "data/json_document.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void ReadPath(const sf::JsonDocument& document, const std::string& path) {
  const std::string plain = document.GetText(path);
  const std::string json = document.GetText(path, true);
  // Both read by the same rule, so a value that serialises loads back as the same text.
  if (!json.empty()) Check(document.GetDocument(path).ToText() == json);
  if (json.empty()) Check(plain.empty());
  const sf::JsonType type = document.TypeOf(path);
  std::vector<std::string> names;
  const int count = document.MemberNames(names, path);
  Check(count == static_cast<int>(names.size()));
  if (!path.empty() && path.front() != '[') {
    // Count and MemberNames resolve a path that begins with a name the same way.
    Check(document.Count(path) == count);
    if (type == sf::JsonType::kArray) {
      Check(document.GetText(path + ".length") == std::to_string(count));
    }
    if (type != sf::JsonType::kOther) Check(document.Exists(path) == (type != sf::JsonType::kNull));
    Check(document.GetElementText(0, path, true) == document.GetText(path + "[0]", true));
    Check(std::isfinite(document.GetNumber(path)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\x01');
  sf::JsonDocument document;
  const bool loaded = document.Parse(input.substr(0, split));
  Check(loaded || document.ToText() == "null");

  std::vector<std::string> paths{"", "[0]", "list.length", "file_list.list[0].fs_id"};
  for (size_t at = split; at != std::string::npos && paths.size() < 12;) {
    const size_t next = input.find('\x01', at + 1);
    paths.push_back(input.substr(at + 1, next == std::string::npos ? next : next - at - 1));
    at = next;
  }
  std::vector<std::string> names;
  document.MemberNames(names);
  for (size_t i = 0; i < names.size() && i < 4; ++i) {
    paths.push_back(names[i]);
    paths.push_back(names[i] + "[0]");
    std::vector<std::string> inner;
    document.MemberNames(inner, names[i]);
    if (!inner.empty()) paths.push_back(names[i] + "." + inner.front());
  }
  for (const std::string& path : paths) ReadPath(document, path);

  // Changes go to a sub-document; whatever they do, it must still write text that loads.
  sf::JsonDocument copy = document.GetDocument("[0]");
  if (loaded) Check(copy.Parse(document.ToText()));
  const std::string& last = paths.back();
  copy.SetMember(last, input.substr(0, 16), (size & 1) != 0);
  copy.Append(last, last, (size & 2) != 0);
  copy.SetElement(1, "{}", true);
  copy.RemoveElement(0);
  const std::string text = copy.ToText();
  sf::JsonDocument again;
  Check(again.Parse(text) || text == "null");
  return 0;
}
