#include "app/main_window.h"

#include <QLabel>
#include <QStatusBar>
#include <QTabWidget>

#include "app/controls.h"
#include "app/downloads_tab.h"
#include "app/qt_text.h"
#include "app/quick_tab.h"
#include "app/resolve_tab.h"
#include "app/unfinished_tab.h"
#include "share/share_session.h"

namespace sf::app {

MainWindow::MainWindow(AppState& state, QWidget* parent) : QMainWindow(parent), state_(state) {
  setWindowTitle(QStringLiteral("ShareFetch · 分享链接解析与下载"));
  setGeometry(50, 50, 498, 451);
  setFixedSize(498, 451);

  auto* central = new QWidget(this);
  setCentralWidget(central);
  tabs_ = Place(new QTabWidget(central), "选择夹1", 8, 8, 456, 368);
  resolve_ = new ResolveTab(state_.session, [this](const std::string& text) { ShowStatus(text); });
  quick_ = new QuickTab(state_.session->host(), [this](const std::string& text) { ShowStatus(text); });
  downloads_ = new DownloadsTab;
  unfinished_ = new UnfinishedTab;
  tabs_->addTab(resolve_, QStringLiteral("第一种模式"));
  tabs_->addTab(quick_, QStringLiteral("第二种模式"));
  tabs_->addTab(downloads_, QStringLiteral("正在下载"));
  tabs_->addTab(unfinished_, QStringLiteral("未完成的下载"));

  QStatusBar* bar = statusBar();
  bar->setObjectName(QStringLiteral("状态条1"));
  bar->setFixedHeight(20);
  bar->setSizeGripEnabled(false);
  auto* part0 = new QLabel(QStringLiteral("状态："), bar);
  part0->setObjectName(QStringLiteral("状态条1_0"));
  part0->setFixedWidth(35);
  status_ = new QLabel(bar);
  status_->setObjectName(QStringLiteral("状态条1_1"));
  bar->addWidget(part0);
  bar->addWidget(status_, 1);
}

void MainWindow::ShowStatus(const std::string& text) { status_->setText(FromGbk(text)); }

}  // namespace sf::app
