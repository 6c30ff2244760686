// gpsd, reading our NMEA broadcast as a network receiver, must see our positions, whether the
// broadcast writes its own sentences or passes the source's on.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <QDateTime>

#include <cmath>
#include <functional>

#include "core/date_time.h"
#include "core/nmea.h"
#include "loggers/nmea_tcp_logger.h"
#include "sources/trackers/gps_tracker_nmea_com.h"
#include "support/pty_pair.h"
#include "support/qt_event_loop.h"
#include "support/qt_process.h"

namespace geomuxer {
namespace {

using test::freePort;
using test::ProcessGuard;

using test::qtApp;
using test::waitUntil;
using namespace std::chrono_literals;

// gpsd started on `broadcastPort` (tcp://) and gpspipe on gpsd: the first TPV report with a position.
QJsonObject gpsdReport(quint16 broadcastPort, const std::function<bool()>& connected) {
  const QString gpsd = QStandardPaths::findExecutable("gpsd", {"/usr/sbin", "/usr/local/sbin", "/sbin"});
  const QString gpspipe = QStandardPaths::findExecutable("gpspipe");
  QTemporaryDir dir;
  EXPECT_TRUE(dir.isValid());
  const quint16 gpsdPort = freePort();
  QProcess daemon;
  daemon.setProcessChannelMode(QProcess::MergedChannels);
  daemon.start(gpsd, {"-N", "-n", "-b", "-S", QString::number(gpsdPort), "-F", dir.filePath("gpsd.sock"),
                      "-P", dir.filePath("gpsd.pid"), QStringLiteral("tcp://127.0.0.1:%1").arg(broadcastPort)});
  ProcessGuard daemonGuard{daemon};
  EXPECT_TRUE(daemon.waitForStarted(5000)) << "gpsd did not start";
  if (!waitUntil(connected, 15s)) {
    ADD_FAILURE() << "gpsd never connected: " << daemon.readAll().toStdString();
    return {};
  }
  QProcess pipe;
  pipe.start(gpspipe, {"-w", "-n", "40", QStringLiteral("127.0.0.1:%1").arg(gpsdPort)});
  ProcessGuard pipeGuard{pipe};
  EXPECT_TRUE(pipe.waitForStarted(5000));
  QByteArray output;
  QJsonObject tpv;
  (void)waitUntil(
      [&] {
        output += pipe.readAllStandardOutput();
        for (const QByteArray& line : output.split('\n')) {
          const QJsonObject report = QJsonDocument::fromJson(line).object();
          if (report.value("class").toString() == "TPV" && report.contains("lat")) tpv = report;
        }
        return !tpv.isEmpty() || pipe.state() == QProcess::NotRunning;
      },
      20s);
  EXPECT_FALSE(tpv.isEmpty()) << "no TPV report; gpspipe wrote: " << output.toStdString();
  return tpv;
}

bool gpsdInstalled() {
  return !QStandardPaths::findExecutable("gpsd", {"/usr/sbin", "/usr/local/sbin", "/sbin"}).isEmpty() &&
         !QStandardPaths::findExecutable("gpspipe").isEmpty();
}

// Blocks of our own, with the GN talker and the VTG, GSA and ZDA they carry.
TEST(GpsdInterop, GpsdReportsOurBroadcastPositions) {
  qtApp();
  if (!gpsdInstalled()) GTEST_SKIP() << "gpsd or gpspipe is not installed";
  NmeaTcpLogger logger;
  logger.setListenAddress(QHostAddress::LocalHost);
  logger.setPort(freePort());
  ASSERT_TRUE(logger.setTalker("GN"));
  logger.setActive(true);
  logger.start();
  ASSERT_TRUE(logger.server()->isActive());

  // A position every 200 ms, walking north-east from 47.5 N 8.25 E.
  int sent = 0;
  QTimer feeder;
  QObject::connect(&feeder, &QTimer::timeout, [&] {
    PositionInfo p;
    p.time = nowUtc();
    p.y = 47.5f + 0.0001f * static_cast<float>(sent);
    p.x = 8.25f + 0.0001f * static_cast<float>(sent);
    p.altitude = 512.0f;
    p.speed = 18.52f;
    p.heading = 45.0f;
    p.hdop = 1.2f;
    p.pdop = 1.9f;
    p.fix = fix3D;
    p.fields = {defTime, defXY, defAltitude, defSpeed, defHeading, defHDOP, defPDOP, defFix};
    logger.addPosition(p);
    ++sent;
  });
  feeder.start(200);

  const QJsonObject tpv = gpsdReport(logger.listeningPort(), [&] { return !logger.server()->clients().empty(); });
  ASSERT_FALSE(tpv.isEmpty());
  // The report must hold one of our points (minutes with four decimals: within about 0.2 m).
  const double lat = tpv.value("lat").toDouble();
  const double lon = tpv.value("lon").toDouble();
  const double step = std::round((lat - 47.5) / 0.0001);
  EXPECT_GE(step, 0.0);
  EXPECT_LE(step, sent);
  EXPECT_NEAR(lat, 47.5 + 0.0001 * step, 2e-6);
  EXPECT_NEAR(lon, 8.25 + 0.0001 * step, 2e-6);
  EXPECT_GE(tpv.value("mode").toInt(), 2);
  EXPECT_NEAR(tpv.value("speed").toDouble(), 18.52 / 3.6, 0.01);  // m/s
}

// A receiver's own sentences, from a serial source (a pty), passed through to gpsd.
TEST(GpsdInterop, GpsdReadsTheSourcesSentencesPassedThrough) {
  qtApp();
  if (!gpsdInstalled()) GTEST_SKIP() << "gpsd or gpspipe is not installed";
  test::PtyPair receiver;
  if (!receiver.ok()) GTEST_SKIP() << "no pseudo-terminal available";
  NmeaTcpLogger logger;
  logger.setListenAddress(QHostAddress::LocalHost);
  logger.setPort(freePort());
  logger.setPassThrough(true);
  logger.setActive(true);
  GpsTrackerNmeaCom tracker;
  tracker.setPort(receiver.slaveName());
  tracker.setLogger(&logger);
  tracker.start();
  ASSERT_TRUE(logger.server() != nullptr && logger.server()->isActive());

  QTimer feeder;
  QObject::connect(&feeder, &QTimer::timeout, [&] {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const std::string time = now.toString("hhmmss.zzz").left(9).toStdString();
    const std::string date = now.toString("ddMMyy").toStdString();
    const std::string block =
        nmeaFrame("GPRMC," + time + ",A,4812.3456,N,01123.4567,E,5.0,270.0," + date + ",,,A") + "\r\n" +
        nmeaFrame("GPGGA," + time + ",4812.3456,N,01123.4567,E,1,09,0.8,530.0,M,47.0,M,,") + "\r\n";
    (void)receiver.write(block);
  });
  feeder.start(200);

  const QJsonObject tpv = gpsdReport(logger.listeningPort(), [&] { return !logger.server()->clients().empty(); });
  tracker.stop();
  ASSERT_FALSE(tpv.isEmpty());
  EXPECT_NEAR(tpv.value("lat").toDouble(), 48.0 + 12.3456 / 60.0, 1e-7);
  EXPECT_NEAR(tpv.value("lon").toDouble(), 11.0 + 23.4567 / 60.0, 1e-7);
  EXPECT_EQ(tpv.value("mode").toInt(), 3);
  EXPECT_NEAR(tpv.value("track").toDouble(), 270.0, 1e-6);
}

}  // namespace
}  // namespace geomuxer
