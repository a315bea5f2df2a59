// What the whole window program shares, apart from the window: its tabs take it as they are
// made, so they need not know the window that holds them.
#pragma once

#include <memory>
#include <string>

#include "base/settings_file.h"
#include "download/download_engine.h"
#include "module/window_skin.h"

namespace sf {
class ShareSession;
}

namespace sf::app {

// The program-wide objects the window's handlers share, made in this order at start and
// released in the reverse order at the end: the module loader of the skin library, the share
// session, the engine. The downloads themselves live in the downloads tab's queue.
struct AppState {
  WindowSkin skin;  // the module loader holding the skin library, when one is carried
  std::shared_ptr<ShareSession> session;
  std::unique_ptr<DownloadEngine> engine;  // null when the engine library did not load
  std::string engineError;                 // then why, naming the library's path
  std::string programDirectory;            // file-system path of the program's own directory
  std::string saveDirectory;  // where downloads start; empty: <programDirectory>/下载内容
  SettingsPaths settings;
  RemoteSettings remote;  // the remote downloader, as the settings file holds it
};

// Fills `state` for a window over a program directory of the caller's choosing, as the
// benchmarks and the screenshot tool run one: a session with `host`, the engine from beside the
// program (null, with engineError, when it did not load), the settings file in that directory.
void OpenInDirectory(AppState& state, const std::string& host, const std::string& programDirectory);

// The engine's disk threads and the window's own would each get a heap of their own, keeping the
// pages a share's plan and its downloads freed: far more than the live data at 200 000 files.
// Two heaps are enough for two cores. Called before the first thread starts.
void ShareFewHeaps();

// The window's thread draws: the engine's threads run at its priority, not below it as they do
// beside a terminal or the service, whose threads resolve the shares that feed the downloads.
// A value the user set stays. Called before the engine starts.
void KeepEngineBesideTheWindow();

// Gives the system back the pages the allocator holds free, after a share's plan of many files
// went: freed in pieces among records that stay, they would otherwise stay the window's for
// the rest of the run. Not after a parse: what its rows freed is what 全部下载 takes next.
void ReturnFreedMemory();

}  // namespace sf::app
