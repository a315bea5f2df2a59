// The third tab of the real main window: its states and menu, the save directory, the speed
// limit and the download settings kept between runs; a recording engine stands in.
#include "app/downloads_tab.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <set>

#include "app/unfinished_tab.h"
#include "base/settings_file.h"
#include "engine_api/engine_api.h"
#include "gui_test_support.h"
#include "recording_engine.h"

using namespace sf::test;

class DownloadsTabTest : public sf::test::WindowSuite {
  Q_OBJECT

 private slots:
  // What the tab shows and offers; the end-to-end test drives the same controls on real
  // downloads. Three run and one waits, a failure says why, the menu offers what applies to
  // the selected rows, and the list empties to a bar at 0.
  void theDownloadsTabShowsEachStateAndOffersWhatApplies() {
    ShowPage(2);
    sf::app::DownloadsTab* tab = window_->downloadsTab();
    for (const char* name : {"a.bin", "b.bin", "c.bin", "d.bin"})
      tab->StartDownload({name, std::string("http://h/") + name, "", "", "", 4000});
    QCOMPARE(engine_->started, (std::vector<int32_t>{7, 8, 9}));
    QCOMPARE(RowText(Downloads(), 3, 3), QStringLiteral("等待中"));

    using sf::test::Report;
    namespace l = sf::layout;
    engine_->reports[7] = Report{l::kStateDownloading, "a.bin", 4000, 1000, 0.25f, 1000};
    engine_->reports[8] = Report{l::kStateFailed, "b.bin", 4000, 100, 0.025f, 0, 403};
    engine_->reports[9] = Report{l::kStateDownloading, "c.bin", 4000, 0, 0.0f, 0};
    engine_->reports[10] = Report{l::kStateRequesting, "d.bin", 0, 0, 0.0f, 0};
    QTRY_COMPARE_WITH_TIMEOUT(RowText(Downloads(), 1, 4), QStringLiteral("HTTP 403"), 5000);
    QCOMPARE(RowData(Downloads(), 1, 0, Qt::ToolTipRole).toString(),
             QStringLiteral("失败：HTTP 403\n已下载 100 / 4000 字节"));
    QCOMPARE(Status(),
             QStringLiteral("Tavrin提示您：[ 下载失败：HTTP 403 ]  1 个下载失败  剩余时间 0:11"));
    QCOMPARE(Find<QProgressBar>(window_.get(), "进度条1")->text(),
             QStringLiteral("6%  剩余时间 0:11"));
    QCOMPARE(RowData(Downloads(), 0, 2, Qt::ToolTipRole).toString(),
             QStringLiteral("剩余时间 0:03\n已下载 1000 / 4000 字节"));
    QCOMPARE(engine_->started.back(), 10);  // the failed one's slot went to the waiting one

    auto choose = [&](std::initializer_list<int> rows, const char* item) {
      return sf::test::ChooseForRows(tab, rows, item);
    };
    QVERIFY(!choose({0, 2}, "继续"));
    QVERIFY(!choose({0, 2}, "重试"));
    QVERIFY(choose({0, 2}, "暂停"));
    QCOMPARE(engine_->stopped, (std::vector<int32_t>{7, 9}));
    QCOMPARE(RowText(Downloads(), 2, 3), QStringLiteral("已暂停"));
    QVERIFY(choose({0, 2}, "复制下载地址"));
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("http://h/a.bin\nhttp://h/c.bin"));
    QVERIFY(choose({1, 2}, "删除任务"));
    QCOMPARE(engine_->deleted, (std::vector<std::pair<int32_t, int32_t>>{{8, 0}, {9, 0}}));

