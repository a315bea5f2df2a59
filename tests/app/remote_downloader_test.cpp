// The real main window handing files to a real aria2 and following them there, and the
// remote downloader's settings, against the local share service.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "app/downloads_tab.h"
#include "app/remote_dialog.h"
#include "app/resolve_tab.h"
#include "aria2_daemon.h"
#include "gui_test_support.h"
#include "net/json_rpc.h"

using sf::test::ChooseForRows;
using sf::test::Find;
using sf::test::RowCount;
using sf::test::RowData;
using sf::test::RowText;
using sf::test::SelectRow;

class RemoteDownloaderTest : public sf::test::WindowSuite {
  Q_OBJECT

 public:
  RemoteDownloaderTest()
      : WindowSuite(R"({"shares": [
      {"id": "tree", "items": [{"name": "top.txt", "size": 1},
        {"name": "资料", "children": [{"name": "a.bin", "size": 2},
          {"name": "sub", "children": [{"name": "deep.bin", "size": 3, "staleLinks": 1}]}]},
        {"name": "other", "children": [{"name": "b.bin", "size": 4}]}]},
      {"id": "remote", "items": [{"name": "ok.bin", "size": 5},
        {"name": "renewed.bin", "size": 6, "staleLinks": 1},
        {"name": "refused.bin", "size": 7, "staleLinks": 2}]},
      {"id": "remoteSlow", "download": {"rate": 100000},
        "items": [{"name": "slow.bin", "size": 250000}]}
    ]})") {}

 private slots:
  // 发送到远程下载器 takes the selection as 下载所选 does, a folder row for its subtree, and
  // hands it to a real aria2 on a worker; without an address it asks for one first, and what
  // could not be handed over is listed with the cause.
  void sendToRemoteOnAFolderRow() {
    StartParse("tree");
    WaitForParseEnd();
    QCOMPARE(RowText(Results(), 2, 1), QStringLiteral("other"));
    Results()->clearSelection();
    SelectRow(Results(), 0);
    SelectRow(Results(), 2);
    auto* send = Find<QAction>(window_.get(), "发送到远程下载器");
    send->trigger();
    auto* dialog = Find<sf::app::RemoteDialog>(window_.get(), "远程下载器设置");
    QVERIFY(dialog != nullptr);
    QTRY_VERIFY(dialog->isVisible());
    dialog->reject();

    QString dir = ProgramDir() + QStringLiteral("/aria2");
    QVERIFY(QDir().mkpath(dir));
    auto aria2 = std::make_unique<sf::test::Aria2Daemon>(dir.toStdString(), "s3cret");
    QVERIFY2(aria2->running(), aria2->error().c_str());
    state_->remote = {aria2->Endpoint(), "s3cret"};
    send->trigger();
    QVERIFY(window_->resolveTab()->sending());
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("已发送到远程下载器：2个文件"), 20000);
    auto whole = [&](const QString& relative, qint64 size) {
      QFileInfo file(dir + "/" + relative);
      return file.exists() && file.size() == size && !QFile::exists(file.filePath() + ".aria2");
    };
    QTRY_VERIFY_WITH_TIMEOUT(whole("top.txt", 1) && whole("other/b.bin", 4), 30000);

    aria2.reset();
    send->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(Find<QMessageBox>(window_.get(), "发送结果") != nullptr, 20000);
    auto* box = Find<QMessageBox>(window_.get(), "发送结果");
    QCOMPARE(box->text(), QStringLiteral("以下文件没有交给远程下载器：\n\ntop.txt\nother/b.bin\n\n"
                                         "原因：无法连接远程下载器"));
    QCOMPARE(Status(), QStringLiteral("发送到远程下载器：0个已发送，2个未发送"));
    box->accept();
  }

  // The files handed over are followed there: a refused link is renewed through the parse and
  // handed back, a link refused again fails its file, whose row stays on the downloads tab,
  // marked as the remote downloader's; the files that completed left the list.
  void filesSentToTheRemoteDownloaderAreFollowedOnTheDownloadsTab() {
    StartParse("remote");
    WaitForParseEnd();
    auto linkRequests = [&] { return int(sim_.CountRequests("/api/sharedownload")); };
    const int resolved = linkRequests();
    Results()->selectAll();
    QString dir = ProgramDir() + QStringLiteral("/aria2-follow");
    QVERIFY(QDir().mkpath(dir));
    sf::test::Aria2Daemon aria2(dir.toStdString(), "s3cret");
    QVERIFY2(aria2.running(), aria2.error().c_str());
    state_->remote = {aria2.Endpoint(), "s3cret"};
    Find<QAction>(window_.get(), "发送到远程下载器")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("已发送到远程下载器：3个文件"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->resolveTab()->following(), 30000);

    auto whole = [&](const char* name, qint64 size) {
      QFileInfo file(dir + "/" + name);
      return file.exists() && file.size() == size && !QFile::exists(file.filePath() + ".aria2");
    };
    QVERIFY(whole("ok.bin", 5));
    QVERIFY(whole("renewed.bin", 6));
    QCOMPARE(RowCount(Downloads()), 1);
    QCOMPARE(RowText(Downloads(), 0, 0), QStringLiteral("refused.bin"));
    QCOMPARE(RowText(Downloads(), 0, 3), QStringLiteral("失败"));
    QCOMPARE(RowText(Downloads(), 0, 4), QStringLiteral("HTTP 403, with a fresh link too"));
    const QString tip = RowData(Downloads(), 0, 3, Qt::ToolTipRole).toString();
    QVERIFY2(tip.startsWith(QStringLiteral("远程：") + QString::fromStdString(aria2.Endpoint())),
             qPrintable(tip));
    // Each refused link was asked for once more, through the parse.
    QCOMPARE(linkRequests() - resolved, 2);
    // Its id comes from the one source every row's comes from.
    QVERIFY(RowData(Downloads(), 0, 0, Qt::UserRole).toInt() > 0);
    // The overall bar weighs the remote rows, the two complete ones whole: 11 of 18 bytes.
    QCOMPARE(window_->downloadsTab()->progress()->value(), 61);
    // The remote row is no download of ours to pause or to take its file; once it failed, the
    // user lets it go (its file there stays), and the bar starts afresh.
    QVERIFY(!ChooseForRows(window_->downloadsTab(), {0}, "暂停"));
    QVERIFY(!ChooseForRows(window_->downloadsTab(), {0}, "删除任务和文件"));
    QVERIFY(ChooseForRows(window_->downloadsTab(), {0}, "删除任务"));
    QCOMPARE(RowCount(Downloads()), 0);
    QCOMPARE(window_->downloadsTab()->progress()->value(), 0);

    // Sent again: the files aria2 holds whole are not added a second time; the failed one goes
    // back to it, is renewed again (a new hand-off, a new hour) and completes.
    Find<QAction>(window_.get(), "发送到远程下载器")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("已发送到远程下载器：3个文件"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->resolveTab()->following(), 30000);
    QVERIFY(whole("refused.bin", 7));
    QCOMPARE(QDir(dir).entryList(QDir::Files, QDir::Name),
             QStringList({"ok.bin", "refused.bin", "renewed.bin"}));
    QCOMPARE(RowCount(Downloads()), 0);
  }

  // Closing the window stops the following, not the download: aria2 goes on and finishes it.
  void closingTheWindowLeavesTheRemoteDownloadRunning() {
    StartParse("remoteSlow");
    WaitForParseEnd();
    Results()->selectAll();
    QString dir = ProgramDir() + QStringLiteral("/aria2-close");
    QVERIFY(QDir().mkpath(dir));
    sf::test::Aria2Daemon aria2(dir.toStdString(), "s3cret");
    QVERIFY2(aria2.running(), aria2.error().c_str());
    state_->remote = {aria2.Endpoint(), "s3cret"};
    Find<QAction>(window_.get(), "发送到远程下载器")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(RowCount(Downloads()) == 1, 20000);
    QVERIFY(window_->resolveTab()->following());
    window_->close();
    QVERIFY(!window_->resolveTab()->following());
    window_.reset();

    sf::JsonRpcClient client(aria2.Endpoint());
    auto finished = [&] {
      sf::RpcReply r = client.Call("aria2.tellStopped", {"token:s3cret", 0, 10, {"status"}});
      return r.ok() && r.result.size() == 1 && r.result[0]["status"] == "complete";
    };
    QTRY_VERIFY_WITH_TIMEOUT(finished(), 20000);
    QCOMPARE(QFileInfo(dir + "/slow.bin").size(), qint64{250000});
  }

  // The status bar's menu also opens the remote downloader's settings. Its connection test
  // talks to a real aria2 without holding up the window; what is confirmed is saved at once,
  // readable by the user only, and survives a close that leaves no downloads.
  void theRemoteDownloaderIsTestedAndKept() {
    QString dir = ProgramDir() + QStringLiteral("/aria2");
    QVERIFY(QDir().mkpath(dir));
    sf::test::Aria2Daemon aria2(dir.toStdString(), "s3cret");
    QVERIFY2(aria2.running(), aria2.error().c_str());

    Find<QAction>(window_.get(), "远程下载器设置")->trigger();
    auto* dialog = Find<sf::app::RemoteDialog>(window_.get(), "远程下载器设置");
    QVERIFY(dialog != nullptr);
    QTRY_VERIFY(dialog->isVisible());
    QCOMPARE(dialog->secret()->echoMode(), QLineEdit::Password);
    dialog->address()->setText(QString::fromStdString(aria2.Endpoint()));
    dialog->secret()->setText(QStringLiteral("wrong"));
    QTest::mouseClick(dialog->testButton(), Qt::LeftButton);
    QVERIFY(!dialog->testButton()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(dialog->testButton()->isEnabled(), 20000);
    QCOMPARE(dialog->result()->text(), QStringLiteral("连接失败：密钥不对（Unauthorized）"));
    dialog->secret()->setText(QStringLiteral("s3cret"));
    QTest::mouseClick(dialog->testButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(dialog->testButton()->isEnabled(), 20000);
    QVERIFY2(dialog->result()->text().startsWith(QStringLiteral("连接成功：aria2 1.")),
             qPrintable(dialog->result()->text()));
    QPointer<sf::app::RemoteDialog> closed(dialog);
    dialog->accept();
    QTRY_VERIFY(closed.isNull());

    const QString file = QString::fromStdString(state_->settings.beside);
    QCOMPARE(QFile::permissions(file) & ~(QFile::ReadUser | QFile::WriteUser),
             QFile::ReadOwner | QFile::WriteOwner);
    // The next run, after a close with nothing to download, has them again.
    window_->close();
    window_.reset();
    state_->remote = {};
    Open();
    QCOMPARE(state_->remote, (sf::RemoteSettings{aria2.Endpoint(), "s3cret"}));
  }
};

QTEST_MAIN(RemoteDownloaderTest)
#include "remote_downloader_test.moc"
