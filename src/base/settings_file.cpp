#include "base/settings_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>

#include "base/encoding.h"
#include "base/paths.h"
#include "base/profile_file.h"
#include "base/text.h"

namespace sf {
namespace {

// More rows than any share holds entries: a count beyond this comes from a damaged or
// hand-edited file, never from a close of ours.
constexpr int64_t kMaxUnfinished = 1000000;
// Each row of ours takes at least a line in two sections ("N=\r\n"), so a count or row number
// beyond the file's bytes over this is not ours either, and would fill the list with empty
// rows from a few bytes.
constexpr int64_t kMinRowBytes = 8;

struct Names {
  std::string fileSection, countKey, addressSection, addressCountKey, directorySection,
      directoryKey, taskSection, taskDirectoryKey, taskSizeKey, taskStateKey, taskDoneKey, paused,
      failed, taskShareKey, taskCodeKey, taskFileKey, taskAppKey, remoteSection, remoteAddressKey,
      remoteSecretKey, settingsSection, limitKey, limitOnKey, saveDirectoryKey;
};

const Names& SettingsNames() {
  static const Names names{
      .fileSection = Utf8ToGbk("文件名"),
      .countKey = "name:",
      .addressSection = Utf8ToGbk("下载地址"),
      .addressCountKey = "number:",
      .directorySection = Utf8ToGbk("保存目录"),
      .directoryKey = Utf8ToGbk("保存地址："),
      .taskSection = Utf8ToGbk("下载任务"),
      .taskDirectoryKey = Utf8ToGbk("目录"),
      .taskSizeKey = Utf8ToGbk("大小"),
      .taskStateKey = Utf8ToGbk("状态"),
      .taskDoneKey = Utf8ToGbk("已下载"),
      .paused = Utf8ToGbk("已暂停"),
      .failed = Utf8ToGbk("失败"),
      .taskShareKey = Utf8ToGbk("分享"),
      .taskCodeKey = Utf8ToGbk("提取码"),
      .taskFileKey = Utf8ToGbk("分享文件"),
      .taskAppKey = Utf8ToGbk("分享应用"),
      .remoteSection = Utf8ToGbk("远程下载器"),
      .remoteAddressKey = Utf8ToGbk("地址"),
      .remoteSecretKey = Utf8ToGbk("密钥"),
      .settingsSection = Utf8ToGbk("下载设置"),
      .limitKey = Utf8ToGbk("限速"),
      .limitOnKey = Utf8ToGbk("限速开启"),
      .saveDirectoryKey = Utf8ToGbk("保存目录"),
  };
  return names;
}

bool Exists(const std::string& path) {
  return !path.empty() && ::access(path.c_str(), F_OK) == 0;
}

// The file may hold the remote downloader's secret.
constexpr unsigned kFileMode = 0600;

// Read in pieces and only while it matches: a file of many rows need not be held twice.
bool SameBytes(const std::string& path, const std::string& bytes) {
  // A file of another size differs: a list of many rows is not read back to learn it.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) != bytes.size())
    return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string piece(size_t{1} << 16, '\0');
  for (size_t at = 0;;) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    auto got = static_cast<size_t>(in.gcount());
    if (got == 0) return at == bytes.size() && !in.bad();
    if (at + got > bytes.size() || bytes.compare(at, got, piece, 0, got) != 0) return false;
    at += got;
  }
}

// `dir` + "/" + `name`, without doubling the slash of a directory that has one at its end.
std::string Below(std::string dir, const std::string& name) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return (dir == "/" ? "" : dir) + "/" + name;
}

// $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config; empty when neither is known.
std::string ConfigHome(const char* xdgConfigHome, const char* home) {
  if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/') return xdgConfigHome;
  if (home != nullptr && home[0] != 0) return Below(home, ".config");
  return {};
}

const char* HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == 0) {
    if (const passwd* entry = ::getpwuid(::getuid())) home = entry->pw_dir;
  }
  return home;
}

// XDG_DOWNLOAD_DIR from user-dirs.dirs. The file is shell syntax, but its writer only ever puts
// a double-quoted "$HOME/..." or absolute path there; anything else counts as unset.
std::string UserDownloadDirectory(const std::string& configHome, const std::string& home) {
  if (configHome.empty()) return {};
  std::ifstream in(Below(configHome, "user-dirs.dirs"));
  std::string line, found;
  const std::string key = "XDG_DOWNLOAD_DIR=";
  while (std::getline(in, line)) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
    std::string value = line.substr(start + key.size());
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
      if (home.empty()) continue;
      value = home + value.substr(5);
    }
    if (value.empty() || value[0] != '/') continue;
    found = value;  // the shell would keep the last assignment
  }
  while (found.size() > 1 && found.back() == '/') found.pop_back();
  return found;
}

}  // namespace

