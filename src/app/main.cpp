// sharefetch: the window program. Start-up creates the program-wide objects, shows the main
// window and runs the message loop; the end releases them.
#include <QApplication>
#include <QLineEdit>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>

#include "app/main_window.h"
#include "app/qt_translations.h"
#include "app/quick_tab.h"
#include "app/resolve_tab.h"
#include "base/paths.h"
#include "base/settings_file.h"
#include "base/version.h"
#include "download/download_engine.h"
#include "share/share_host.h"
#include "share/share_session.h"

namespace {

constexpr const char* kUsage =
    "Usage: sharefetch [--host URL] [--url LINK] [--quick-url LINK]\n"
    "  --host URL        the share service's web host (default: $SHAREFETCH_HOST, else the\n"
    "                    service)\n"
    "  --url LINK        a share's link for the first tab's address box at start\n"
    "  --quick-url LINK  a share's link for the second tab's address box at start\n"
    "  --version         print the version and the git commit of the build\n";

struct Options {
  std::optional<std::string> host;
  QString url;
  QString quickUrl;
};

// "--NAME VALUE" or "--NAME=VALUE" at args[i]; false when args[i] is another option.
bool TakeValue(const QStringList& args, int& i, const QString& name, QString* value,
               std::string* error) {
  const QString& a = args[i];
  if (a.startsWith(name + QLatin1Char('='))) {
    *value = a.mid(name.size() + 1);
    return true;
  }
  if (a != name) return false;
  if (i + 1 >= args.size()) {
    *error = name.toStdString() + " needs a value";
    return true;
  }
  *value = args[++i];
  return true;
}

bool ParseOptions(const QStringList& args, Options* options, std::string* error) {
  for (int i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    QString host;
    if (TakeValue(args, i, QStringLiteral("--host"), &host, error)) {
      options->host = host.toStdString();
    } else if (TakeValue(args, i, QStringLiteral("--url"), &options->url, error)) {
      // taken
    } else if (TakeValue(args, i, QStringLiteral("--quick-url"), &options->quickUrl, error)) {
      // taken
    } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
      std::cout << kUsage;
      std::exit(0);
    } else {
      *error = "unknown argument " + a.toStdString();
      return false;
    }
    if (!error->empty()) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before the window system is reached, so it works without a display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::cout << sf::VersionLine("sharefetch") << "\n";
      return 0;
    }
  }
  // A file-size limit fails a download with EFBIG instead of killing the window.
  std::signal(SIGXFSZ, SIG_IGN);
  QApplication app(argc, argv);
  if (!sf::app::InstallQtTranslations(app))
    std::cerr << "sharefetch: Qt's Chinese translations (qtbase_zh_CN) are missing; its dialogs "
                 "speak English\n";
  // Lets the desktop match the window to the installed menu entry and its icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.sharefetch.ShareFetch"));
  Options options;
  std::string error;
  if (!ParseOptions(QApplication::arguments(), &options, &error)) {
    std::cerr << "sharefetch: " << error << "\n" << kUsage;
    return 2;
  }

  std::optional<std::string> host = sf::ChooseShareHost(options.host, &error);
  if (!host) {
    std::cerr << "sharefetch: " << error << "\n";
    return 2;
  }

  sf::app::ShareFewHeaps();
  sf::app::KeepEngineBesideTheWindow();
  int code = 0;
  {
    sf::app::AppState state;
    // The modules' start: the skin library, when the build carries one for this machine, is
    // mapped before the window exists; the window attaches the skin as it is created.
    state.skin.LoadLibraryImage(sf::CarriedSkinLibrary());
    state.session = std::make_shared<sf::ShareSession>(*host);
    sf::EngineLoad engine = sf::LoadEngineFromProgramDirectory();
    state.engine = std::move(engine.engine);
    state.engineError = engine.error;
    if (!state.engine) std::cerr << "sharefetch: " << engine.error << "\n";
    state.programDirectory = sf::ProgramDirectory();
    if (state.programDirectory.empty())
      state.programDirectory = QCoreApplication::applicationDirPath().toStdString();
    bool installed = sf::LocateEngineLibrary(state.programDirectory).installed;
    sf::StartDirectories start = sf::DefaultStartDirectories(state.programDirectory, installed);
    state.settings = start.settings;
    state.saveDirectory = start.saveDirectory;
    sf::app::MainWindow window(state);
    if (!options.url.isEmpty()) window.resolveTab()->SetUrl(options.url);
    if (!options.quickUrl.isEmpty()) window.quickTab()->url()->setText(options.quickUrl);
    window.show();
    code = QApplication::exec();
  }
  return code;
}
