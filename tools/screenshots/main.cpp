// Saves screenshots of the window against the local share service: each tab with something in
// it (the quick tab with a captcha and its link on the second; on the third, downloads running,
// one paused, one failed and one waiting; the downloads a closed window left unfinished on the
// fourth), both prompt dialogs (the password one also as it comes back after a refused
// password), the downloads menu with the items that do not apply greyed, the downloads sorted by
// size, the questions before files are deleted and before a close stops downloads, the status
// bar counting a failed download while the rest are paused, the About box and the remote
// downloader's settings.
// Usage: sharefetch-shots OUTPUT_DIR
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <iostream>
#include <nlohmann/json.hpp>

#include "app/about_box.h"
#include "app/downloads_tab.h"
#include "app/main_window.h"
#include "app/prompt_dialogs.h"
#include "app/qt_translations.h"
#include "app/quick_tab.h"
#include "app/remote_dialog.h"
#include "app/resolve_tab.h"
#include "aria2_daemon.h"
#include "base/encoding.h"
#include "base/settings_file.h"
#include "download/download_engine.h"
#include "download/remote_downloads.h"
#include "fixture.h"
#include "raw_http_server.h"
#include "share/share_session.h"
#include "share_simulator.h"
#include "view/download_list.h"

namespace {

// A cell's text as the list shows it.
QString Cell(const QAbstractItemView* list, int row, int column) {
  return list->model()->index(row, column).data().toString();
}

bool Save(QWidget* widget, const QDir& dir, const QString& name) {
  QString path = dir.filePath(name);
  bool ok = widget->grab().save(path);
  std::cout << (ok ? "saved " : "FAILED ") << path.toStdString() << "\n";
  return ok;
}

// Lets the window work until `done` holds or the time runs out.
bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms) QTest::qWait(20);
  return done();
}

// Stands in for aria2 on its JSON-RPC: it holds nothing, takes each download as gid "g-N" (N its
// link's last part) and says the first runs, the second waits and the third's link is refused.
struct ScriptedAria2 {
  using Json = nlohmann::json;
  static Json Status(const std::string& gid) {
    if (gid == "g-0")
      return {{"status", "active"},
              {"totalLength", std::to_string(8 << 20)},
              {"completedLength", std::to_string(3 << 20)},
              {"downloadSpeed", std::to_string(850 << 10)}};
    if (gid == "g-1") return {{"status", "waiting"}, {"totalLength", std::to_string(8 << 20)}};
    return {{"status", "error"},
            {"errorCode", "22"},
            {"errorMessage", "The response status is not successful. status=403"}};
  }
  sf::test::RawResponse Serve(const sf::test::RawRequest& r) {
    Json request = Json::parse(r.body, nullptr, false);
    Json result = Json::object();
    if (request.is_object() && request["method"] == "system.multicall") {
      result = Json::array();
      for (const Json& call : request["params"][0]) {
        const Json& p = call["params"];
        Json one = Json::array();  // tellActive, tellWaiting, tellStopped
        if (call["methodName"] == "aria2.addUri") {
          std::string link = p[p.size() - 2][0];
          one = "g-" + link.substr(link.rfind('/') + 1);
        }
        if (call["methodName"] == "aria2.tellStatus") one = Status(p[p.size() - 2]);
        result.push_back(Json::array({one}));
      }
    }
    Json reply = {{"jsonrpc", "2.0"}, {"id", request.value("id", Json())}, {"result", result}};
    return sf::test::RawHttpServer::Reply(200, "OK", {}, reply.dump());
  }
  sf::test::RawHttpServer server{[this](const sf::test::RawRequest& r) { return Serve(r); }};
};

// Gives a refused file its link again at once.
class SameLink : public sf::LinkRenewer {
 public:
  void Renew(const sf::FileEntry& entry, Answer done) override { done(entry.dlink, {}); }
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  sf::app::InstallQtTranslations(app);
  if (argc != 2) {
    std::cerr << "Usage: sharefetch-shots OUTPUT_DIR\n";
    return 2;
  }
  QDir dir(QString::fromLocal8Bit(argv[1]));
  if (!dir.mkpath(".")) {
    std::cerr << "cannot create " << argv[1] << "\n";
    return 1;
  }
  sf::sim::ShareSimulator sim;
  if (!sim.StartFromText(sf::sim::DemoFixtureText())) {
    std::cerr << "the share service did not start: " << sim.error() << "\n";
    return 1;
  }

  // The downloads and the settings file go to a directory of their own, as if the program
  // were installed there.
  QTemporaryDir programDir(QDir::tempPath() + "/sharefetch-XXXXXX");
  sf::app::AppState state;
  sf::app::OpenInDirectory(state, sim.Url(""), programDir.path().toStdString());
  if (!state.engine) {
    std::cerr << state.engineError << "\n";
    return 1;
  }
  // Slow enough that both downloads are still running when the third tab is taken.
  sim.SetDownloadOverride(sf::sim::DownloadQuirks{48 << 10, false, 0});

