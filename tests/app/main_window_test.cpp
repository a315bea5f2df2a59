// The real main window against the local share service, on the offscreen platform.
#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDialog>
#include <QDir>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <fstream>
#include <iterator>

#include "app/downloads_tab.h"
#include "app/picture_box.h"
#include "app/qt_text.h"
#include "app/remote_dialog.h"
#include "app/resolve_tab.h"
#include "app/unfinished_tab.h"
#include "aria2_daemon.h"
#include "base/encoding.h"
#include "base/profile_file.h"
#include "base/settings_file.h"
#include "base/version.h"
#include "download/download_manager.h"
#include "download/download_queue.h"
#include "engine_api/engine_api.h"
#include "gui_test_support.h"
#include "net/json_rpc.h"
#include "recording_engine.h"
#include "share/share_session.h"
#include "share_simulator.h"

using sf::test::Find;
using sf::test::WhenModal;

namespace {

std::string G(const char* utf8) {
  return sf::Utf8ToGbk(utf8);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  sf::sim::ShareSimulator sim_;
  std::unique_ptr<QTemporaryDir> programDir_;
  std::unique_ptr<sf::app::AppState> state_;
  sf::test::RecordingEngine* engine_ = nullptr;  // owned by state_
  std::unique_ptr<sf::app::MainWindow> window_;

  // A window over the same program directory, as the next run of the program.
  void Open() {
    window_ = std::make_unique<sf::app::MainWindow>(*state_);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }
  QTreeWidget* Downloads() { return Find<QTreeWidget>(window_.get(), "超级列表框2"); }
  QTreeWidget* Unfinished() { return Find<QTreeWidget>(window_.get(), "超级列表框3"); }
  QLineEdit* SaveDirectory() { return Find<QLineEdit>(window_.get(), "编辑框_保存目录"); }
  void ShowPage(int index) {
    auto* tabs = Find<QTabWidget>(window_.get(), "选择夹1");
    tabs->setCurrentIndex(index);
    QTRY_VERIFY(tabs->widget(index)->isVisible());
  }
  // As the platform delivers one: a click, then the second press as a double click.
  void DoubleClick(QTreeWidget* list, QPoint at) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
  }
  void DoubleClickRow(QTreeWidget* list, int row) {
    DoubleClick(list, list->visualItemRect(list->topLevelItem(row)).center());
  }
  // Answers the next message box with OK and gives its text.
  std::shared_ptr<QString> AnswerMessageBox() {
    auto text = std::make_shared<QString>();
    WhenModal([text](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      *text = box ? box->text() : QStringLiteral("not a message box: ") + modal->windowTitle();
      modal->close();
    });
    return text;
  }

  QTreeWidget* Results() { return Find<QTreeWidget>(window_.get(), "超级列表框1"); }
  QString Status() { return Find<QLabel>(window_.get(), "状态条1_1")->text(); }
  QPushButton* ParseButton() { return Find<QPushButton>(window_->resolveTab(), "按钮1"); }

  void StartParse(const char* shareId) {
    Find<QLineEdit>(window_.get(), "编辑框_URL")
        ->setText(QString::fromStdString(sim_.ShareUrl(shareId)));
    QTest::mouseClick(ParseButton(), Qt::LeftButton);
  }
  void WaitForParseEnd() { QTRY_VERIFY_WITH_TIMEOUT(ParseButton()->isEnabled(), 20000); }

