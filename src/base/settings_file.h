// The settings file "Tavrin.ini": the downloads still in the list when the window closed, and
// the save directory in use then. It lives beside the program; when the program cannot write
// there, or is installed, it lives in the user's configuration directory instead. Texts inside
// are GBK; paths are file-system paths (UTF-8). No Qt here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sf {

inline constexpr const char* kSettingsFileName = "Tavrin.ini";

struct SettingsPaths {
  std::string beside;  // <program directory>/Tavrin.ini
  std::string user;    // <config home>/sharefetch/Tavrin.ini; empty when no home is known
};

// The config home is $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config (the
// password database's home when $HOME is unset). Null or empty arguments count as unset.
SettingsPaths SettingsPathsFor(const std::string& programDirectory, const char* xdgConfigHome,
                               const char* home);

// Where the window keeps its settings file and where downloads go at start. From the build
// tree: the settings beside the program (else in the user's configuration directory) and
// <program directory>/下载内容. An installed program's directory belongs to the system, so then
// the settings live in the user's configuration directory only and downloads go to the user's
// download directory (XDG_DOWNLOAD_DIR of <config home>/user-dirs.dirs, as xdg-user-dir reads
// it, else ~/Downloads) followed by /下载内容.
struct StartDirectories {
  SettingsPaths settings;
  std::string saveDirectory;  // file-system path; not created here
};
StartDirectories StartDirectoriesFor(const std::string& programDirectory, bool installed,
                                     const char* xdgConfigHome, const char* home);
// The same from this process's environment.
StartDirectories DefaultStartDirectories(const std::string& programDirectory, bool installed);

// The file to read at start: the one beside the program, else the user's; empty when neither
// exists.
std::string SettingsFileToRead(const SettingsPaths& paths);

// A download left unfinished at a close. The file keeps its three original sections as they
// always were; each download's own directory and expected size go into a section of their own
// that older readers skip, and only where they add something (a directory other than the
// common one, a known size), so a file of an older version reads back and saves unchanged.
struct UnfinishedDownload {
  std::string fileName;
  std::string address;
  std::string saveDirectory;  // GBK; when saving, empty means the common directory
  int64_t expectedSize = -1;  // bytes; -1 unknown
  // How the download stood at the close, kept only where it says something: a paused or failed
  // download, and the bytes it had.
  enum class State { kUnderWay, kPaused, kFailed };
  State state = State::kUnderWay;
  int64_t done = 0;  // bytes on disk at the close
  // A file of a share: the share's link and extraction code, and the file's fs_id and app_id
  // there, so that a refused link can be asked for again. Empty for a download of its own.
  std::string shareUrl = {};
  std::string shareCode = {};
  std::string shareFile = {};
  std::string shareApp = {};
};

// The rows of the unfinished list, as many as the file's count says; missing entries are empty.
// Each row's directory is its own when the file has one, else the common one.
std::vector<UnfinishedDownload> LoadUnfinished(const std::string& path);
// The same from the file's bytes.
std::vector<UnfinishedDownload> ReadUnfinished(std::string_view bytes);

// At close: when downloads are listed, writes them and the common save directory into the file
// that was read, else beside the program when its directory is writable, else (or when that
// write fails) in the user's configuration directory. A file moves only out of the place it was
// read from, and a file in the other place is never written over nor removed. The remote
// downloader's section is kept as the file holds it; with no downloads listed it is all the
// file keeps (an older reader then sees no downloads), and without it the file that was read
// is removed. A file that already holds exactly this is left untouched, and so is one that did
// not read whole (see LoadedSettings). False when what there was to keep could not be written.
bool SaveOnClose(const SettingsPaths& paths, const std::vector<UnfinishedDownload>& downloads,
                 const std::string& saveDirectory);

// What the downloads tab had set when the window closed, brought back at the next start. It
// lives in a section of its own, "下载设置", and only what differs from a fresh start is
// written: a file of an older version, or a run that changed none of it, has no such section.
struct DownloadSettings {
  std::string speedLimit;  // the text of the limit box, GBK, as typed
  bool speedLimitOn = false;
  std::string saveDirectory;  // GBK; empty: the start directory
  bool operator==(const DownloadSettings&) const = default;
};

DownloadSettings LoadDownloadSettings(const std::string& path);

// SaveOnClose, with the download settings to remember in place of those the file holds; the
// file is kept for them alone when nothing else is left in it. `startDirectory` is where
// downloads go at a fresh start (GBK): a save directory equal to it is not written. The rows
// are the caller's, held where they are, so that a close of many need not copy them.
bool SaveOnClose(const SettingsPaths& paths,
                 const std::vector<const UnfinishedDownload*>& downloads,
                 const std::string& saveDirectory, const DownloadSettings& settings,
                 const std::string& startDirectory);

// Where the window hands downloads to another downloader (aria2's JSON-RPC address) and the
// secret that downloader wants, both GBK and as entered. They live in a section of their own,
// "远程下载器", which the sections above never touch. Every write leaves the file readable by
// its owner only, since it holds the secret.
struct RemoteSettings {
  std::string address;
  std::string secret;
  bool operator==(const RemoteSettings&) const = default;
};

RemoteSettings LoadRemoteSettings(const std::string& path);

// Writes them into the settings file where a close would write it, keeping the rest as it is;
// false, and nothing written, when the file there did not read whole.
bool SaveRemoteSettings(const SettingsPaths& paths, const RemoteSettings& remote);

// Everything the window takes from a settings file, read in one pass that keeps only that.
struct LoadedSettings {
  std::vector<UnfinishedDownload> unfinished;
  RemoteSettings remote;
  DownloadSettings download;
  // False when the file holds anything these leave out: bytes that are not GBK (a file saved
  // in UTF-8), a section, key or line that we never write, a value longer than the read
  // buffer, a row beyond the count, a count or row number beyond what a file of its size holds
  // as we write it (two lines of at least 4 bytes a row; a million rows at most), more than
  // 1 GiB, or a file that exists but cannot be read. Rewriting or removing such a file would
  // lose what it holds, so no save ever does.
  bool whole = true;
};

// A missing file reads as an empty one, and whole.
LoadedSettings LoadSettings(const std::string& path);
LoadedSettings ReadSettings(std::string_view bytes);

}  // namespace sf
