// The settings file "Tavrin.ini": the downloads still in the list when the window closed, and
// the save directory in use then. It lives beside the program; an installed program cannot
// write there, so then it lives in the user's configuration directory instead. Texts inside
// are GBK; paths are file-system paths (UTF-8). No Qt here.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sf::app {

inline constexpr const char* kSettingsFileName = "Tavrin.ini";

struct SettingsPaths {
  std::string beside;  // <program directory>/Tavrin.ini
  std::string user;    // <config home>/sharefetch/Tavrin.ini; empty when no home is known
};

// The config home is $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config (the
// password database's home when $HOME is unset). Null or empty arguments count as unset.
SettingsPaths SettingsPathsFor(const std::string& programDirectory, const char* xdgConfigHome,
                               const char* home);
// The same from this process's environment.
SettingsPaths DefaultSettingsPaths(const std::string& programDirectory);

// The file to read at start: the one beside the program, else the user's; empty when neither
// exists.
std::string SettingsFileToRead(const SettingsPaths& paths);

struct UnfinishedDownload {
  std::string fileName;
  std::string address;
  std::string saveDirectory;
};

// The rows of the unfinished list, as many as the file's count says; missing entries are empty.
std::vector<UnfinishedDownload> LoadUnfinished(const std::string& path);
// The same from the file's bytes.
std::vector<UnfinishedDownload> ReadUnfinished(std::string_view bytes);

struct ListedDownload {
  std::string fileName;
  std::string address;
};

// At close: removes the settings file, then, when downloads are listed, writes them and the
// save directory, beside the program when its directory is writable, else (or when that write
// fails) in the user's configuration directory. False when they could not be written anywhere.
bool SaveOnClose(const SettingsPaths& paths, const std::vector<ListedDownload>& downloads,
                 const std::string& saveDirectory);

}  // namespace sf::app
