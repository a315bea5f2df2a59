// Helpers for the window suites: one run of the program under test, and the driving of modal
// dialogs (a dialog's exec() runs a nested event loop, so the test acts on it from a timer that
// fires inside that loop).
#pragma once

#include <QObject>
#include <QString>
#include <QWidget>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "app/main_window.h"
#include "sandbox.h"
#include "share_simulator.h"
#include "text_helpers.h"

class QLineEdit;
class QPushButton;
class QAbstractItemView;
class QTreeView;
class QTreeWidget;

namespace sf::app {
class DownloadsTab;
}

namespace sf::test {

class RecordingEngine;

// Calls `act` with the next modal widget once one is shown (polling every 10 ms).
void WhenModal(std::function<void(QWidget*)> act);

// Program-wide state for a window under test: a session on `host`, `programDirectory` for the
// settings file and the downloads, and a recording engine instead of the real one, or, given
// `engineLibrary`, the engine that library holds (or why it would not load).
std::unique_ptr<app::AppState> TestAppState(const std::string& host,
                                            const QString& programDirectory,
                                            const char* engineLibrary = nullptr);

// Selects `rows` of the downloads list, opens its context menu over them and chooses `item`
// when the menu offers it; false when it was unavailable.
bool ChooseForRows(app::DownloadsTab* tab, std::initializer_list<int> rows, const char* item);

// ReadFile for the paths the window gives.
inline std::string ReadFile(const QString& path) {
  return ReadFile(std::filesystem::path(path.toStdString()));
}

template <typename T>
T* Find(QWidget* parent, const char* name) {
  return parent->findChild<T*>(QString::fromUtf8(name));
}

// As the platform delivers one: a click, then the second press as a double click.
void DoubleClick(QAbstractItemView* list, QPoint at);
void DoubleClickRow(QAbstractItemView* list, int row);

// A list's rows as its view shows them, by position, whatever holds them.
int RowCount(const QAbstractItemView* list);
QString RowText(const QAbstractItemView* list, int row, int column);
QVariant RowData(const QAbstractItemView* list, int row, int column, int role);
QString ColumnTitle(const QAbstractItemView* list, int column);
QRect RowRect(const QAbstractItemView* list, int row);
// Makes `row` the current row, selected alone, as a click on it does.
void SetCurrentRow(QAbstractItemView* list, int row);
// Adds `row` to the selection.
void SelectRow(QAbstractItemView* list, int row);
int SelectedRowCount(const QAbstractItemView* list);
bool RowSelected(const QAbstractItemView* list, int row);

// Answers the next message box with OK and gives its text.
std::shared_ptr<QString> AnswerMessageBox();

// One run of the program under test against a local share service: its program directory, its
// state and its main window. A suite derives from it beside QObject and calls it from its slots.
class WindowHarness {
 protected:
  // A new, empty program directory for the states made after it.
  void NewProgramDirectory() { programDir_ = std::make_unique<Sandbox>(); }
  // The program-wide state on `host` over the program directory (see TestAppState).
  void NewState(const std::string& host, const char* engineLibrary = nullptr);
  // A window over the state, shown, as the next run of the program makes it; the question
  // before a close stops downloads is answered with closeAnswer_.
  void Open();
  // All three afresh against the share service, as a case starts.
  void OpenFresh();
  // Lets a parse still running end before the window goes, as a case ends.
  void CloseAfterParse();

  QString ProgramDir() const { return QString::fromStdString(programDir_->str()); }
  QString Status();
  // Shows the window's page `index` and waits until it is laid out.
  void ShowPage(int index);

  QTreeView* Results();
  QTreeView* Downloads();
  QTreeView* Unfinished();
  QLineEdit* SaveDirectory();
  QPushButton* ParseButton();
  // Parses the share `shareId` of the service from the first tab.
  void StartParse(const char* shareId);
  void WaitForParseEnd();

  // The question a close asks while downloads run stands answered: how many times it was
  // asked, the count of downloads it named last, and the answer (close) it gets.
  int closeAsked_ = 0;
  int closeAskedFor_ = 0;
  bool closeAnswer_ = true;

  sim::ShareSimulator sim_;
  std::unique_ptr<Sandbox> programDir_;
  std::unique_ptr<app::AppState> state_;
  RecordingEngine* engine_ = nullptr;  // owned by state_ while it records
  std::unique_ptr<app::MainWindow> window_;
};

// A suite whose cases each start with a fresh program directory and window against a share
// service holding `fixture` (no shares when the suite parses none), and end once a parse still
// running has ended.
class WindowSuite : public QObject, protected WindowHarness {
  Q_OBJECT

 public:
  explicit WindowSuite(std::string fixture = R"({"shares": []})") : fixture_(std::move(fixture)) {}

 private slots:
  void initTestCase();
  void init() { OpenFresh(); }
  void cleanup() { CloseAfterParse(); }

 private:
  std::string fixture_;
};

}  // namespace sf::test
