#include "base/profile_file.h"

#include <fstream>
#include <iterator>
#include <optional>

#include "base/paths.h"
#include "base/text.h"

namespace sf {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Letter case folds on single-byte characters only: a GBK trail byte may fall on an ASCII
// letter, and folding it would make two different characters equal.
std::string FoldName(std::string_view name) {
  std::string out(name);
  size_t i = 0;
  while (i < out.size()) {
    size_t n = GbkCharLength(out.data() + i, out.size() - i);
    if (n == 1 && out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] - 'A' + 'a');
    i += n;
  }
  return out;
}

struct KeyLine {
  std::string_view key;
  std::string_view value;
};

// A key line is "key=value"; blank lines and ";" comments are not keys, and a line without
// "=" is a key without a value.
std::optional<KeyLine> ReadKeyLine(std::string_view line) {
  std::string_view t = Trim(line);
  if (t.empty() || t.front() == ';') return std::nullopt;
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) return KeyLine{t, {}};
  return KeyLine{Trim(t.substr(0, eq)), Trim(t.substr(eq + 1))};
}

std::string CutToBuffer(std::string_view value, size_t bufferSize) {
  if (bufferSize == 0) return {};
  size_t limit = bufferSize - 1;
  if (value.size() <= limit) return std::string(value);
  size_t end = 0;
  while (end < value.size()) {
    size_t n = GbkCharLength(value.data() + end, value.size() - end);
    if (end + n > limit) break;
    end += n;
  }
  return std::string(value.substr(0, end));
}

std::string ValueToWrite(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 2);
  if (value.find_first_of("\r\n") == std::string_view::npos) {
    out = value;  // the usual case, without a look at each byte
  } else {
    for (size_t i = 0; i < value.size(); ++i) {
      char c = value[i];
      if (c == '\r' && i + 1 < value.size() && value[i + 1] == '\n') ++i;
      out += (c == '\r' || c == '\n') ? ' ' : c;
    }
  }
  bool blankEnd = !out.empty() && (IsBlank(out.front()) || IsBlank(out.back()));
  bool quoted =
      out.size() >= 2 && (out.front() == '"' || out.front() == '\'') && out.back() == out.front();
  if (blankEnd || quoted) out = '"' + out + '"';
  return out;
}

}  // namespace

ProfileFile ProfileFile::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return {};
  return Parse(bytes);
}

ProfileFile ProfileFile::Parse(std::string_view bytes) {
  ProfileFile file;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = bytes.find('\n', pos);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view t = Trim(line);
    if (!t.empty() && t.front() == '[') {
      t.remove_prefix(1);
      t = t.substr(0, t.find(']'));
      file.sections_.push_back({.name = std::string(Trim(t))});
      file.sectionIndex_.try_emplace(FoldName(file.sections_.back().name),
                                     file.sections_.size() - 1);
      continue;
    }
    if (file.sections_.empty()) file.sections_.push_back({.header = false});
    Section& section = file.sections_.back();
    AddLine(section, section.lines.size(), std::string(line));
  }
  return file;
}

// Puts `line` at `at`, which is never before a key line, so the index of every earlier key
// stays right.
void ProfileFile::AddLine(Section& section, size_t at, std::string line) {
  if (auto k = ReadKeyLine(line)) section.keys.try_emplace(FoldName(k->key), at);
  if (!Trim(line).empty()) section.end = at + 1;
  section.lines.insert(section.lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
}

ProfileFile::Section* ProfileFile::FindSection(std::string_view name) {
  auto it = sectionIndex_.find(FoldName(name));
  return it == sectionIndex_.end() ? nullptr : &sections_[it->second];
}

const ProfileFile::Section* ProfileFile::FindSection(std::string_view name) const {
  return const_cast<ProfileFile*>(this)->FindSection(name);
}

const std::string* ProfileFile::FindKeyLine(std::string_view section, std::string_view key) const {
  const Section* s = FindSection(section);
  if (s == nullptr) return nullptr;
  auto it = s->keys.find(FoldName(key));
  return it == s->keys.end() ? nullptr : &s->lines[it->second];
}

bool ProfileFile::Has(std::string_view section, std::string_view key) const {
  return FindKeyLine(section, key) != nullptr;
}

std::string ProfileFile::Get(std::string_view section, std::string_view key,
                             std::string_view fallback, size_t bufferSize) const {
  if (const std::string* line = FindKeyLine(section, key)) {
    std::string_view v = ReadKeyLine(*line)->value;
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
      v = v.substr(1, v.size() - 2);
    return CutToBuffer(v, bufferSize);
  }
  return CutToBuffer(fallback, bufferSize);
}

void ProfileFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  std::string written = ValueToWrite(value);
  Section* s = FindSection(section);
  if (s == nullptr) {
    sections_.push_back({.name = std::string(section)});
    sectionIndex_.try_emplace(FoldName(section), sections_.size() - 1);
    AddLine(sections_.back(), 0, std::string(key) + "=" + written);
    return;
  }
  auto it = s->keys.find(FoldName(key));
  if (it != s->keys.end()) {
    std::string& line = s->lines[it->second];
    line = std::string(ReadKeyLine(line)->key) + "=" + written;
    return;
  }
  // New keys go after the section's last line, before the blank lines that end it.
  AddLine(*s, s->end, std::string(key) + "=" + written);
}

std::string ProfileFile::KeyLine(std::string_view key, std::string_view value) {
  return std::string(key) + "=" + ValueToWrite(value);
}

std::string ProfileFile::Text() const {
  std::string out;
  for (const Section& s : sections_) {
    if (s.header) out += "[" + s.name + "]\r\n";
    for (const std::string& line : s.lines) out += line + "\r\n";
  }
  return out;
}

bool ProfileFile::Save(const std::string& path, unsigned mode) const {
  return ReplaceFile(path, Text(), mode) == 0;
}

std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view fallback, size_t bufferSize) {
  return ProfileFile::Load(path).Get(section, key, fallback, bufferSize);
}

bool WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value) {
  ProfileFile file = ProfileFile::Load(path);
  file.Set(section, key, value);
  return file.Save(path);
}

}  // namespace sf
