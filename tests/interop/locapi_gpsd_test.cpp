// The location source through the real liblocapi and a real gpsd, which reads NMEA from a
// pseudo-terminal standing in for a receiver: gpsd started after the source, stopped and started
// again.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "sources/trackers/gps_tracker_locapi.h"
#include "support/pty_pair.h"
#include "support/qt_event_loop.h"
#include "support/qt_process.h"

namespace geomuxer {
namespace {

using test::freePort;
using test::ProcessGuard;
using test::PtyPair;
using test::qtApp;
using test::waitUntil;
using namespace std::chrono_literals;

// "$GPRMC,...*hh\r\n" from the text between "$" and "*".
std::string sentence(const std::string& body) {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  return "$" + body + tail;
}

// A receiver at 47 degrees 30.0000' N, 8 degrees 15.0000' E, 512 m, reporting the current time.
std::string fixBlock() {
  const QDateTime now = QDateTime::currentDateTimeUtc();
  const std::string time = now.toString("hhmmss.zzz").left(9).toStdString();
  const std::string date = now.toString("ddMMyy").toStdString();
  return sentence("GPRMC," + time + ",A,4730.0000,N,00815.0000,E,0.0,0.0," + date + ",,,A") +
         sentence("GPGGA," + time + ",4730.0000,N,00815.0000,E,1,08,0.9,512.0,M,47.0,M,,");
}

TEST(LocapiGpsdInterop, GpsdStartedLateStoppedAndStartedAgain) {
  qtApp();
  const QString gpsd = QStandardPaths::findExecutable("gpsd", {"/usr/sbin", "/usr/local/sbin", "/sbin"});
  if (gpsd.isEmpty()) GTEST_SKIP() << "gpsd is not installed";
  PtyPair receiver;
  if (!receiver.ok()) GTEST_SKIP() << "no pseudo-terminal available";
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());

  // A block every 200 ms; the master end is non-blocking, and what a full line refuses is dropped.
  QTimer feeder;
  QObject::connect(&feeder, &QTimer::timeout, [&] {
    const std::string block = fixBlock();
    (void)!::write(receiver.master(), block.data(), block.size());
  });
  feeder.start(200);

  const quint16 port = freePort();
  qputenv("GEOMUXER_GPSD", QByteArray("127.0.0.1:") + QByteArray::number(port));
  GpsTrackerLocapi tracker;
  tracker.setLibraryPath(LOCAPI_LIBRARY_PATH);
  tracker.setInterval(200);
  std::vector<PositionInfo> positions;
  QObject::connect(&tracker, &GpsTracker::positionReceived, [&](const PositionInfo& p) { positions.push_back(p); });
  QSignalSpy faults(&tracker, &GpsTracker::faulted);
  EXPECT_TRUE(tracker.isAvailable()) << "offered before gpsd runs";

  // Until gpsd listens, the source runs and waits for it.
  tracker.start();
  EXPECT_TRUE(tracker.isActive());
  ASSERT_EQ(faults.count(), 1);
  EXPECT_EQ(faults.at(0).at(0).value<TransportFault>().kind, FaultKind::refused);
  EXPECT_EQ(tracker.status().state, SourceState::Reconnecting);

  QProcess daemon;
  daemon.setProcessChannelMode(QProcess::MergedChannels);
  ProcessGuard guard{daemon};
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "gpsd started after the source" : "gpsd started again");
    // -b: gpsd must not write probes to our receiver; -n: read it without waiting for a client.
    daemon.start(gpsd, {"-N", "-n", "-b", "-F", dir.filePath("gpsd.sock"), "-P", dir.filePath("gpsd.pid"), "-S",
                        QString::number(port), QString::fromStdString(receiver.slaveName())});
    ASSERT_TRUE(daemon.waitForStarted(5000)) << "gpsd did not start";
    const std::size_t before = positions.size();
    ASSERT_TRUE(waitUntil([&] { return positions.size() > before || daemon.state() == QProcess::NotRunning; }, 30s))
        << "no position from gpsd; gpsd wrote: " << daemon.readAll().toStdString();
    ASSERT_GT(positions.size(), before) << "gpsd ended: " << daemon.readAll().toStdString();
    EXPECT_EQ(tracker.status().reconnects, static_cast<std::uint64_t>(round + 1));

    const PositionInfo& p = positions.back();
    EXPECT_NEAR(p.y, 47.5, 1e-5);
    EXPECT_NEAR(p.x, 8.25, 1e-5);
    EXPECT_LT(std::fabs(p.time - nowUtc()) * 86400.0, 60.0) << "the fix carries the receiver's time";

    // gpsd goes away: the source says so instead of staying silent, and waits for it again.
    daemon.terminate();
    ASSERT_TRUE(daemon.waitForFinished(5000));
    ASSERT_TRUE(waitUntil([&] { return tracker.status().state == SourceState::Reconnecting; }, 10s));
    EXPECT_EQ(tracker.status().lastError, "The location service went away.");
    EXPECT_TRUE(tracker.isActive());
  }
  tracker.stop();
  qunsetenv("GEOMUXER_GPSD");
}

}  // namespace
}  // namespace geomuxer