SettingsPaths SettingsPathsFor(const std::string& programDirectory, const char* xdgConfigHome,
                               const char* home) {
  SettingsPaths paths;
  if (!programDirectory.empty()) paths.beside = Below(programDirectory, kSettingsFileName);
  std::string config = ConfigHome(xdgConfigHome, home);
  if (!config.empty()) paths.user = Below(Below(config, "sharefetch"), kSettingsFileName);
  return paths;
}

StartDirectories StartDirectoriesFor(const std::string& programDirectory, bool installed,
                                     const char* xdgConfigHome, const char* home) {
  StartDirectories start;
  start.settings = SettingsPathsFor(programDirectory, xdgConfigHome, home);
  const std::string saveFolder = "下载内容";  // a file-system name, so UTF-8
  start.saveDirectory = Below(programDirectory, saveFolder);
  if (!installed) return start;
  start.settings.beside.clear();
  std::string homeDir = home != nullptr ? home : "";
  std::string downloads = UserDownloadDirectory(ConfigHome(xdgConfigHome, home), homeDir);
  if (downloads.empty() && !homeDir.empty()) downloads = Below(homeDir, "Downloads");
  if (!downloads.empty()) start.saveDirectory = Below(downloads, saveFolder);
  return start;
}

StartDirectories DefaultStartDirectories(const std::string& programDirectory, bool installed) {
  return StartDirectoriesFor(programDirectory, installed, std::getenv("XDG_CONFIG_HOME"),
                             HomeDirectory());
}

std::string SettingsFileToRead(const SettingsPaths& paths) {
  if (Exists(paths.beside)) return paths.beside;
  if (Exists(paths.user)) return paths.user;
  return {};
}

