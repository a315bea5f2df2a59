// The fourth tab of the real main window: the unfinished downloads read at start, started
// again, and written back when the window closes; a recording engine stands in.
#include "app/unfinished_tab.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QTreeView>
#include <set>

#include "app/downloads_tab.h"
#include "app/qt_text.h"
#include "base/profile_file.h"
#include "base/settings_file.h"
#include "download/download_queue.h"
#include "gui_test_support.h"
#include "recording_engine.h"

using namespace sf::test;

class UnfinishedTabTest : public sf::test::WindowSuite {
  Q_OBJECT

 private slots:
  void setUpLoadsTheUnfinishedListThenSetsTheSaveDirectory() {
    window_.reset();
    sf::ProfileFile file;
    file.Set(G("文件名"), "name:", "3");
    file.Set(G("文件名"), "1", G("报告.pdf"));
    file.Set(G("文件名"), "2", "b.bin");
    file.Set(G("下载地址"), "1", "http://h/1");
    file.Set(G("下载地址"), "2", "http://h/2");
    file.Set(G("保存目录"), G("保存地址："), G("/别处"));
    QVERIFY(file.Save(state_->settings.beside));
    // The skin comes first: the theme is on before the engine starts and before the
    // unfinished list is read.
    qApp->setStyleSheet(QString());
    QString themeAtEngineStart;
    int unfinishedAtEngineStart = -1;
    engine_->onInit = [&] {
      themeAtEngineStart = qApp->styleSheet();
      // The window is still being made, so its list is found among all widgets.
      for (QWidget* w : QApplication::allWidgets())
        if (w->objectName() == QStringLiteral("超级列表框3"))
          unfinishedAtEngineStart = RowCount(static_cast<QTreeView*>(w));
    };
    Open();
    engine_->onInit = nullptr;
    QVERIFY(themeAtEngineStart.contains(QStringLiteral("QTabWidget::pane")));
    QCOMPARE(unfinishedAtEngineStart, 0);

    QCOMPARE(engine_->inits, 2);  // one per window created
    QCOMPARE(RowCount(Unfinished()), 3);
    QCOMPARE(RowText(Unfinished(), 0, 0), QStringLiteral("报告.pdf"));
    QCOMPARE(RowText(Unfinished(), 1, 1), QStringLiteral("http://h/2"));
    QCOMPARE(RowText(Unfinished(), 2, 0), QString());
    for (int i = 0; i < 3; ++i) QCOMPARE(RowText(Unfinished(), i, 2), QStringLiteral("/别处"));
    QCOMPARE(SaveDirectory()->text(), ProgramDir() + QStringLiteral("/下载内容"));
    QCOMPARE(Status(), QStringLiteral("可爱是世界上最强大的形容词~"));
  }

  void anUnfinishedRowStartsIntoItsOwnDirectory() {
    std::vector<sf::UnfinishedDownload> rows = {{"x.bin", "http://h/x", "/old", -1},
                                                {"y.bin", "http://h/y", G("/别处"), 77}};
    window_->unfinishedTab()->SetRows(rows);
    SaveDirectory()->setText(QStringLiteral("/now/这里"));
    ShowPage(3);
    QCOMPARE(RowText(Unfinished(), 1, 2), QStringLiteral("/别处"));
    DoubleClick(Unfinished(), QPoint(60, Unfinished()->viewport()->height() - 10));
    QVERIFY(engine_->created.empty());
    DoubleClickRow(Unfinished(), 1);
    QCOMPARE(engine_->created.size(), size_t{1});
    QCOMPARE(engine_->created[0].fileName, std::string("y.bin"));
    QCOMPARE(engine_->created[0].url, std::string("http://h/y"));
    QCOMPARE(engine_->created[0].saveDir, G("/别处"));
    QVERIFY(engine_->created[0].resume);
    QCOMPARE(RowCount(Unfinished()), 2);  // the row stays
    QCOMPARE(RowCount(Downloads()), 1);
    QCOMPARE(window_->downloadsTab()->queue()->Items()[0].request.expectedSize, int64_t{77});
  }

