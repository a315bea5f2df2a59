#include "gui_test_support.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>

#include "app/downloads_tab.h"
#include "app/prompt_dialogs.h"
#include "app/resolve_tab.h"
#include "base/settings_file.h"
#include "download/download_engine.h"
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
                                            const QString& programDirectory,
                                            const char* engineLibrary) {
  auto state = std::make_unique<app::AppState>();
  state->session = std::make_shared<ShareSession>(host);
  if (engineLibrary) {
    EngineLoad load = LoadEngineLibrary(engineLibrary);
    state->engine = std::move(load.engine);
    state->engineError = load.error;
  } else {
    state->engine = std::make_unique<RecordingEngine>();
  }
  state->programDirectory = programDirectory.toStdString();
  state->settings = SettingsPathsFor(state->programDirectory, nullptr, nullptr);
  return state;
}

bool ChooseForRows(app::DownloadsTab* tab, std::initializer_list<int> rows, const char* item) {
  QTreeView* list = tab->list();
  list->clearSelection();
  for (int r : rows) SelectRow(list, r);
  emit list->customContextMenuRequested(RowRect(list, *rows.begin()).center());
  QMenu* menu = tab->menu();
  auto* action = menu->findChild<QAction*>(QString::fromUtf8(item));
  bool offered = menu->isVisible() && action && action->isEnabled();
  if (offered) action->trigger();
  menu->close();
  return offered;
}

void WindowHarness::NewState(const std::string& host, const char* engineLibrary) {
  state_ = TestAppState(host, ProgramDir(), engineLibrary);
  engine_ = engineLibrary ? nullptr : static_cast<RecordingEngine*>(state_->engine.get());
}

void WindowHarness::Open() {
  window_ = std::make_unique<app::MainWindow>(*state_);
  window_->SetCloseConfirm([this](QWidget*, int downloads) {
    ++closeAsked_;
    closeAskedFor_ = downloads;
    return closeAnswer_;
  });
  window_->show();
  QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
}

void WindowSuite::initTestCase() {
  QApplication::setQuitOnLastWindowClosed(false);
  QVERIFY2(sim_.StartFromText(fixture_), sim_.error().c_str());
}

void WindowHarness::OpenFresh() {
  NewProgramDirectory();
  NewState(sim_.Url(""));
  Open();
}

void WindowHarness::CloseAfterParse() {
  if (window_) WaitForParseEnd();
  window_.reset();
}

QTreeView* WindowHarness::Results() {
  return Find<QTreeView>(window_.get(), "超级列表框1");
}

QTreeView* WindowHarness::Downloads() {
  return Find<QTreeView>(window_.get(), "超级列表框2");
}

QTreeView* WindowHarness::Unfinished() {
  return Find<QTreeView>(window_.get(), "超级列表框3");
}

QLineEdit* WindowHarness::SaveDirectory() {
  return Find<QLineEdit>(window_.get(), "编辑框_保存目录");
}

QPushButton* WindowHarness::ParseButton() {
  return Find<QPushButton>(window_->resolveTab(), "按钮1");
}

void WindowHarness::StartParse(const char* shareId) {
  Find<QLineEdit>(window_.get(), "编辑框_URL")
      ->setText(QString::fromStdString(sim_.ShareUrl(shareId)));
  QTest::mouseClick(ParseButton(), Qt::LeftButton);
}

void WindowHarness::WaitForParseEnd() {
  QTRY_VERIFY_WITH_TIMEOUT(ParseButton()->isEnabled(), 20000);
}

QString WindowHarness::Status() {
  return Find<QLabel>(window_.get(), "状态条1_1")->text();
}

void WindowHarness::ShowPage(int index) {
  auto* tabs = Find<QTabWidget>(window_.get(), "选择夹1");
  tabs->setCurrentIndex(index);
  QTRY_VERIFY(tabs->widget(index)->isVisible());
}

void DoubleClick(QAbstractItemView* list, QPoint at) {
  QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

void DoubleClickRow(QAbstractItemView* list, int row) {
  DoubleClick(list, RowRect(list, row).center());
}

int RowCount(const QAbstractItemView* list) {
  return list->model()->rowCount();
}

QVariant RowData(const QAbstractItemView* list, int row, int column, int role) {
  return list->model()->index(row, column).data(role);
}

QString RowText(const QAbstractItemView* list, int row, int column) {
  return RowData(list, row, column, Qt::DisplayRole).toString();
}

QString ColumnTitle(const QAbstractItemView* list, int column) {
  return list->model()->headerData(column, Qt::Horizontal).toString();
}

QRect RowRect(const QAbstractItemView* list, int row) {
  return list->visualRect(list->model()->index(row, 0));
}

void SetCurrentRow(QAbstractItemView* list, int row) {
  list->selectionModel()->setCurrentIndex(
      list->model()->index(row, 0),
      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void SelectRow(QAbstractItemView* list, int row) {
  list->selectionModel()->select(list->model()->index(row, 0),
                                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

int SelectedRowCount(const QAbstractItemView* list) {
  return static_cast<int>(list->selectionModel()->selectedRows().size());
}

bool RowSelected(const QAbstractItemView* list, int row) {
  return list->selectionModel()->isRowSelected(row, QModelIndex());
}

std::shared_ptr<QString> AnswerMessageBox() {
  auto text = std::make_shared<QString>();
  WhenModal([text](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    *text = box ? box->text() : QStringLiteral("not a message box: ") + modal->windowTitle();
    modal->close();
  });
  return text;
}

}  // namespace sf::test
