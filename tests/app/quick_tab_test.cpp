// The second tab of the real main window against the local share service: a parse, a
// captcha shown and answered inside the tab, and clicks that arrive while a run is going on.
#include "app/quick_tab.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include "app/main_window.h"
#include "app/picture_box.h"
#include "gui_test_support.h"
#include "share/share_session.h"
#include "share_simulator.h"

using sf::test::Find;

class QuickTabTest : public QObject, sf::test::WindowHarness {
  Q_OBJECT

 private:
  QWidget* Tab() { return window_->quickTab(); }
  QLineEdit* Edit(const char* name) { return Find<QLineEdit>(Tab(), name); }
  QPushButton* Button(const char* name) { return Find<QPushButton>(Tab(), name); }
  sf::app::PictureBox* Picture() { return Find<sf::app::PictureBox>(Tab(), "图片框1"); }
  QString Output() { return Find<QPlainTextEdit>(Tab(), "编辑框_输出")->toPlainText(); }

  void StartParse(const std::string& url, const QString& password = {}) {
    Edit("编辑框_URL1")->setText(QString::fromStdString(url));
    Edit("编辑框_密码")->setText(password);
    QTest::mouseClick(Button("解析2"), Qt::LeftButton);
  }
  // The run goes on on its worker; everything it shows is in the tab once it has ended.
  bool RunEnded() {
    return QTest::qWaitFor([this] { return !window_->quickTab()->running(); }, 20000);
  }
  bool Parse(const std::string& url, const QString& password = {}) {
    StartParse(url, password);
    return RunEnded();
  }
  bool Click(QWidget* target) {
    QTest::mouseClick(target, Qt::LeftButton);
    return RunEnded();
  }

