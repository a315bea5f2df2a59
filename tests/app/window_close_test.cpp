// The window never waits on the network: while a parse of either tab waits on a server that
// never answers, the window keeps handling events, and closing it gives the parse up at once
// (its connection dropped, its worker joined), also when the parse waits on a prompt.
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <future>

#include "app/main_window.h"
#include "app/picture_box.h"
#include "app/quick_tab.h"
#include "app/resolve_tab.h"
#include "gui_test_support.h"
#include "share_simulator.h"
#include "silent_server.h"
#include "wait_until.h"

using sf::test::Find;
using sf::test::RowCount;

class WindowCloseTest : public QObject, sf::test::WindowHarness {
  Q_OBJECT

 private:
  sf::test::SilentServer silent_;

  void Open(const std::string& host) {
    NewState(host);
    WindowHarness::Open();
  }
  QTabWidget* Tabs() { return Find<QTabWidget>(window_.get(), "选择夹1"); }

  // Closes the window while the server holds the parse's one connection. A watcher off the
  // window's thread waits, with a deadline far below any time-out, for the server to see that
  // connection dropped; a close that waited for the time-out would leave it waiting in vain.
  bool CloseGivesUpTheRequest() {
    if (!QTest::qWaitFor([this] { return silent_.held() == 1; }, 10000)) return false;
    auto dropped = std::async(std::launch::async, [this] {
      return sf::test::WaitUntil([this] { return silent_.held() == 0; });
    });
    window_->close();
    return dropped.get();
  }

 private slots:
  void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

  void init() { NewProgramDirectory(); }

  void cleanup() { window_.reset(); }

  void theQuickTabKeepsTheWindowResponsiveAndEndsWithIt() {
    Open(silent_.Url(""));
    sf::app::QuickTab* quick = window_->quickTab();
    Tabs()->setCurrentWidget(quick);
    quick->url()->setText(QString::fromStdString(silent_.Url("/s/1hung")));
    QTest::mouseClick(quick->parseButton(), Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([this] { return silent_.held() == 1; }, 10000));

    // Another control's queued event is handled while the request waits, and a click on the
    // captcha picture starts no second run.
    QMetaObject::invokeMethod(
        Tabs(), [this] { Tabs()->setCurrentIndex(2); }, Qt::QueuedConnection);
    QTRY_COMPARE_WITH_TIMEOUT(Tabs()->currentIndex(), 2, 10000);
    QTest::mouseClick(Find<sf::app::PictureBox>(quick, "图片框1"), Qt::LeftButton);
    QVERIFY(quick->running());
    QVERIFY(!quick->parseButton()->isEnabled());
    QCOMPARE(silent_.held(), 1);

    QVERIFY(CloseGivesUpTheRequest());
    QVERIFY(!quick->running());       // its worker is joined
    QCOMPARE(silent_.accepted(), 1);  // the requests after the given-up one never connected
  }

  void theResolveTabsParseEndsWithTheWindow() {
    Open(silent_.Url(""));
    sf::app::ResolveTab* resolve = window_->resolveTab();
    resolve->SetUrl(QString::fromStdString(silent_.Url("/s/1hung")));
    QTest::mouseClick(Find<QPushButton>(resolve, "按钮1"), Qt::LeftButton);
    QVERIFY(CloseGivesUpTheRequest());
    QVERIFY(!resolve->parsing());
    // Nothing the given-up parse would show reaches the closed window.
    QCOMPARE(RowCount(Find<QTreeView>(window_.get(), "超级列表框1")), 0);
  }

  void aPromptOpenWhenTheWindowClosesEndsThePromptAndTheParse() {
    sf::sim::ShareSimulator sim;
    QVERIFY2(sim.StartFromText(R"({"shares": [{"id": "locked", "password": "ab12",
      "items": [{"name": "secret.zip", "size": 77}]}]})"),
             sim.error().c_str());
    Open(sim.Url(""));
    QString prompt;
    sf::test::WhenModal([&](QWidget* dialog) {
      prompt = dialog->windowTitle();
      window_->close();  // with the dialog still open and the worker waiting for its answer
    });
    window_->resolveTab()->SetUrl(QString::fromStdString(sim.ShareUrl("locked")));
    QTest::mouseClick(Find<QPushButton>(window_->resolveTab(), "按钮1"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(prompt, QStringLiteral("请输入提取密码"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!QApplication::activeModalWidget(), 10000);
    QVERIFY(!window_->isVisible());
    QVERIFY(!window_->resolveTab()->parsing());
  }

  // A settings file the window cannot read whole, here one saved in UTF-8 with the remote
  // downloader's secret, outlives a close that changed nothing, byte for byte.
  void aSettingsFileNotReadWholeOutlivesTheClose() {
    const QByteArray utf8("[远程下载器]\r\n地址=http://127.0.0.1:6800/jsonrpc\r\n密钥=s3cret\r\n");
    QFile file(ProgramDir() + QStringLiteral("/Tavrin.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(utf8);
    file.close();
    Open(silent_.Url(""));
    window_->close();
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), utf8);
    file.close();
    file.remove();
  }
};

QTEST_MAIN(WindowCloseTest)
#include "window_close_test.moc"
