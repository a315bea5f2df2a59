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
#include "app/quick_tab.h"
#include "app/resolve_tab.h"
#include "base/paths.h"
#include "base/settings_file.h"
#include "base/version.h"
#include "download/download_engine.h"
#include "fixture.h"
#include "share/share_host.h"
#include "share/share_session.h"
#include "share_simulator.h"

namespace {

constexpr const char* kUsage =
    "Usage: sharefetch [--host URL] [--demo]\n"
    "  --host URL  the share service's web host (default: $SHAREFETCH_HOST, else the service)\n"
    "  --demo      start the bundled local share service with demo shares and open the\n"
    "              window with a demo share's link, to try everything offline\n"
    "  --version   print the version and the git commit of the build\n";

struct Options {
  std::optional<std::string> host;
  bool demo = false;
};

bool ParseOptions(const QStringList& args, Options* options, std::string* error) {
  for (int i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == QLatin1String("--host")) {
      if (i + 1 >= args.size()) {
        *error = "--host needs a value";
        return false;
      }
      options->host = args[++i].toStdString();
    } else if (a.startsWith(QLatin1String("--host="))) {
      options->host = a.mid(7).toStdString();
    } else if (a == QLatin1String("--demo")) {
      options->demo = true;
    } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
      std::cout << kUsage;
      std::exit(0);
    } else {
      *error = "unknown argument " + a.toStdString();
      return false;
    }
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
  // Lets the desktop match the window to the installed menu entry and its icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.sharefetch.ShareFetch"));
  Options options;
  std::string error;
  if (!ParseOptions(QApplication::arguments(), &options, &error)) {
    std::cerr << "sharefetch: " << error << "\n" << kUsage;
    return 2;
  }

  std::unique_ptr<sf::sim::ShareSimulator> demo;
  std::optional<std::string> host;
  if (options.demo) {
    demo = std::make_unique<sf::sim::ShareSimulator>();
    if (!demo->StartFromText(sf::sim::DemoFixtureText())) {
      std::cerr << "sharefetch: the demo share service did not start: " << demo->error() << "\n";
      return 1;
    }
    host = demo->Url("");
    std::cout << "demo share service on " << *host << "\n" << std::flush;
  } else {
    host = sf::ChooseShareHost(options.host, &error);
    if (!host) {
      std::cerr << "sharefetch: " << error << "\n";
      return 2;
    }
  }

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
    if (demo) {
      window.resolveTab()->SetUrl(QString::fromStdString(demo->ShareUrl("1demoPublic")));
      window.quickTab()->url()->setText(QString::fromStdString(demo->ShareUrl("1demoQuick")));
    }
    window.show();
    code = QApplication::exec();
  }
  return code;
}
