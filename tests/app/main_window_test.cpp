// The real main window against the local share service, on the offscreen platform: its
// layout and what belongs to no one tab (the status bar's menu, the missing engine).
#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>
#include <QTranslator>
#include <QTreeView>
#include <QTreeWidget>

#include "app/qt_translations.h"
#include "base/version.h"
#include "gui_test_support.h"

using namespace sf::test;

class MainWindowTest : public sf::test::WindowSuite {
  Q_OBJECT

 public:
  MainWindowTest()
      : WindowSuite(R"({"shares": [
      {"id": "pub2", "items": [{"name": "a.txt", "size": 10}, {"name": "报告.pdf", "size": 2048}]}
    ]})") {}

 private slots:
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
        {"超级列表框1", {24, 56, 428, 304}, nullptr, ""},
        {"按钮_停止", {413, 30, 38, 23}, "停止", ""},
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
        {"编辑框_保存目录", {72, 24, 192, 24}, nullptr, ""},
        {"按钮2", {272, 24, 64, 24}, "选择目录", ""},
        {"选择框1", {344, 24, 16, 16}, "", ""},
        {"透明标签6", {363, 24, 24, 16}, "限速", ""},
        {"编辑框1", {388, 24, 40, 17}, nullptr, ""},
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

    auto columns = [](QTreeView* list) {
      QStringList out;
      for (int i = 0; i < list->model()->columnCount(); ++i)
        out << ColumnTitle(list, i) + ":" +
                   QString::number(list->isColumnHidden(i) ? 0 : list->columnWidth(i));
      return out;
    };
    QCOMPARE(columns(Results()),
             QStringList({"编号:50", "文件名:120", "文件大小:80", "下载地址:190"}));
    QCOMPARE(
        columns(Find<QTreeView>(window_.get(), "超级列表框2")),
        QStringList({"文件名:100", "文件总大小:80", "已下载:80", "下载速度:70", "下载进度:70"}));
    QCOMPARE(columns(Find<QTreeView>(window_.get(), "超级列表框3")),
             QStringList({"文件名:120", "下载地址:70", "保存目录:520"}));
    auto* downloads = Find<QTreeView>(window_.get(), "超级列表框2");
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

  // The fixed layout has no menu bar: a right click anywhere on the status bar offers the
  // About box, which names the version and the commit of the build.
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
    QCOMPARE(RowCount(Results()), 2);
    message = AnswerMessageBox();
    DoubleClickRow(Results(), 0);
    QVERIFY2(message->contains("/nowhere/libsfengine.so"), qPrintable(*message));
    QCOMPARE(RowCount(Downloads()), 0);
    window_->close();
    QVERIFY(!QFile::exists(QString::fromStdString(state_->settings.beside)));
  }

  // Qt's own dialogs speak Chinese as the window does: the buttons of a question box and of the
  // folder browser.
  void qtsOwnDialogsSpeakChinese() {
    QVERIFY(sf::app::InstallQtTranslations(*qApp));
    QMessageBox box(QMessageBox::Question, QStringLiteral("ShareFetch"), QStringLiteral("？"),
                    QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(box.button(QMessageBox::Yes)->text(), QStringLiteral("是(&Y)"));
    QCOMPARE(box.button(QMessageBox::No)->text(), QStringLiteral("否(&N)"));
    QFileDialog browser(window_.get(), QStringLiteral("请选择要保存的目录"));
    browser.setOption(QFileDialog::DontUseNativeDialog);
    browser.setFileMode(QFileDialog::Directory);
    auto* buttons = browser.findChild<QDialogButtonBox*>();
    QVERIFY(buttons);
    QCOMPARE(buttons->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("取消"));
    for (QTranslator* t : qApp->findChildren<QTranslator*>()) QCoreApplication::removeTranslator(t);
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