  void closingWritesTheListedDownloadsOrRemovesTheFile() {
    SaveDirectory()->setText(QStringLiteral("/d/下载内容"));
    window_->downloadsTab()->StartDownload({G("一.bin"), "http://h/1", "", "", "", -1});
    window_->downloadsTab()->StartDownload({"two.bin", "http://h/2?a=1&b=2", "", "", "", -1});
    window_->close();
    QCOMPARE(ReadFile(state_->settings.beside),
             G("[文件名]\r\nname:=2\r\n1=一.bin\r\n2=two.bin\r\n[下载地址]\r\nnumber:=2\r\n"
               "1=http://h/1\r\n2=http://h/2?a=1&b=2\r\n[保存目录]\r\n保存地址：=/d/下载内容\r\n"
               "[下载设置]\r\n保存目录=/d/下载内容\r\n"));

    // The next run lists them; closing it without starting them, though nothing of them is on
    // disk yet, remembers them as they were.
    const std::string written = ReadFile(state_->settings.beside);
    Open();
    QCOMPARE(RowCount(Unfinished()), 2);
    QCOMPARE(RowText(Unfinished(), 0, 0), QStringLiteral("一.bin"));
    QCOMPARE(SaveDirectory()->text(), QStringLiteral("/d/下载内容"));
    window_->close();
    QCOMPARE(ReadFile(state_->settings.beside), written);
    // Once the user deletes them, closing with the start directory back in the box removes
    // the file.
    Open();
    Unfinished()->selectAll();
    Find<QAction>(window_->unfinishedTab()->menu(), "删除")->trigger();
    QCOMPARE(RowCount(Unfinished()), 0);
    SaveDirectory()->setText(ProgramDir() + QStringLiteral("/下载内容"));
    window_->close();
    QVERIFY(!QFile::exists(QString::fromStdString(state_->settings.beside)));
  }

  // Rows of one share each start with their own file: the selected ones through 继续下载,
  // another by Enter while those run, the rest through 全部继续, and a download of its own
  // among them too.
  void everyChosenRowStartsItsOwnFile() {
    QString dir = ProgramDir() + QStringLiteral("/分享");
    QVERIFY(QDir().mkpath(dir));
    std::vector<sf::UnfinishedDownload> rows;
    for (int i = 0; i < 5; ++i) {
      std::string n = std::to_string(i);
      rows.push_back({"f" + n + ".bin", "http://h/f" + n, sf::app::ToGbk(dir), 100});
      rows.back().shareUrl = sim_.ShareUrl("big");
      rows.back().shareFile = std::to_string(700 + i);
    }
    rows.push_back({"own.bin", "http://h/own", sf::app::ToGbk(dir), 50});
    window_->unfinishedTab()->SetRows(rows);
    ShowPage(3);
    // Three run at once and the rest wait, so the queue's items tell what was started.
    auto started = [this] {
      QStringList out;
      for (const sf::DownloadItem& item : window_->downloadsTab()->queue()->Items())
        out << QString::fromStdString(item.request.name + "@" + item.request.address);
      out.sort();
      return out.join(' ');
    };
    for (int row : {0, 2, 5}) SelectRow(Unfinished(), row);
    Find<QAction>(window_->unfinishedTab()->menu(), "继续下载")->trigger();
    QCOMPARE(started(), "f0.bin@http://h/f0 f2.bin@http://h/f2 own.bin@http://h/own");
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    Unfinished()->setFocus();
    Unfinished()->clearSelection();
    SelectRow(Unfinished(), 3);
    QTest::keyClick(Unfinished(), Qt::Key_Return);
    QCOMPARE(started(),
             "f0.bin@http://h/f0 f2.bin@http://h/f2 f3.bin@http://h/f3 "
             "own.bin@http://h/own");
    Find<QAction>(window_->unfinishedTab()->menu(), "全部继续")->trigger();
    QCOMPARE(started(),
             "f0.bin@http://h/f0 f1.bin@http://h/f1 f2.bin@http://h/f2 "
             "f3.bin@http://h/f3 f4.bin@http://h/f4 own.bin@http://h/own");
    // Each is remembered with its own file of the share.
    window_->close();
    QStringList kept;
    for (const auto& row : sf::LoadUnfinished(state_->settings.beside))
      kept << QString::fromStdString(row.fileName + "@" + row.shareFile);
    kept.sort();
    QCOMPARE(kept.join(' '), "f0.bin@700 f1.bin@701 f2.bin@702 f3.bin@703 f4.bin@704 own.bin@");
  }