 private slots:
  void initTestCase() {
    QVERIFY2(sim_.StartFromText(R"({"captchaFormat": "jpeg", "shares": [
      {"id": "pub", "items": [{"name": "说明.txt", "size": 12}, {"name": "b.bin", "size": 2}]},
      {"id": "locked", "password": "ab12", "items": [{"name": "secret.zip", "size": 77}]},
      {"id": "qcap", "items": [{"name": "first.bin", "size": 5, "captcha": true}]}
    ]})"),
             sim_.error().c_str());
  }

  void init() {
    sim_.ClearRequests();
    OpenFresh();
    Find<QTabWidget>(window_.get(), "选择夹1")->setCurrentIndex(1);
  }

  void cleanup() { window_.reset(); }

  void aPublicShareGivesItsFirstLink() {
    QVERIFY(Parse(sim_.ShareUrl("pub")));
    QCOMPARE(Status(), QStringLiteral("无需输入分享密码"));
    QVERIFY2(Output().startsWith(QString::fromStdString(sim_.Url("/file/"))), qPrintable(Output()));
    QVERIFY(!Output().contains('\\'));
    QVERIFY(!Output().contains("&dp-l"));
    QVERIFY(Picture()->pixmap().isNull());
    QVERIFY(Button("解析2")->isEnabled());
  }

  void aProtectedShareNeedsItsPassword() {
    QVERIFY(Parse(sim_.InitUrl("locked"), "nope"));
    QCOMPARE(Status(), QStringLiteral("分享密码错误，请检查后重新解析"));
    QCOMPARE(Output(), QString());
    QCOMPARE(sim_.CountRequests("/api/sharedownload"),
             size_t{0});  // a wrong password ends the parse

    QVERIFY(Parse(sim_.InitUrl("locked"), "ab12"));
    QCOMPARE(Status(), QStringLiteral("需要输入分享密码"));
    QVERIFY2(Output().contains("/secret.zip?"), qPrintable(Output()));
    QCOMPARE(sim_.CountRequests("/share/verify"), size_t{2});
  }

  // What users paste reaches both boxes: the link into its box, the code into the password
  // box, whichever of the two the text was pasted into.
  void pastedTextFillsTheLinkAndPasswordBoxes() {
    QApplication::clipboard()->setText(QStringLiteral("提取码：ab12"));
    Edit("编辑框_密码")->setFocus();
    QTest::keyClick(Edit("编辑框_密码"), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(Edit("编辑框_密码")->text(), QStringLiteral("ab12"));
    QCOMPARE(Status(), QStringLiteral("已识别提取码"));

    Edit("编辑框_密码")->clear();
    const std::string init = sim_.InitUrl("locked");
    QApplication::clipboard()->setText(QString::fromStdString("链接: " + init + " 密码: ab12"));
    QTest::keyClick(Edit("编辑框_密码"), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(Edit("编辑框_URL1")->text(), QString::fromStdString(init));
    QCOMPARE(Edit("编辑框_密码")->text(), QStringLiteral("ab12"));
    QVERIFY(Click(Button("解析2")));
    QVERIFY2(Output().contains("/secret.zip?"), qPrintable(Output()));
  }

  void aCaptchaIsAnsweredInTheTab() {
    QVERIFY(Parse(sim_.ShareUrl("qcap")));
    QCOMPARE(sim_.CountRequests("/api/getvcode"), size_t{1});
    QVERIFY(!Picture()->pixmap().isNull());
    QCOMPARE(Edit("编辑框_验证码")->text(), QString());
    QCOMPARE(Output(), QString());

    // A wrong answer through the button brings a fresh picture and empties the box.
    std::string first = sim_.LatestCaptchaToken();
    std::string answer = sim_.CaptchaAnswer(first).value_or("");
    QTest::keyClicks(Edit("编辑框_验证码"), answer == "ZZZZ" ? "YYYY" : "ZZZZ");
    QVERIFY(Click(Button("按钮_确定")));
    QCOMPARE(sim_.CountRequests("/api/getvcode"), size_t{2});
    QVERIFY(sim_.LatestCaptchaToken() != first);
    QCOMPARE(Edit("编辑框_验证码")->text(), QString());
    QCOMPARE(Output(), QString());

    // The right answer, sent by a click on the picture itself.
    QTest::keyClicks(Edit("编辑框_验证码"),
                     QString::fromStdString(sim_.LatestCaptchaAnswer().value_or("")));
    QVERIFY(Click(Picture()));
    QVERIFY2(Output().contains("/first.bin?"), qPrintable(Output()));
    QCOMPARE(sim_.CountRequests("/api/getvcode"), size_t{2});
    QCOMPARE(sim_.CountRequests("/api/sharedownload"), size_t{3});

    // A new parse takes the last one's picture and typed answer away.
    QVERIFY(Parse(sim_.ShareUrl("qcap")));
    QTest::keyClicks(Edit("编辑框_验证码"), "ABCD");
    QVERIFY(Parse(sim_.ShareUrl("pub")));
    QVERIFY(Picture()->pixmap().isNull());
    QCOMPARE(Edit("编辑框_验证码")->text(), QString());
  }

  void clicksWhileARunWaitsStartNothing() {
    StartParse(sim_.ShareUrl("pub"));
    // The run is on its worker until the window has handled its end, so these come meanwhile.
    bool buttonsGreyed = !Button("解析2")->isEnabled() && !Button("按钮_确定")->isEnabled();
    QTest::mouseClick(Picture(), Qt::LeftButton);
    QTest::mouseClick(Button("按钮_确定"), Qt::LeftButton);
    QTest::mouseClick(Button("解析2"), Qt::LeftButton);
    QVERIFY(RunEnded());
    QVERIFY(buttonsGreyed);
    QCOMPARE(static_cast<int>(sim_.Requests().size()), 4);
    QCOMPARE(sim_.CountRequests("/api/sharedownload"), size_t{1});
    QVERIFY(Output().contains(QString::fromUtf8("/%E8%AF%B4%E6%98%8E.txt?")));
    QVERIFY(Button("解析2")->isEnabled());
    QVERIFY(Button("按钮_确定")->isEnabled());
  }

  void submittingBeforeAnyParseAsksWithEmptyValues() {
    QVERIFY(Click(Button("按钮_确定")));
    auto reqs = sim_.Requests();
    QCOMPARE(static_cast<int>(reqs.size()), 1);
    QVERIFY(
        QString::fromStdString(reqs[0].target).startsWith("/api/sharedownload?sign=&timestamp=&"));
    QCOMPARE(Output(), QString());
  }
};

QTEST_MAIN(QuickTabTest)
#include "quick_tab_test.moc"
