#pragma once
// Helpers for tests that start peer programs or listen on loopback ports.

#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>

#include <gtest/gtest.h>

namespace geomuxer::test {

/// A loopback port that was free a moment ago; a test failure and 0 when none could be had.
inline quint16 freePort() {
  QTcpServer probe;
  EXPECT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
  return probe.serverPort();
}

/// Ends a helper program however it behaves: politely first, then by force.
struct ProcessGuard {
  QProcess& process;
  ~ProcessGuard() {
    if (process.state() == QProcess::NotRunning) return;
    process.terminate();
    if (!process.waitForFinished(2000)) {
      process.kill();
      process.waitForFinished(2000);
    }
  }
};

}  // namespace geomuxer::test