namespace {

// Far above what a close of ours writes for any real list (a row with a share's link takes
// about half a KiB); a larger file is not read at all.
constexpr size_t kMaxFileBytes = size_t{1} << 30;

// The values' buffer is made this large at most before any is read; a larger file's grow.
constexpr size_t kMaxReserve = size_t{256} << 20;

// GB18030 throughout, as everything we write is.
bool IsGbk(std::string_view b) {
  auto at = [&](size_t k) { return static_cast<unsigned char>(b[k]); };
  auto lead = [](unsigned c) { return c >= 0x81 && c <= 0xFE; };
  auto digit = [](unsigned c) { return c >= 0x30 && c <= 0x39; };
  for (size_t i = 0; i < b.size();) {
    unsigned c = at(i);
    if (c < 0x80) {
      ++i;
    } else if (!lead(c) || i + 1 == b.size()) {
      return false;
    } else if (unsigned d = at(i + 1); (d >= 0x40 && d != 0x7F && d != 0xFF)) {
      i += 2;
    } else if (digit(d) && i + 3 < b.size() && lead(at(i + 2)) && digit(at(i + 3))) {
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// `v` as the read buffer gives it back: at most kReadBufferSize - 1 bytes, ending at a
// character's end.
std::string_view Fit(std::string_view v) {
  const size_t limit = ProfileFile::kReadBufferSize - 1;
  if (v.size() <= limit) return v;
  size_t end = 0;
  while (end < v.size()) {
    size_t len = GbkCharLength(v.data() + end, v.size() - end);
    if (end + len > limit) break;
    end += len;
  }
  return v.substr(0, end);
}

// The most rows a file of `bytes` bytes can hold as we write them.
int64_t MaxRows(size_t bytes) {
  return std::min<int64_t>(kMaxUnfinished, static_cast<int64_t>(bytes) / kMinRowBytes);
}

// 1 … `maxRows` written as we write it, else 0.
int64_t RowNumber(std::string_view digits, int64_t maxRows) {
  if (digits.empty() || digits.size() > 7 || digits.front() == '0' ||
      digits.find_first_not_of("0123456789") != std::string_view::npos)
    return 0;
  int64_t n = ReadInteger(digits);
  return n <= maxRows ? n : 0;
}

// One pass over the file's lines that keeps only the values the window uses, and notes
// whether anything else was there (see LoadedSettings). Sections and keys are found as the profile
// functions find them: the first section of a name and the first key in it count.
class SettingsReader {
 public:
  // `bytes`: the file's size, which bounds how many rows it may hold.
  // `keepRows` false: only whether the file reads whole, and its sections of single keys, as a
  // save needs to know before it writes; the rows' values are looked at and dropped.
  explicit SettingsReader(size_t bytes = 0, bool keepRows = true)
      : maxRows_(MaxRows(bytes)), keepRows_(keepRows) {
    // The rows' values together are never more than the file; one allocation holds them all.
    if (keepRows_) values_.reserve(std::min(bytes, kMaxReserve));
  }

  // One line of the file, without its line feed.
  void Feed(std::string_view line) {
    if (whole_ && !IsGbk(line)) whole_ = false;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    Line(TrimBlanks(line));
  }

  void Unread() { whole_ = false; }

  LoadedSettings Result() && {
    const Names& n = SettingsNames();
    LoadedSettings out;
    const std::string countText = fixed_[kCount].value_or("0");
    int64_t count = std::clamp<int64_t>(ReadInteger(countText), 0, maxRows_);
    if (countText != "0" && RowNumber(countText, maxRows_) == 0) whole_ = false;
    if (seen_.size() > static_cast<size_t>(count)) whole_ = false;
    const std::string directory = fixed_[kDirectory].value_or("");
    if (keepRows_) out.unfinished.reserve(static_cast<size_t>(count));
    for (size_t i = 0; keepRows_ && i < static_cast<size_t>(count); ++i) {
      static const Row kEmpty{};
      const Row& r = i < rows_.size() ? rows_[i] : kEmpty;
      auto take = [&](int field) {
        const Slot& slot = r[static_cast<size_t>(field)];
        return slot.size < 0 ? std::string()
                             : values_.substr(slot.at, static_cast<size_t>(slot.size));
      };
      auto number = [&](int field) -> int64_t {
        const Slot& slot = r[static_cast<size_t>(field)];
        return slot.size < 0 ? -1 : ReadInteger(take(field));
      };
      UnfinishedDownload row{take(kName), take(kAddress), take(kOwnDirectory), number(kSize)};
      if (row.saveDirectory.empty()) row.saveDirectory = directory;
      row.done = std::max<int64_t>(number(kDone), 0);
      std::string state = take(kState);
      if (state == n.paused) row.state = UnfinishedDownload::State::kPaused;
      if (state == n.failed) row.state = UnfinishedDownload::State::kFailed;
      row.shareUrl = take(kShare);
      row.shareCode = take(kCode);
      row.shareFile = take(kShareFile);
      row.shareApp = take(kShareApp);
      out.unfinished.push_back(std::move(row));
    }
    out.remote = {fixed_[kRemoteAddress].value_or(""), fixed_[kRemoteSecret].value_or("")};
    out.download = {fixed_[kLimit].value_or(""), fixed_[kLimitOn].value_or("") == "1",
                    fixed_[kSaveDirectory].value_or("")};
    out.whole = whole_;
    return out;
  }

 private:
  enum Section { kNone, kFiles, kAddresses, kDirectories, kTasks, kRemote, kSettings, kOther };
  enum Fixed {
    kCount,
    kAddressCount,
    kDirectory,
    kRemoteAddress,
    kRemoteSecret,
    kLimit,
    kLimitOn,
    kSaveDirectory,
    kFixedCount
  };
  enum Field {
    kName,
    kAddress,
    kOwnDirectory,
    kSize,
    kState,
    kDone,
    kShare,
    kCode,
    kShareFile,
    kShareApp,
    kFieldCount
  };
  // A row's value is `size` bytes of values_ from `at`; a size of -1 is a key the file lacks.
  // Offsets instead of strings: a list of many rows would otherwise cost an allocation a value
  // and ten strings' room a row.
  struct Slot {
    uint32_t at = 0;
    int32_t size = -1;
  };
  using Row = std::array<Slot, kFieldCount>;

  void Line(std::string_view t) {
    if (t.empty()) return;
    if (t.front() == '[') {
      size_t close = t.find(']');
      if (close != t.size() - 1) whole_ = false;
      Header(TrimBlanks(t.substr(1, close == std::string_view::npos ? close : close - 1)));
      return;
    }
    // Comments and lines before the first section are never ours.
    if (t.front() == ';' || section_ == kNone) {
      whole_ = false;
      return;
    }
    size_t eq = t.find('=');
    if (eq == std::string_view::npos) whole_ = false;
    if (section_ == kOther) return;
    if (eq == std::string_view::npos) return Key(t, {});
    Key(TrimBlanks(t.substr(0, eq)), TrimBlanks(t.substr(eq + 1)));
  }

  void Header(std::string_view name) {
    const Names& n = SettingsNames();
    const std::string* names[] = {&n.fileSection, &n.addressSection, &n.directorySection,
                                  &n.taskSection, &n.remoteSection,  &n.settingsSection};
    section_ = kOther;
    for (int i = 0; i < 6; ++i)
      if (name == *names[i]) section_ = static_cast<Section>(kFiles + i);
    if (section_ != kOther && !seenSections_[section_]) {
      seenSections_[section_] = true;
      return;
    }
    // An unknown section, or a second one of a name, which the lookups never reach.
    section_ = kOther;
    whole_ = false;
  }

  void Key(std::string_view key, std::string_view value) {
    const Names& n = SettingsNames();
    auto fixed = [&](std::string_view name, Fixed f, bool fold = false) {
      if (fold ? !EqualsIgnoreCase(key, name) : key != name) return false;
      Put(fixed_[f], value);
      return true;
    };
    auto numbered = [&](std::string_view prefix, Field f) {
      if (key.substr(0, prefix.size()) != prefix) return false;
      int64_t i = RowNumber(key.substr(prefix.size()), maxRows_);
      if (i == 0) return false;
      PutRow(static_cast<size_t>(i) - 1, f, value);
      return true;
    };
    bool known = false;
    switch (section_) {
      case kFiles:
        known = fixed(n.countKey, kCount, true) || numbered("", kName);
        break;
      case kAddresses:
        known = fixed(n.addressCountKey, kAddressCount, true) || numbered("", kAddress);
        break;
      case kDirectories:
        known = fixed(n.directoryKey, kDirectory);
        break;
      case kTasks:
        known = numbered(n.taskDirectoryKey, kOwnDirectory) || numbered(n.taskSizeKey, kSize) ||
                numbered(n.taskStateKey, kState) || numbered(n.taskDoneKey, kDone) ||
                numbered(n.taskShareKey, kShare) || numbered(n.taskCodeKey, kCode) ||
                numbered(n.taskFileKey, kShareFile) || numbered(n.taskAppKey, kShareApp);
        break;
      case kRemote:
        known =
            fixed(n.remoteAddressKey, kRemoteAddress) || fixed(n.remoteSecretKey, kRemoteSecret);
        break;
      case kSettings:
        known = fixed(n.limitKey, kLimit) || fixed(n.limitOnKey, kLimitOn) ||
                fixed(n.saveDirectoryKey, kSaveDirectory);
        break;
      default:
        break;
    }
    if (!known) whole_ = false;
  }

  // The value as the profile functions give it back: without one pair of enclosing quotes,
  // and cut to the read buffer at a character's end.
  std::string_view Value(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
      v = v.substr(1, v.size() - 2);
    if (Fit(v).size() < v.size()) whole_ = false;
    return Fit(v);
  }

  void Put(std::optional<std::string>& slot, std::string_view v) {
    if (slot) {
      whole_ = false;  // a second key of a name, which the lookups never reach
      return;
    }
    slot = std::string(Value(v));
  }

  // Checked as it comes, so that a reader that keeps no rows judges the file as one that does.
  void PutRow(size_t row, Field f, std::string_view v) {
    if (seen_.size() <= row) {
      // The count comes first in a file of ours: the rows it announces are made room for once.
      if (seen_.capacity() <= row) {
        size_t wanted =
            std::max<size_t>(row + 1, fixed_[kCount] ? ReadInteger(*fixed_[kCount]) : 0);
        wanted = std::min<size_t>(wanted, static_cast<size_t>(maxRows_));
        seen_.reserve(std::max(wanted, seen_.capacity() * 2));
        if (keepRows_) rows_.reserve(seen_.capacity());
      }
      seen_.resize(row + 1);
      if (keepRows_) rows_.resize(row + 1);
    }
    const auto bit = static_cast<uint16_t>(1u << f);
    if (seen_[row] & bit) {
      whole_ = false;  // a second key of a name, which the lookups never reach
      return;
    }
    seen_[row] |= bit;
    v = Value(v);
    if (f == kSize || f == kDone) {
      if (v.empty() || v.size() > 18 || v.find_first_not_of("0123456789") != std::string::npos)
        whole_ = false;
    } else if (f == kState) {
      const Names& n = SettingsNames();
      if (!v.empty() && v != n.paused && v != n.failed) whole_ = false;
    }
    if (!keepRows_) return;
    // A number that is not one reads as unknown, as it always did.
    if ((f == kSize || f == kDone) &&
        (v.empty() || v.size() > 18 || v.find_first_not_of("0123456789") != std::string::npos))
      return;
    rows_[row][f] = {static_cast<uint32_t>(values_.size()), static_cast<int32_t>(v.size())};
    values_.append(v);
  }

  int64_t maxRows_;
  bool keepRows_;
  bool whole_ = true;
  Section section_ = kNone;
  std::array<bool, kOther> seenSections_{};
  std::array<std::optional<std::string>, kFixedCount> fixed_{};
  std::vector<uint16_t> seen_;  // a bit a field, for each row a key names
  std::vector<Row> rows_;
  std::string values_;
};

}  // namespace

LoadedSettings ReadSettings(std::string_view bytes) {
  SettingsReader reader(bytes.size());
  for (size_t pos = 0; pos < bytes.size();) {
    size_t end = std::min(bytes.find('\n', pos), bytes.size());
    reader.Feed(bytes.substr(pos, end - pos));
    pos = end + 1;
  }
  return std::move(reader).Result();
}

namespace {

// A file's identity and last change as the kernel keeps them. Its change time, unlike the
// modification time, no one can set back, and a rename gives a file of the same path another
// inode, so a file that kept all of these was not written since: not within the same tick of
// the file system's clock either, when the change time was a few ticks old already when taken.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
  bool operator==(const FileStamp&) const = default;
};

int64_t Ns(const timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

FileStamp StampOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size, Ns(st.st_mtim), Ns(st.st_ctim)};
}

int64_t NowNs() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return Ns(now);
}

// File systems stamp a change with the coarse clock: a change right after a stamp was taken
// may carry the same time when that time was less than two of its ticks old.
int64_t StampMarginNs() {
  timespec tick{};
  if (::clock_getres(CLOCK_REALTIME_COARSE, &tick) != 0) return 100000000;
  return std::max<int64_t>(2 * Ns(tick), 20000000);
}

// What the last read of a whole file found, but its rows, which a close writes anew: the
// close of a window that read its list at start finds there what it needs to keep, instead of
// reading many rows again (most of the close's time, with a list of a share's files).
class KnownFile {
 public:
  static KnownFile& Instance() {
    static KnownFile known;
    return known;
  }

