// Downloads through the window with the real engine library against the local share service:
// a resolved file downloaded to the end, and a throttled one interrupted by closing the window
// and finished by the next run of the program from the unfinished list.
//
// The next run has to be a new process: the engine lives for the whole process and would keep
// the first run's task going. So this program, started with --first-run, plays the first run
// itself.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <cerrno>
#include <iostream>
#include <sstream>

#include "app/downloads_tab.h"
#include "app/main_window.h"
#include "app/resolve_tab.h"
#include "app/unfinished_tab.h"
#include "base/encoding.h"
#include "base/settings_file.h"
#include "download/download_queue.h"
#include "engine_api/engine_api.h"
#include "file_content.h"
#include "gui_test_support.h"
#include "share/share_session.h"
#include "share_simulator.h"
#include "view/failure_text.h"

using namespace sf::test;

namespace {

constexpr uint64_t kSmallId = 1001;
constexpr uint64_t kSmallSize = 3 << 20;
constexpr uint64_t kBigId = 1002;
constexpr uint64_t kBigSize = 8 << 20;

// The row of the result list showing `name`, or -1.
int RowNamed(QAbstractItemView* list, const QString& name, int column) {
  for (int i = 0; i < RowCount(list); ++i)
    if (RowText(list, i, column) == name) return i;
  return -1;
}

// The bytes the engine's control file beside `target` records as safely on disk: the sum of
// its "done" ranges, each written "begin-end" with the end excluded.
int64_t RecordedBytes(const QString& target) {
  std::string text = ReadFile(target + ".sfctl");
  size_t at = text.find("\ndone ");
  if (at == std::string::npos) return 0;
  std::istringstream ranges(text.substr(at + 6, text.find('\n', at + 1) - at - 6));
  int64_t total = 0;
  for (std::string range; ranges >> range;) {
    size_t dash = range.find('-');
    if (dash != std::string::npos)
      total += std::stoll(range.substr(dash + 1)) - std::stoll(range.substr(0, dash));
  }
  return total;
}

bool WaitFor(const std::function<bool()>& done, int ms) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms) QTest::qWait(50);
  return done();
}

// Resolves the share in `window` and double-clicks the file `name` in the result list.
bool ResolveAndStart(sf::app::MainWindow& window, const std::string& shareUrl,
                     const QString& name) {
  window.resolveTab()->SetUrl(QString::fromStdString(shareUrl));
  auto* parse = Find<QPushButton>(window.resolveTab(), "按钮1");
  auto* results = Find<QTreeView>(&window, "超级列表框1");
  QTest::mouseClick(parse, Qt::LeftButton);
  if (!WaitFor([&] { return parse->isEnabled() && RowNamed(results, name, 1) >= 0; }, 20000))
    return false;
  DoubleClick(results, RowRect(results, RowNamed(results, name, 1)).center());
  return true;
}

// The first run: start the big file under a speed limit, let part of it reach the disk, close.
int FirstRun(const QString& programDir, const std::string& host, const std::string& shareUrl) {
  auto state = sf::test::TestAppState(host, programDir, SF_ENGINE_PATH);
  if (!state->engine) {
    std::cerr << state->engineError << "\n";
    return 3;
  }
  sf::app::MainWindow window(*state);
  window.SetCloseConfirm([](QWidget*, int) { return true; });  // the user stops it and closes
  window.show();
  Find<QTabWidget>(&window, "选择夹1")->setCurrentIndex(2);
  Find<QLineEdit>(&window, "编辑框1")->setText("512");
  QTest::mouseClick(Find<QCheckBox>(&window, "选择框1"), Qt::LeftButton);
  Find<QTabWidget>(&window, "选择夹1")->setCurrentIndex(0);
  if (!ResolveAndStart(window, shareUrl, "big.bin")) return 4;
  auto* downloads = Find<QTreeView>(&window, "超级列表框2");
  // At least 1 MiB made durable and recorded by the engine, for the next run to resume from.
  QString target = Find<QLineEdit>(&window, "编辑框_保存目录")->text() + "/big.bin";
  if (!WaitFor([&] { return RecordedBytes(target) >= (1 << 20); }, 20000)) return 5;
  QString done = RowCount(downloads) > 0 ? RowText(downloads, 0, 2) : "gone";
  std::cout << "first run closes at " << done.toStdString() << std::endl;
  window.close();
  return RowCount(downloads) == 1 ? 0 : 6;
}

constexpr uint64_t kKeptId = 2003;
constexpr uint64_t kKeptSize = 4 << 20;

