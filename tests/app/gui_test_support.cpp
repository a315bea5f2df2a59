#include "gui_test_support.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <QTreeWidget>

#include "app/downloads_tab.h"
#include "app/prompt_dialogs.h"
#include "base/settings_file.h"
#include "recording_engine.h"
#include "share/share_session.h"

namespace sf::test {

void WhenModal(std::function<void(QWidget*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, act = std::move(act)] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible()) return;
    // A captcha prompt is there for the user once its picture has come.
    if (auto* captcha = qobject_cast<app::CaptchaDialog*>(modal); captcha && captcha->loading())
      return;
    timer->stop();
    timer->deleteLater();
    act(modal);
  });
  timer->start();
}

std::unique_ptr<app::AppState> TestAppState(const std::string& host,
                                            const QString& programDirectory) {
  auto state = std::make_unique<app::AppState>();
  state->session = std::make_shared<ShareSession>(host);
  state->engine = std::make_unique<RecordingEngine>();
  state->programDirectory = programDirectory.toStdString();
  state->settings = SettingsPathsFor(state->programDirectory, nullptr, nullptr);
  return state;
}

bool ChooseForRows(app::DownloadsTab* tab, std::initializer_list<int> rows, const char* item) {
  QTreeWidget* list = tab->list();
  list->clearSelection();
  for (int r : rows) list->topLevelItem(r)->setSelected(true);
  QTreeWidgetItem* first = list->topLevelItem(*rows.begin());
  emit list->customContextMenuRequested(list->visualItemRect(first).center());
  QMenu* menu = tab->menu();
  auto* action = menu->findChild<QAction*>(QString::fromUtf8(item));
  bool offered = menu->isVisible() && action && action->isEnabled();
  if (offered) action->trigger();
  menu->close();
  return offered;
}

}  // namespace sf::test
