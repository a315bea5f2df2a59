// Drives the window as a user does through one share of the local share service and prints
// what the user waits for: the parse's time, the time to its first rows, the window's memory
// once parsed, the time 全部下载 takes to return, to its first rows and to its last, and the
// longest the window then stops answering while the downloads tab takes the files in; the
// files finished per second while they download; then, all paused from the list's menu, the
// process's CPU use over 10 s; 删除任务 on 10 000 rows, a switch of tabs, and the close, which
// leaves the unfinished downloads in PROGRAM_DIR for the next run. Figures only;
// bench/window_bench.sh starts the service and this program, and compares. 全部下载, 全部继续 and
// the close also say the CPU time they took, every thread's: under load it is the fairer figure.
// Usage: sharefetch-window-bench HOST SHARE_URL PROGRAM_DIR
//        sharefetch-window-bench --start PROGRAM_DIR
// The second starts the window on what the first left: the time until it is on screen, a
// switch of tabs, 全部继续 in 未完成的下载, and the close.
// SF_BENCH_SHOT=FILE saves a picture of the window a second after the first rows came;
// SF_BENCH_PAUSE_MS=N waits N ms before 全部下载, for a profiler to attach.
#include <malloc.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "app/downloads_tab.h"
#include "app/main_window.h"
#include "app/resolve_tab.h"
#include "app/unfinished_tab.h"
#include "base/settings_file.h"
#include "download/download_engine.h"
#include "run_loop.h"
#include "share/share_session.h"

namespace {

using sf::bench::RunLoop;

// The process's resident and peak resident memory in MiB, as the kernel counts them, and of
// the allocator's, what is in use and what it holds free: the part of the resident memory
// that records of ours take up, and the part that only waits to be used again.
std::string Memory() {
  std::ifstream status("/proc/self/status");
  std::string line, out;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0 || line.rfind("VmHWM:", 0) == 0) {
      long kb = std::stol(line.substr(6));
      out +=
          (out.empty() ? "" : ", ") + line.substr(0, 5) + " " + std::to_string(kb / 1024) + " MiB";
    }
  const struct mallinfo2 heap = mallinfo2();
  const size_t inUse = heap.uordblks + heap.hblkhd;
  out += "; heap in use " + std::to_string(inUse >> 20) + " MiB, held free " +
         std::to_string(heap.fordblks >> 20) + " MiB";
  return out;
}

// The process's CPU time, every thread's, user and system.
double CpuSeconds() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(use.ru_utime) + seconds(use.ru_stime);
}

// The longest time the event loop went without running a 10 ms timer, over `ms`.
qint64 LongestStall(int ms) {
  QElapsedTimer since;
  since.start();
  qint64 longest = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] { longest = std::max(longest, since.restart()); });
  tick.start(10);
  RunLoop(ms);
  return std::max(longest, since.elapsed());
}

// The CPU time of the calling thread alone: the window's, where every event of the engine is
// taken in and every row drawn.
double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// The time a switch to tab `index` takes to be drawn.
double SwitchTab(sf::app::MainWindow& window, int index) {
  auto* tabs = window.findChild<QTabWidget*>();
  QElapsedTimer clock;
  clock.start();
  tabs->setCurrentIndex(index);
  tabs->currentWidget()->repaint();
  QCoreApplication::processEvents();
  return clock.elapsed() / 1000.0;
}

// The close as the user makes it, its downloads left for the next run, and the window gone.
void Close(sf::app::MainWindow* window, sf::app::AppState& state) {
  window->SetCloseConfirm([](QWidget*, int) { return true; });
  QElapsedTimer clock;
  clock.start();
  const double cpu = CpuSeconds();
  window->close();
  const qint64 saved = clock.elapsed();
  delete window;
  const qint64 gone = clock.elapsed();
  state.engine.reset();
  std::cout << "close: " << clock.elapsed() / 1000.0 << " s (the close itself " << saved / 1000.0
            << " s, the window gone " << (gone - saved) / 1000.0 << " s, the engine stopped "
            << (clock.elapsed() - gone) / 1000.0 << " s); CPU " << CpuSeconds() - cpu << " s\n"
            << std::flush;
}