  // Remembered downloads are kept until they are done: those not started again, whether or
  // not their bytes are on disk yet, and a whole one is not fetched again.
  void rememberedDownloadsAreNeverLost() {
    window_.reset();
    QString dir = ProgramDir() + QStringLiteral("/下载内容");
    QString other = ProgramDir() + QStringLiteral("/别处");
    QVERIFY(QDir().mkpath(dir) && QDir().mkpath(other));
    auto write = [](const QString& path, const QByteArray& bytes) {
      QFile f(path);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(bytes);
    };
    write(other + "/part.bin.sfpart", "12");
    write(other + "/part.bin.sfctl", "x");
    write(dir + "/whole.bin", "12345");
    std::vector<sf::UnfinishedDownload> rows = {
        {"part.bin", "http://h/p", sf::app::ToGbk(other), 10},
        {"whole.bin", "http://h/w", sf::app::ToGbk(dir), 5},
        {"gone.bin", "http://h/g", sf::app::ToGbk(dir), -1}};
    QVERIFY(sf::SaveOnClose(state_->settings, rows, sf::app::ToGbk(dir)));
    Open();
    QCOMPARE(RowText(Unfinished(), 0, 2), other);
    window_->close();  // none started again: all but the whole one are kept
    auto kept = sf::LoadUnfinished(state_->settings.beside);
    QCOMPARE(kept.size(), size_t{2});
    QCOMPARE(kept[0].fileName, std::string("part.bin"));
    QCOMPARE(kept[0].saveDirectory, sf::app::ToGbk(other));
    QCOMPARE(kept[0].expectedSize, int64_t{10});
    QCOMPARE(kept[1].fileName, std::string("gone.bin"));
    QCOMPARE(kept[1].expectedSize, int64_t{-1});
    // Started again, a whole one is found complete and nothing is downloaded.
    Open();
    window_->unfinishedTab()->SetRows(rows);
    ShowPage(3);
    DoubleClickRow(Unfinished(), 1);
    QVERIFY(engine_->created.empty());
    QCOMPARE(RowCount(Downloads()), 0);
    QCOMPARE(Status(),
             QStringLiteral("Tavrin提示您：[ 文件已经下载完毕，没有重新下载 ] whole.bin"));
    // A task the engine will not create is a failed row that says so, and it is remembered.
    engine_->nextHandles = {0};
    DoubleClickRow(Unfinished(), 2);
    QCOMPARE(RowCount(Downloads()), 1);
    QCOMPARE(RowText(Downloads(), 0, 3), QStringLiteral("失败"));
    QCOMPARE(RowText(Downloads(), 0, 4), QStringLiteral("无法创建任务"));
    window_->close();
    kept = sf::LoadUnfinished(state_->settings.beside);
    QCOMPARE(kept.size(), size_t{2});
    QCOMPARE(kept[0].fileName, std::string("gone.bin"));
    QCOMPARE(kept[1].fileName, std::string("part.bin"));
  }

  // Many remembered rows: 删除 takes scattered rows out and forgets exactly those; 全部继续
  // starts one batch at once and the rest between the window's events, each row with its own
  // file, none twice; rows still waiting for their batch when the window closes are remembered.
  void manyRowsStartInBatchesAndNoneIsLost() {
    using sf::app::UnfinishedTab;
    const auto dir = sf::app::ToGbk(ProgramDir() + QStringLiteral("/下载内容"));
    auto rowsNamed = [&](const char* prefix, int n) {
      std::vector<sf::UnfinishedDownload> rows;
      for (int i = 0; i < n; ++i) {
        const std::string name = prefix + std::to_string(i);
        rows.push_back({name, "http://h/" + name, dir, 10});
      }
      return rows;
    };
    const int n = 2 * static_cast<int>(UnfinishedTab::kBatch) + 500;
    UnfinishedTab* tab = window_->unfinishedTab();
    tab->SetRows(rowsNamed("f", n));
    ShowPage(3);
    QCOMPARE(RowCount(Unfinished()), n);
    // Every third of the first 300 rows (100 runs of one row), then the first two left.
    for (int row = 0; row < 300; row += 3) SelectRow(Unfinished(), row);
    Find<QAction>(tab->menu(), "删除")->trigger();
    QCOMPARE(RowCount(Unfinished()), n - 100);
    QCOMPARE(RowText(Unfinished(), 0, 0), QStringLiteral("f1"));
    QCOMPARE(RowText(Unfinished(), 2, 0), QStringLiteral("f4"));
    QCOMPARE(RowText(Unfinished(), 199, 0), QStringLiteral("f299"));
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    Unfinished()->setFocus();
    SetCurrentRow(Unfinished(), 0);
    SelectRow(Unfinished(), 1);
    QTest::keyClick(Unfinished(), Qt::Key_Delete);
    QCOMPARE(RowCount(Unfinished()), n - 102);
    QCOMPARE(RowText(Unfinished(), 0, 0), QStringLiteral("f4"));

    auto names = [this] {
      std::set<std::string> out;
      for (const sf::DownloadItem& item : window_->downloadsTab()->queue()->Items())
        out.insert(item.request.name);
      return out;
    };
    Find<QAction>(tab->menu(), "全部继续")->trigger();
    QCOMPARE(names().size(), UnfinishedTab::kBatch);
    QCOMPARE(tab->waiting(), size_t(n - 102) - UnfinishedTab::kBatch);
    QTRY_COMPARE(tab->waiting(), size_t{0});
    std::set<std::string> started = names();
    QCOMPARE(started.size(), size_t(n - 102));
    QCOMPARE(window_->downloadsTab()->queue()->Items().size(), size_t(n - 102));
    for (const char* gone : {"f0", "f1", "f2", "f3", "f297"}) QVERIFY(!started.count(gone));
    QVERIFY(started.count("f4") && started.count("f5") &&
            started.count("f" + std::to_string(n - 1)));

    // More rows, started and the window closed before their later batches came.
    tab->SetRows(rowsNamed("g", n));
    Find<QAction>(tab->menu(), "全部继续")->trigger();
    QVERIFY(tab->waiting() > 0);
    window_->close();
    std::set<std::string> kept;
    for (const auto& row : sf::LoadUnfinished(state_->settings.beside)) kept.insert(row.fileName);
    QCOMPARE(kept.size(), size_t(2 * n - 102));
    QVERIFY(kept.count("g0") && kept.count("g" + std::to_string(n - 1)) && kept.count("f4"));
  }

