// The two prompt dialogs on their own: trimming, the automatic confirm, the erase on click,
// the refused empty answer and the captcha fetch.
#include "app/prompt_dialogs.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/picture_box.h"
#include "base/encoding.h"
#include "gui_test_support.h"
#include "share/share_session.h"
#include "share_simulator.h"
#include "silent_server.h"

using namespace sf::test;

class PromptDialogsTest : public QObject {
  Q_OBJECT

 private:
  sf::sim::ShareSimulator sim_;

 private slots:
  void initTestCase() {
    QVERIFY(sim_.StartFromText(R"({"captchaFormat": "png", "shares": [{"id": "x"}]})"));
  }

  void passwordIsTrimmedOfBothKindsOfSpace() {
    sf::app::PasswordDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("请输入提取密码"));
    QCOMPARE(dialog.size(), QSize(225, 89));
    dialog.show();
    Find<QLineEdit>(&dialog, "编辑框_提取密码")->setText(QStringLiteral("\u3000 ab12 \u3000"));
    QTest::mouseClick(Find<QPushButton>(&dialog, "按钮1"), Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.answer(), std::string("ab12"));
  }

  void anAnswerOfSpacesIsRefusedWithAMessage() {
    sf::app::PasswordDialog dialog;
    dialog.show();
    Find<QLineEdit>(&dialog, "编辑框_提取密码")->setText(QStringLiteral(" \u3000 "));
    QString message;
    WhenModal([&](QWidget* box) {
      message = static_cast<QMessageBox*>(box)->text();
      static_cast<QMessageBox*>(box)->accept();
    });
    QTest::mouseClick(Find<QPushButton>(&dialog, "按钮1"), Qt::LeftButton);
    QCOMPARE(message, QStringLiteral("请输入提取密码!"));
    QVERIFY(dialog.isVisible());
    QVERIFY(dialog.answer().empty());
  }

  void aClickIntoThePasswordBoxErasesIt() {
    sf::app::PasswordDialog dialog;
    dialog.show();
    auto* edit = Find<QLineEdit>(&dialog, "编辑框_提取密码");
    edit->setText("typed");
    QTest::mouseClick(edit, Qt::LeftButton);
    QCOMPARE(edit->text(), QString());
  }

  void theCaptchaDialogShowsThePictureAndConfirmsOnTheFourthByte() {
    sf::ShareSession session(sim_.Url(""));
    sf::app::CaptchaDialog dialog(session, -20);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("请输入验证码"));
    QCOMPARE(dialog.size(), QSize(351, 89));
    dialog.show();
    auto* picture = Find<sf::app::PictureBox>(&dialog, "图片框_验证码");
    QTRY_VERIFY(!picture->pixmap().isNull());
    std::string firstToken = session.vcodeStr();
    QVERIFY(!firstToken.empty());
    QTest::mouseClick(picture, Qt::LeftButton);  // a click fetches a new captcha
    QTRY_VERIFY(session.vcodeStr() != firstToken);

    auto* edit = Find<QLineEdit>(&dialog, "编辑框_验证码");
    QTest::keyClicks(edit, "abc");
    QVERIFY(dialog.isVisible());
    QTest::keyClicks(edit, "d");
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.answer(), std::string("abcd"));
  }

  void twoChineseCharactersAreFourBytesButFivePastedWaitForTheButton() {
    sf::ShareSession session(sim_.Url(""));
    {
      sf::app::CaptchaDialog dialog(session, -20);
      dialog.show();
      Find<QLineEdit>(&dialog, "编辑框_验证码")->setText(QStringLiteral("验证"));
      QVERIFY(!dialog.isVisible());
      QCOMPARE(dialog.answer(), sf::Utf8ToGbk("验证"));
    }
    sf::app::CaptchaDialog dialog(session, -20);
    dialog.show();
    Find<QLineEdit>(&dialog, "编辑框_验证码")->setText("abcde");
    QVERIFY(dialog.isVisible());
    QTest::mouseClick(Find<QPushButton>(&dialog, "按钮1"), Qt::LeftButton);
    QCOMPARE(dialog.answer(), std::string("abcde"));
  }

  void aFailedFetchIsReportedAndTheDialogStays() {
    sf::ShareSession session("http://127.0.0.1:9");  // nothing listens there
    sf::app::CaptchaDialog dialog(session, -999);    // a reason the service never asks with
    QString title, text;
    WhenModal([&](QWidget* box) {
      title = box->windowTitle();
      text = static_cast<QMessageBox*>(box)->text();
      static_cast<QMessageBox*>(box)->accept();
    });
    dialog.show();
    QTRY_COMPARE(title, QStringLiteral("验证码获取失败"));
    QCOMPARE(text, QStringLiteral("自定义错误代码,常量设置不正确"));
    QVERIFY(dialog.isVisible());
    QVERIFY(Find<sf::app::PictureBox>(&dialog, "图片框_验证码")->pixmap().isNull());
  }

  void aHungCaptchaHostNeitherFreezesTheWindowNorHoldsTheDialog() {
    sf::test::SilentServer silent;
    sf::ShareSession session(silent.Url(""));
    {
      sf::app::CaptchaDialog dialog(session, -20);
      dialog.show();
      QTRY_COMPARE(silent.held(), 1);  // the picture is on its way, and stays so
      bool handled = false;
      QTimer::singleShot(0, [&] { handled = true; });
      QTRY_VERIFY(handled);
      QVERIFY(dialog.loading());
      dialog.reject();
    }
    QTRY_COMPARE(silent.held(), 0);  // closing gave the fetch up
    QVERIFY(session.vcodeStr().empty());
  }
};

QTEST_MAIN(PromptDialogsTest)
#include "prompt_dialogs_test.moc"