// Parses the protected share pasted with its code in `window`.
bool ParsePasted(sf::app::MainWindow& window, const QString& pasted) {
  if (!window.resolveTab()->TakeShareText(pasted)) return false;
  auto* parse = Find<QPushButton>(window.resolveTab(), "按钮1");
  auto* results = Find<QTreeView>(&window, "超级列表框1");
  QTest::mouseClick(parse, Qt::LeftButton);
  return WaitFor([&] { return parse->isEnabled() && RowNamed(results, "kept.bin", 1) >= 0; },
                 20000);
}

// Picks the result row `name` and chooses `action` from the result list's menu.
void ChooseResult(sf::app::MainWindow& window, const QString& name, const char* action) {
  auto* results = Find<QTreeView>(&window, "超级列表框1");
  results->clearSelection();
  SetCurrentRow(results, RowNamed(results, name, 1));
  Find<QAction>(&window, action)->trigger();
}

// The first run of a share's file: downloaded through 下载所选 from the protected share, closed
// with part of it on disk.
int ShareFirstRun(const QString& programDir, const std::string& host, const QString& pasted) {
  auto state = sf::test::TestAppState(host, programDir, SF_ENGINE_PATH);
  if (!state->engine) return 3;
  sf::app::MainWindow window(*state);
  window.SetCloseConfirm([](QWidget*, int) { return true; });
  window.show();
  if (!ParsePasted(window, pasted)) return 4;
  ChooseResult(window, "kept.bin", "下载所选");
  QString target = Find<QLineEdit>(&window, "编辑框_保存目录")->text() + "/kept.bin";
  if (!WaitFor([&] { return RecordedBytes(target) >= (256 << 10); }, 20000)) return 5;
  window.close();
  return 0;
}

// The first run of a share of five files: all of it through 全部下载, three at once, closed as
// soon as the first bytes are on disk, so that the others have not started yet.
int FiveFirstRun(const QString& programDir, const std::string& host, const std::string& shareUrl) {
  auto state = sf::test::TestAppState(host, programDir, SF_ENGINE_PATH);
  if (!state->engine) return 3;
  sf::app::MainWindow window(*state);
  window.SetCloseConfirm([](QWidget*, int) { return true; });
  window.show();
  window.resolveTab()->SetUrl(QString::fromStdString(shareUrl));
  auto* parse = Find<QPushButton>(window.resolveTab(), "按钮1");
  auto* results = Find<QTreeView>(&window, "超级列表框1");
  QTest::mouseClick(parse, Qt::LeftButton);
  if (!WaitFor([&] { return parse->isEnabled() && RowCount(results) == 5; }, 20000)) return 4;
  Find<QAction>(&window, "全部下载")->trigger();
  QString dir = Find<QLineEdit>(&window, "编辑框_保存目录")->text();
  if (!WaitFor([&] { return RecordedBytes(dir + "/f1.bin") > 0; }, 20000)) return 5;
  window.close();
  return 0;
}

}  // namespace

class DownloadsEndToEndTest : public QObject, sf::test::WindowHarness {
  Q_OBJECT

 private:
  // The program started again over the suite's program directory, with the real engine.
  bool Start() {
    NewState(sim_.Url(""), SF_ENGINE_PATH);
    if (!state_->engine) return false;
    Open();
    return !QTest::currentTestFailed();
  }
  // Starts the first row of the unfinished list, on its page as a user sees it: its download is
  // listed, runs to the end and leaves the list.
  void RunFirstUnfinishedRow() {
    ShowPage(3);
    QTRY_VERIFY(!RowRect(Unfinished(), 0).isEmpty());
    DoubleClickRow(Unfinished(), 0);
    QCOMPARE(RowCount(Downloads()), 1);
    QTRY_COMPARE_WITH_TIMEOUT(RowCount(Downloads()), 0, 30000);
  }
  QString SaveDir() { return ProgramDir() + QStringLiteral("/下载内容"); }
  QString Pasted() {
    return QStringLiteral("链接：") + QString::fromStdString(sim_.ShareUrl("kept")) +
           QStringLiteral(" 提取码：ab12");
  }

