#include "gui_test_support.h"

#include <QApplication>
#include <QTimer>

#include "app/settings_file.h"
#include "recording_engine.h"
#include "share/share_session.h"

namespace sf::test {

void WhenModal(std::function<void(QWidget*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, act = std::move(act)] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    act(modal);
  });
  timer->start();
}

std::unique_ptr<app::AppState> TestAppState(const std::string& host, const QString& programDirectory) {
  auto state = std::make_unique<app::AppState>();
  state->session = std::make_shared<ShareSession>(host);
  state->engine = std::make_unique<RecordingEngine>();
  state->programDirectory = programDirectory.toStdString();
  state->settings = app::SettingsPathsFor(state->programDirectory, nullptr, nullptr);
  return state;
}

}  // namespace sf::test
