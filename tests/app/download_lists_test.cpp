// The lists of the window as a download manager's user drives them: the overall bar and the
// status bar while downloads end, deleting, sorting, the unfinished list and the notice at the
// end of a batch; a recording engine stands in for the real one.
#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>

#include "app/desktop_notice.h"
#include "app/downloads_tab.h"
#include "app/main_window.h"
#include "app/resolve_tab.h"
#include "app/unfinished_tab.h"
#include "base/encoding.h"
#include "base/profile_file.h"
#include "engine_api/engine_api.h"
#include "gui_test_support.h"
#include "recording_engine.h"
#include "share_simulator.h"

using namespace sf::test;
namespace l = sf::layout;

namespace {

constexpr int64_t kMiB = 1048576;

}  // namespace

class DownloadListsTest : public QObject, sf::test::WindowHarness {
  Q_OBJECT

 private:
  sf::app::DownloadsTab* Tab() { return window_->downloadsTab(); }
  int Bar() { return Tab()->progress()->value(); }
  void Start(const char* name, int64_t size) {
    Tab()->StartDownload({name, std::string("http://h/") + name, "", "", "", size});
    // The test need not wait a second for each poll.
    Tab()->timer()->start(20);
  }
  QStringList Names(QAbstractItemView* list, int column) {
    QStringList names;
    for (int row = 0; row < RowCount(list); ++row) names << RowText(list, row, column);
    return names;
  }
  QStringList Selected(QAbstractItemView* list, int column) {
    QStringList names;
    for (int row = 0; row < RowCount(list); ++row)
      if (RowSelected(list, row)) names << RowText(list, row, column);
    return names;
  }
  void ClickHeader(QTreeView* list, int column) {
    QHeaderView* header = list->header();
    QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
              header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
  }
  // Keys go to the window in front: a menu closed a moment ago may still be.
  void Select(QAbstractItemView* list, std::initializer_list<int> rows) {
    window_->activateWindow();
    QTRY_VERIFY(window_->isActiveWindow());
    list->clearSelection();
    for (int r : rows) SelectRow(list, r);
    list->selectionModel()->setCurrentIndex(list->model()->index(*rows.begin(), 0),
                                            QItemSelectionModel::NoUpdate);
    list->setFocus();
  }

