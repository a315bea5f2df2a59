// Drives the "未完成的下载" tab of the window over many remembered downloads and prints what the
// user waits for: the time until the rows show, the time 继续下载 (every row selected) or
// 全部继续 takes to return, the longest the window then stops answering while the rows go to
// the download list, the time until all of them are there, and the time a delete of 10 000
// scattered rows takes until the list is drawn again. Beside it, as the peer, the same rows in
// a list filled item by item in one go (what the tab was before): the time to show them and
// the same delete. Figures only; bench/unfinished_bench.sh runs it.
// Usage: sharefetch-unfinished-bench ROWS resume|resume-all|delete
// The downloads point at a closed port of 127.0.0.1: each fails at once, nothing leaves the
// machine. SF_BENCH_SHOT=FILE saves a picture of the tab once its rows show; SF_BENCH_NO_PEER
// leaves the peer out, for a profiler.
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QMenu>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/downloads_tab.h"
#include "app/main_window.h"
#include "app/unfinished_tab.h"
#include "base/settings_file.h"
#include "download/download_engine.h"
#include "run_loop.h"
#include "share/share_session.h"

namespace {

std::vector<sf::UnfinishedDownload> Rows(int n, const std::string& dir) {
  std::vector<sf::UnfinishedDownload> rows;
  rows.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const std::string name = "file-" + std::to_string(i) + ".bin";
    rows.push_back({name, "http://127.0.0.1:9/" + name, dir, 16});
  }
  return rows;
}

// Every 20th row selected: 10 000 separate rows of 200 000.
template <typename Select>
int SelectScattered(int rows, int wanted, Select select) {
  const int step = std::max(1, rows / wanted);
  int chosen = 0;
  for (int row = 0; row < rows && chosen < wanted; row += step, ++chosen) select(row);
  return chosen;
}

double Seconds(const QElapsedTimer& clock) {
  return static_cast<double>(clock.nsecsElapsed()) / 1e9;
}

// The old list: one item per row, added in one go, and a delete that takes the selected items
// out one by one from the end.
void Peer(const std::vector<sf::UnfinishedDownload>& rows, int deleted) {
  if (std::getenv("SF_BENCH_NO_PEER")) return;
  QTreeWidget list;
  list.setColumnCount(3);
  list.setUniformRowHeights(true);
  list.setSelectionMode(QAbstractItemView::ExtendedSelection);
  list.resize(432, 320);
  list.show();
  (void)QTest::qWaitForWindowExposed(&list);
  QElapsedTimer clock;
  clock.start();
  QList<QTreeWidgetItem*> items;
  items.reserve(static_cast<qsizetype>(rows.size()));
  for (const sf::UnfinishedDownload& r : rows) {
    auto* item = new QTreeWidgetItem;
    item->setText(0, QString::fromStdString(r.fileName));
    item->setText(1, QString::fromStdString(r.address));
    item->setText(2, QString::fromStdString(r.saveDirectory));
    items.append(item);
  }
  list.addTopLevelItems(items);
  list.viewport()->repaint();
  std::cout << "peer (item list): rows shown after " << Seconds(clock) << " s\n" << std::flush;
  if (deleted <= 0) return;
  SelectScattered(list.topLevelItemCount(), deleted,
                  [&](int row) { list.topLevelItem(row)->setSelected(true); });
  clock.restart();
  for (int row = list.topLevelItemCount() - 1; row >= 0; --row)
    if (list.topLevelItem(row)->isSelected()) delete list.takeTopLevelItem(row);
  list.viewport()->repaint();
  std::cout << "peer (item list): delete of " << deleted << " rows drawn after " << Seconds(clock)
            << " s\n"
            << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const std::string mode = argc == 3 ? argv[2] : "";
  if (mode != "resume" && mode != "resume-all" && mode != "delete") {
    std::cerr << "Usage: sharefetch-unfinished-bench ROWS resume|resume-all|delete\n";
    return 2;
  }
  const int n = std::atoi(argv[1]);
  QTemporaryDir programDir(QDir::tempPath() + "/sharefetch-bench-XXXXXX");
  sf::app::AppState state;
  sf::app::OpenInDirectory(state, "127.0.0.1:9", programDir.path().toStdString());
  if (!state.engine) {
    std::cerr << state.engineError << "\n";
    return 1;
  }
  const std::vector<sf::UnfinishedDownload> rows = Rows(n, state.programDirectory + "/downloads");

  sf::app::MainWindow window(state);
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) std::cerr << "the window was not shown\n";
  sf::app::UnfinishedTab* tab = window.unfinishedTab();
  QTreeView* list = tab->list();
  window.findChild<QTabWidget*>(QStringLiteral("选择夹1"))->setCurrentIndex(3);
  sf::bench::RunLoop(50);

  QElapsedTimer clock;
  clock.start();
  // The rows as the settings file gave them, handed over to the list.
  std::vector<sf::UnfinishedDownload> given = rows;
  std::cout << "a copy of the rows (not the list's) takes " << Seconds(clock) << " s\n";
  clock.restart();
  tab->SetRows(std::move(given));
  const double set = Seconds(clock);
  list->viewport()->repaint();
  std::cout << "rows set after " << set << " s\n";
  std::cout << "rows shown after " << Seconds(clock) << " s: " << list->model()->rowCount() << "\n"
            << std::flush;
  if (const char* shot = std::getenv("SF_BENCH_SHOT")) window.grab().save(shot);

  if (mode == "delete") {
    const int wanted = std::min(10000, n / 2);
    SelectScattered(n, wanted, [&](int row) {
      list->selectionModel()->select(list->model()->index(row, 0),
                                     QItemSelectionModel::Select | QItemSelectionModel::Rows);
    });
    list->scrollTo(list->model()->index(n / 2, 0));
    list->viewport()->repaint();
    clock.restart();
    tab->menu()->findChild<QAction*>(QStringLiteral("删除"))->trigger();
    list->viewport()->repaint();
    std::cout << "delete of " << wanted << " scattered rows drawn after " << Seconds(clock)
              << " s; " << list->model()->rowCount() << " rows left\n"
              << std::flush;
    Peer(rows, wanted);
  } else {
    if (mode == "resume") list->selectAll();
    const char* item = mode == "resume" ? "继续下载" : "全部继续";
    clock.restart();
    tab->menu()->findChild<QAction*>(QString::fromUtf8(item))->trigger();
    std::cout << item << " on " << n << " rows returned after " << Seconds(clock) << " s, "
              << tab->waiting() << " waiting for their batch\n"
              << std::flush;
    // The longest the event loop went without running a 10 ms timer while the rows went over.
    QElapsedTimer since;
    since.start();
    qint64 longest = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout,
                     [&] { longest = std::max(longest, since.restart()); });
    tick.start(10);
    // Waited for as the window's own loop waits, asleep until something wakes it: qWait's
    // sleeps would hold each batch back and the window's timers with it.
    while (tab->waiting() > 0 && clock.elapsed() < 600000) sf::bench::RunLoop(5);
    const double all = Seconds(clock);
    std::cout << "all " << window.downloadsTab()->queue()->Items().size()
              << " on the download list after " << all
              << " s; longest the window did not answer meanwhile: " << longest << " ms\n"
              << std::flush;
    Peer(rows, 0);
  }
  // Closing would save every unfinished download for the next run, which is no part of this.
  std::fflush(nullptr);
  _exit(0);
}
