// Saves screenshots of the window against the local share service: each tab with something in
// it (the quick tab with a captcha and its link), and both prompt dialogs. Usage: sharefetch-shots OUTPUT_DIR
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>
#include <iostream>

#include "app/main_window.h"
#include "app/prompt_dialogs.h"
#include "app/quick_tab.h"
#include "app/resolve_tab.h"
#include "base/encoding.h"
#include "fixture.h"
#include "share/share_session.h"
#include "share_simulator.h"

namespace {

bool Save(QWidget* widget, const QDir& dir, const QString& name) {
  QString path = dir.filePath(name);
  bool ok = widget->grab().save(path);
  std::cout << (ok ? "saved " : "FAILED ") << path.toStdString() << "\n";
  return ok;
}

// Lets the window work until `done` holds or the time runs out.
bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms) QTest::qWait(20);
  return done();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::cerr << "Usage: sharefetch-shots OUTPUT_DIR\n";
    return 2;
  }
  QDir dir(QString::fromLocal8Bit(argv[1]));
  if (!dir.mkpath(".")) {
    std::cerr << "cannot create " << argv[1] << "\n";
    return 1;
  }
  sf::sim::ShareSimulator sim;
  if (!sim.StartFromText(sf::sim::DemoFixtureText())) {
    std::cerr << "the share service did not start: " << sim.error() << "\n";
    return 1;
  }

  sf::app::AppState state;
  state.session = std::make_shared<sf::ShareSession>(sim.Url(""));
  sf::app::MainWindow window(state);
  window.show();
  window.ShowStatus(sf::Utf8ToGbk("可爱是世界上最强大的形容词~"));
  auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("选择夹1"));
  auto* parse = window.resolveTab()->findChild<QPushButton*>(QStringLiteral("按钮1"));
  auto* results = window.findChild<QTreeWidget*>(QStringLiteral("超级列表框1"));

  window.resolveTab()->SetUrl(QString::fromStdString(sim.ShareUrl("1demoPublic")));
  QTest::mouseClick(parse, Qt::LeftButton);
  bool ok = WaitFor([&] { return parse->isEnabled() && results->topLevelItemCount() > 0; });
  ok &= Save(&window, dir, "tab1-resolve.png");
  // The quick tab after a captcha was shown and answered: the picture and the link together.
  tabs->setCurrentIndex(1);
  sf::app::QuickTab* quick = window.quickTab();
  quick->url()->setText(QString::fromStdString(sim.ShareUrl("1demoQuick")));
  QTest::mouseClick(quick->parseButton(), Qt::LeftButton);
  std::string token;
  for (const auto& r : sim.Requests())
    if (r.Path() == "/genimage") token = r.Query();
  QTest::keyClicks(quick->captcha(), QString::fromStdString(sim.CaptchaAnswer(token).value_or("")));
  QTest::mouseClick(quick->submitButton(), Qt::LeftButton);
  ok &= WaitFor([&] { return !quick->output()->toPlainText().isEmpty(); }, 2000);
  QTest::qWait(50);
  ok &= Save(&window, dir, "tab2-quick.png");

  const char* names[] = {"tab1-resolve.png", "tab2-quick.png", "tab3-downloads.png", "tab4-unfinished.png"};
  for (int i = 2; i < 4; ++i) {
    tabs->setCurrentIndex(i);
    QTest::qWait(50);
    ok &= Save(&window, dir, names[i]);
  }

  sf::app::PasswordDialog password(&window);
  password.show();
  password.findChild<QLineEdit*>(QStringLiteral("编辑框_提取密码"))->setText("ab12");
  QTest::qWait(50);
  ok &= Save(&password, dir, "dialog-password.png");
  password.close();

  sf::app::CaptchaDialog captcha(*state.session, -20, &window);
  captcha.show();
  QTest::qWait(50);
  ok &= Save(&captcha, dir, "dialog-captcha.png");
  captcha.close();
  return ok ? 0 : 1;
}
