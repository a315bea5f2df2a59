#include "base/settings_file.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/encoding.h"
#include "base/paths.h"
#include "base/profile_file.h"
#include "base/text.h"

namespace sf {
namespace {

// A count beyond this comes from a damaged or hand-edited file, never from a close of ours; it
// would fill the list with empty rows for minutes.
constexpr int64_t kMaxUnfinished = 10000;

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

bool SameBytes(const std::string& path, const std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string have((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return have == bytes;
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

std::vector<UnfinishedDownload> UnfinishedRows(const ProfileFile& file) {
  const Names& n = SettingsNames();
  int64_t count = ReadInteger(file.Get(n.fileSection, n.countKey, "0"));
  count = std::clamp<int64_t>(count, 0, kMaxUnfinished);
  std::string directory = file.Get(n.directorySection, n.directoryKey);
  std::vector<UnfinishedDownload> rows;
  rows.reserve(static_cast<size_t>(count));
  for (int64_t i = 1; i <= count; ++i) {
    std::string key = std::to_string(i);
    UnfinishedDownload row{file.Get(n.fileSection, key), file.Get(n.addressSection, key),
                           file.Get(n.taskSection, n.taskDirectoryKey + key), -1};
    if (row.saveDirectory.empty()) row.saveDirectory = directory;
    auto number = [&](const std::string& name) -> int64_t {
      std::string value = file.Get(n.taskSection, name + key);
      if (value.empty() || value.size() > 18 ||
          value.find_first_not_of("0123456789") != std::string::npos)
        return -1;
      return ReadInteger(value);
    };
    row.expectedSize = number(n.taskSizeKey);
    row.done = std::max<int64_t>(number(n.taskDoneKey), 0);
    std::string state = file.Get(n.taskSection, n.taskStateKey + key);
    if (state == n.paused) row.state = UnfinishedDownload::State::kPaused;
    if (state == n.failed) row.state = UnfinishedDownload::State::kFailed;
    row.shareUrl = file.Get(n.taskSection, n.taskShareKey + key);
    row.shareCode = file.Get(n.taskSection, n.taskCodeKey + key);
    row.shareFile = file.Get(n.taskSection, n.taskFileKey + key);
    row.shareApp = file.Get(n.taskSection, n.taskAppKey + key);
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

std::vector<UnfinishedDownload> LoadUnfinished(const std::string& path) {
  return UnfinishedRows(ProfileFile::Load(path));
}

std::vector<UnfinishedDownload> ReadUnfinished(std::string_view bytes) {
  return UnfinishedRows(ProfileFile::Parse(bytes));
}

namespace {

void PutRemote(ProfileFile& file, const RemoteSettings& remote) {
  const Names& n = SettingsNames();
  file.Set(n.remoteSection, n.remoteAddressKey, remote.address);
  file.Set(n.remoteSection, n.remoteSecretKey, remote.secret);
}

// Writes `file` beside the program when its directory is writable, else (or when that write
// fails) in the user's configuration directory, and removes the file in the other place: the
// one beside the program would be read first next time, and a file left in either would bring
// back downloads that are gone. A file that holds exactly this already is not written again,
// so a close that changes nothing leaves it as it was.
bool Store(const SettingsPaths& paths, const ProfileFile& file) {
  const std::string text = file.Text();
  auto storeAt = [&](const std::string& path) {
    if (!SameBytes(path, text)) return file.Save(path, kFileMode);
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 &&
           ((st.st_mode & 077) == 0 || ::chmod(path.c_str(), kFileMode) == 0);
  };
  if (!paths.beside.empty() && ::access(DirectoryOf(paths.beside).c_str(), W_OK) == 0 &&
      storeAt(paths.beside)) {
    if (Exists(paths.user)) ::unlink(paths.user.c_str());
    return true;
  }
  if (Exists(paths.beside)) ::unlink(paths.beside.c_str());
  if (paths.user.empty()) return false;
  std::error_code ec;
  std::filesystem::create_directories(DirectoryOf(paths.user), ec);
  return storeAt(paths.user);
}

}  // namespace

namespace {

// Only what a fresh start would not set by itself; false when nothing is left to write.
bool PutDownloadSettings(ProfileFile& file, DownloadSettings settings,
                         const std::string& startDirectory) {
  const Names& n = SettingsNames();
  if (settings.saveDirectory == startDirectory) settings.saveDirectory.clear();
  if (settings == DownloadSettings{}) return false;
  if (!settings.speedLimit.empty()) file.Set(n.settingsSection, n.limitKey, settings.speedLimit);
  if (settings.speedLimitOn) file.Set(n.settingsSection, n.limitOnKey, "1");
  if (!settings.saveDirectory.empty())
    file.Set(n.settingsSection, n.saveDirectoryKey, settings.saveDirectory);
  return true;
}

DownloadSettings ReadDownloadSettings(const ProfileFile& file) {
  const Names& n = SettingsNames();
  return {file.Get(n.settingsSection, n.limitKey), file.Get(n.settingsSection, n.limitOnKey) == "1",
          file.Get(n.settingsSection, n.saveDirectoryKey)};
}

bool SaveAll(const SettingsPaths& paths, const std::vector<UnfinishedDownload>& downloads,
             const std::string& saveDirectory, const DownloadSettings* settings,
             const std::string& startDirectory) {
  const std::string existing = SettingsFileToRead(paths);
  const ProfileFile old = existing.empty() ? ProfileFile() : ProfileFile::Load(existing);
  const RemoteSettings remote = existing.empty() ? RemoteSettings{} : LoadRemoteSettings(existing);
  // Without new ones, the file's own are kept as they are.
  const DownloadSettings kept = settings ? *settings : ReadDownloadSettings(old);
  ProfileFile settingsOnly;
  const bool anySettings =
      PutDownloadSettings(settingsOnly, kept, settings ? startDirectory : std::string());
  if (downloads.empty() && remote == RemoteSettings{} && !anySettings) {
    if (Exists(paths.beside)) ::unlink(paths.beside.c_str());
    if (Exists(paths.user)) ::unlink(paths.user.c_str());
    return true;
  }

  const Names& n = SettingsNames();
  ProfileFile file;
  if (!downloads.empty()) {
    std::string count = std::to_string(downloads.size());
    file.Set(n.fileSection, n.countKey, count);
    file.Set(n.addressSection, n.addressCountKey, count);
    file.Set(n.directorySection, n.directoryKey, saveDirectory);
    for (size_t i = 0; i < downloads.size(); ++i) {
      std::string key = std::to_string(i + 1);
      file.Set(n.fileSection, key, downloads[i].fileName);
      file.Set(n.addressSection, key, downloads[i].address);
    }
    for (size_t i = 0; i < downloads.size(); ++i) {
      const UnfinishedDownload& d = downloads[i];
      std::string key = std::to_string(i + 1);
      if (!d.saveDirectory.empty() && d.saveDirectory != saveDirectory)
        file.Set(n.taskSection, n.taskDirectoryKey + key, d.saveDirectory);
      if (d.expectedSize >= 0)
        file.Set(n.taskSection, n.taskSizeKey + key, std::to_string(d.expectedSize));
      if (d.state != UnfinishedDownload::State::kUnderWay)
        file.Set(n.taskSection, n.taskStateKey + key,
                 d.state == UnfinishedDownload::State::kPaused ? n.paused : n.failed);
      if (d.done > 0) file.Set(n.taskSection, n.taskDoneKey + key, std::to_string(d.done));
      // Only a share's files have these; the file is readable by its owner alone.
      for (const auto& [name, value] : {std::pair{&n.taskShareKey, &d.shareUrl},
                                        {&n.taskCodeKey, &d.shareCode},
                                        {&n.taskFileKey, &d.shareFile},
                                        {&n.taskAppKey, &d.shareApp}})
        if (!value->empty()) file.Set(n.taskSection, *name + key, *value);
    }
  }
  if (remote != RemoteSettings{}) PutRemote(file, remote);
  PutDownloadSettings(file, kept, settings ? startDirectory : std::string());
  return Store(paths, file);
}

}  // namespace

bool SaveOnClose(const SettingsPaths& paths, const std::vector<UnfinishedDownload>& downloads,
                 const std::string& saveDirectory) {
  return SaveAll(paths, downloads, saveDirectory, nullptr, {});
}

bool SaveOnClose(const SettingsPaths& paths, const std::vector<UnfinishedDownload>& downloads,
                 const std::string& saveDirectory, const DownloadSettings& settings,
                 const std::string& startDirectory) {
  return SaveAll(paths, downloads, saveDirectory, &settings, startDirectory);
}

DownloadSettings LoadDownloadSettings(const std::string& path) {
  return ReadDownloadSettings(ProfileFile::Load(path));
}

RemoteSettings LoadRemoteSettings(const std::string& path) {
  const Names& n = SettingsNames();
  ProfileFile file = ProfileFile::Load(path);
  return {file.Get(n.remoteSection, n.remoteAddressKey),
          file.Get(n.remoteSection, n.remoteSecretKey)};
}

bool SaveRemoteSettings(const SettingsPaths& paths, const RemoteSettings& remote) {
  const std::string existing = SettingsFileToRead(paths);
  ProfileFile file = existing.empty() ? ProfileFile() : ProfileFile::Load(existing);
  PutRemote(file, remote);
  return Store(paths, file);
}

}  // namespace sf
