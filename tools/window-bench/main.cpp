// Drives the window as a user does through one share of the local share service and prints
// what the user waits for: the parse's time, the time to its first rows, the window's memory
// once parsed, the time 全部下载 takes to return, and the longest the window then stops
// answering while the downloads tab takes the files in; then, all paused from the list's menu,
// the process's CPU use over 10 s. Figures only; bench/window_bench.sh
// starts the service and this program.
// Usage: sharefetch-window-bench HOST SHARE_URL
// SF_BENCH_SHOT=FILE saves a picture of the window a second after the first rows came;
// SF_BENCH_PAUSE_MS=N waits N ms before 全部下载, for a profiler to attach.
#include <sys/resource.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "app/main_window.h"
#include "app/resolve_tab.h"
#include "base/settings_file.h"
#include "download/download_engine.h"
#include "share/share_session.h"

namespace {

// The process's resident and peak resident memory in MiB, as the kernel counts them.
std::string Memory() {
  std::ifstream status("/proc/self/status");
  std::string line, out;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0 || line.rfind("VmHWM:", 0) == 0) {
      long kb = std::stol(line.substr(6));
      out +=
          (out.empty() ? "" : ", ") + line.substr(0, 5) + " " + std::to_string(kb / 1024) + " MiB";
    }
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
  QElapsedTimer clock, since;
  clock.start();
  since.start();
  qint64 longest = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] { longest = std::max(longest, since.restart()); });
  tick.start(10);
  while (clock.elapsed() < ms) QTest::qWait(5);
  return std::max(longest, since.elapsed());
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 3) {
    std::cerr << "Usage: sharefetch-window-bench HOST SHARE_URL\n";
    return 2;
  }
  QTemporaryDir programDir(QDir::tempPath() + "/sharefetch-bench-XXXXXX");
  sf::app::AppState state;
  state.session = std::make_shared<sf::ShareSession>(argv[1]);
  sf::EngineLoad engine = sf::LoadEngineFromProgramDirectory();
  if (!engine.engine) {
    std::cerr << engine.error << "\n";
    return 1;
  }
  state.engine = std::move(engine.engine);
  state.programDirectory = programDir.path().toStdString();
  state.settings = sf::SettingsPathsFor(state.programDirectory, nullptr, nullptr);

  sf::app::MainWindow window(state);
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
    QTest::qWait(10);
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
  QTest::qWait(200);
  std::cout << "memory parsed: " << Memory() << "\n" << std::flush;

  if (const char* pause = std::getenv("SF_BENCH_PAUSE_MS")) QTest::qWait(std::atoi(pause));
  auto* all = window.findChild<QAction*>(QStringLiteral("全部下载"));
  clock.restart();
  all->trigger();
  std::cout << "全部下载 returned after " << clock.elapsed() / 1000.0 << " s; "
            << status->text().toStdString() << "\n"
            << std::flush;
  std::cout << "longest the window did not answer in the 5 s after: " << LongestStall(5000)
            << " ms\n";
  std::cout << "memory with the downloads queued: " << Memory() << "\n" << std::flush;

  // As the user pauses them all: every row selected, 暂停 from the list's menu.
  auto* list = window.findChild<QTreeView*>(QStringLiteral("超级列表框2"));
  auto* pause = window.findChild<QAction*>(QStringLiteral("暂停"));
  list->selectAll();
  emit list->customContextMenuRequested(QPoint(10, 10));
  clock.restart();
  pause->trigger();
  std::cout << "暂停 on " << list->model()->rowCount() << " rows returned after "
            << clock.elapsed() / 1000.0 << " s\n";
  QTest::qWait(1000);
  const double before = CpuSeconds();
  clock.restart();
  const qint64 pausedStall = LongestStall(10000);
  std::cout << "CPU with all paused: "
            << 100.0 * (CpuSeconds() - before) / (clock.elapsed() / 1000.0)
            << " % of one core over 10 s; longest the window did not answer: " << pausedStall
            << " ms\n"
            << std::flush;
  // Closing would save every unfinished download for the next run, which is no part of this.
  std::fflush(nullptr);
  _exit(0);
}