  void Remember(const std::string& path, const FileStamp& before, const FileStamp& after,
                int64_t takenNs, const LoadedSettings& read) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!(before == after) || after.changedNs >= takenNs - StampMarginNs() ||
        after.modifiedNs >= takenNs - StampMarginNs()) {
      if (path_ == path) path_.clear();
      return;
    }
    path_ = path;
    stamp_ = after;
    head_ = {{}, read.remote, read.download, read.whole};
  }

  // What a read of `path` would give but its rows, when the file is the one last read.
  std::optional<LoadedSettings> Find(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    std::lock_guard<std::mutex> hold(lock_);
    if (path_.empty() || path_ != path || !(StampOf(st) == stamp_)) return {};
    return head_;
  }

 private:
  std::mutex lock_;
  std::string path_;
  FileStamp stamp_;
  LoadedSettings head_;
};

// Read in pieces, so that what stays in memory is what the reader keeps, not the file.
LoadedSettings LoadFrom(const std::string& path, bool keepRows) {
  // Not blocking on a pipe or device planted under the name.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT) return {};
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    SettingsReader unread;
    unread.Unread();
    return std::move(unread).Result();
  }
  // Too large to be ours: not read at all, as one that grows past the limit while read.
  if (static_cast<uint64_t>(st.st_size) > kMaxFileBytes) {
    ::close(fd);
    SettingsReader unread;
    unread.Unread();
    return std::move(unread).Result();
  }
  const int64_t takenNs = NowNs();
  const FileStamp before = StampOf(st);
  SettingsReader reader(static_cast<size_t>(st.st_size), keepRows);
  std::string pending;  // a line that goes on in the next piece
  size_t total = 0;
  char piece[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, piece, sizeof piece);
    if (n < 0 && errno == EINTR) continue;
    total += n > 0 ? static_cast<size_t>(n) : 0;
    if (n < 0 || total > kMaxFileBytes) {
      ::close(fd);
      SettingsReader unread;
      unread.Unread();
      return std::move(unread).Result();
    }
    if (n == 0) break;
    std::string_view rest(piece, static_cast<size_t>(n));
    for (size_t nl; (nl = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(nl + 1)) {
      if (pending.empty()) {
        reader.Feed(rest.substr(0, nl));
      } else {
        pending.append(rest.substr(0, nl));
        reader.Feed(pending);
        pending.clear();
      }
    }
    pending.append(rest);
  }
  // Written to meanwhile, it is not known as it reads now.
  struct stat after {};
  const bool stamped = ::fstat(fd, &after) == 0;
  ::close(fd);
  if (!pending.empty()) reader.Feed(pending);
  LoadedSettings read = std::move(reader).Result();
  if (stamped) KnownFile::Instance().Remember(path, before, StampOf(after), takenNs, read);
  return read;
}

