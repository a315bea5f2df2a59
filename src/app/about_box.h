// The About box: what the program is, its version and the git commit it was built from. The
// fixed layout has no room for a menu bar, so it opens from the status bar's context menu.
#pragma once

#include <QString>

class QMessageBox;
class QWidget;

namespace sf::app {

// The box's text, one line each: name, version, commit, what the program does.
QString AboutText();

// Opens the box over `parent` without blocking; it deletes itself when closed.
QMessageBox* ShowAbout(QWidget* parent);

}  // namespace sf::app
