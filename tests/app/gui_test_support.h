// Helpers for driving modal dialogs: a dialog's exec() runs a nested event loop, so the test
// acts on it from a timer that fires inside that loop.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "app/main_window.h"

namespace sf::app {
class DownloadsTab;
}

namespace sf::test {

// Calls `act` with the next modal widget once one is shown (polling every 10 ms).
void WhenModal(std::function<void(QWidget*)> act);

// Program-wide state for a window under test: a session on `host`, a recording engine
// instead of the real one, and `programDirectory` for the settings file and the downloads.
std::unique_ptr<app::AppState> TestAppState(const std::string& host,
                                            const QString& programDirectory);

// Selects `rows` of the downloads list, opens its context menu over them and chooses `item`
// when the menu offers it; false when it was unavailable.
bool ChooseForRows(app::DownloadsTab* tab, std::initializer_list<int> rows, const char* item);

template <typename T>
T* Find(QWidget* parent, const char* name) {
  return parent->findChild<T*>(QString::fromUtf8(name));
}

}  // namespace sf::test