  // Many rows judged together, each directory read once, are judged as each alone: a file at
  // its size with nothing beside it is whole; one of another size, one with its partial
  // beside, one missing, one in a directory that is not there, one of unknown size are not.
  void manyRowsAreJudgedWholeAsEachAlone() {
    const QString dir = ProgramDir() + QStringLiteral("/整体");
    QVERIFY(QDir().mkpath(dir));
    for (const char* name : {"w.bin", "short.bin", "p.bin", "p.bin.sfpart", "u.bin"}) {
      QFile f(dir + "/" + name);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write("12345");
    }
    const std::string d = sf::app::ToGbk(dir);
    const std::vector<sf::UnfinishedDownload> rows = {{"w.bin", "http://h/w", d + "/", 5},
                                                      {"short.bin", "http://h/s", d, 9},
                                                      {"p.bin", "http://h/p", d, 5},
                                                      {"none.bin", "http://h/n", d, 5},
                                                      {"w.bin", "http://h/w", d + G("/无"), 5},
                                                      {"u.bin", "http://h/u", d, -1}};
    std::vector<const sf::UnfinishedDownload*> all;
    for (const auto& row : rows) all.push_back(&row);
    const std::vector<char> whole = sf::app::WholeOnDisk(all);
    QCOMPARE(whole, (std::vector<char>{1, 0, 0, 0, 0, 0}));
    for (size_t i = 0; i < rows.size(); ++i)
      QCOMPARE(bool(whole[i]), sf::app::WholeOnDisk(rows[i]));
  }

  // Without the engine nothing holds a row started again: it is still remembered at the close,
  // as its share's file, rather than dropped as started.
  void aRowNothingCouldStartStaysRemembered() {
    window_.reset();
    sf::UnfinishedDownload row{"kept.bin", "http://h/k", G("/下载"), 40};
    row.shareUrl = sim_.ShareUrl("k");
    row.shareFile = "77";
    QVERIFY(sf::SaveOnClose(state_->settings, {row}, G("/下载")));
    state_->engine.reset();
    state_->engineError = "no engine";
    auto told = AnswerMessageBox();
    Open();
    QTRY_VERIFY(!told->isEmpty());
    ShowPage(3);
    // Two rows chosen together: one word for both.
    window_->unfinishedTab()->SetRows({row, {"own.bin", "http://h/o", G("/下载"), -1}});
    told = AnswerMessageBox();
    Unfinished()->selectAll();
    Find<QAction>(window_->unfinishedTab()->menu(), "继续下载")->trigger();
    QVERIFY(told->contains(QStringLiteral("下载引擎未能加载")));
    QVERIFY(!QApplication::activeModalWidget());
    window_->close();
    auto kept = sf::LoadUnfinished(state_->settings.beside);
    QCOMPARE(kept.size(), size_t{2});
    QCOMPARE(kept[0].fileName, std::string("kept.bin"));
    QCOMPARE(kept[0].shareFile, std::string("77"));
    QCOMPARE(kept[1].fileName, std::string("own.bin"));
  }
};

QTEST_MAIN(UnfinishedTabTest)
#include "unfinished_tab_test.moc"