  const char* names[] = {"tab1-resolve.png", "tab2-quick.png", "tab3-downloads.png",
                         "tab4-unfinished.png"};
  bool ok = true;
  {
    sf::app::MainWindow window(state);
    window.show();
    auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("选择夹1"));
    auto* parse = window.resolveTab()->findChild<QPushButton*>(QStringLiteral("按钮1"));
    auto* results = window.findChild<QTreeView*>(QStringLiteral("超级列表框1"));

    window.resolveTab()->SetUrl(QString::fromStdString(sim.ShareUrl("1demoPublic")));
    QTest::mouseClick(parse, Qt::LeftButton);
    ok = WaitFor([&] { return parse->isEnabled() && results->model()->rowCount() > 0; });
    ok &= Save(&window, dir, names[0]);
    // The quick tab after a captcha was shown and answered: the picture and the link together.
    tabs->setCurrentIndex(1);
    sf::app::QuickTab* quick = window.quickTab();
    quick->url()->setText(QString::fromStdString(sim.ShareUrl("1demoQuick")));
    QTest::mouseClick(quick->parseButton(), Qt::LeftButton);
    ok &= WaitFor([&] { return !quick->running(); });
    std::string token;
    for (const auto& r : sim.Requests())
      if (r.Path() == "/genimage") token = r.Query();
    QTest::keyClicks(quick->captcha(),
                     QString::fromStdString(sim.CaptchaAnswer(token).value_or("")));
    QTest::mouseClick(quick->submitButton(), Qt::LeftButton);
    ok &= WaitFor([&] { return !quick->running() && !quick->output()->toPlainText().isEmpty(); });
    QTest::qWait(50);
    ok &= Save(&window, dir, names[1]);

