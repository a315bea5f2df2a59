#include "base/profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <optional>

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
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  size_t i = 0;
  while (i < a.size()) {
    size_t n = GbkCharLength(a.data() + i, a.size() - i);
    if (n == 1) {
      char x = a[i], y = b[i];
      if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
      if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
      if (x != y) return false;
    } else if (a.substr(i, n) != b.substr(i, n)) {
      return false;
    }
    i += n;
  }
  return true;
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
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c == '\r' && i + 1 < value.size() && value[i + 1] == '\n') ++i;
    out += (c == '\r' || c == '\n') ? ' ' : c;
  }
  bool blankEnd = !out.empty() && (IsBlank(out.front()) || IsBlank(out.back()));
  bool quoted =
      out.size() >= 2 && (out.front() == '"' || out.front() == '\'') && out.back() == out.front();
  if (blankEnd || quoted) out = '"' + out + '"';
  return out;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
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
      file.sections_.push_back({std::string(Trim(t)), true, {}});
      continue;
    }
    if (file.sections_.empty()) file.sections_.push_back({"", false, {}});
    file.sections_.back().lines.emplace_back(line);
  }
  return file;
}

ProfileFile::Section* ProfileFile::FindSection(std::string_view name) {
  for (Section& s : sections_)
    if (s.header && SameName(s.name, name)) return &s;
  return nullptr;
}

const ProfileFile::Section* ProfileFile::FindSection(std::string_view name) const {
  return const_cast<ProfileFile*>(this)->FindSection(name);
}

bool ProfileFile::Has(std::string_view section, std::string_view key) const {
  const Section* s = FindSection(section);
  if (s == nullptr) return false;
  for (const std::string& line : s->lines) {
    auto k = ReadKeyLine(line);
    if (k && SameName(k->key, key)) return true;
  }
  return false;
}

std::string ProfileFile::Get(std::string_view section, std::string_view key,
                             std::string_view fallback, size_t bufferSize) const {
  const Section* s = FindSection(section);
  if (s != nullptr) {
    for (const std::string& line : s->lines) {
      auto k = ReadKeyLine(line);
      if (!k || !SameName(k->key, key)) continue;
      std::string_view v = k->value;
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
      return CutToBuffer(v, bufferSize);
    }
  }
  return CutToBuffer(fallback, bufferSize);
}

void ProfileFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  std::string written = ValueToWrite(value);
  Section* s = FindSection(section);
  if (s == nullptr) {
    sections_.push_back({std::string(section), true, {std::string(key) + "=" + written}});
    return;
  }
  size_t insertAt = 0;
  for (size_t i = 0; i < s->lines.size(); ++i) {
    auto k = ReadKeyLine(s->lines[i]);
    if (k && SameName(k->key, key)) {
      s->lines[i] = std::string(k->key) + "=" + written;
      return;
    }
    if (!Trim(s->lines[i]).empty()) insertAt = i + 1;
  }
  // New keys go after the section's last line, before the blank lines that end it.
  s->lines.insert(s->lines.begin() + static_cast<std::ptrdiff_t>(insertAt),
                  std::string(key) + "=" + written);
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
  std::string temporary = path + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  // A temporary file left by an earlier run keeps its bits: take away whatever `mode` lacks.
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && ::fchmod(fd, st.st_mode & mode & 07777) == 0 &&
            WriteAll(fd, Text()) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
  ::unlink(temporary.c_str());
  return false;
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