 private slots:
  void initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
    QVERIFY2(sim_.StartFromText(R"({"shares": [{"id": "three", "items": [
      {"name": "b.txt", "size": 9}, {"name": "a.txt", "size": 10}, {"name": "c.txt", "size": 200}]}]})"),
             sim_.error().c_str());
  }

  void init() {
    OpenFresh();
    ShowPage(2);
  }

  void cleanup() { window_.reset(); }

  // The overall bar counts the bytes of every download since the list was last empty, so a file
  // that finishes and leaves does not pull it back; the status bar counts the failed rows and
  // gives no time left while nothing moves; Delete takes rows off the list.
  void theBarsTellWhatReallyHappened() {
    Start("a.bin", 4000);
    Start("b.bin", 4000);
    Start("c.bin", 4000);
    engine_->reports[7] = Report{l::kStateDownloading, "a.bin", 4000, 2000, 0.5f, 1000};
    engine_->reports[8] = Report{l::kStateDownloading, "b.bin", 4000, 1000, 0.25f, 1000};
    engine_->reports[9] = Report{l::kStateFailed, "c.bin", 4000, 400, 0.1f, 0, 403};
    QTRY_COMPARE(RowText(Downloads(), 2, 4), QStringLiteral("HTTP 403"));
    QTRY_COMPARE(Bar(), 28);  // 3400 of 12000 bytes

    engine_->reports[7] = Report{l::kStateFinished, "a.bin", 4000, 4000, 1.0f, 0};
    QTRY_COMPARE(RowCount(Downloads()), 2);
    QCOMPARE(Bar(), 45);  // the finished file's 4000 bytes still count

    QVERIFY(sf::test::ChooseForRows(Tab(), {0}, "暂停"));
    QTRY_COMPARE(Status(), QStringLiteral("Tavrin提示您：[ 已暂停 ]  1 个下载失败"));
    QVERIFY(!Tab()->progress()->text().contains(QStringLiteral("剩余时间")));

    Select(Downloads(), {0});
    QTest::keyClick(Downloads(), Qt::Key_Delete);
    // a.bin's task went when it finished; b.bin's now, its partial kept.
    QCOMPARE(engine_->deleted, (std::vector<std::pair<int32_t, int32_t>>{{7, 0}, {8, 0}}));
    QCOMPARE(Status(), QStringLiteral("已从列表删除 1 个下载任务"));
    QTRY_COMPARE(Bar(), 55);  // the deleted download left the sum: 4400 of 8000

    Select(Downloads(), {0});
    QTest::keyClick(Downloads(), Qt::Key_Delete);
    QCOMPARE(RowCount(Downloads()), 0);
    QTRY_COMPARE(Bar(), 0);  // an empty list starts afresh
  }

  // Removing files asks first, naming how many; No leaves everything, Yes removes them.
  void deletingWithFilesAsksFirst() {
    Start("a.bin", 4000);
    Start("b.bin", 4000);
    Select(Downloads(), {0, 1});
    auto asked = std::make_shared<QString>();
    auto answer = [asked](QMessageBox::StandardButton button) {
      WhenModal([asked, button](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        *asked = box ? box->text() : QString();
        if (box) box->button(button)->click();
      });
    };
    answer(QMessageBox::No);
    QTest::keyClick(Downloads(), Qt::Key_Delete, Qt::ShiftModifier);
    QVERIFY(asked->contains(QStringLiteral("2 个下载任务")));
    QVERIFY(engine_->deleted.empty());
    QCOMPARE(RowCount(Downloads()), 2);

    asked->clear();
    answer(QMessageBox::Yes);
    QVERIFY(sf::test::ChooseForRows(Tab(), {0, 1}, "删除任务和文件"));
    QVERIFY(asked->contains(QStringLiteral("2 个下载任务")));
    QCOMPARE(engine_->deleted, (std::vector<std::pair<int32_t, int32_t>>{{7, 1}, {8, 1}}));
    QCOMPARE(RowCount(Downloads()), 0);
    QCOMPARE(Status(), QStringLiteral("已删除 2 个下载任务和它们的文件"));
  }

  // Headers sort by value, a second click reverses, and the selection stays on the same
  // downloads through sorts, refreshes and rows leaving; the result list sorts as well, and a
  // sorted row still starts its own file.
  void sortingKeepsTheSelectionOnItems() {
    Start("nine.bin", 9 * kMiB);
    Start("ten.bin", 10 * kMiB);
    Start("one.bin", 1 * kMiB);
    engine_->reports[7] = Report{l::kStateDownloading, "nine.bin", 9 * kMiB, 0, 0.0f, 900};
    engine_->reports[8] = Report{l::kStateDownloading, "ten.bin", 10 * kMiB, 0, 0.0f, 100};
    engine_->reports[9] = Report{l::kStateDownloading, "one.bin", 1 * kMiB, 0, 0.0f, 9000};
    QTRY_COMPARE(RowText(Downloads(), 2, 1), QStringLiteral("1.00MB"));
    Select(Downloads(), {1});  // ten.bin
    ClickHeader(Downloads(), sf::kColumnTotalSize);
    QTRY_COMPARE(Names(Downloads(), 0), QStringList({"one.bin", "nine.bin", "ten.bin"}));
    ClickHeader(Downloads(), sf::kColumnTotalSize);
    QTRY_COMPARE(Names(Downloads(), 0), QStringList({"ten.bin", "nine.bin", "one.bin"}));
    ClickHeader(Downloads(), sf::kColumnSpeed);
    QTRY_COMPARE(Names(Downloads(), 0), QStringList({"ten.bin", "nine.bin", "one.bin"}));
    engine_->reports[8].speed = 20000;  // ten.bin moves to the end on the next refresh
    QTRY_COMPARE(Names(Downloads(), 0), QStringList({"nine.bin", "one.bin", "ten.bin"}));
    QCOMPARE(Selected(Downloads(), 0), QStringList({"ten.bin"}));
    engine_->reports[7] = Report{l::kStateFinished, "nine.bin", 9 * kMiB, 9 * kMiB, 1.0f, 0};
    QTRY_COMPARE(Names(Downloads(), 0), QStringList({"one.bin", "ten.bin"}));
    QCOMPARE(Selected(Downloads(), 0), QStringList({"ten.bin"}));
    // What acts on the selection acts on that download.
    QVERIFY(sf::test::ChooseForRows(Tab(), {1}, "暂停"));
    QCOMPARE(engine_->stopped, (std::vector<int32_t>{8}));

    ShowPage(0);
    QTreeView* results = Find<QTreeView>(window_.get(), "超级列表框1");
    Find<QLineEdit>(window_.get(), "编辑框_URL")
        ->setText(QString::fromStdString(sim_.ShareUrl("three")));
    QTest::mouseClick(Find<QPushButton>(window_.get(), "按钮1"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(Find<QPushButton>(window_.get(), "按钮1")->isEnabled(), 20000);
    QCOMPARE(Names(results, 1), QStringList({"b.txt", "a.txt", "c.txt"}));
    ClickHeader(results, 2);
    QTRY_COMPARE(Names(results, 2), QStringList({"9", "10", "200"}));  // not "10", "200", "9"
    ClickHeader(results, 1);
    QTRY_COMPARE(Names(results, 1), QStringList({"a.txt", "b.txt", "c.txt"}));
    ClickHeader(results, 1);
    QTRY_COMPARE(Names(results, 1), QStringList({"c.txt", "b.txt", "a.txt"}));
    size_t before = engine_->created.size();
    SetCurrentRow(results, 2);  // a.txt, the share's second entry
    SelectRow(results, 2);
    auto* start =
        Find<QMenu>(window_->resolveTab(), "菜单")->findChild<QAction*>(QStringLiteral("开始下载"));
    QTRY_VERIFY(start->isEnabled());
    start->trigger();
    QCOMPARE(engine_->created.size(), before + 1);
    QCOMPARE(engine_->created.back().fileName, std::string("a.txt"));
  }

  // Several remembered rows start at once, by the menu or Enter, and a paused or failed
  // download's state and bytes come back at the next start.
  void unfinishedRowsResumeTogetherAndKeepTheirState() {
    Start("p.bin", 4000);
    Start("f.bin", 4000);
    engine_->reports[7] = Report{l::kStateDownloading, "p.bin", 4000, 1000, 0.25f, 10};
    engine_->reports[8] = Report{l::kStateFailed, "f.bin", 4000, 3000, 0.75f, 0, 403};
    QTRY_COMPARE(RowText(Downloads(), 1, 4), QStringLiteral("HTTP 403"));
    QVERIFY(sf::test::ChooseForRows(Tab(), {0}, "暂停"));
    QTRY_COMPARE(RowText(Downloads(), 0, 3), QStringLiteral("已暂停"));
    window_->close();
    std::ifstream in(state_->settings.beside, std::ios::binary);
    std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    QVERIFY(saved.find(G("状态1=已暂停\r\n已下载1=1000\r\n")) != std::string::npos);
    QVERIFY(saved.find(G("状态2=失败\r\n已下载2=3000\r\n")) != std::string::npos);

    // A third remembered row, as an older version wrote it.
    sf::ProfileFile file = sf::ProfileFile::Load(state_->settings.beside);
    file.Set(G("文件名"), "name:", "3");
    file.Set(G("文件名"), "3", "old.bin");
    file.Set(G("下载地址"), "3", "http://h/old.bin");
    QVERIFY(file.Save(state_->settings.beside));
    Open();
    auto* unfinished = window_->unfinishedTab();
    QTreeView* list = unfinished->list();
    QCOMPARE(RowCount(list), 3);
    QCOMPARE(RowData(list, 0, 0, Qt::ToolTipRole).toString(),
             QStringLiteral("已暂停，已下载 1000B / 3.91KB（25.00%）"));
    QCOMPARE(RowData(list, 1, 0, Qt::ToolTipRole).toString().left(3), QStringLiteral("失败，"));
    QCOMPARE(RowData(list, 2, 0, Qt::ToolTipRole).toString(), QString());

    ShowPage(3);
    engine_->created.clear();
    Select(list, {0, 2});
    emit list->customContextMenuRequested(RowRect(list, 0).center());
    QVERIFY(unfinished->menu()->isVisible());
    unfinished->menu()->findChild<QAction*>("继续下载")->trigger();
    unfinished->menu()->close();
    QCOMPARE(engine_->created.size(), size_t(2));
    QCOMPARE(engine_->created[0].fileName, std::string("p.bin"));
    QCOMPARE(engine_->created[1].fileName, std::string("old.bin"));
    Select(list, {1});
    QTest::keyClick(list, Qt::Key_Return);
    QCOMPARE(engine_->created.size(), size_t(3));
    QCOMPARE(engine_->created[2].fileName, std::string("f.bin"));
    // 全部继续 starts what is left: nothing now; 删除 forgets a row for the next close.
    auto choose = [&](int row, const char* item) {
      Select(list, {row});
      emit list->customContextMenuRequested(RowRect(list, row).center());
      unfinished->menu()->findChild<QAction*>(QString::fromUtf8(item))->trigger();
      unfinished->menu()->close();
    };
    choose(0, "全部继续");
    QCOMPARE(Tab()->queue()->Items().size(), size_t(3));
    unfinished->SetRows({{"x.bin", "http://h/x", "/d"}, {"y.bin", "http://h/y", "/d"}});
    choose(0, "删除");
    QCOMPARE(RowCount(list), 1);
    choose(0, "全部继续");
    QCOMPARE(Tab()->queue()->Items().size(), size_t(4));  // the fourth waits for a slot
    QCOMPARE(Tab()->queue()->Items().back().request.name, std::string("y.bin"));
    QVERIFY(unfinished->NotListed().empty());
  }

  // When the downloads started together have all ended behind another window, the desktop is
  // told how many finished and failed; without a notification service nothing breaks.
  void theEndOfABatchIsAnnounced() {
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qunsetenv("XDG_RUNTIME_DIR");
    QWidget other;
    other.show();
    other.activateWindow();
    QTRY_VERIFY(other.isActiveWindow());

    Start("solo.bin", 10);  // the default notice: no bus here, and no harm
    engine_->reports[7] = Report{l::kStateFinished, "solo.bin", 10, 10, 1.0f, 0};
    QTRY_COMPARE(RowCount(Downloads()), 0);
    sf::app::DesktopNotice notice;
    notice.Show("t", "b", [] { QFAIL("no notice was shown to click"); });

    struct Told {
      int finished = -1, failed = -1;
      QString folder;
      int times = 0;
    };
    auto told = std::make_shared<Told>();
    Tab()->SetNotifier([told](int finished, int failed, const QString& folder) {
      *told = {finished, failed, folder, told->times + 1};
    });
    Start("x.bin", 10);
    Start("y.bin", 10);
    engine_->reports[8] = Report{l::kStateFinished, "x.bin", 10, 10, 1.0f, 0};
    engine_->reports[9] = Report{l::kStateDownloading, "y.bin", 10, 5, 0.5f, 0};
    QTRY_COMPARE(RowCount(Downloads()), 1);
    QTest::qWait(100);
    QCOMPARE(told->times, 0);  // y.bin is still under way
    engine_->reports[9] = Report{l::kStateFailed, "y.bin", 10, 5, 0.5f, 0, 404};
    QTRY_COMPARE(told->times, 1);
    QCOMPARE(told->finished, 1);
    QCOMPARE(told->failed, 1);
    QCOMPARE(told->folder, Tab()->saveDirectory()->text());
    QCOMPARE(Find<QLabel>(window_.get(), "本次完成")->text(),
             QStringLiteral("本次已完成 2 个文件"));

    // In front, the window itself shows it: no notice.
    window_->activateWindow();
    QTRY_VERIFY(window_->isActiveWindow());
    Start("z.bin", 10);
    engine_->reports[10] = Report{l::kStateFinished, "z.bin", 10, 10, 1.0f, 0};
    QTRY_COMPARE(Find<QLabel>(window_.get(), "本次完成")->text(),
                 QStringLiteral("本次已完成 3 个文件"));
    QTest::qWait(100);
    QCOMPARE(told->times, 1);

    // A file found whole on disk was finished in an earlier run, not in this one.
    const std::string directory = sf::GbkToUtf8(Tab()->SaveDirectory());
    std::filesystem::create_directories(directory);
    QVERIFY(static_cast<bool>(std::ofstream(directory + "/whole.bin", std::ios::binary)
                              << std::string(10, 'w')));
    const int before = RowCount(Downloads());
    Start("whole.bin", 10);
    QTRY_COMPARE(Tab()->queue()->Items().size(), size_t(before));
    QCOMPARE(Find<QLabel>(window_.get(), "本次完成")->text(),
             QStringLiteral("本次已完成 3 个文件"));
  }
};

QTEST_MAIN(DownloadListsTest)
#include "download_lists_test.moc"