    for (int32_t h : {7, 10})
      engine_->reports[h] = Report{l::kStateFinished, "x", 4000, 4000, 1.0f, 0};
    QVERIFY(choose({0}, "继续"));
    QTRY_COMPARE_WITH_TIMEOUT(RowCount(Downloads()), 0, 5000);
    QCOMPARE(Find<QProgressBar>(window_.get(), "进度条1")->value(), 0);
    QCOMPARE(Status(), QStringLiteral("Tavrin提示您：[ 下载完毕 ]"));
  }

  // A long queue: a report for one download redraws its row and those of the few under way,
  // never the rest; pausing them all redraws every row in its new state, and afterwards the
  // refresh has nothing to redraw.
  void aLongQueueRedrawsOnlyTheRowsThatChanged() {
    ShowPage(2);
    sf::app::DownloadsTab* tab = window_->downloadsTab();
    constexpr int kQueued = 3000;
    for (int i = 0; i < kQueued; ++i) {
      const std::string name = "f" + std::to_string(i) + ".bin";
      tab->StartDownload({name, "http://h/" + name, "", "", "", 4000});
    }
    QCOMPARE(RowCount(Downloads()), kQueued);
    QCOMPARE(engine_->started.size(), size_t(3));

    std::set<int> redrawn;
    int changes = 0;
    QObject::connect(Downloads()->model(), &QAbstractItemModel::dataChanged, Downloads(),
                     [&](const QModelIndex& from, const QModelIndex& to) {
                       ++changes;
                       for (int row = from.row(); row <= to.row(); ++row) redrawn.insert(row);
                     });
    namespace l = sf::layout;
    // The refresh comes at once and often; the checks wait for ticks, not for time.
    tab->timer()->start(0);
    QSignalSpy ticks(tab->timer(), &QTimer::timeout);
    engine_->reports[8] = Report{l::kStateDownloading, "f1.bin", 4000, 2000, 0.5f, 500};
    QTRY_VERIFY(ticks.count() >= 2);
    QCOMPARE(RowText(Downloads(), 1, 4), QStringLiteral("50.00%"));
    QVERIFY(redrawn.count(1) == 1);
    // Only the three started rows may have been drawn again.
    QVERIFY2(redrawn.size() <= 3 && *redrawn.rbegin() < 3,
             qPrintable(QStringLiteral("%1 rows redrawn").arg(redrawn.size())));
    QCOMPARE(RowText(Downloads(), kQueued - 1, 3), QStringLiteral("等待中"));

    redrawn.clear();
    Downloads()->selectAll();
    emit Downloads()->customContextMenuRequested(RowRect(Downloads(), 0).center());
    auto* pause = tab->menu()->findChild<QAction*>(QStringLiteral("暂停"));
    QVERIFY(pause && pause->isEnabled());
    pause->trigger();
    tab->menu()->close();
    QCOMPARE(static_cast<int>(redrawn.size()), kQueued);
    for (int row : {0, 1, kQueued / 2, kQueued - 1})
      QCOMPARE(RowText(Downloads(), row, 3), QStringLiteral("已暂停"));

    changes = 0;
    redrawn.clear();
    ticks.clear();
    QTRY_VERIFY(ticks.count() >= 2);
    QCOMPARE(changes, 0);
    QCOMPARE(RowCount(Downloads()), kQueued);
  }

  void theFolderBrowserKeepsTheDirectoryWhenCancelled() {
    ShowPage(2);
    QString before = SaveDirectory()->text();
    // The platform's browser is the real one here, shown modally and closed with its close box.
    QString title;
    WhenModal([&](QWidget* modal) {
      title = modal->windowTitle();
      modal->close();
    });
    QTest::mouseClick(Find<QPushButton>(window_.get(), "按钮2"), Qt::LeftButton);
    QCOMPARE(title, QStringLiteral("请选择要保存的目录"));
    QCOMPARE(SaveDirectory()->text(), before);

    // A chosen folder replaces the directory. The browser is stood in for: driving the
    // platform's dialog to a selection depends on its file model, filled on a thread of its own.
    QString chosen = ProgramDir() + QStringLiteral("/目标");
    QString startedIn;
    window_->downloadsTab()->SetFolderBrowser([&](QWidget*, const QString& t, const QString& dir) {
      title = t;
      startedIn = dir;
      return chosen;
    });
    QTest::mouseClick(Find<QPushButton>(window_.get(), "按钮2"), Qt::LeftButton);
    QCOMPARE(startedIn, before);
    QCOMPARE(title, QStringLiteral("请选择要保存的目录"));
    QCOMPARE(SaveDirectory()->text(), chosen);
    window_->downloadsTab()->SetFolderBrowser(
        [](QWidget*, const QString&, const QString&) { return QString(); });
    QTest::mouseClick(Find<QPushButton>(window_.get(), "按钮2"), Qt::LeftButton);
    QCOMPARE(SaveDirectory()->text(), chosen);
  }

  void theSpeedLimitIsAppliedOnEveryClick() {
    ShowPage(2);
    auto* box = Find<QCheckBox>(window_.get(), "选择框1");
    auto* value = Find<QLineEdit>(window_.get(), "编辑框1");
    auto message = AnswerMessageBox();
    QTest::mouseClick(box, Qt::LeftButton);
    QCOMPARE(*message, QStringLiteral("请输入需要限制的速度后继续！"));
    QVERIFY(engine_->limits.empty());
    QTest::mouseClick(box, Qt::LeftButton);  // unchecked: no limit
    value->setText("abc");
    QTest::mouseClick(box, Qt::LeftButton);
    value->setText("300");  // editing alone changes nothing
    QTest::mouseClick(box, Qt::LeftButton);
    QTest::mouseClick(box, Qt::LeftButton);
    QCOMPARE(engine_->limits, (std::vector<int32_t>{1410065407, 0, 1410065407, 300}));
  }

  // A value typed while the box is ticked takes effect once its editing ends, and the settings
  // file keeps the value the downloads run under, not one still being typed. The box shows four
  // digits whole.
  void aLimitTypedWhileTickedTakesEffect() {
    ShowPage(2);
    auto* box = Find<QCheckBox>(window_.get(), "选择框1");
    auto* value = Find<QLineEdit>(window_.get(), "编辑框1");
    value->setText("297");
    QTest::mouseClick(box, Qt::LeftButton);
    value->setFocus();
    value->selectAll();
    QTest::keyClicks(value, "1000");
    QTest::keyClick(value, Qt::Key_Return);
    QCOMPARE(engine_->limits, (std::vector<int32_t>{297, 1000}));
    QTest::keyClick(value, Qt::Key_Return);  // the same value again: nothing new
    value->clear();
    QTest::keyClick(value, Qt::Key_Return);  // an emptied box keeps the limit in effect
    QCOMPARE(engine_->limits, (std::vector<int32_t>{297, 1000}));

    QStyleOptionFrame frame;
    frame.initFrom(value);
    frame.lineWidth = value->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &frame, value);
    // A line edit keeps 2 pixels free at either side of its text.
    int room =
        value->style()->subElementRect(QStyle::SE_LineEditContents, &frame, value).width() - 4;
    int text = value->fontMetrics().horizontalAdvance(QStringLiteral("1000"));
    QVERIFY2(text <= room, qPrintable(QStringLiteral("%1 px for %2 px").arg(room).arg(text)));

    value->setText("5");  // typed, its editing not finished: not in effect
    window_->close();
    QVERIFY(ReadFile(state_->settings.beside).find(G("限速=1000\r\n限速开启=1\r\n")) !=
            std::string::npos);
  }

  // A close while downloads run or wait asks first: staying keeps the window and its
  // downloads; stopping closes and remembers them. Paused ones alone ask nothing.
  void closingWithDownloadsUnderWayAsksFirst() {
    sf::app::DownloadsTab* tab = window_->downloadsTab();
    for (const char* name : {"a.bin", "b.bin", "c.bin", "d.bin"})
      tab->StartDownload({name, std::string("http://h/") + name, "", "", "", 4000});
    closeAnswer_ = false;
    QVERIFY(!window_->close());
    QCOMPARE(closeAskedFor_, 4);
    QCOMPARE(tab->queue()->Items().size(), size_t{4});
    closeAnswer_ = true;
    QVERIFY(window_->close());
    QCOMPARE(sf::LoadUnfinished(state_->settings.beside).size(), size_t{4});

    Open();
    window_->unfinishedTab()->list()->selectAll();
    Find<QAction>(window_->unfinishedTab()->menu(), "继续下载")->trigger();
    for (const sf::DownloadItem& item : window_->downloadsTab()->queue()->Items())
      window_->downloadsTab()->downloads()->Pause({sf::ItemId{item.id}});
    QVERIFY(window_->close());
    QCOMPARE(closeAsked_, 2);

    // The question itself: its first button stops and closes, Escape stays.
    WhenModal([](QWidget* modal) {
      for (QAbstractButton* b : static_cast<QMessageBox*>(modal)->buttons())
        if (b->text() == QStringLiteral("停止下载并退出")) b->click();
    });
    QVERIFY(sf::app::MainWindow::AskToStopDownloads(window_.get(), 3));
    WhenModal([](QWidget* modal) { QTest::keyClick(modal, Qt::Key_Escape); });
    QVERIFY(!sf::app::MainWindow::AskToStopDownloads(window_.get(), 3));
  }

  // The speed limit and the save directory of the last run come back; a file of an older
  // version reads as it always did, and a close that changes nothing leaves it untouched.
  void theDownloadSettingsComeBack() {
    window_.reset();
    // A download left by an older version, with its bytes in the start directory.
    const std::string dir = ProgramDir().toStdString() + "/下载内容";
    QVERIFY(QDir().mkpath(QString::fromStdString(dir)));
    const std::string part = dir + "/a.bin" + std::string(sf::layout::kPartSuffix);
    std::ofstream(part) << "x";
    const std::string old =
        G("[文件名]\r\nname:=1\r\n1=a.bin\r\n[下载地址]\r\nnumber:=1\r\n1=http://h/a\r\n"
          "[保存目录]\r\n保存地址：=") +
        sf::Utf8ToGbk(dir) + "\r\n";
    std::ofstream(state_->settings.beside, std::ios::binary) << old;
    const QDateTime longAgo(QDate(2001, 1, 1), QTime(0, 0));
    auto age = [&] {
      QFile file(QString::fromStdString(state_->settings.beside));
      QVERIFY(file.open(QIODevice::ReadWrite));
      QVERIFY(file.setFileTime(longAgo, QFileDevice::FileModificationTime));
    };
    age();
    Open();
    const QString start = ProgramDir() + QStringLiteral("/下载内容");
    QCOMPARE(SaveDirectory()->text(), start);
    QVERIFY(!Find<QCheckBox>(window_.get(), "选择框1")->isChecked());
    QCOMPARE(Find<QLineEdit>(window_.get(), "编辑框1")->text(), QString());
    window_->close();
    QCOMPARE(ReadFile(state_->settings.beside), old);
    QCOMPARE(QFileInfo(QString::fromStdString(state_->settings.beside)).lastModified(), longAgo);

    Open();
    ShowPage(2);
    Find<QLineEdit>(window_.get(), "编辑框1")->setText("300");
    QTest::mouseClick(Find<QCheckBox>(window_.get(), "选择框1"), Qt::LeftButton);
    SaveDirectory()->setText(QStringLiteral("/d/新目录"));
    // The user forgets the older version's download; its partial stays.
    window_->unfinishedTab()->list()->selectAll();
    Find<QAction>(window_->unfinishedTab()->menu(), "删除")->trigger();
    window_->close();
    QCOMPARE(ReadFile(state_->settings.beside),
             G("[下载设置]\r\n限速=300\r\n限速开启=1\r\n保存目录=/d/新目录\r\n"));

    engine_->limits.clear();
    Open();
    QCOMPARE(SaveDirectory()->text(), QStringLiteral("/d/新目录"));
    QVERIFY(Find<QCheckBox>(window_.get(), "选择框1")->isChecked());
    QCOMPARE(Find<QLineEdit>(window_.get(), "编辑框1")->text(), QStringLiteral("300"));
    QCOMPARE(engine_->limits, std::vector<int32_t>{300});
    age();
    window_->close();
    QCOMPARE(QFileInfo(QString::fromStdString(state_->settings.beside)).lastModified(), longAgo);
  }
};

QTEST_MAIN(DownloadsTabTest)
#include "downloads_tab_test.moc"
