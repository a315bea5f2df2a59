// sharefetch: the window program. Start-up creates the program-wide objects, shows the main
// window and runs the message loop; the end releases them.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "app/main_window.h"
#include "app/resolve_tab.h"
#include "share/share_host.h"
#include "share/share_session.h"

namespace {

struct Options {
  std::optional<std::string> host;
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
    } else {
      *error = "unknown argument " + a.toStdString();
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  Options options;
  std::string error;
  if (!ParseOptions(QApplication::arguments(), &options, &error)) {
    std::cerr << "sharefetch: " << error << "\nUsage: sharefetch [--host URL]\n";
    return 2;
  }
  std::optional<std::string> host = sf::ChooseShareHost(options.host, &error);
  if (!host) {
    std::cerr << "sharefetch: " << error << "\n";
    return 2;
  }

  int code = 0;
  {
    sf::app::AppState state;
    state.session = std::make_shared<sf::ShareSession>(*host);
    sf::app::MainWindow window(state);
    window.show();
    code = QApplication::exec();
    // A parse still waiting on the network would outlive the window; end the process as the
    // window's close does, without waiting for it.
    if (sf::app::ResolveTab::WorkerRunning()) {
      std::fflush(nullptr);
      std::_Exit(code);
    }
  }
  return code;
}
