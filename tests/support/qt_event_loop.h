#pragma once
// Event-loop helpers for tests of Qt components: one QCoreApplication per test program and waits
// with a deadline instead of sleeps.

#include <QCoreApplication>
#include <QtCore/qtestsupport_core.h>

#include <chrono>

namespace geomuxer::test {

/// The program's application object, created on first use.
inline QCoreApplication& qtApp() {
  static int argc = 1;
  static char name[] = "geomuxer-test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app =
      QCoreApplication::instance() != nullptr ? QCoreApplication::instance() : new QCoreApplication(argc, argv);
  return *app;
}

/// Runs the event loop until `done()` holds or the time is up; returns `done()`.
template <typename Predicate>
[[nodiscard]] bool waitUntil(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  qtApp();
  return QTest::qWaitFor(done, static_cast<int>(timeout.count()));
}

/// Runs the event loop for a while, for checking that something does not happen.
inline void spin(std::chrono::milliseconds time) {
  qtApp();
  QTest::qWait(static_cast<int>(time.count()));
}

}  // namespace geomuxer::test