int StartAgain(const char* programDir, const QElapsedTimer& sinceStart) {
  sf::app::AppState state;
  sf::app::OpenInDirectory(state, "http://127.0.0.1:9", programDir);
  auto* window = new sf::app::MainWindow(state);
  window->show();
  if (!QTest::qWaitForWindowExposed(window)) std::cerr << "the window was not shown\n";
  auto* unfinished = window->unfinishedTab();
  std::cout << "start: " << sinceStart.elapsed() / 1000.0 << " s to the window on screen, "
            << unfinished->model()->rowCount() << " remembered rows; " << Memory() << "\n";
  std::cout << "tab switch to 未完成的下载: " << SwitchTab(*window, 3) << " s\n" << std::flush;
  auto* all = unfinished->findChild<QAction*>(QStringLiteral("全部继续"));
  QElapsedTimer clock;
  clock.start();
  const double cpu = CpuSeconds();
  all->trigger();
  std::cout << "全部继续 returned after " << clock.elapsed() / 1000.0 << " s; CPU "
            << CpuSeconds() - cpu << " s\n";
  std::cout << "longest the window did not answer in the 5 s after: " << LongestStall(5000)
            << " ms\n";
  std::cout << "tab switch to 正在下载: " << SwitchTab(*window, 2) << " s\n" << std::flush;
  Close(window, state);
  std::fflush(nullptr);
  _exit(0);
}

