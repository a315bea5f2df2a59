#include "app/app_state.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstdlib>

#include "share/share_session.h"

namespace sf::app {

void OpenInDirectory(AppState& state, const std::string& host,
                     const std::string& programDirectory) {
  ShareFewHeaps();
  KeepEngineBesideTheWindow();
  state.session = std::make_shared<ShareSession>(host);
  EngineLoad load = LoadEngineFromProgramDirectory();
  state.engine = std::move(load.engine);
  state.engineError = load.error;
  state.programDirectory = programDirectory;
  state.settings = SettingsPathsFor(programDirectory, nullptr, nullptr);
}

void ShareFewHeaps() {
#if defined(__GLIBC__)
  ::mallopt(M_ARENA_MAX, 2);
#endif
}

void KeepEngineBesideTheWindow() {
  ::setenv("SHAREFETCH_ENGINE_NICE", "0", /*overwrite=*/0);
}

void ReturnFreedMemory() {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

}  // namespace sf::app