// What a save needs to know of the file it replaces: all but the rows, which it writes anew.
// The file read last, unchanged since, is not read again.
LoadedSettings LoadAllButRows(const std::string& path) {
  if (std::optional<LoadedSettings> known = KnownFile::Instance().Find(path)) return *known;
  return LoadFrom(path, false);
}

}  // namespace

LoadedSettings LoadSettings(const std::string& path) {
  return LoadFrom(path, true);
}

std::vector<UnfinishedDownload> LoadUnfinished(const std::string& path) {
  return LoadSettings(path).unfinished;
}

std::vector<UnfinishedDownload> ReadUnfinished(std::string_view bytes) {
  return ReadSettings(bytes).unfinished;
}

namespace {

// A file of ours as ProfileFile::Text gives it for sections and keys set once each, built in
// one buffer without looking each key up: a list of many rows would pay for it. Keys come
// section by section; one for a section left before goes to its end, as the profile file would
// put it.
class FreshFile {
 public:
  void Reserve(size_t bytes) { text_.reserve(bytes); }

  void Set(std::string_view section, std::string_view key, std::string_view value) {
    Set(section, key, std::string_view(), value);
  }
  // The key `key` followed by `number`, without a string made for it.
  void Set(std::string_view section, std::string_view key, std::string_view number,
           std::string_view value) {
    if (sections_.empty() || sections_.back().first != section) {
      auto it = std::find_if(sections_.begin(), sections_.end(),
                             [&](const auto& s) { return s.first == section; });
      if (it != sections_.end()) return Insert(it, key, number, value);
      text_.append("[").append(section).append("]\r\n");
      sections_.emplace_back(std::string(section), 0);
    }
    // Written as it is unless the profile file would change it (line breaks, blank ends,
    // enclosing quotes): then as it writes it.
    // Two scans of the value, not a look at the set of two for each of its bytes.
    const bool plain = value.find('\r') == std::string_view::npos &&
                       value.find('\n') == std::string_view::npos &&
                       (value.empty() || (!IsBlank(value.front()) && !IsBlank(value.back()))) &&
                       !(value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                         value.back() == value.front());
    if (plain)
      text_.append(key).append(number).append("=").append(value).append("\r\n");
    else
      text_.append(ProfileFile::KeyLine(std::string(key).append(number), value)).append("\r\n");
    sections_.back().second = text_.size();
  }

