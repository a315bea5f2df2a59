// Profile (INI) files read and written the way the Windows profile functions treat them:
// sections and keys are found without regard to ASCII letter case, values are read back
// trimmed and without one pair of enclosing quotes, into a buffer of fixed size, and a write
// changes one key in place or appends it at the end of its section (or of the file, with a new
// section). Lines are written with CRLF endings; texts are bytes as given (our GBK), so the
// file is in code page 936. Lines the reader does not understand are kept as they were.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sf {

class ProfileFile {
 public:
  // The buffer a value is read into; at most kReadBufferSize - 1 bytes of a value come back.
  static constexpr size_t kReadBufferSize = 10240;

  // Reads the file at `path` (a file-system path). A missing or unreadable file gives an empty
  // profile, as the Windows functions treat it.
  static ProfileFile Load(const std::string& path);
  static ProfileFile Parse(std::string_view bytes);

  // The value of `key` in `section`, or `fallback` when either is missing. Cut to
  // bufferSize - 1 bytes, never in the middle of a double-byte character.
  std::string Get(std::string_view section, std::string_view key, std::string_view fallback = {},
                  size_t bufferSize = kReadBufferSize) const;
  bool Has(std::string_view section, std::string_view key) const;

  // Sets `key` in `section`, creating either when missing. A line break inside the value would
  // end the line early and turn the rest into a line of its own, so each one is written as a
  // space. A value that would not read back as it is (blanks at either end, or enclosed in
  // quotes) is written inside double quotes, which the reader takes off again.
  void Set(std::string_view section, std::string_view key, std::string_view value);

  // The file's bytes.
  std::string Text() const;
  // The line Set writes for `key` and `value`, without its line break.
  static std::string KeyLine(std::string_view key, std::string_view value);

  // Writes the whole file through a new temporary file beside it, so a failed write leaves the
  // old file whole; the file then has no permission bits beyond `mode`. False when it could not
  // be written.
  bool Save(const std::string& path, unsigned mode = 0644) const;

 private:
  // Names as the lookups compare them: ASCII letters folded, double-byte characters as they are.
  using NameIndex = std::unordered_map<std::string, size_t>;

  struct Section {
    std::string name{};
    bool header = true;                // false for the lines before the first section
    std::vector<std::string> lines{};  // without line ends
    NameIndex keys{};                  // each key's first line
    size_t end = 0;                    // just after the last line that is not blank
  };

  Section* FindSection(std::string_view name);
  const Section* FindSection(std::string_view name) const;
  const std::string* FindKeyLine(std::string_view section, std::string_view key) const;
  static void AddLine(Section& section, size_t at, std::string line);

  std::vector<Section> sections_;
  NameIndex sectionIndex_;  // each name's first section with a header
};

// The one-call forms, each reading (and writing back) the whole file as the Windows functions
// do.
std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view fallback = {},
                              size_t bufferSize = ProfileFile::kReadBufferSize);
bool WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value);

}  // namespace sf
