// How the window drivers wait: as the application's own loop does.
#pragma once

#include <QEventLoop>
#include <QTimer>

namespace sf::bench {

// Runs the event loop for `ms` as the application's own loop runs it: asleep in poll until a
// descriptor, a timer or a posted event wakes it. QTest::qWait sleeps between its passes
// instead, and the engine's word that a file ended would wait out each sleep.
inline void RunLoop(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace sf::bench