// The count in "本次已完成 N 个文件", 0 before the first.
long FinishedCount(sf::app::MainWindow& window) {
  QString text = window.downloadsTab()->finishedCount()->text();
  text.remove(QRegularExpression(QStringLiteral("[^0-9]")));
  return text.toLong();
}

}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer sinceStart;
  sinceStart.start();
  QApplication app(argc, argv);
  if (argc == 3 && std::string(argv[1]) == "--start") return StartAgain(argv[2], sinceStart);
  if (argc != 4) {
    std::cerr << "Usage: sharefetch-window-bench HOST SHARE_URL PROGRAM_DIR\n"
                 "       sharefetch-window-bench --start PROGRAM_DIR\n";
    return 2;
  }
  sf::app::AppState state;
  sf::app::OpenInDirectory(state, argv[1], argv[3]);
  if (!state.engine) {
    std::cerr << state.engineError << "\n";
    return 1;
  }

  auto* windowAt = new sf::app::MainWindow(state);
  sf::app::MainWindow& window = *windowAt;
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) std::cerr << "the window was not shown\n";
  auto* parse = window.resolveTab()->findChild<QPushButton*>(QStringLiteral("按钮1"));
  QAbstractItemModel* rows = window.findChild<QTreeView*>(QStringLiteral("超级列表框1"))->model();
  auto* status = window.findChild<QLabel*>(QStringLiteral("状态条1_1"));
  std::cout << "memory before the parse: " << Memory() << "\n";

  window.resolveTab()->SetUrl(QString::fromLocal8Bit(argv[2]));
  QElapsedTimer clock;
  clock.start();
  QTest::mouseClick(parse, Qt::LeftButton);
  qint64 firstRows = -1, longest = 0, last = 0;
  const char* shot = std::getenv("SF_BENCH_SHOT");
  while (!parse->isEnabled()) {
    RunLoop(10);
    // A wait far past 10 ms is the window not answering.
    longest = std::max(longest, clock.elapsed() - last);
    last = clock.elapsed();
    // A picture of the window while the parse runs, when asked for.
    if (shot && firstRows >= 0 && clock.elapsed() > firstRows + 1000) {
      window.grab().save(QString::fromLocal8Bit(shot));
      shot = nullptr;
    }
    if (firstRows < 0 && rows->rowCount() > 0) {
      firstRows = clock.elapsed();
      std::cout << "first rows after " << firstRows / 1000.0 << " s: " << rows->rowCount() << "\n"
                << std::flush;
    }
  }
  const qint64 parsed = clock.elapsed();
  std::cout << "parse: " << parsed / 1000.0 << " s, " << rows->rowCount() << " rows; "
            << status->text().toStdString() << "\n";
  std::cout << "longest the window did not answer during the parse: " << longest << " ms\n";
  RunLoop(200);
  std::cout << "memory parsed: " << Memory() << "\n" << std::flush;

  if (const char* pause = std::getenv("SF_BENCH_PAUSE_MS")) RunLoop(std::atoi(pause));
  auto* all = window.findChild<QAction*>(QStringLiteral("全部下载"));
  auto* list = window.findChild<QTreeView*>(QStringLiteral("超级列表框2"));
  clock.restart();
  const double allCpu = CpuSeconds();
  all->trigger();
  std::cout << "全部下载 returned after " << clock.elapsed() / 1000.0 << " s; "
            << status->text().toStdString() << "; CPU " << CpuSeconds() - allCpu << " s\n"
            << std::flush;
  // Rows come while the window goes on answering: the first, then all of them.
  qint64 first = -1, stall = 0;
  last = clock.elapsed();
  const size_t files = rows->rowCount();  // folders included: an upper bound
  const sf::DownloadManager* downloads = window.downloadsTab()->downloads();
  while (clock.elapsed() < 120000 && (first < 0 || downloads->Planning())) {
    RunLoop(5);
    stall = std::max(stall, clock.elapsed() - last);
    last = clock.elapsed();
    if (first < 0 && list->model()->rowCount() > 0) first = clock.elapsed();
  }
  std::cout << "全部下载: first download rows after " << first / 1000.0 << " s, all in after "
            << clock.elapsed() / 1000.0 << " s (" << files << " result rows); longest the "
            << "window did not answer meanwhile: " << stall << " ms; "
            << status->text().toStdString() << "\n";
  std::cout << "longest the window did not answer in the 5 s after: " << LongestStall(5000)
            << " ms\n";
  const long before = FinishedCount(window);
  clock.restart();
  const double windowCpu = ThreadCpuSeconds();
  const qint64 downloadingStall = LongestStall(10000);
  const double seconds = clock.elapsed() / 1000.0;
  std::cout << "files per second while downloading: " << (FinishedCount(window) - before) / seconds
            << "; longest the window did not answer: " << downloadingStall
            << " ms; the window's thread busy "
            << 100.0 * (ThreadCpuSeconds() - windowCpu) / seconds << " % of the time\n";
  std::cout << "memory with the downloads queued: " << Memory() << "\n" << std::flush;

  // As the user pauses them all: every row selected, 暂停 from the list's menu.
  auto* pause = window.findChild<QAction*>(QStringLiteral("暂停"));
  list->selectAll();
  emit list->customContextMenuRequested(QPoint(10, 10));
  clock.restart();
  const double pauseCpu = CpuSeconds();
  pause->trigger();
  std::cout << "暂停 on " << list->model()->rowCount() << " rows returned after "
            << clock.elapsed() / 1000.0 << " s; CPU " << CpuSeconds() - pauseCpu << " s\n";
  RunLoop(1000);
  const double cpuBefore = CpuSeconds();
  clock.restart();
  const qint64 pausedStall = LongestStall(10000);
  std::cout << "CPU with all paused: "
            << 100.0 * (CpuSeconds() - cpuBefore) / (clock.elapsed() / 1000.0)
            << " % of one core over 10 s; longest the window did not answer: " << pausedStall
            << " ms\n"
            << std::flush;

  // 删除任务 on the first 10 000 rows, chosen as a range.
  const int removing = std::min(10000, list->model()->rowCount());
  list->selectionModel()->select(
      QItemSelection(list->model()->index(0, 0), list->model()->index(removing - 1, 0)),
      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  emit list->customContextMenuRequested(QPoint(10, 10));
  auto* remove = window.findChild<QAction*>(QStringLiteral("删除任务"));
  clock.restart();
  remove->trigger();
  std::cout << "删除任务 on " << removing << " rows returned after " << clock.elapsed() / 1000.0
            << " s; " << list->model()->rowCount() << " rows left; longest the window did not "
            << "answer in the 2 s after: " << LongestStall(2000) << " ms\n";
  std::cout << "tab switch to 第一种模式: " << SwitchTab(window, 0)
            << " s; back to 正在下载: " << SwitchTab(window, 2) << " s\n"
            << std::flush;
  Close(windowAt, state);
  std::fflush(nullptr);
  _exit(0);
}