  const std::string& Text() const { return text_; }

 private:
  using Sections = std::vector<std::pair<std::string, size_t>>;  // name, where its text ends

  void Insert(Sections::iterator at, std::string_view key, std::string_view number,
              std::string_view value) {
    std::string line = ProfileFile::KeyLine(std::string(key).append(number), value).append("\r\n");
    text_.insert(at->second, line);
    for (; at != sections_.end(); ++at) at->second += line.size();
  }

  static bool IsBlank(char c) { return c == ' ' || c == '\t'; }

  std::string text_;
  Sections sections_;
};

// Row numbers as keys, without an allocation each.
class RowKey {
 public:
  explicit RowKey(size_t row) {
    auto [end, error] = std::to_chars(digits_, digits_ + sizeof digits_, row);
    size_ = error == std::errc() ? static_cast<size_t>(end - digits_) : 0;
  }
  std::string_view view() const { return {digits_, size_}; }

 private:
  char digits_[24];
  size_t size_ = 0;
};

// Values are written as they will read back, so a file of ours always reads whole.
template <typename File>
void SetFitted(File& file, std::string_view section, std::string_view key, std::string_view value) {
  file.Set(section, key, Fit(value));
}

void SetFitted(FreshFile& file, std::string_view section, std::string_view key, const RowKey& row,
               std::string_view value) {
  file.Set(section, key, row.view(), Fit(value));
}

template <typename File>
void PutRemote(File& file, const RemoteSettings& remote) {
  const Names& n = SettingsNames();
  SetFitted(file, n.remoteSection, n.remoteAddressKey, remote.address);
  SetFitted(file, n.remoteSection, n.remoteSecretKey, remote.secret);
}

// Writes `file` over `existing`, the file that was read (empty when there was none), or where
// it moves to: beside the program when its directory is writable, else (or when that write
// fails) in the user's configuration directory. The one beside the program is read first, so
// it may not stay behind a newer one in the user's directory; a file in the other place that
// was not read is someone else's, and is neither written over nor removed. A file that holds
// exactly this already is not written again, so a close that changes nothing leaves it as it
// was.
bool Store(const SettingsPaths& paths, const std::string& existing, const std::string& text) {
  auto storeAt = [&](const std::string& path) {
    if (!SameBytes(path, text)) return ReplaceFile(path, text, kFileMode) == 0;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 &&
           ((st.st_mode & 077) == 0 || ::chmod(path.c_str(), kFileMode) == 0);
  };
  auto ours = [&](const std::string& path) { return path == existing || !Exists(path); };
  if (!paths.beside.empty() && ours(paths.beside) &&
      ::access(DirectoryOf(paths.beside).c_str(), W_OK) == 0 && storeAt(paths.beside)) {
    if (!existing.empty() && existing == paths.user) ::unlink(paths.user.c_str());
    return true;
  }
  if (paths.user.empty() || !ours(paths.user)) return false;
  // Only its owner has any business in the directory that holds the secret.
  if (MakeDirectories(DirectoryOf(paths.user), 0700) != 0 || !storeAt(paths.user)) return false;
  return existing.empty() || existing != paths.beside || ::unlink(paths.beside.c_str()) == 0;
}

}  // namespace

