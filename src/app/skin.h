// The window's skin: the theme the program carries as data inside itself (a style sheet and a
// palette), handed to a mapped skin library first when the build carries one, then applied.
#pragma once

#include <QByteArray>
#include <QPixmap>

namespace sf {
class WindowSkin;
}

namespace sf::app {

// The style sheet carried in the program.
QByteArray ThemeData();

// The program's icon as carried in the program, 128 pixels square.
QPixmap ProgramIcon();

// Attaches the skin: the library's attach with the theme, no password and 0, 0, 0 (skipped
// when no library is mapped), then the theme on the whole application.
void AttachSkin(WindowSkin& skin);

}  // namespace sf::app
