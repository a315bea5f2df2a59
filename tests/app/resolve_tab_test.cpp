// The first tab of the real main window against the local share service: parses, their
// prompts, and the downloads started from the result list.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QDropEvent>
#include <QIcon>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>

#include "app/downloads_tab.h"
#include "app/picture_box.h"
#include "download/download_manager.h"
#include "engine_api/engine_api.h"
#include "gui_test_support.h"
#include "recording_engine.h"
#include "share/share_session.h"

using namespace sf::test;

class ResolveTabTest : public sf::test::WindowSuite {
  Q_OBJECT

 public:
  ResolveTabTest()
      : WindowSuite(R"({"captchaFormat": "jpeg", "shares": [
      {"id": "pub2", "items": [{"name": "a.txt", "size": 10}, {"name": "报告.pdf", "size": 2048}]},
      {"id": "bad", "items": [{"name": "a.txt", "size": 10, "linkFailure": "badGateway"}]},
      {"id": "locked", "password": "ab12", "items": [{"name": "secret.zip", "size": 77}]},
      {"id": "cap5", "linkCaptchaAt": 3, "items": [{"name": "1.bin", "size": 1}, {"name": "2.bin", "size": 2},
        {"name": "3.bin", "size": 3}, {"name": "4.bin", "size": 4}, {"name": "5.bin", "size": 5}]},
      {"id": "tree", "items": [{"name": "top.txt", "size": 1},
        {"name": "资料", "children": [{"name": "a.bin", "size": 2},
          {"name": "sub", "children": [{"name": "deep.bin", "size": 3, "staleLinks": 1}]}]},
        {"name": "other", "children": [{"name": "b.bin", "size": 4}]}]},
      {"id": "cut", "items": [{"name": "a.txt", "size": 1}, {"name": "坏", "listError": -7},
        {"name": "好", "children": [{"name": "in.txt", "size": 2}, {"name": "差", "listError": 2}]}]}
    ]})") {}

 private slots:
  void aPublicShareOfTwoFiles() {
    StartParse("pub2");
    QVERIFY(!ParseButton()->isEnabled());
    QTest::mouseClick(ParseButton(), Qt::LeftButton);  // a press while a parse runs does nothing
    WaitForParseEnd();
    QCOMPARE(RowCount(Results()), 2);
    QCOMPARE(Status(), QStringLiteral("解析结果：成功"));
    QCOMPARE(ColumnTitle(Results(), 1), QStringLiteral("文件名 2个文件"));
    QCOMPARE(RowText(Results(), 1, 0), QStringLiteral("2"));
    QCOMPARE(RowText(Results(), 1, 1), QStringLiteral("报告.pdf"));
    QCOMPARE(RowText(Results(), 1, 2), QStringLiteral("2048"));
    QVERIFY(RowText(Results(), 1, 3).startsWith(QString::fromStdString(sim_.Url("/file/"))));
    QCOMPARE(sim_.CountRequests("/s/pub2"), size_t{1});

    // 复制链接 copies column 3 of the selected row.
    SetCurrentRow(Results(), 0);
    Find<QAction>(window_.get(), "复制链接")->trigger();
    QCOMPARE(QApplication::clipboard()->text(), RowText(Results(), 0, 3));
  }

  // A proxy's error page for a link is no link: the status says why, the row has none.
  void aLinkAnswerThatIsAnErrorPageIsNoSuccess() {
    StartParse("bad");
    WaitForParseEnd();
    QCOMPARE(Status(), QStringLiteral("解析结果：自定义错误代码,JSON解析失败（502 Bad Gateway）"));
    QCOMPARE(RowText(Results(), 0, 3), QStringLiteral("用户主动放弃解析或解析失败"));
  }

  // Folders the service would not list: the rows found are listed, and the status bar keeps
  // the parse's own message and names the missing folders beside it.
  void aShareWithFoldersLeftOutSaysWhich() {
    StartParse("cut");
    WaitForParseEnd();
    QCOMPARE(Status(), QStringLiteral("解析结果：成功；2个文件夹未能完整列出：坏、好/差"));
    QCOMPARE(RowCount(Results()), 5);
    QCOMPARE(RowText(Results(), 4, 1), QStringLiteral("in.txt"));
    QVERIFY(RowText(Results(), 4, 3).startsWith(QString::fromStdString(sim_.Url("/file/"))));
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
    QCOMPARE(RowCount(Results()), 1);
    QCOMPARE(RowText(Results(), 0, 1), QStringLiteral("secret.zip"));
  }

  // The prompt that comes back after a refused password says why; a prompt declined then leaves
  // an empty list whose header counts nothing, not the files of the parse before.
  void aRefusedPasswordIsNamedAndADeclinedPromptLeavesNoOldCount() {
    StartParse("pub2");
    WaitForParseEnd();
    QCOMPARE(ColumnTitle(Results(), 1), QStringLiteral("文件名 2个文件"));
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
    QCOMPARE(RowCount(Results()), 0);
    QCOMPARE(ColumnTitle(Results(), 1), QStringLiteral("文件名"));
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
    int deep = -1, folder = -1;
    for (int i = 0; i < RowCount(Results()); ++i) {
      if (RowText(Results(), i, 1) == QStringLiteral("deep.bin")) deep = i;
      if (RowText(Results(), i, 1) == QStringLiteral("资料")) folder = i;
    }
    QVERIFY(deep >= 0 && folder >= 0);
    QCOMPARE(RowData(Results(), deep, 1, Qt::ToolTipRole).toString(),
             QStringLiteral("所在文件夹：/资料/sub"));
    QVERIFY(RowData(Results(), deep, 1, Qt::DecorationRole).value<QIcon>().isNull());
    QVERIFY(!RowData(Results(), folder, 1, Qt::DecorationRole).value<QIcon>().isNull());

    Results()->setFocus();
    SetCurrentRow(Results(), deep);
    QTest::keyClick(Results(), Qt::Key_Return);
    QCOMPARE(RowCount(Downloads()), 1);
    QCOMPARE(RowText(Downloads(), 0, 0), QStringLiteral("deep.bin"));
    // Enter on several rows starts them all, as 下载所选 does.
    Results()->clearSelection();
    for (int i = 0; i < RowCount(Results()); ++i)
      if (RowText(Results(), i, 1) == QStringLiteral("top.txt") ||
          RowText(Results(), i, 1) == QStringLiteral("b.bin"))
        SelectRow(Results(), i);
    QCOMPARE(SelectedRowCount(Results()), 2);
    QTest::keyClick(Results(), Qt::Key_Return);
    QStringList started;
    for (int i = 0; i < RowCount(Downloads()); ++i) started << RowText(Downloads(), i, 0);
    started.sort();
    QCOMPARE(started, QStringList({"b.bin", "deep.bin", "top.txt"}));

    auto* menu = Find<QMenu>(window_.get(), "菜单");
    QTest::keyClick(Results(), Qt::Key_Menu);
    QTRY_VERIFY(menu->isVisible());
    menu->close();

    ShowPage(2);
    Downloads()->setFocus();
    SetCurrentRow(Downloads(), 0);
    auto* downloadsMenu = Find<QMenu>(window_.get(), "下载菜单");
    QTest::keyClick(Downloads(), Qt::Key_F10, Qt::ShiftModifier);
    QTRY_VERIFY(downloadsMenu->isVisible());
    QVERIFY(downloadsMenu->actions().first()->isEnabled());  // 暂停, for the current row
    downloadsMenu->close();
  }

  // A message pasted into the URL box leaves the clean link there and its code for the parse,
  // which then needs no prompt (an open prompt would keep the parse from ending). A drop of two
  // links anywhere on the tab takes the first and says how many came.
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
    QCOMPARE(RowCount(Results()), 1);

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
    QCOMPARE(RowCount(Results()), 5);
    QVERIFY(RowText(Results(), 1, 3).startsWith("http://"));
    for (int i = 2; i < 5; ++i)
      QCOMPARE(RowText(Results(), i, 3), QStringLiteral("用户主动放弃解析或解析失败"));

    // 复制链接 copies whatever column 3 reads.
    SetCurrentRow(Results(), 4);
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
    QCOMPARE(RowCount(Results()), 5);
    for (int i = 0; i < 5; ++i) QVERIFY(RowText(Results(), i, 3).startsWith("http://"));
  }

  void startingADownloadNeedsARow() {
    StartParse("pub2");
    WaitForParseEnd();
    auto* start = Find<QAction>(window_.get(), "开始下载");
    QVERIFY(start->isEnabled());
    // No row selected, or a double click below the rows: nothing starts.
    start->trigger();
    SetCurrentRow(Results(), 0);
    Results()->clearSelection();
    start->trigger();
    DoubleClick(Results(), QPoint(60, Results()->viewport()->height() - 10));
    QVERIFY(engine_->created.empty());
    QCOMPARE(RowCount(Downloads()), 0);
    QVERIFY(!Find<QTimer>(window_.get(), "时钟1")->isActive());

    DoubleClickRow(Results(), 1);
    QCOMPARE(engine_->created.size(), size_t{1});
    QCOMPARE(sf::GbkToUtf8(engine_->created[0].fileName), std::string("报告.pdf"));
    QCOMPARE(QString::fromStdString(engine_->created[0].url), RowText(Results(), 1, 3));
    QCOMPARE(sf::GbkToUtf8(engine_->created[0].saveDir), SaveDirectory()->text().toStdString());
    QVERIFY(engine_->created[0].resume);
    QCOMPARE(engine_->started, std::vector<int32_t>{7});
    QCOMPARE(RowCount(Downloads()), 1);
    QCOMPARE(RowText(Downloads(), 0, 0), QStringLiteral("报告.pdf"));
    QCOMPARE(QString::fromStdString(window_->downloadsTab()->queue()->Items()[0].request.address),
             RowText(Results(), 1, 3));
    auto* timer = Find<QTimer>(window_.get(), "时钟1");
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 1000);

    // The menu item acts on the selected row.
    SetCurrentRow(Results(), 0);
    start->trigger();
    QCOMPARE(engine_->created.size(), size_t{2});
    QCOMPARE(engine_->created[1].fileName, std::string("a.txt"));
    QCOMPARE(RowText(Downloads(), 1, 0), QStringLiteral("a.txt"));
  }

  // A folder row stands for its whole subtree: each file goes to its own folder under the save
  // directory, once however often it is selected. A link the server refuses is renewed.
  void downloadSelectedOnAFolderRow() {
    StartParse("tree");
    WaitForParseEnd();
    // Rows: top.txt, 资料, other, then 资料's listing (sub, deep.bin, a.bin), then b.bin.
    QCOMPARE(RowText(Results(), 1, 1), QStringLiteral("资料"));
    QCOMPARE(RowText(Results(), 3, 1), QStringLiteral("sub"));
    QTest::mouseClick(Results()->viewport(), Qt::LeftButton, Qt::NoModifier,
                      RowRect(Results(), 1).center());
    QTest::mouseClick(Results()->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      RowRect(Results(), 3).center());
    auto* menu = Find<QMenu>(window_.get(), "菜单");
    QTimer::singleShot(0, [menu] { menu->findChild<QAction*>("下载所选")->trigger(); });
    QTest::mousePress(Results()->viewport(), Qt::RightButton, Qt::NoModifier,
                      RowRect(Results(), 1).center());
    QTRY_COMPARE(engine_->created.size(), size_t{2});
    menu->close();
    QCOMPARE(SelectedRowCount(Results()), 2);  // the right click kept the selection

    std::string save = SaveDirectory()->text().toStdString();
    QCOMPARE(sf::GbkToUtf8(engine_->created[0].fileName), std::string("deep.bin"));
    QCOMPARE(sf::GbkToUtf8(engine_->created[0].saveDir), save + "/资料/sub");
    QCOMPARE(sf::GbkToUtf8(engine_->created[1].fileName), std::string("a.bin"));
    QCOMPARE(sf::GbkToUtf8(engine_->created[1].saveDir), save + "/资料");
    QCOMPARE(QString::fromStdString(engine_->created[1].url), RowText(Results(), 5, 3));
    QVERIFY(QDir(QString::fromStdString(save + "/资料/sub")).exists());
    QCOMPARE(RowCount(Downloads()), 2);
    QCOMPARE(Status(), QStringLiteral("已加入下载：2个文件"));

    // deep.bin's first link was stale: refused, it is asked of the share again, once.
    using sf::test::Report;
    engine_->reports[7] = Report{sf::layout::kStateFailed, "deep.bin", 0, 0, 0.0f, 0, 403};
    QTRY_COMPARE_WITH_TIMEOUT(engine_->created.size(), size_t{3}, 10000);
    QCOMPARE(sf::GbkToUtf8(engine_->created[2].fileName), std::string("deep.bin"));
    QCOMPARE(engine_->created[2].saveDir, engine_->created[0].saveDir);
    QVERIFY(engine_->created[2].url != engine_->created[0].url);
    QCOMPARE(RowCount(Downloads()), 2);  // the same row, under its new link

    // A file that finishes leaves the list, and its share has it as done, not as gone.
    sf::DownloadManager* downloads = window_->downloadsTab()->downloads();
    std::vector<sf::DownloadEvent> ends;
    downloads->Listen([&](const sf::DownloadEvent& e) {
      if (e.kind == sf::DownloadEvent::kFinished) ends.push_back(e);
    });
    engine_->reports[8] = Report{sf::layout::kStateFinished, "a.bin", 5, 5, 1.0f, 0};
    QTRY_COMPARE_WITH_TIMEOUT(RowCount(Downloads()), 1, 5000);
    QCOMPARE(ends.size(), size_t{1});
    const sf::ShareFile& a = downloads->Share(ends[0].share)->Files()[ends[0].file];
    QCOMPARE(sf::GbkToUtf8(downloads->Share(ends[0].share)->Entry(ends[0].file).server_filename),
             std::string("a.bin"));
    QCOMPARE(a.status, sf::ShareFileStatus::kDone);
    QCOMPARE(a.SavedPath(), save + "/资料/a.bin");
  }
};

QTEST_MAIN(ResolveTabTest)
#include "resolve_tab_test.moc"