 private slots:
  void initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
    QVERIFY2(sim_.StartFromText(R"({"captchaFormat": "jpeg", "shares": [
      {"id": "pub2", "items": [{"name": "a.txt", "size": 10}, {"name": "报告.pdf", "size": 2048}]},
      {"id": "bad", "items": [{"name": "a.txt", "size": 10, "linkFailure": "badGateway"}]},
      {"id": "locked", "password": "ab12", "items": [{"name": "secret.zip", "size": 77}]},
      {"id": "cap5", "linkCaptchaAt": 3, "items": [{"name": "1.bin", "size": 1}, {"name": "2.bin", "size": 2},
        {"name": "3.bin", "size": 3}, {"name": "4.bin", "size": 4}, {"name": "5.bin", "size": 5}]},
      {"id": "tree", "items": [{"name": "top.txt", "size": 1},
        {"name": "资料", "children": [{"name": "a.bin", "size": 2},
          {"name": "sub", "children": [{"name": "deep.bin", "size": 3, "staleLinks": 1}]}]},
        {"name": "other", "children": [{"name": "b.bin", "size": 4}]}]},
      {"id": "remote", "items": [{"name": "ok.bin", "size": 5},
        {"name": "renewed.bin", "size": 6, "staleLinks": 1},
        {"name": "refused.bin", "size": 7, "staleLinks": 2}]},
      {"id": "remoteSlow", "download": {"rate": 100000},
        "items": [{"name": "slow.bin", "size": 250000}]},
      {"id": "cut", "items": [{"name": "a.txt", "size": 1}, {"name": "坏", "listError": -7},
        {"name": "好", "children": [{"name": "in.txt", "size": 2}, {"name": "差", "listError": 2}]}]}
    ]})"),
             sim_.error().c_str());
  }

  void init() {
    programDir_ = std::make_unique<QTemporaryDir>();
    state_ = sf::test::TestAppState(sim_.Url(""), programDir_->path());
    engine_ = static_cast<sf::test::RecordingEngine*>(state_->engine.get());
    Open();
  }

  void cleanup() {
    if (window_) WaitForParseEnd();
    window_.reset();
  }

  void layoutHoldsPositionsAndCaptions() {
    QCOMPARE(window_->geometry(), QRect(50, 50, 498, 451));
    auto* tabs = Find<QTabWidget>(window_.get(), "选择夹1");
    QCOMPARE(tabs->geometry(), QRect(8, 8, 456, 368));
    QStringList pages;
    for (int i = 0; i < tabs->count(); ++i) pages << tabs->tabText(i);
    QCOMPARE(pages, QStringList({"第一种模式", "第二种模式", "正在下载", "未完成的下载"}));

    struct Control {
      const char* name;
      QRect rect;
      const char* caption;
      const char* container;  // "" for a page control, measured from the tab control
    };
    const Control controls[] = {
        {"透明标签1", {24, 24, 64, 32}, "网盘地址：", ""},
        {"编辑框_URL", {88, 31, 242, 20}, nullptr, ""},
        {"按钮1", {342, 30, 67, 23}, "解析", ""},
        {"超级列表框1", {24, 56, 440, 304}, nullptr, ""},
        {"透明标签7", {36, 20, 64, 32}, "网盘地址：", ""},
        {"编辑框_URL1", {100, 27, 242, 20}, nullptr, ""},
        {"解析2", {349, 26, 67, 23}, "解析", ""},
        {"模式2", {7, 48, 440, 312}, nullptr, ""},
        {"透明标签2", {16, 16, 64, 24}, "分享密码：", "模式2"},
        {"编辑框_密码", {73, 16, 72, 24}, nullptr, "模式2"},
        {"透明标签3", {146, 15, 56, 24}, "验证码：", "模式2"},
        {"编辑框_验证码", {190, 15, 120, 24}, nullptr, "模式2"},
        {"图片框1", {315, 8, 120, 48}, nullptr, "模式2"},
        {"透明标签4", {24, 76, 264, 64}, "无分享密码，不填即可", "模式2"},
        {"按钮_确定", {292, 88, 144, 32}, "有验证码点击此处解析", "模式2"},
        {"编辑框_输出", {0, 152, 440, 160}, nullptr, "模式2"},
        {"透明标签5", {8, 24, 56, 24}, "下载目录：", ""},
        {"编辑框_保存目录", {72, 24, 200, 24}, nullptr, ""},
        {"按钮2", {280, 24, 64, 24}, "选择目录", ""},
        {"选择框1", {352, 24, 16, 16}, "", ""},
        {"透明标签6", {371, 24, 32, 16}, "限速", ""},
        {"编辑框1", {396, 24, 32, 17}, nullptr, ""},
        {"透明标签8", {430, 24, 32, 16}, "/KB", ""},
        {"超级列表框2", {8, 48, 416, 280}, nullptr, ""},
        {"透明标签9", {56, 336, 56, 24}, "下载进度：", ""},
        {"进度条1", {119, 337, 285, 23}, nullptr, ""},
        {"超级列表框3", {16, 40, 432, 320}, nullptr, ""},
    };
    for (const Control& s : controls) {
      auto* w = Find<QWidget>(window_.get(), s.name);
      QVERIFY2(w, s.name);
      QWidget* container = *s.container ? Find<QWidget>(window_.get(), s.container) : tabs;
      // Pages are shown one at a time; show this control's page so it is laid out.
      for (QWidget* p = w; p; p = p->parentWidget())
        if (tabs->indexOf(p) >= 0) tabs->setCurrentWidget(p);
      QCOMPARE(QRect(w->mapTo(container, QPoint(0, 0)), w->size()), s.rect);
      if (!s.caption) continue;
      if (auto* label = qobject_cast<QLabel*>(w))
        QCOMPARE(label->text(), QString::fromUtf8(s.caption));
      if (auto* button = qobject_cast<QAbstractButton*>(w))
        QCOMPARE(button->text(), QString::fromUtf8(s.caption));
    }

    auto columns = [](QTreeWidget* list) {
      QStringList out;
      for (int i = 0; i < list->columnCount(); ++i)
        out << list->headerItem()->text(i) + ":" +
                   QString::number(list->isColumnHidden(i) ? 0 : list->columnWidth(i));
      return out;
    };
    QCOMPARE(columns(Results()),
             QStringList({"编号:50", "文件名:120", "文件大小:80", "下载地址:190"}));
    QCOMPARE(
        columns(Find<QTreeWidget>(window_.get(), "超级列表框2")),
        QStringList({"文件名:100", "文件总大小:80", "已下载:80", "下载速度:70", "下载进度:70"}));
    QCOMPARE(columns(Find<QTreeWidget>(window_.get(), "超级列表框3")),
             QStringList({"文件名:120", "下载地址:70", "保存目录:520"}));
    auto* downloads = Find<QTreeWidget>(window_.get(), "超级列表框2");
    QCOMPARE(downloads->header()->length(), 100 + 80 + 80 + 70 + 70);

    auto* bar = Find<QStatusBar>(window_.get(), "状态条1");
    QCOMPARE(bar->height(), 20);
    QCOMPARE(bar->geometry().bottom(), window_->height() - 1);
    auto* part0 = Find<QLabel>(window_.get(), "状态条1_0");
    QCOMPARE(part0->text(), QStringLiteral("状态："));
    QCOMPARE(part0->width(), 35);

    auto* menu = Find<QMenu>(window_.get(), "菜单");
    QStringList items;
    for (QAction* a : menu->actions()) items << a->text();
    QCOMPARE(items,
             QStringList({"复制链接", "开始下载", "下载所选", "全部下载", "发送到远程下载器"}));
  }

  void controlsKeepTheirStateAcrossTabs() {
    auto* tabs = Find<QTabWidget>(window_.get(), "选择夹1");
    Find<QLineEdit>(window_.get(), "编辑框_URL")->setText("http://x/s/1");
    Find<QLineEdit>(window_.get(), "编辑框_密码")->setText("pw");
    tabs->setCurrentIndex(2);
    tabs->setCurrentIndex(1);
    tabs->setCurrentIndex(0);
    QCOMPARE(Find<QLineEdit>(window_.get(), "编辑框_URL")->text(), QStringLiteral("http://x/s/1"));
    QCOMPARE(Find<QLineEdit>(window_.get(), "编辑框_密码")->text(), QStringLiteral("pw"));
  }

  void aPublicShareOfTwoFiles() {
    StartParse("pub2");
    QVERIFY(!ParseButton()->isEnabled());
    QTest::mouseClick(ParseButton(), Qt::LeftButton);  // a press while a parse runs does nothing
    WaitForParseEnd();
    QCOMPARE(Results()->topLevelItemCount(), 2);
    QCOMPARE(Status(), QStringLiteral("解析结果：成功"));
    QCOMPARE(Results()->headerItem()->text(1), QStringLiteral("文件名 2个文件"));
    QCOMPARE(Results()->topLevelItem(1)->text(0), QStringLiteral("2"));
    QCOMPARE(Results()->topLevelItem(1)->text(1), QStringLiteral("报告.pdf"));
    QCOMPARE(Results()->topLevelItem(1)->text(2), QStringLiteral("2048"));
    QVERIFY(
        Results()->topLevelItem(1)->text(3).startsWith(QString::fromStdString(sim_.Url("/file/"))));
    int pageFetches = 0;
    for (const auto& r : sim_.Requests())
      if (r.Path() == "/s/pub2") ++pageFetches;
    QCOMPARE(pageFetches, 1);

    // 复制链接 copies column 3 of the selected row.
    Results()->setCurrentItem(Results()->topLevelItem(0));
    Find<QAction>(window_.get(), "复制链接")->trigger();
    QCOMPARE(QApplication::clipboard()->text(), Results()->topLevelItem(0)->text(3));
  }

  // A proxy's error page for a link is no link: the status says why, the row has none.
  void aLinkAnswerThatIsAnErrorPageIsNoSuccess() {
    StartParse("bad");
    WaitForParseEnd();
    QCOMPARE(Status(), QStringLiteral("解析结果：自定义错误代码,JSON解析失败（502 Bad Gateway）"));
    QCOMPARE(Results()->topLevelItem(0)->text(3), QStringLiteral("用户主动放弃解析或解析失败"));
  }

  // Folders the service would not list: the rows found are listed, and the status bar keeps
  // the parse's own message and names the missing folders beside it.
  void aShareWithFoldersLeftOutSaysWhich() {
    StartParse("cut");
    WaitForParseEnd();
    QCOMPARE(Status(), QStringLiteral("解析结果：成功；2个文件夹未能完整列出：坏、好/差"));
    QCOMPARE(Results()->topLevelItemCount(), 5);
    QCOMPARE(Results()->topLevelItem(4)->text(1), QStringLiteral("in.txt"));
    QVERIFY(
        Results()->topLevelItem(4)->text(3).startsWith(QString::fromStdString(sim_.Url("/file/"))));
  }

  void aProtectedShareWrongThenRightPassword() {
    QStringList titles;
    WhenModal([&](QWidget* first) {
      titles << first->windowTitle();
      Find<QLineEdit>(first, "编辑框_提取密码")->setText("nope");
      WhenModal([&](QWidget* second) {
        titles << second->windowTitle();
        QCOMPARE(Status(), QStringLiteral("解析结果：访问密码错误"));
        Find<QLineEdit>(second, "编辑框_提取密码")->setText("ab12");
        QTest::mouseClick(Find<QPushButton>(second, "按钮1"), Qt::LeftButton);
      });
      QTest::mouseClick(Find<QPushButton>(first, "按钮1"), Qt::LeftButton);
    });
    StartParse("locked");
    WaitForParseEnd();
    QCOMPARE(titles, QStringList({"请输入提取密码", "请输入提取密码"}));
    QCOMPARE(Status(), QStringLiteral("解析结果：成功"));
    QCOMPARE(Results()->topLevelItemCount(), 1);
    QCOMPARE(Results()->topLevelItem(0)->text(1), QStringLiteral("secret.zip"));
  }

  // A message pasted into the URL box leaves the clean link there and its code for the parse,
  // which then needs no prompt (an open prompt would keep the parse from ending). A drop of two
  // links anywhere on the tab takes the first and says how many came.
  // The prompt that comes back after a refused password says why; a prompt declined then leaves
  // an empty list whose header counts nothing, not the files of the parse before.
  void aRefusedPasswordIsNamedAndADeclinedPromptLeavesNoOldCount() {
    StartParse("pub2");
    WaitForParseEnd();
    QCOMPARE(Results()->headerItem()->text(1), QStringLiteral("文件名 2个文件"));
    QList<bool> saidWrong;
    QString wrongText;
    WhenModal([&](QWidget* first) {
      saidWrong << (Find<QLabel>(first, "密码错误") != nullptr);
      Find<QLineEdit>(first, "编辑框_提取密码")->setText("nope");
      WhenModal([&](QWidget* second) {
        auto* label = Find<QLabel>(second, "密码错误");
        saidWrong << (label != nullptr && label->isVisible());
        if (label) wrongText = label->text();
        second->close();
      });
      QTest::mouseClick(Find<QPushButton>(first, "按钮1"), Qt::LeftButton);
    });
    StartParse("locked");
    WaitForParseEnd();
    QCOMPARE(saidWrong, QList<bool>({false, true}));
    QCOMPARE(wrongText, QStringLiteral("提取密码错误，请重新输入"));
    QCOMPARE(Results()->topLevelItemCount(), 0);
    QCOMPARE(Results()->headerItem()->text(1), QStringLiteral("文件名"));
  }

  // Enter parses and starts a row's download, the menu keys open the menu of the list that has
  // the focus; the rows tell where each file lives and which are folders.
  void theKeyboardReachesWhatTheMouseDoes() {
    auto* box = Find<QLineEdit>(window_.get(), "编辑框_URL");
    box->setText(QString::fromStdString(sim_.ShareUrl("tree")));
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Return);
    WaitForParseEnd();
    QCOMPARE(Status(), QStringLiteral("解析结果：成功"));
    QTreeWidgetItem *deep = nullptr, *folder = nullptr;
    for (int i = 0; i < Results()->topLevelItemCount(); ++i) {
      QTreeWidgetItem* row = Results()->topLevelItem(i);
      if (row->text(1) == QStringLiteral("deep.bin")) deep = row;
      if (row->text(1) == QStringLiteral("资料")) folder = row;
    }
    QVERIFY(deep && folder);
    QCOMPARE(deep->toolTip(1), QStringLiteral("所在文件夹：/资料/sub"));
    QVERIFY(deep->icon(1).isNull());
    QVERIFY(!folder->icon(1).isNull());

    Results()->setFocus();
    Results()->setCurrentItem(deep);
    QTest::keyClick(Results(), Qt::Key_Return);
    QCOMPARE(Downloads()->topLevelItemCount(), 1);
    QCOMPARE(Downloads()->topLevelItem(0)->text(0), QStringLiteral("deep.bin"));

    auto* menu = Find<QMenu>(window_.get(), "菜单");
    QTest::keyClick(Results(), Qt::Key_Menu);
    QTRY_VERIFY(menu->isVisible());
    menu->close();

    ShowPage(2);
    Downloads()->setFocus();
    Downloads()->setCurrentItem(Downloads()->topLevelItem(0));
    auto* downloadsMenu = Find<QMenu>(window_.get(), "下载菜单");
    QTest::keyClick(Downloads(), Qt::Key_F10, Qt::ShiftModifier);
    QTRY_VERIFY(downloadsMenu->isVisible());
    QVERIFY(downloadsMenu->actions().first()->isEnabled());  // 暂停, for the current row
    downloadsMenu->close();
  }

  void aPastedMessageFillsTheBoxAndAnswersThePrompt() {
    auto* box = Find<QLineEdit>(window_.get(), "编辑框_URL");
    const QString link = QString::fromStdString(sim_.ShareUrl("locked"));
    QApplication::clipboard()->setText(QStringLiteral("链接：") + link +
                                       QStringLiteral("\n提取码：ab12 复制这段内容后打开手机App"));
    box->setFocus();
    QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(box->text(), link);
    QCOMPARE(Status(), QStringLiteral("已识别提取码"));
    QTest::mouseClick(ParseButton(), Qt::LeftButton);
    WaitForParseEnd();
    QCOMPARE(Status(), QStringLiteral("解析结果：成功"));
    QCOMPARE(Results()->topLevelItemCount(), 1);

    QMimeData dropped;
    dropped.setText(QString::fromStdString(sim_.ShareUrl("pub2") + " 和 " + sim_.ShareUrl("cap5")));
    // Onto the result list, which takes no drops itself: the tab does.
    QWidget* onto = Results()->viewport();
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(onto, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(onto, &drop);
    QCOMPARE(box->text(), QString::fromStdString(sim_.ShareUrl("pub2")));
    QCOMPARE(Status(), QStringLiteral("识别到2个分享链接，已填入第一个"));

    // Ctrl+V over the result list reads the clipboard the same way.
    QApplication::clipboard()->setText(QString::fromStdString(sim_.ShareUrl("tree") + "?pwd=ab12"));
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    Results()->setFocus();
    QTest::keyClick(Results(), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(box->text(), QString::fromStdString(sim_.ShareUrl("tree")));
    QCOMPARE(Status(), QStringLiteral("已识别提取码"));

    // Text that holds no share link is pasted as it is.
    box->clear();
    QApplication::clipboard()->setText(QStringLiteral("随便写点什么"));
    QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(box->text(), QStringLiteral("随便写点什么"));
  }

  void aCaptchaAtEntryThreeDeclined() {
    bool sawPicture = false;
    QString statusDuringPrompt, title;
    WhenModal([&](QWidget* dialog) {
      title = dialog->windowTitle();
      statusDuringPrompt = Status();
      auto* picture = Find<sf::app::PictureBox>(dialog, "图片框_验证码");
      sawPicture = !picture->pixmap().isNull();
      dialog->close();  // the close box declines
    });
    StartParse("cap5");
    WaitForParseEnd();
    QCOMPARE(title, QStringLiteral("请输入验证码"));
    QCOMPARE(statusDuringPrompt, QStringLiteral("解析到第3个文件错误：下载验证码错误"));
    QVERIFY(sawPicture);
    QCOMPARE(Results()->topLevelItemCount(), 5);
    QVERIFY(Results()->topLevelItem(1)->text(3).startsWith("http://"));
    for (int i = 2; i < 5; ++i)
      QCOMPARE(Results()->topLevelItem(i)->text(3), QStringLiteral("用户主动放弃解析或解析失败"));

    // 复制链接 copies whatever column 3 reads.
    Results()->setCurrentItem(Results()->topLevelItem(4));
    Find<QAction>(window_.get(), "复制链接")->trigger();
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("用户主动放弃解析或解析失败"));
  }

  void typingFourCharactersConfirmsAtOnce() {
    WhenModal([&](QWidget* dialog) {
      std::string answer = sim_.CaptchaAnswer(state_->session->vcodeStr()).value_or("????");
      QTest::keyClicks(Find<QLineEdit>(dialog, "编辑框_验证码"), QString::fromStdString(answer));
    });
    StartParse("cap5");
    WaitForParseEnd();
    QCOMPARE(Status(), QStringLiteral("解析结果：成功"));
    QCOMPARE(Results()->topLevelItemCount(), 5);
    for (int i = 0; i < 5; ++i) QVERIFY(Results()->topLevelItem(i)->text(3).startsWith("http://"));
  }
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
          unfinishedAtEngineStart = static_cast<QTreeWidget*>(w)->topLevelItemCount();
    };
    Open();
    engine_->onInit = nullptr;
    QVERIFY(themeAtEngineStart.contains(QStringLiteral("QTabWidget::pane")));
    QCOMPARE(unfinishedAtEngineStart, 0);

    QCOMPARE(engine_->inits, 2);  // one per window created
    QCOMPARE(Unfinished()->topLevelItemCount(), 3);
    QCOMPARE(Unfinished()->topLevelItem(0)->text(0), QStringLiteral("报告.pdf"));
    QCOMPARE(Unfinished()->topLevelItem(1)->text(1), QStringLiteral("http://h/2"));
    QCOMPARE(Unfinished()->topLevelItem(2)->text(0), QString());
    for (int i = 0; i < 3; ++i)
      QCOMPARE(Unfinished()->topLevelItem(i)->text(2), QStringLiteral("/别处"));
    QCOMPARE(SaveDirectory()->text(), programDir_->path() + QStringLiteral("/下载内容"));
    QCOMPARE(Status(), QStringLiteral("可爱是世界上最强大的形容词~"));
  }

  void startingADownloadNeedsARow() {
    StartParse("pub2");
    WaitForParseEnd();
    auto* start = Find<QAction>(window_.get(), "开始下载");
    QVERIFY(start->isEnabled());
    // No row selected, or a double click below the rows: nothing starts.
    start->trigger();
    Results()->setCurrentItem(Results()->topLevelItem(0));
    Results()->clearSelection();
    start->trigger();
    DoubleClick(Results(), QPoint(60, Results()->viewport()->height() - 10));
    QVERIFY(engine_->created.empty());
    QCOMPARE(Downloads()->topLevelItemCount(), 0);
    QVERIFY(!Find<QTimer>(window_.get(), "时钟1")->isActive());

    DoubleClickRow(Results(), 1);
    QCOMPARE(engine_->created.size(), size_t{1});
    QCOMPARE(sf::GbkToUtf8(engine_->created[0].fileName), std::string("报告.pdf"));
    QCOMPARE(QString::fromStdString(engine_->created[0].url), Results()->topLevelItem(1)->text(3));
    QCOMPARE(sf::GbkToUtf8(engine_->created[0].saveDir), SaveDirectory()->text().toStdString());
    QVERIFY(engine_->created[0].resume);
    QCOMPARE(engine_->started, std::vector<int32_t>{7});
    QCOMPARE(Downloads()->topLevelItemCount(), 1);
    QCOMPARE(Downloads()->topLevelItem(0)->text(0), QStringLiteral("报告.pdf"));
    QCOMPARE(QString::fromStdString(window_->downloadsTab()->queue()->Items()[0].request.address),
             Results()->topLevelItem(1)->text(3));
    auto* timer = Find<QTimer>(window_.get(), "时钟1");
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 1000);

    // The menu item acts on the selected row.
    Results()->setCurrentItem(Results()->topLevelItem(0));
    start->trigger();
    QCOMPARE(engine_->created.size(), size_t{2});
    QCOMPARE(engine_->created[1].fileName, std::string("a.txt"));
    QCOMPARE(Downloads()->topLevelItem(1)->text(0), QStringLiteral("a.txt"));
  }

  // A folder row stands for its whole subtree: each file goes to its own folder under the save
  // directory, once however often it is selected. A link the server refuses is renewed.
  void downloadSelectedOnAFolderRow() {
    StartParse("tree");
    WaitForParseEnd();
    // Rows: top.txt, 资料, other, then 资料's listing (sub, deep.bin, a.bin), then b.bin.
    QCOMPARE(Results()->topLevelItem(1)->text(1), QStringLiteral("资料"));
    QCOMPARE(Results()->topLevelItem(3)->text(1), QStringLiteral("sub"));
    QTest::mouseClick(Results()->viewport(), Qt::LeftButton, Qt::NoModifier,
                      Results()->visualItemRect(Results()->topLevelItem(1)).center());
    QTest::mouseClick(Results()->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      Results()->visualItemRect(Results()->topLevelItem(3)).center());
    auto* menu = Find<QMenu>(window_.get(), "菜单");
    QTimer::singleShot(0, [menu] { menu->findChild<QAction*>("下载所选")->trigger(); });
    QTest::mousePress(Results()->viewport(), Qt::RightButton, Qt::NoModifier,
                      Results()->visualItemRect(Results()->topLevelItem(1)).center());
    QTRY_COMPARE(engine_->created.size(), size_t{2});
    menu->close();
    QCOMPARE(Results()->selectedItems().size(), 2);  // the right click kept the selection

    std::string save = SaveDirectory()->text().toStdString();
    QCOMPARE(sf::GbkToUtf8(engine_->created[0].fileName), std::string("deep.bin"));
    QCOMPARE(sf::GbkToUtf8(engine_->created[0].saveDir), save + "/资料/sub");
    QCOMPARE(sf::GbkToUtf8(engine_->created[1].fileName), std::string("a.bin"));
    QCOMPARE(sf::GbkToUtf8(engine_->created[1].saveDir), save + "/资料");
    QCOMPARE(QString::fromStdString(engine_->created[1].url), Results()->topLevelItem(5)->text(3));
    QVERIFY(QDir(QString::fromStdString(save + "/资料/sub")).exists());
    QCOMPARE(Downloads()->topLevelItemCount(), 2);
    QCOMPARE(Status(), QStringLiteral("已加入下载：2个文件"));

    // deep.bin's first link was stale: refused, it is asked of the share again, once.
    using sf::test::Report;
    engine_->reports[7] = Report{sf::layout::kStateFailed, "deep.bin", 0, 0, 0.0f, 0, 403};
    QTRY_COMPARE_WITH_TIMEOUT(engine_->created.size(), size_t{3}, 10000);
    QCOMPARE(sf::GbkToUtf8(engine_->created[2].fileName), std::string("deep.bin"));
    QCOMPARE(engine_->created[2].saveDir, engine_->created[0].saveDir);
    QVERIFY(engine_->created[2].url != engine_->created[0].url);
    QCOMPARE(Downloads()->topLevelItemCount(), 2);  // the same row, under its new link

    // A file that finishes leaves the list, and its share has it as done, not as gone.
    sf::DownloadManager* downloads = window_->downloadsTab()->downloads();
    std::vector<sf::DownloadEvent> ends;
    downloads->Listen([&](const sf::DownloadEvent& e) {
      if (e.kind == sf::DownloadEvent::kFinished) ends.push_back(e);
    });
    engine_->reports[8] = Report{sf::layout::kStateFinished, "a.bin", 5, 5, 1.0f, 0};
    QTRY_COMPARE_WITH_TIMEOUT(Downloads()->topLevelItemCount(), 1, 5000);
    QCOMPARE(ends.size(), size_t{1});
    const sf::ShareFile& a = downloads->Share(ends[0].share)->Files()[ends[0].file];
    QCOMPARE(sf::GbkToUtf8(downloads->Share(ends[0].share)->Entry(ends[0].file).server_filename),
             std::string("a.bin"));
    QCOMPARE(a.status, sf::ShareFileStatus::kDone);
    QCOMPARE(a.SavedPath(), save + "/资料/a.bin");
  }

  // 发送到远程下载器 takes the selection as 下载所选 does, a folder row for its subtree, and
  // hands it to a real aria2 on a worker; without an address it asks for one first, and what
  // could not be handed over is listed with the cause.
  void sendToRemoteOnAFolderRow() {
    StartParse("tree");
    WaitForParseEnd();
    QCOMPARE(Results()->topLevelItem(2)->text(1), QStringLiteral("other"));
    Results()->clearSelection();
    Results()->topLevelItem(0)->setSelected(true);
    Results()->topLevelItem(2)->setSelected(true);
    auto* send = Find<QAction>(window_.get(), "发送到远程下载器");
    send->trigger();
    auto* dialog = Find<sf::app::RemoteDialog>(window_.get(), "远程下载器设置");
    QVERIFY(dialog != nullptr);
    QTRY_VERIFY(dialog->isVisible());
    dialog->reject();

    QString dir = programDir_->filePath(QStringLiteral("aria2"));
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
    auto linkRequests = [&] {
      int asked = 0;
      for (const auto& q : sim_.Requests()) asked += q.Path() == "/api/sharedownload";
      return asked;
    };
    const int resolved = linkRequests();
    Results()->selectAll();
    QString dir = programDir_->filePath(QStringLiteral("aria2-follow"));
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
    QCOMPARE(Downloads()->topLevelItemCount(), 1);
    QTreeWidgetItem* row = Downloads()->topLevelItem(0);
    QCOMPARE(row->text(0), QStringLiteral("refused.bin"));
    QCOMPARE(row->text(3), QStringLiteral("失败"));
    QCOMPARE(row->text(4), QStringLiteral("HTTP 403, with a fresh link too"));
    QVERIFY2(row->toolTip(3).startsWith(QStringLiteral("远程：") +
                                        QString::fromStdString(aria2.Endpoint())),
             qPrintable(row->toolTip(3)));
    // Each refused link was asked for once more, through the parse.
    QCOMPARE(linkRequests() - resolved, 2);
    // The remote row is no download of ours: an action on it, and the list's refresh after it,
    // leave it there.
    row->setSelected(true);
    Find<QAction>(window_.get(), "暂停")->trigger();
    QCOMPARE(Downloads()->topLevelItemCount(), 1);

    // Sent again: the files aria2 holds whole are not added a second time; the failed one goes
    // back to it, is renewed again (a new hand-off, a new hour) and completes.
    Find<QAction>(window_.get(), "发送到远程下载器")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("已发送到远程下载器：3个文件"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->resolveTab()->following(), 30000);
    QVERIFY(whole("refused.bin", 7));
    QCOMPARE(QDir(dir).entryList(QDir::Files, QDir::Name),
             QStringList({"ok.bin", "refused.bin", "renewed.bin"}));
    QCOMPARE(Downloads()->topLevelItemCount(), 0);
  }

  // Closing the window stops the following, not the download: aria2 goes on and finishes it.
  void closingTheWindowLeavesTheRemoteDownloadRunning() {
    StartParse("remoteSlow");
    WaitForParseEnd();
    Results()->selectAll();
    QString dir = programDir_->filePath(QStringLiteral("aria2-close"));
    QVERIFY(QDir().mkpath(dir));
    sf::test::Aria2Daemon aria2(dir.toStdString(), "s3cret");
    QVERIFY2(aria2.running(), aria2.error().c_str());
    state_->remote = {aria2.Endpoint(), "s3cret"};
    Find<QAction>(window_.get(), "发送到远程下载器")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(Downloads()->topLevelItemCount() == 1, 20000);
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

  void anUnfinishedRowStartsIntoItsOwnDirectory() {
    std::vector<sf::UnfinishedDownload> rows = {{"x.bin", "http://h/x", "/old", -1},
                                                {"y.bin", "http://h/y", G("/别处"), 77}};
    window_->unfinishedTab()->SetRows(rows);
    SaveDirectory()->setText(QStringLiteral("/now/这里"));
    ShowPage(3);
    QCOMPARE(Unfinished()->topLevelItem(1)->text(2), QStringLiteral("/别处"));
    DoubleClick(Unfinished(), QPoint(60, Unfinished()->viewport()->height() - 10));
    QVERIFY(engine_->created.empty());
    DoubleClickRow(Unfinished(), 1);
    QCOMPARE(engine_->created.size(), size_t{1});
    QCOMPARE(engine_->created[0].fileName, std::string("y.bin"));
    QCOMPARE(engine_->created[0].url, std::string("http://h/y"));
    QCOMPARE(engine_->created[0].saveDir, G("/别处"));
    QVERIFY(engine_->created[0].resume);
    QCOMPARE(Unfinished()->topLevelItemCount(), 2);  // the row stays
    QCOMPARE(Downloads()->topLevelItemCount(), 1);
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

    // The next run lists them; closing it with nothing running, nothing of them on disk and
    // the start directory back in the box removes the file.
    Open();
    QCOMPARE(Unfinished()->topLevelItemCount(), 2);
    QCOMPARE(Unfinished()->topLevelItem(0)->text(0), QStringLiteral("一.bin"));
    QCOMPARE(SaveDirectory()->text(), QStringLiteral("/d/下载内容"));
    SaveDirectory()->setText(programDir_->path() + QStringLiteral("/下载内容"));
    window_->close();
    QVERIFY(!QFile::exists(QString::fromStdString(state_->settings.beside)));
  }

  // Remembered downloads are kept until they are done: those not started again while their
  // bytes are on disk, and a whole one is not fetched again.
  void rememberedDownloadsAreNeverLost() {
    window_.reset();
    QString dir = programDir_->path() + QStringLiteral("/下载内容");
    QString other = programDir_->path() + QStringLiteral("/别处");
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
    QCOMPARE(Unfinished()->topLevelItem(0)->text(2), other);
    window_->close();  // none started again: those with bytes on disk are kept
    auto kept = sf::LoadUnfinished(state_->settings.beside);
    QCOMPARE(kept.size(), size_t{1});
    QCOMPARE(kept[0].fileName, std::string("part.bin"));
    QCOMPARE(kept[0].saveDirectory, sf::app::ToGbk(other));
    QCOMPARE(kept[0].expectedSize, int64_t{10});
    // Started again, a whole one is found complete and nothing is downloaded.
    Open();
    window_->unfinishedTab()->SetRows(rows);
    ShowPage(3);
    DoubleClickRow(Unfinished(), 1);
    QVERIFY(engine_->created.empty());
    QCOMPARE(Downloads()->topLevelItemCount(), 0);
    QCOMPARE(Status(),
             QStringLiteral("Tavrin提示您：[ 文件已经下载完毕，没有重新下载 ] whole.bin"));
    // A task the engine will not create is a failed row that says so, and it is remembered.
    engine_->nextHandles = {0};
    DoubleClickRow(Unfinished(), 2);
    QCOMPARE(Downloads()->topLevelItemCount(), 1);
    QCOMPARE(Downloads()->topLevelItem(0)->text(3), QStringLiteral("失败"));
    QCOMPARE(Downloads()->topLevelItem(0)->text(4), QStringLiteral("无法创建任务"));
    window_->close();
    kept = sf::LoadUnfinished(state_->settings.beside);
    QCOMPARE(kept.size(), size_t{2});
    QCOMPARE(kept[0].fileName, std::string("gone.bin"));
    QCOMPARE(kept[1].fileName, std::string("part.bin"));
  }

  // What the tab shows and offers; the end-to-end test drives the same controls on real
  // downloads. Three run and one waits, a failure says why, the menu offers what applies to
  // the selected rows, and the list empties to a bar at 0.
  void theDownloadsTabShowsEachStateAndOffersWhatApplies() {
    ShowPage(2);
    sf::app::DownloadsTab* tab = window_->downloadsTab();
    for (const char* name : {"a.bin", "b.bin", "c.bin", "d.bin"})
      tab->StartDownload({name, std::string("http://h/") + name, "", "", "", 4000});
    QCOMPARE(engine_->started, (std::vector<int32_t>{7, 8, 9}));
    QCOMPARE(Downloads()->topLevelItem(3)->text(3), QStringLiteral("等待中"));

    using sf::test::Report;
    namespace l = sf::layout;
    engine_->reports[7] = Report{l::kStateDownloading, "a.bin", 4000, 1000, 0.25f, 1000};
    engine_->reports[8] = Report{l::kStateFailed, "b.bin", 4000, 100, 0.025f, 0, 403};
    engine_->reports[9] = Report{l::kStateDownloading, "c.bin", 4000, 0, 0.0f, 0};
    engine_->reports[10] = Report{l::kStateRequesting, "d.bin", 0, 0, 0.0f, 0};
    QTRY_COMPARE_WITH_TIMEOUT(Downloads()->topLevelItem(1)->text(4), QStringLiteral("HTTP 403"),
                              5000);
    QCOMPARE(Downloads()->topLevelItem(1)->toolTip(0),
             QStringLiteral("失败：HTTP 403\n已下载 100 / 4000 字节"));
    QCOMPARE(Status(),
             QStringLiteral("Tavrin提示您：[ 下载失败：HTTP 403 ]  1 个下载失败  剩余时间 0:11"));
    QCOMPARE(Find<QProgressBar>(window_.get(), "进度条1")->text(),
             QStringLiteral("6%  剩余时间 0:11"));
    QCOMPARE(Downloads()->topLevelItem(0)->toolTip(2),
             QStringLiteral("剩余时间 0:03\n已下载 1000 / 4000 字节"));
    QCOMPARE(engine_->started.back(), 10);  // the failed one's slot went to the waiting one

    auto choose = [&](std::initializer_list<int> rows, const char* item) {
      return sf::test::ChooseForRows(tab, rows, item);
    };
    QVERIFY(!choose({0, 2}, "继续"));
    QVERIFY(!choose({0, 2}, "重试"));
    QVERIFY(choose({0, 2}, "暂停"));
    QCOMPARE(engine_->stopped, (std::vector<int32_t>{7, 9}));
    QCOMPARE(Downloads()->topLevelItem(2)->text(3), QStringLiteral("已暂停"));
    QVERIFY(choose({0, 2}, "复制下载地址"));
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("http://h/a.bin\nhttp://h/c.bin"));
    QVERIFY(choose({1, 2}, "删除任务"));
    QCOMPARE(engine_->deleted, (std::vector<std::pair<int32_t, int32_t>>{{8, 0}, {9, 0}}));

    for (int32_t h : {7, 10})
      engine_->reports[h] = Report{l::kStateFinished, "x", 4000, 4000, 1.0f, 0};
    QVERIFY(choose({0}, "继续"));
    QTRY_COMPARE_WITH_TIMEOUT(Downloads()->topLevelItemCount(), 0, 5000);
    QCOMPARE(Find<QProgressBar>(window_.get(), "进度条1")->value(), 0);
    QCOMPARE(Status(), QStringLiteral("Tavrin提示您：[ 下载完毕 ]"));
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
    QString chosen = programDir_->path() + QStringLiteral("/目标");
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

  // The fixed layout has no menu bar: a right click anywhere on the status bar offers the
  // About box, which names the version and the commit of the build.
  // Under the window's theme an item that cannot be chosen is drawn in a lighter ink than one
  // that can: no pixel of its caption is as dark as the ordinary text.
  void disabledMenuItemsLookDisabled() {
    QMenu menu(window_.get());
    QAction* on = menu.addAction(QStringLiteral("开始下载"));
    QAction* off = menu.addAction(QStringLiteral("开始下载"));
    off->setEnabled(false);
    menu.popup(window_->mapToGlobal(QPoint(20, 20)));
    QTRY_VERIFY(menu.isVisible());
    QImage image = menu.grab().toImage();
    auto darkPixels = [&](QAction* action) {
      QRect r = menu.actionGeometry(action);
      int dark = 0;
      for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) dark += qGray(image.pixel(x, y)) < 110;
      return dark;
    };
    QVERIFY(darkPixels(on) > 20);
    QCOMPARE(darkPixels(off), 0);
    menu.close();
  }

  // The speed limit and the save directory of the last run come back; a file of an older
  // version reads as it always did, and a close that changes nothing leaves it untouched.
  void theDownloadSettingsComeBack() {
    window_.reset();
    // A download left by an older version, with its bytes in the start directory.
    const std::string dir = programDir_->path().toStdString() + "/下载内容";
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
    const QString start = programDir_->path() + QStringLiteral("/下载内容");
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
    QVERIFY(QFile::remove(QString::fromStdString(part)));  // nothing left to resume
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

  void theStatusBarsMenuOpensTheAboutBox() {
    QLabel* text = Find<QLabel>(window_.get(), "状态条1_1");
    QPoint at = text->rect().center();
    QContextMenuEvent click(QContextMenuEvent::Mouse, at, text->mapToGlobal(at));
    QApplication::sendEvent(text, &click);
    auto* menu = Find<QMenu>(window_.get(), "状态条菜单");
    QTRY_VERIFY(menu->isVisible());
    QCOMPARE(menu->actions().size(), 2);
    // The same menu hangs off a button that shows at the right end of the status bar.
    auto* button = Find<QToolButton>(window_.get(), "设置按钮");
    QVERIFY(button && button->isVisible());
    QCOMPARE(button->menu(), menu);
    QVERIFY(button->geometry().right() > text->geometry().right());
    QAction* about = menu->actions().back();
    QCOMPARE(about->text(), QStringLiteral("关于 ShareFetch"));
    menu->hide();
    about->trigger();

    auto* box = Find<QMessageBox>(window_.get(), "关于");
    QVERIFY(box != nullptr);
    QTRY_VERIFY(box->isVisible());
    QCOMPARE(box->windowTitle(), QStringLiteral("关于 ShareFetch"));
    QString commit = QString::fromLatin1(sf::GitCommit());
    QVERIFY2(box->text().contains(QStringLiteral("版本：") + sf::VersionNumber()),
             qPrintable(box->text()));
    QVERIFY2(box->text().contains(QStringLiteral("提交：") +
                                  (commit.isEmpty() ? QStringLiteral("未知") : commit)),
             qPrintable(box->text()));
    QPointer<QMessageBox> closed(box);
    box->accept();
    QTRY_VERIFY(closed.isNull());  // it deletes itself, so opening it again makes no pile
  }

  // The status bar's menu also opens the remote downloader's settings. Its connection test
  // talks to a real aria2 without holding up the window; what is confirmed is saved at once,
  // readable by the user only, and survives a close that leaves no downloads.
  void theRemoteDownloaderIsTestedAndKept() {
    QString dir = programDir_->filePath(QStringLiteral("aria2"));
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

  void withoutTheEngineTheWindowSaysSoAndStillResolves() {
    window_.reset();
    state_->engine.reset();
    state_->engineError = "cannot load the download engine /nowhere/libsfengine.so: no such file";
    auto message = AnswerMessageBox();
    Open();
    QTRY_VERIFY(!message->isEmpty());
    QVERIFY2(message->contains("/nowhere/libsfengine.so"), qPrintable(*message));
    QCOMPARE(Status(), QStringLiteral("可爱是世界上最强大的形容词~"));

    StartParse("pub2");
    WaitForParseEnd();
    QCOMPARE(Results()->topLevelItemCount(), 2);
    message = AnswerMessageBox();
    DoubleClickRow(Results(), 0);
    QVERIFY2(message->contains("/nowhere/libsfengine.so"), qPrintable(*message));
    QCOMPARE(Downloads()->topLevelItemCount(), 0);
    window_->close();
    QVERIFY(!QFile::exists(QString::fromStdString(state_->settings.beside)));
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