namespace {

// Only what a fresh start would not set by itself; false when nothing is left to write.
template <typename File>
bool PutDownloadSettings(File& file, DownloadSettings settings, const std::string& startDirectory) {
  const Names& n = SettingsNames();
  if (settings.saveDirectory == startDirectory) settings.saveDirectory.clear();
  if (settings == DownloadSettings{}) return false;
  if (!settings.speedLimit.empty())
    SetFitted(file, n.settingsSection, n.limitKey, settings.speedLimit);
  if (settings.speedLimitOn) SetFitted(file, n.settingsSection, n.limitOnKey, "1");
  if (!settings.saveDirectory.empty())
    SetFitted(file, n.settingsSection, n.saveDirectoryKey, settings.saveDirectory);
  return true;
}

DownloadSettings Normalised(DownloadSettings settings, const std::string& startDirectory) {
  if (settings.saveDirectory == startDirectory) settings.saveDirectory.clear();
  return settings;
}

bool SaveAll(const SettingsPaths& paths, const std::vector<const UnfinishedDownload*>& downloads,
             const std::string& saveDirectory, const DownloadSettings* settings,
             const std::string& startDirectory) {
  const std::string existing = SettingsFileToRead(paths);
  const LoadedSettings old = LoadAllButRows(existing);
  // A file we did not read whole stays as it is: what there is to keep beyond what it
  // gave at the start cannot be saved.
  if (!old.whole)
    return downloads.empty() &&
           (settings == nullptr ||
            Normalised(*settings, startDirectory) == Normalised(old.download, startDirectory));
  const RemoteSettings& remote = old.remote;
  // Without new ones, the file's own are kept as they are.
  const DownloadSettings kept = settings ? *settings : old.download;
  FreshFile settingsOnly;
  const bool anySettings =
      PutDownloadSettings(settingsOnly, kept, settings ? startDirectory : std::string());
  if (downloads.empty() && remote == RemoteSettings{} && !anySettings) {
    if (!existing.empty()) ::unlink(existing.c_str());
    return true;
  }

  const Names& n = SettingsNames();
  FreshFile file;
  if (!downloads.empty()) {
    // What the next start could not read whole would stay in the file for good.
    const size_t rows = std::min(downloads.size(), static_cast<size_t>(kMaxUnfinished));
    // Room for all of it at once: a few keys' bytes a row beside its texts.
    size_t bytes = 256 + saveDirectory.size();
    for (size_t i = 0; i < rows; ++i) {
      const UnfinishedDownload& d = *downloads[i];
      bytes += 96 + d.fileName.size() + d.address.size() + d.shareUrl.size() + d.shareCode.size() +
               d.shareFile.size() + d.shareApp.size() +
               (d.saveDirectory != saveDirectory ? d.saveDirectory.size() : 0);
    }
    file.Reserve(bytes);
    // Section by section, in the order a file of ours always had them.
    RowKey count(rows);
    SetFitted(file, n.fileSection, n.countKey, count.view());
    for (size_t i = 0; i < rows; ++i)
      SetFitted(file, n.fileSection, "", RowKey(i + 1), downloads[i]->fileName);
    SetFitted(file, n.addressSection, n.addressCountKey, count.view());
    for (size_t i = 0; i < rows; ++i)
      SetFitted(file, n.addressSection, "", RowKey(i + 1), downloads[i]->address);
    SetFitted(file, n.directorySection, n.directoryKey, saveDirectory);
    char number[24];
    auto text = [&](int64_t value) {
      return std::string_view(
          number,
          static_cast<size_t>(std::to_chars(number, number + sizeof number, value).ptr - number));
    };
    for (size_t i = 0; i < rows; ++i) {
      const UnfinishedDownload& d = *downloads[i];
      const RowKey key(i + 1);
      if (!d.saveDirectory.empty() && d.saveDirectory != saveDirectory)
        SetFitted(file, n.taskSection, n.taskDirectoryKey, key, d.saveDirectory);
      if (d.expectedSize >= 0)
        SetFitted(file, n.taskSection, n.taskSizeKey, key, text(d.expectedSize));
      if (d.state != UnfinishedDownload::State::kUnderWay)
        SetFitted(file, n.taskSection, n.taskStateKey, key,
                  d.state == UnfinishedDownload::State::kPaused ? n.paused : n.failed);
      if (d.done > 0) SetFitted(file, n.taskSection, n.taskDoneKey, key, text(d.done));
      // Only a share's files have these; the file is readable by its owner alone.
      for (const auto& [name, value] : {std::pair{&n.taskShareKey, &d.shareUrl},
                                        {&n.taskCodeKey, &d.shareCode},
                                        {&n.taskFileKey, &d.shareFile},
                                        {&n.taskAppKey, &d.shareApp}})
        if (!value->empty()) SetFitted(file, n.taskSection, *name, key, *value);
    }
  }
  if (remote != RemoteSettings{}) PutRemote(file, remote);
  PutDownloadSettings(file, kept, settings ? startDirectory : std::string());
  return Store(paths, existing, file.Text());
}

std::vector<const UnfinishedDownload*> Pointers(const std::vector<UnfinishedDownload>& rows) {
  std::vector<const UnfinishedDownload*> out;
  out.reserve(rows.size());
  for (const UnfinishedDownload& row : rows) out.push_back(&row);
  return out;
}

}  // namespace

bool SaveOnClose(const SettingsPaths& paths, const std::vector<UnfinishedDownload>& downloads,
                 const std::string& saveDirectory) {
  return SaveAll(paths, Pointers(downloads), saveDirectory, nullptr, {});
}

bool SaveOnClose(const SettingsPaths& paths,
                 const std::vector<const UnfinishedDownload*>& downloads,
                 const std::string& saveDirectory, const DownloadSettings& settings,
                 const std::string& startDirectory) {
  return SaveAll(paths, downloads, saveDirectory, &settings, startDirectory);
}

DownloadSettings LoadDownloadSettings(const std::string& path) {
  return LoadSettings(path).download;
}

RemoteSettings LoadRemoteSettings(const std::string& path) {
  return LoadSettings(path).remote;
}

bool SaveRemoteSettings(const SettingsPaths& paths, const RemoteSettings& remote) {
  const std::string existing = SettingsFileToRead(paths);
  if (!LoadAllButRows(existing).whole) return false;
  ProfileFile file = existing.empty() ? ProfileFile() : ProfileFile::Load(existing);
  PutRemote(file, remote);
  return Store(paths, existing, file.Text());
}

}  // namespace sf