 private slots:
  void initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
    NewProgramDirectory();
    QVERIFY2(sim_.StartFromText(R"({"shares": [{"id": "files", "items": [
      {"name": "小文件.bin", "size": 3145728, "fs_id": 1001},
      {"name": "big.bin", "size": 8388608, "fs_id": 1002}]},
      {"id": "kept", "password": "ab12", "items": [
        {"name": "文件夹", "children": [{"name": "a.bin", "size": 2097152, "fs_id": 2001},
                                     {"name": "b.bin", "size": 2097152, "fs_id": 2002}]},
        {"name": "kept.bin", "size": 4194304, "fs_id": 2003}]},
      {"id": "five", "items": [{"name": "f1.bin", "size": 1048577, "fs_id": 4001},
        {"name": "f2.bin", "size": 1048578, "fs_id": 4002}, {"name": "f3.bin", "size": 1048579, "fs_id": 4003},
        {"name": "f4.bin", "size": 1048580, "fs_id": 4004}, {"name": "f5.bin", "size": 1048581, "fs_id": 4005}]},
      {"id": "stream", "linkCaptchaAt": 3, "items": [
        {"name": "1.bin", "size": 1000, "fs_id": 3001, "staleLinks": 1},
        {"name": "2.bin", "size": 2000, "fs_id": 3002}, {"name": "3.bin", "size": 3000, "fs_id": 3003}]}]})"),
             sim_.error().c_str());
  }

  void cleanup() {
    window_.reset();
    sim_.SetDownloadOverride(std::nullopt);
    sim_.SetFileHost("");
  }

  void aResolvedFileDownloadsAndLeavesTheList() {
    QVERIFY2(Start(), state_->engineError.c_str());
    // A limit of 1 MiB/s makes the download last a few ticks of the timer.
    auto* limit = Find<QCheckBox>(window_.get(), "选择框1");
    Find<QTabWidget>(window_.get(), "选择夹1")->setCurrentIndex(2);
    Find<QLineEdit>(window_.get(), "编辑框1")->setText("1024");
    QTest::mouseClick(limit, Qt::LeftButton);
    Find<QTabWidget>(window_.get(), "选择夹1")->setCurrentIndex(0);
    QVERIFY(ResolveAndStart(*window_, sim_.ShareUrl("files"), QStringLiteral("小文件.bin")));

    auto* list = Find<QTreeView>(window_.get(), "超级列表框2");
    auto* bar = Find<QProgressBar>(window_.get(), "进度条1");
    auto* status = Find<QLabel>(window_.get(), "状态条1_1");
    QCOMPARE(RowCount(list), 1);
    QCOMPARE(RowText(list, 0, 0), QStringLiteral("小文件.bin"));
    QVERIFY(QString::fromStdString(window_->downloadsTab()->queue()->Items().at(0).request.address)
                .startsWith(QString::fromStdString(sim_.Url("/file/"))));

    QSet<QString> amounts;
    QString size;
    bool sawSpeed = false, sawBarBetween = false, sawDownloadingText = false;
    QElapsedTimer t;
    t.start();
    while (RowCount(list) > 0 && t.elapsed() < 30000) {
      if (!RowText(list, 0, 1).isEmpty()) size = RowText(list, 0, 1);
      if (!RowText(list, 0, 2).isEmpty()) amounts.insert(RowText(list, 0, 2));
      // At the limit the measured speed sits at the KB/MB boundary, so either unit may show.
      const QString speed = RowText(list, 0, 3);
      if ((speed.endsWith("KB") || speed.endsWith("MB")) && speed != "0KB") sawSpeed = true;
      if (bar->value() > 0 && bar->value() < 100) sawBarBetween = true;
      if (status->text().contains(QStringLiteral("[ 下载中 ]")) &&
          status->text().contains(QStringLiteral("当前下载速度：")))
        sawDownloadingText = true;
      QTest::qWait(100);
    }
    QCOMPARE(RowCount(list), 0);
    QCOMPARE(size, QStringLiteral("3.00MB"));
    QVERIFY2(amounts.size() >= 2, qPrintable(QStringList(amounts.values()).join(' ')));
    QVERIFY(sawSpeed);
    QVERIFY(sawBarBetween);
    QVERIFY(sawDownloadingText);
    QCOMPARE(status->text(), QStringLiteral("Tavrin提示您：[ 下载完毕 ]"));

    QString file = SaveDir() + QStringLiteral("/小文件.bin");
    QVERIFY(QFile::exists(file));
    QVERIFY(!QFile::exists(file + ".sfpart"));
    QCOMPARE(sf::sim::Sha256Hex(ReadFile(file)), sf::sim::FileSha256Hex(kSmallId, kSmallSize));
    Find<QTabWidget>(window_.get(), "选择夹1")->setCurrentIndex(2);
    QTest::mouseClick(limit, Qt::LeftButton);  // lifts the limit for the engine again
    window_->close();
    // Nothing left to resume; only the typed limit is remembered.
    QCOMPARE(ReadFile(QString::fromStdString(state_->settings.beside)),
             sf::Utf8ToGbk("[下载设置]\r\n限速=1024\r\n"));
  }

  void anInterruptedDownloadResumesInTheNextRun() {
    sim_.SetDownloadOverride(sf::sim::DownloadQuirks{256 << 10, false, 0});
    QProcess first;
    first.setProcessChannelMode(QProcess::ForwardedChannels);
    first.start(QCoreApplication::applicationFilePath(),
                {"--first-run", ProgramDir(), QString::fromStdString(sim_.Url("")),
                 QString::fromStdString(sim_.ShareUrl("files"))});
    QVERIFY(first.waitForFinished(60000));
    QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    QCOMPARE(first.exitCode(), 0);

    // The settings file holds the one download, the save directory, the file's size and share.
    QString settings = ProgramDir() + "/Tavrin.ini";
    auto saved = sf::LoadUnfinished(settings.toStdString());
    QCOMPARE(saved.size(), size_t{1});
    std::string address = saved[0].address;
    QVERIFY(saved[0].done > 0);  // what the first run had, shown at this start
    QVERIFY(address.starts_with(sim_.Url("/file/")));
    QCOMPARE(ReadFile(settings),
             sf::Utf8ToGbk("[文件名]\r\nname:=1\r\n1=big.bin\r\n[下载地址]\r\nnumber:=1\r\n1=" +
                           address + "\r\n[保存目录]\r\n保存地址：=" + SaveDir().toStdString() +
                           "\r\n[下载任务]\r\n大小1=8388608\r\n已下载1=" +
                           std::to_string(saved[0].done) + "\r\n分享1=" + sim_.ShareUrl("files") +
                           "\r\n分享文件1=1002\r\n分享应用1=250528\r\n"
                           "[下载设置]\r\n限速=512\r\n限速开启=1\r\n"));
    QString target = SaveDir() + "/big.bin";
    QVERIFY(QFile::exists(target + ".sfpart"));
    QVERIFY(!QFile::exists(target));

    // The next run, unthrottled: the row is in the unfinished list and finishes from there.
    sim_.SetDownloadOverride(std::nullopt);
    sim_.ClearRequests();
    QVERIFY2(Start(), state_->engineError.c_str());
    // The first run's limit came back with its tick; this run lifts it.
    auto* limit = Find<QCheckBox>(window_.get(), "选择框1");
    QVERIFY(limit->isChecked());
    Find<QTabWidget>(window_.get(), "选择夹1")->setCurrentIndex(2);
    QTRY_VERIFY(limit->isVisible());
    QTest::mouseClick(limit, Qt::LeftButton);
    QVERIFY(!limit->isChecked());
    auto* unfinished = Find<QTreeView>(window_.get(), "超级列表框3");
    QCOMPARE(RowCount(unfinished), 1);
    QCOMPARE(RowText(unfinished, 0, 0), QStringLiteral("big.bin"));
    QCOMPARE(RowText(unfinished, 0, 2), SaveDir());
    RunFirstUnfinishedRow();
    if (QTest::currentTestFailed()) return;
    auto* list = Find<QTreeView>(window_.get(), "超级列表框2");
    QCOMPARE(Find<QLabel>(window_.get(), "状态条1_1")->text(),
             QStringLiteral("Tavrin提示您：[ 下载完毕 ]"));
    QCOMPARE(sf::sim::Sha256Hex(ReadFile(target)), sf::sim::FileSha256Hex(kBigId, kBigSize));

    // Every request of this run asked for a range that starts beyond what was on disk.
    int fileRequests = 0;
    for (const auto& r : sim_.Requests()) {
      if (r.Path().find("/big.bin") == std::string::npos) continue;
      ++fileRequests;
      std::string range = r.Header("Range");
      QVERIFY2(range.starts_with("bytes="), range.c_str());
      QVERIFY2(std::stoll(range.substr(6)) > 0, range.c_str());
    }
    QVERIFY(fileRequests > 0);

    // Started again, the complete file is not downloaded a second time.
    DoubleClickRow(unfinished, 0);
    QCOMPARE(RowCount(list), 0);
    QCOMPARE(Find<QLabel>(window_.get(), "状态条1_1")->text(),
             QStringLiteral("Tavrin提示您：[ 文件已经下载完毕，没有重新下载 ] big.bin"));
    QVERIFY(!QFile::exists(SaveDir() + "/big (1).bin"));
    window_->close();
    QCOMPARE(ReadFile(settings), sf::Utf8ToGbk("[下载设置]\r\n限速=512\r\n"));
  }

  // The tab's controls on real downloads: a download that fails says why and, once the cause
  // is gone, a retry finishes it; a running one pauses and resumes; one deleted with its files
  // leaves none behind.
  void theTabControlsRealDownloads() {
    sim_.SetDownloadOverride(sf::sim::DownloadQuirks{32 << 10, false, 0});
    QFile::remove(ProgramDir() + "/Tavrin.ini");  // nothing remembered from earlier runs
    QVERIFY2(Start(), state_->engineError.c_str());
    sf::app::DownloadsTab* tab = window_->downloadsTab();
    auto* list = tab->list();
    // A regular file where a directory should be: the first download cannot be saved.
    QString blocker = ProgramDir() + "/blocker";
    QFile(blocker).open(QIODevice::WriteOnly);
    tab->saveDirectory()->setText(blocker + "/sub");
    QVERIFY(ResolveAndStart(*window_, sim_.ShareUrl("files"), QStringLiteral("小文件.bin")));
    QTRY_COMPARE_WITH_TIMEOUT(RowText(list, 0, 4), QStringLiteral("保存目录无效"), 5000);
    QCOMPARE(RowText(list, 0, 3), QStringLiteral("失败"));

    QString walk = ProgramDir() + "/walk";
    tab->saveDirectory()->setText(walk);
    auto* results = Find<QTreeView>(window_.get(), "超级列表框1");
    SetCurrentRow(results, RowNamed(results, QStringLiteral("big.bin"), 1));
    Find<QAction>(window_.get(), "开始下载")->trigger();
    QCOMPARE(RowCount(list), 2);
    QTRY_VERIFY_WITH_TIMEOUT(tab->queue()->Items().at(1).done > 0, 10000);

    QVERIFY(sf::test::ChooseForRows(tab, {1}, "暂停"));
    QTRY_COMPARE_WITH_TIMEOUT(tab->queue()->Items().at(1).engineState,
                              int32_t{sf::layout::kStatePaused}, 5000);
    QCOMPARE(RowText(list, 1, 3), QStringLiteral("已暂停"));
    QVERIFY(QFile::exists(walk + "/big.bin.sfpart"));
    QVERIFY(sf::test::ChooseForRows(tab, {1}, "继续"));
    int64_t atPause = tab->queue()->Items().at(1).done;
    QTRY_VERIFY_WITH_TIMEOUT(tab->queue()->Items().at(1).done > atPause, 10000);
    // The user agrees to remove the one download's files.
    tab->SetConfirm([](QWidget*, int downloads) { return downloads == 1; });
    QVERIFY(sf::test::ChooseForRows(tab, {1}, "删除任务和文件"));
    QCOMPARE(RowCount(list), 1);
    QTRY_VERIFY(!QFile::exists(walk + "/big.bin.sfpart") &&
                !QFile::exists(walk + "/big.bin.sfctl"));
    QVERIFY(!QFile::exists(walk + "/big.bin"));

    sim_.SetDownloadOverride(std::nullopt);
    QVERIFY(QFile::remove(blocker));
    QVERIFY(sf::test::ChooseForRows(tab, {0}, "重试"));
    QTRY_COMPARE_WITH_TIMEOUT(RowCount(list), 0, 20000);
    QCOMPARE(sf::sim::Sha256Hex(ReadFile(blocker + "/sub/小文件.bin")),
             sf::sim::FileSha256Hex(kSmallId, kSmallSize));
    window_->close();
    // Nothing left to resume; only the directory chosen last is remembered.
    QCOMPARE(ReadFile(ProgramDir() + "/Tavrin.ini"),
             sf::Utf8ToGbk("[下载设置]\r\n保存目录=" + walk.toStdString() + "\r\n"));
  }

  // A folder row's 开始下载 downloads the folder's files; the share asked for again adds no
  // second row of any file still listed, and takes up the paused one again.
  void aShareAskedForAgainKeepsOneRowPerFile() {
    sim_.SetDownloadOverride(sf::sim::DownloadQuirks{8 << 10, false, 0});
    QFile::remove(ProgramDir() + "/Tavrin.ini");
    QVERIFY2(Start(), state_->engineError.c_str());
    sf::app::DownloadsTab* tab = window_->downloadsTab();
    QString dir = ProgramDir() + "/twice";
    tab->saveDirectory()->setText(dir);
    QVERIFY(ParsePasted(*window_, Pasted()));
    ChooseResult(*window_, QStringLiteral("文件夹"), "开始下载");
    auto* list = tab->list();
    QCOMPARE(RowCount(list), 2);
    QVERIFY(RowNamed(list, "a.bin", 0) >= 0 && RowNamed(list, "b.bin", 0) >= 0);
    const int paused = RowNamed(list, "a.bin", 0);
    const auto& item = [&] { return tab->queue()->Items().at(static_cast<size_t>(paused)); };
    QTRY_VERIFY_WITH_TIMEOUT(item().done > 0, 10000);
    QVERIFY(sf::test::ChooseForRows(tab, {paused}, "暂停"));
    QTRY_COMPARE_WITH_TIMEOUT(item().engineState, int32_t{sf::layout::kStatePaused}, 5000);

    // Asked for again from the same parse, then from a new parse of the share.
    for (int time = 0; time < 2; ++time) {
      if (time == 1) QVERIFY(ParsePasted(*window_, Pasted()));
      Find<QAction>(window_.get(), "全部下载")->trigger();
      QCOMPARE(RowCount(list), 3);
      QCOMPARE(RowText(list, 2, 0), QStringLiteral("kept.bin"));
    }
    // The paused file goes on in its own row, which is shown.
    QVERIFY(item().status != sf::DownloadStatus::kPaused);
    QVERIFY(RowSelected(list, paused));
    QTRY_VERIFY_WITH_TIMEOUT(item().engineState != int32_t{sf::layout::kStatePaused}, 10000);
    for (const sf::DownloadItem& each : tab->queue()->Items())
      QVERIFY2(each.status != sf::DownloadStatus::kFailed,
               sf::FailureTextEnglish(each.failureCode).c_str());

    std::vector<sf::ItemId> all;
    for (const sf::DownloadItem& item : tab->queue()->Items()) all.push_back(sf::ItemId{item.id});
    tab->downloads()->Cancel(all, true);
    window_->close();
    sim_.SetDownloadOverride(std::nullopt);
  }

  // One file at a time, with the once-a-second refresh held: the engine's word that the first
  // ended starts the second at once. The refresh, when it comes, still says they finished.
  void aFreeSlotTakesTheNextFileWithoutWaitingForTheRefresh() {
    QFile::remove(ProgramDir() + "/Tavrin.ini");
    QVERIFY2(Start(), state_->engineError.c_str());
    sf::app::DownloadsTab* tab = window_->downloadsTab();
    QString dir = ProgramDir() + "/slots";
    tab->saveDirectory()->setText(dir);
    tab->downloads()->SetJobs(1);
    QVERIFY(ParsePasted(*window_, Pasted()));
    ChooseResult(*window_, QStringLiteral("文件夹"), "开始下载");
    tab->timer()->stop();
    const auto& items = tab->queue()->Items();
    QCOMPARE(items.size(), size_t{2});
    QCOMPARE(items.at(1).status, sf::DownloadStatus::kQueued);
    QSignalSpy refreshes(tab->timer(), &QTimer::timeout);
    QTRY_VERIFY_WITH_TIMEOUT(items.size() == 2 && items.at(0).Ended() && items.at(1).Ended(),
                             20000);
    QCOMPARE(refreshes.count(), 0);
    QCOMPARE(items.at(0).status, sf::DownloadStatus::kFinished);
    QCOMPARE(items.at(1).status, sf::DownloadStatus::kFinished);
    QCOMPARE(sf::sim::Sha256Hex(ReadFile(dir + QStringLiteral("/文件夹/b.bin"))),
             sf::sim::FileSha256Hex(2002, 2097152));

    // The refresh words the ends it did not see happen, then lets the finished rows go.
    auto* status = Find<QLabel>(window_.get(), "状态条1_1");
    status->clear();
    tab->timer()->start(1);
    QTRY_COMPARE(status->text(), QStringLiteral("Tavrin提示您：[ 下载完毕 ]"));
    QCOMPARE(RowCount(tab->list()), 0);
    window_->close();
  }

  // 全部下载 while the parse still asks for links: the files whose link came start at once,
  // while the captcha that holds the last link waits; the first file's refused link is asked for
  // again only once the parse has ended. The list of results shows the share's rows meanwhile,
  // a link in each row whose link came.
  void allFilesStartWhileTheLaterLinksAreAskedFor() {
    QFile::remove(ProgramDir() + "/Tavrin.ini");
    QVERIFY2(Start(), state_->engineError.c_str());
    QString dir = ProgramDir() + "/stream";
    window_->downloadsTab()->saveDirectory()->setText(dir);
    auto* results = Find<QTreeView>(window_.get(), "超级列表框1");
    auto* parse = Find<QPushButton>(window_->resolveTab(), "按钮1");
    auto* status = Find<QLabel>(window_.get(), "状态条1_1");
    auto onDisk = [&](const char* name, uint64_t id, uint64_t size) {
      return sf::sim::Sha256Hex(ReadFile(dir + "/" + name)) == sf::sim::FileSha256Hex(id, size);
    };
    sim_.ClearRequests();
    bool startedBeforeTheLastLink = false;
    int rowsMeanwhile = -1;
    QList<bool> linksMeanwhile;
    QString statusMeanwhile;
    sf::test::WhenModal([&](QWidget* dialog) {
      Find<QAction>(window_.get(), "全部下载")->trigger();
      statusMeanwhile = status->text();
      rowsMeanwhile = RowCount(results);
      for (int row = 0; row < rowsMeanwhile; ++row)
        linksMeanwhile << !RowText(results, row, 3).isEmpty();
      // The engine gives the stale link up once its second try is refused too.
      startedBeforeTheLastLink = WaitFor(
          [&] {
            int refused = 0;
            for (const auto& r : sim_.Requests())
              if (r.Path().find("/1.bin") != std::string::npos && r.status == 403) ++refused;
            return refused >= 2 && onDisk("2.bin", 3002, 2000);
          },
          20000);
      std::string answer = sim_.CaptchaAnswer(state_->session->vcodeStr()).value_or("????");
      QTest::keyClicks(Find<QLineEdit>(dialog, "编辑框_验证码"), QString::fromStdString(answer));
    });
    window_->resolveTab()->SetUrl(QString::fromStdString(sim_.ShareUrl("stream")));
    QTest::mouseClick(parse, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(parse->isEnabled(), 30000);
    QVERIFY(startedBeforeTheLastLink);
    QCOMPARE(rowsMeanwhile, 3);
    QCOMPARE(linksMeanwhile, QList<bool>({true, true, false}));
    QVERIFY2(statusMeanwhile.endsWith(QStringLiteral("已加入下载：3个文件")),
             qPrintable(statusMeanwhile));
    QCOMPARE(RowCount(results), 3);
    QTRY_VERIFY_WITH_TIMEOUT(onDisk("1.bin", 3001, 1000) && onDisk("3.bin", 3003, 3000), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(RowCount(window_->downloadsTab()->list()), 0, 10000);
    // One link request at a time, the share's own first, then the fresh one.
    std::vector<std::string> asked;
    for (const auto& r : sim_.RequestsTo("/api/sharedownload"))
      asked.push_back(r.body.substr(r.body.find("fid_list=")));
    QCOMPARE(asked, (std::vector<std::string>{"fid_list=%5B3001%5D", "fid_list=%5B3002%5D",
                                              "fid_list=%5B3003%5D", "fid_list=%5B3003%5D",
                                              "fid_list=%5B3001%5D"}));
    window_->close();
  }

  // A share's file started on its own whose link is refused for good asks the share again when
  // retried: the
  // server was down, so even its renewed link failed; once it is back and the old links have
  // expired, 重试 finishes the file.
  void aRetryAsksTheShareForAFreshLink() {
    QFile::remove(ProgramDir() + "/Tavrin.ini");
    QVERIFY2(Start(), state_->engineError.c_str());
    sf::app::DownloadsTab* tab = window_->downloadsTab();
    QString dir = ProgramDir() + "/retry";
    tab->saveDirectory()->setText(dir);
    QVERIFY(ParsePasted(*window_, Pasted()));
    sim_.SetFileHost("http://127.0.0.1:1");  // nothing listens there
    sim_.ExpireLinks();
    ChooseResult(*window_, "kept.bin", "开始下载");
    auto* list = tab->list();
    QCOMPARE(RowCount(list), 1);
    // Failed for good: the 403 of the expired link was renewed to a link nobody answers.
    QTRY_COMPARE_WITH_TIMEOUT(tab->queue()->Items().at(0).failureCode, int32_t{ECONNREFUSED},
                              30000);
    QCOMPARE(tab->queue()->Items().at(0).status, sf::DownloadStatus::kFailed);
    sim_.SetFileHost("");
    sim_.ExpireLinks();
    sim_.ClearRequests();
    QVERIFY(sf::test::ChooseForRows(tab, {0}, "重试"));
    QTRY_COMPARE_WITH_TIMEOUT(RowCount(list), 0, 20000);
    QCOMPARE(sf::sim::Sha256Hex(ReadFile(dir + "/kept.bin")),
             sf::sim::FileSha256Hex(kKeptId, kKeptSize));
    window_->close();
  }

  // A share's file left unfinished is remembered with its share and code; restarted from the
  // unfinished list after its link expired, it gets a fresh one from the share and finishes.
  void aRememberedShareFileFinishesAfterItsLinkExpired() {
    QFile::remove(ProgramDir() + "/Tavrin.ini");
    sim_.SetDownloadOverride(sf::sim::DownloadQuirks{32 << 10, false, 0});
    QProcess first;
    first.setProcessChannelMode(QProcess::ForwardedChannels);
    first.start(
        QCoreApplication::applicationFilePath(),
        {"--share-first-run", ProgramDir(), QString::fromStdString(sim_.Url("")), Pasted()});
    QVERIFY(first.waitForFinished(60000));
    QCOMPARE(first.exitCode(), 0);
    sim_.SetDownloadOverride(std::nullopt);

    QString settings = ProgramDir() + "/Tavrin.ini";
    auto saved = sf::LoadUnfinished(settings.toStdString());
    QCOMPARE(saved.size(), size_t{1});
    QCOMPARE(saved[0].fileName, std::string("kept.bin"));
    QCOMPARE(saved[0].shareUrl, sim_.ShareUrl("kept"));
    QCOMPARE(saved[0].shareCode, std::string("ab12"));
    QCOMPARE(saved[0].shareFile, std::to_string(kKeptId));
    QVERIFY(ReadFile(settings).find(sf::Utf8ToGbk("提取码1=ab12\r\n")) != std::string::npos);
    QString target = SaveDir() + "/kept.bin";
    QVERIFY(QFile::exists(target + ".sfpart"));

    sim_.ExpireLinks();
    sim_.ClearRequests();
    QVERIFY2(Start(), state_->engineError.c_str());
    RunFirstUnfinishedRow();
    if (QTest::currentTestFailed()) return;
    QCOMPARE(sf::sim::Sha256Hex(ReadFile(target)), sf::sim::FileSha256Hex(kKeptId, kKeptSize));
    // The expired link was refused, and the share gave a fresh one.
    bool refused = false, asked = false;
    for (const auto& r : sim_.Requests()) {
      refused = refused || (r.Path().find("/kept.bin") != std::string::npos && r.status == 403);
      asked = asked || r.Path().find("/api/sharedownload") != std::string::npos;
    }
    QVERIFY(refused);
    QVERIFY(asked);
    window_->close();
  }

  // A share's five files closed while three ran and two never started: all five are
  // remembered, a run that starts none of them keeps them, and the next one, with one started
  // and then all of them chosen at once, asks for each file and finishes it whole.
  void aShareClosedHalfStartedFinishesEveryFileInTheNextRun() {
    QFile::remove(ProgramDir() + "/Tavrin.ini");
    sim_.SetDownloadOverride(sf::sim::DownloadQuirks{16 << 10, false, 0});
    QProcess first;
    first.setProcessChannelMode(QProcess::ForwardedChannels);
    first.start(QCoreApplication::applicationFilePath(),
                {"--five-first-run", ProgramDir(), QString::fromStdString(sim_.Url("")),
                 QString::fromStdString(sim_.ShareUrl("five"))});
    QVERIFY(first.waitForFinished(60000));
    QCOMPARE(first.exitCode(), 0);
    sim_.SetDownloadOverride(std::nullopt);

    const std::string settings = (ProgramDir() + "/Tavrin.ini").toStdString();
    auto saved = sf::LoadUnfinished(settings);
    QCOMPARE(saved.size(), size_t{5});
    int neverStarted = 0;
    for (const auto& row : saved)
      neverStarted += sf::HasPartialFiles(row.saveDirectory, row.fileName) ? 0 : 1;
    QVERIFY2(neverStarted >= 2, qPrintable(QString::number(neverStarted)));

    // A run that starts nothing leaves them as they were.
    const std::string before = ReadFile(settings);
    QVERIFY2(Start(), state_->engineError.c_str());
    window_->close();
    QCOMPARE(ReadFile(settings), before);

    QVERIFY2(Start(), state_->engineError.c_str());
    ShowPage(3);
    QCOMPARE(RowCount(Unfinished()), 5);
    // One first, on its own; then all of them, that one among them.
    QTRY_VERIFY(!RowRect(Unfinished(), 2).isEmpty());
    DoubleClickRow(Unfinished(), 2);
    QCOMPARE(window_->downloadsTab()->queue()->Items().size(), size_t{1});
    Unfinished()->selectAll();
    Find<QAction>(window_->unfinishedTab()->menu(), "继续下载")->trigger();
    QCOMPARE(window_->downloadsTab()->queue()->Items().size(), size_t{5});
    QTRY_COMPARE_WITH_TIMEOUT(RowCount(Downloads()), 0, 60000);
    for (int i = 1; i <= 5; ++i) {
      QString file = SaveDir() + QStringLiteral("/f%1.bin").arg(i);
      QVERIFY2(!QFile::exists(file + ".sfpart"), qPrintable(file));
      QCOMPARE(sf::sim::Sha256Hex(ReadFile(file)),
               sf::sim::FileSha256Hex(4000 + static_cast<uint64_t>(i), 1048576 + i));
    }
    // Every one finished: nothing is left to remember.
    window_->close();
    QVERIFY(!QFile::exists(QString::fromStdString(settings)));
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc == 5 && std::string(argv[1]) == "--first-run")
    return FirstRun(QString::fromLocal8Bit(argv[2]), argv[3], argv[4]);
  if (argc == 5 && std::string(argv[1]) == "--five-first-run")
    return FiveFirstRun(QString::fromLocal8Bit(argv[2]), argv[3], argv[4]);
  if (argc == 5 && std::string(argv[1]) == "--share-first-run")
    return ShareFirstRun(QString::fromLocal8Bit(argv[2]), argv[3], QString::fromLocal8Bit(argv[4]));
  DownloadsEndToEndTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "downloads_end_to_end_test.moc"
