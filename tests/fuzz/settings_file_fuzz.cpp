// The settings file's reader on arbitrary bytes: every lookup must agree with a plain scan of
// the lines by the profile rules (ASCII-only case folding that never folds a GBK trail byte,
// first key and first section win), a change must read back the same from memory and from the
// written bytes, and the unfinished list must stay within its limits.
//
// Input: one line "section<TAB>key<TAB>value" naming a change, then the file's bytes.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/profile_file.h"
#include "base/settings_file.h"
#include "base/text.h"

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size();) {
    size_t n = sf::GbkCharLength(a.data() + i, a.size() - i);
    if (n == 1 ? sf::ToLowerAscii(a.substr(i, 1)) != sf::ToLowerAscii(b.substr(i, 1))
               : a.substr(i, n) != b.substr(i, n))
      return false;
    i += n;
  }
  return true;
}

struct Line {
  bool header = false;
  std::string_view name;   // the section's, or the key's
  std::string_view value;  // a key's
};

// The file's sections and keys, line by line; comments and blank lines left out.
std::vector<Line> Scan(std::string_view bytes) {
  std::vector<Line> lines;
  for (size_t pos = 0; pos < bytes.size();) {
    size_t end = std::min(bytes.find('\n', pos), bytes.size());
    std::string_view line = bytes.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';') continue;
    if (t.front() == '[') {
      t.remove_prefix(1);
      lines.push_back({true, Trim(t.substr(0, t.find(']'))), {}});
      continue;
    }
    size_t eq = t.find('=');
    if (eq == std::string_view::npos)
      lines.push_back({false, t, {}});
    else
      lines.push_back({false, Trim(t.substr(0, eq)), Trim(t.substr(eq + 1))});
  }
  return lines;
}

std::optional<std::string> Lookup(const std::vector<Line>& lines, std::string_view section,
                                  std::string_view key) {
  bool inside = false;
  for (const Line& l : lines) {
    if (l.header) {
      if (inside) return std::nullopt;  // only the first section of a name counts
      inside = SameName(l.name, section);
    } else if (inside && SameName(l.name, key)) {
      std::string_view v = l.value;
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
      return std::string(v);
    }
  }
  return std::nullopt;
}

// A name that reads back as it was written: no line break, bracket, "=", ";" or outer blank.
bool Plain(std::string_view name) {
  for (char c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == '[' || c == ']' || c == '=' || c == ';')
      return false;
  return Trim(name) == name;
}

std::string FlipCase(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) c = static_cast<char>(c ^ 0x20);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t nl = input.find('\n');
  std::string_view change = nl == std::string_view::npos ? input : input.substr(0, nl);
  std::string_view bytes = nl == std::string_view::npos ? std::string_view() : input.substr(nl + 1);
  std::vector<std::string> parts = sf::SplitText(change, "\t");
  parts.resize(3);

  for (const auto& row : sf::ReadUnfinished(bytes))
    if (row.fileName.size() >= sf::ProfileFile::kReadBufferSize ||
        row.address.size() >= sf::ProfileFile::kReadBufferSize)
      std::abort();
  if (sf::ReadUnfinished(bytes).size() > 10000) std::abort();

  std::vector<Line> lines = Scan(bytes);
  std::vector<std::pair<std::string, std::string>> asked;
  std::string_view section;
  for (const Line& l : lines) {
    if (asked.size() >= 64) break;
    if (l.header)
      section = l.name;
    else
      asked.emplace_back(std::string(section), std::string(l.name));
  }
  for (size_t i = 0, n = asked.size(); i < n; ++i)
    asked.emplace_back(FlipCase(asked[i].first), FlipCase(asked[i].second));
  asked.emplace_back(parts[0], parts[1]);

  const size_t unlimited = bytes.size() + 2;
  sf::ProfileFile file = sf::ProfileFile::Parse(bytes);
  for (const auto& [s, k] : asked) {
    std::optional<std::string> want = Lookup(lines, s, k);
    if (file.Has(s, k) != want.has_value()) std::abort();
    if (want && file.Get(s, k, "", unlimited) != *want) std::abort();
  }

  // A change seen from memory must equal the same change read back from the written file.
  file.Set(parts[0], parts[1], parts[2]);
  if (!Plain(parts[0]) || parts[0].empty() || !Plain(parts[1])) return 0;
  std::string text = file.Text();
  sf::ProfileFile again = sf::ProfileFile::Parse(text);
  if (again.Text() != text) std::abort();
  for (const auto& [s, k] : asked)
    if (file.Has(s, k) != again.Has(s, k) ||
        file.Get(s, k, "\x01", unlimited + parts[2].size()) !=
            again.Get(s, k, "\x01", unlimited + parts[2].size()))
      std::abort();
  return 0;
}
