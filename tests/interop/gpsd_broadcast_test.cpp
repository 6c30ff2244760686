// gpsd, reading our NMEA broadcast as a network receiver, must see our positions.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <cmath>

#include "core/date_time.h"
#include "loggers/nmea_tcp_logger.h"
#include "support/qt_event_loop.h"
#include "support/qt_process.h"

namespace geomuxer {
namespace {

using test::freePort;
using test::ProcessGuard;

using test::qtApp;
using test::waitUntil;
using namespace std::chrono_literals;

TEST(GpsdInterop, GpsdReportsOurBroadcastPositions) {
  qtApp();
  const QString gpsd = QStandardPaths::findExecutable("gpsd", {"/usr/sbin", "/usr/local/sbin", "/sbin"});
  const QString gpspipe = QStandardPaths::findExecutable("gpspipe");
  if (gpsd.isEmpty() || gpspipe.isEmpty()) GTEST_SKIP() << "gpsd or gpspipe is not installed";
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());

  NmeaTcpLogger logger;
  logger.setListenAddress(QHostAddress::LocalHost);
  logger.setPort(freePort());
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
    p.fix = fix3D;
    p.fields = {defTime, defXY, defAltitude, defSpeed, defHeading, defHDOP, defFix};
    logger.addPosition(p);
    ++sent;
  });
  feeder.start(200);

  const quint16 gpsdPort = freePort();
  QProcess daemon;
  daemon.setProcessChannelMode(QProcess::MergedChannels);
  daemon.start(gpsd, {"-N", "-n", "-b", "-S", QString::number(gpsdPort), "-F", dir.filePath("gpsd.sock"),
                      "-P", dir.filePath("gpsd.pid"),
                      QStringLiteral("tcp://127.0.0.1:%1").arg(logger.listeningPort())});
  ProcessGuard daemonGuard{daemon};
  ASSERT_TRUE(daemon.waitForStarted(5000)) << "gpsd did not start";
  ASSERT_TRUE(waitUntil([&] { return !logger.server()->clients().empty(); }, 15s))
      << "gpsd never connected: " << daemon.readAll().toStdString();

  QProcess pipe;
  pipe.start(gpspipe, {"-w", "-n", "40", QStringLiteral("127.0.0.1:%1").arg(gpsdPort)});
  ProcessGuard pipeGuard{pipe};
  ASSERT_TRUE(pipe.waitForStarted(5000));

  QByteArray output;
  QJsonObject tpv;
  ASSERT_TRUE(waitUntil(
      [&] {
        output += pipe.readAllStandardOutput();
        for (const QByteArray& line : output.split('\n')) {
          const QJsonObject report = QJsonDocument::fromJson(line).object();
          if (report.value("class").toString() == "TPV" && report.contains("lat")) tpv = report;
        }
        return !tpv.isEmpty() || pipe.state() == QProcess::NotRunning;
      },
      20s))
      << "no TPV report; gpspipe wrote: " << output.toStdString();
  ASSERT_FALSE(tpv.isEmpty()) << "gpspipe ended without a TPV report: " << output.toStdString();

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

}  // namespace
}  // namespace geomuxer
