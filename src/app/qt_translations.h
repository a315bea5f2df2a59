// Qt's own texts (the buttons of message boxes, the folder browser) in Chinese, as every text of
// the window is, whatever the desktop's language.
#pragma once

class QCoreApplication;

namespace sf::app {

// Installs Qt's Chinese translations from Qt's translation directory (Debian's
// qt6-translations-l10n puts them there). False, and Qt's texts stay English, without them.
bool InstallQtTranslations(QCoreApplication& app);

}  // namespace sf::app