    // Downloads started as a user does: select a row, choose 开始下载. Three run at once.
    auto* start = window.findChild<QAction*>(QStringLiteral("开始下载"));
    auto startRow = [&](const QString& name) {
      QAbstractItemModel* rows = results->model();
      auto found = rows->match(rows->index(0, 1), Qt::DisplayRole, name, 1, Qt::MatchExactly);
      if (found.isEmpty()) {
        std::cerr << "no row " << name.toStdString() << " in the result list\n";
        return false;
      }
      results->setCurrentIndex(found.front());
      start->trigger();
      return true;
    };
    if (!startRow(QStringLiteral("旅行照片.zip")) ||
        !startRow(QStringLiteral("第一章 概述.pptx")) || !startRow(QStringLiteral("读书笔记.pdf")))
      return 1;
    // A link whose signature the service refuses fails with HTTP 403 and stays listed.
    QAbstractItemModel* rows = results->model();
    auto found = rows->match(rows->index(0, 1), Qt::DisplayRole, QStringLiteral("说明.txt"), 1,
                             Qt::MatchExactly);
    if (found.isEmpty()) return 1;
    sf::DownloadRequest refused;
    refused.name = sf::Utf8ToGbk("说明.txt");
    refused.address = sf::Utf8ToGbk(found.front()
                                        .siblingAtColumn(3)
                                        .data()
                                        .toString()
                                        .replace("sign=", "sign=0")
                                        .toStdString());
    window.downloadsTab()->StartDownload(refused);
    // A limit of four digits shows whole; the box is not ticked, so nothing is held back.
    window.downloadsTab()->limitValue()->setText(QStringLiteral("1000"));
    tabs->setCurrentIndex(2);
    auto* downloads = window.findChild<QTreeView*>(QStringLiteral("超级列表框2"));
    // Paused once some of it is on disk.
    ok &= WaitFor([&] { return window.downloadsTab()->queue()->Items()[2].done > (256 << 10); });
    window.downloadsTab()->downloads()->Pause(
        {sf::ItemId{window.downloadsTab()->queue()->Items()[2].id}});
    ok &= WaitFor([&] { return Cell(downloads, 3, 3).startsWith(QStringLiteral("失败")); });
    if (!startRow(QStringLiteral("第二章 练习.docx")) || !startRow(QStringLiteral("第01首.mp3")))
      return 1;
    downloads->clearSelection();
    ok &= WaitFor([&] {
      return downloads->model()->rowCount() == 6 && Cell(downloads, 1, 2) != "0.00MB" &&
             Cell(downloads, 5, 3) == QStringLiteral("等待中");
    });
    QTest::qWait(1200);
    ok &= Save(&window, dir, names[2]);
    // The menu over a running download: 继续 and 重试 do not apply.
    downloads->selectionModel()->select(downloads->model()->index(0, 0),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
    emit downloads->customContextMenuRequested(
        downloads->visualRect(downloads->model()->index(0, 0)).center());
    QTest::qWait(100);
    ok &= Save(window.downloadsTab()->menu(), dir, "menu-downloads.png");
    window.downloadsTab()->menu()->close();
    // Sorted by size, largest first, with one download selected.
    downloads->clearSelection();
    downloads->header()->setSortIndicator(sf::kColumnTotalSize, Qt::DescendingOrder);
    downloads->selectionModel()->select(downloads->model()->index(1, 0),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QTest::qWait(1200);
    ok &= Save(&window, dir, "tab3-downloads-sorted.png");
    // The question before 删除任务和文件.
    QTimer::singleShot(300, [&] {
      if (QWidget* modal = QApplication::activeModalWidget()) {
        ok &= Save(modal, dir, "dialog-delete-files.png");
        modal->close();
      }
    });
    sf::app::DownloadsTab::AskToRemoveFiles(&window, 2);
    // The question before a close stops the downloads under way.
    QTimer::singleShot(300, [&] {
      if (QWidget* modal = QApplication::activeModalWidget()) {
        ok &= Save(modal, dir, "dialog-close-downloads.png");
        modal->close();
      }
    });
    sf::app::MainWindow::AskToStopDownloads(&window, 4);
    // Everything paused: the status bar still counts the failed download, with no time left.
    std::vector<sf::ItemId> all;
    for (const sf::DownloadItem& item : window.downloadsTab()->queue()->Items())
      all.push_back(sf::ItemId{item.id});
    window.downloadsTab()->downloads()->Pause(all);
    QTest::qWait(2200);
    ok &= Save(&window, dir, "status-failed-count.png");
    downloads->clearSelection();
    window.close();  // leaves all of them in the settings file
  }

  // The next run: its unfinished list holds what the closed window left.
  sf::app::MainWindow window(state);
  window.show();
  window.findChild<QTabWidget*>(QStringLiteral("选择夹1"))->setCurrentIndex(3);
  QTest::qWait(50);
  ok &= Save(&window, dir, names[3]);

  sf::app::PasswordDialog password(&window);
  password.show();
  password.findChild<QLineEdit*>(QStringLiteral("编辑框_提取密码"))->setText("ab12");
  QTest::qWait(50);
  ok &= Save(&password, dir, "dialog-password.png");
  password.close();

  sf::app::PasswordDialog again(&window);
  again.SayWrong();
  again.show();
  QTest::qWait(50);
  ok &= Save(&again, dir, "dialog-password-wrong.png");
  again.close();

  sf::app::CaptchaDialog captcha(*state.session, -20, &window);
  captcha.show();
  QTest::qWait(50);
  ok &= Save(&captcha, dir, "dialog-captcha.png");
  captcha.close();

  QMessageBox* about = sf::app::ShowAbout(&window);
  QTest::qWait(50);
  ok &= Save(about, dir, "about.png");
  about->close();

  // The remote downloader's settings after a successful connection test.
  QTemporaryDir aria2Dir(QDir::tempPath() + "/sharefetch-aria2-XXXXXX");
  sf::test::Aria2Daemon aria2(aria2Dir.path().toStdString(), "demo-secret");
  if (!aria2.running()) std::cerr << aria2.error() << "\n";
  sf::app::RemoteDialog* remote = window.ShowRemoteSettings();
  remote->address()->setText(QString::fromStdString(aria2.Endpoint()));
  remote->secret()->setText(QStringLiteral("demo-secret"));
  QTest::mouseClick(remote->testButton(), Qt::LeftButton);
  ok &= WaitFor([&] { return !remote->testing(); });
  QTest::qWait(50);
  ok &= Save(remote, dir, "dialog-remote.png");
  remote->reject();

  // Files followed on a downloader, as its answers make their rows: one running, one waiting,
  // one whose link stayed refused. A stand-in answers as aria2 would.
  ScriptedAria2 scripted;
  sf::ShareOrder order;
  const char* followedFiles[] = {"第01首.mp3", "相册/0001.jpg", "资料/报告 2024.pdf"};
  for (const char* path : followedFiles) {
    std::string p = path;
    sf::FileEntry entry;
    entry.isdir = "0";
    entry.server_filename = sf::Utf8ToGbk(p.substr(p.rfind('/') + 1));
    entry.path = sf::Utf8ToGbk("/" + p);
    entry.folder_path =
        p.find('/') == std::string::npos ? "" : sf::Utf8ToGbk(p.substr(0, p.find('/')));
    entry.size = std::to_string(8 << 20);
    entry.dlink = "http://127.0.0.1:1/file/" + std::to_string(order.entries.size());
    order.chosen.push_back(order.entries.size());
    order.entries.push_back(entry);
  }
  order.directory = "/downloads";
  order.renewer = std::make_shared<SameLink>();
  bool handedOff = false;
  window.downloadsTab()->SendToRemote({sf::Utf8ToGbk(scripted.server.Url("/jsonrpc")), ""},
                                      std::move(order),
                                      [&](const sf::SpreadHandOff&) { handedOff = true; });
  ok &= WaitFor([&] {
    auto* list = window.downloadsTab()->list();
    if (!handedOff || list->model()->rowCount() != 3) return false;
    for (int row = 0; row < 3; ++row)
      if (Cell(list, row, 3) == QStringLiteral("失败")) return true;
    return false;
  });
  window.findChild<QTabWidget*>(QStringLiteral("选择夹1"))->setCurrentIndex(2);
  QTest::qWait(50);
  ok &= Save(&window, dir, "tab3-downloads-remote.png");
  return ok ? 0 : 1;
}
