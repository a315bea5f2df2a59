// Helpers for driving modal dialogs: a dialog's exec() runs a nested event loop, so the test
// acts on it from a timer that fires inside that loop.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

namespace sf::test {

// Calls `act` with the next modal widget once one is shown (polling every 10 ms).
void WhenModal(std::function<void(QWidget*)> act);

template <typename T>
T* Find(QWidget* parent, const char* name) {
  return parent->findChild<T*>(QString::fromUtf8(name));
}

}  // namespace sf::test
