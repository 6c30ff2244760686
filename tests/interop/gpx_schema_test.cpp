#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <string>

#include "loggers/gpx_logger.h"
#include "support/manual_clock.h"

namespace geomuxer {
namespace {

// Every GPX file the logger writes is checked by xmllint against the GPX 1.1 schema.
class GpxSchema : public ::testing::Test {
 protected:
  void SetUp() override {
    xmllint = QStandardPaths::findExecutable("xmllint");
    if (xmllint.isEmpty()) GTEST_SKIP() << "xmllint is not installed (package libxml2-utils)";
    schema = QStringLiteral(GEOMUXER_SHARED_DIR "/schema/gpx11.xsd");
    if (!QFileInfo::exists(schema)) GTEST_SKIP() << "the GPX schema is missing: " << schema.toStdString();
    ASSERT_TRUE(dir.isValid());
    logger.setFileDir(dir.path().toStdString());
    logger.setClock(clock);
    logger.setActive(true);
  }

  // xmllint's verdict on one file: empty when it validates.
  [[nodiscard]] std::string validate(const QString& file) const {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(xmllint, {"--noout", "--schema", schema, file});
    if (!p.waitForFinished(30000)) return "xmllint did not finish";
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) return p.readAll().toStdString();
    return {};
  }

  void run(int seconds, const std::function<void(int second)>& feed) {
    clock.setUtc(*makeDateTime({.year = 2024, .month = 3, .day = 9, .second = seconds}));
    logger.start();
    for (int s = 0; s < 5; ++s) feed(s);
    logger.stop();
  }

  QString xmllint, schema;
  test::ManualClock clock;
  QTemporaryDir dir;
  GpxLogger logger;
};

PositionInfo position(float lon, float lat, int second) {
  PositionInfo p;
  p.time = *makeDateTime({.year = 2024, .month = 3, .day = 9, .hour = 23, .minute = 59, .second = second});
  p.x = lon;
  p.y = lat;
  p.fields = {defTime, defXY};
  return p;
}

TEST_F(GpxSchema, EveryRunValidates) {
  // An ordinary run with altitude, a run without altitude or time, one at the edges of the
  // coordinate ranges, and an empty one.
  run(1, [&](int s) {
    PositionInfo p = position(8.25f + 0.001f * static_cast<float>(s), 47.5f, s);
    p.altitude = -12.5f + static_cast<float>(s);
    p.fields.include(defAltitude);
    logger.addPosition(p);
  });
  run(2, [&](int s) {
    PositionInfo p = position(-122.4194f, 37.7749f, s);
    p.fields = s % 2 == 0 ? DefFields{defXY} : DefFields{};
    logger.addPosition(p);
  });
  run(3, [&](int s) {
    const float lons[] = {180.0f, -180.0f, 179.9999f, 0.0f, -0.0f};
    const float lats[] = {90.0f, -90.0f, 0.0f, -89.9999f, 45.0f};
    logger.addPosition(position(lons[s], lats[s], s));
  });
  run(4, [](int) {});
  // Every fix kind, satellite counts and dilutions at the ends of their ranges, and times with
  // milliseconds.
  run(5, [&](int s) {
    for (int kind = 0; kind < kFixCount; ++kind) {
      PositionInfo p = position(8.25f, 47.5f, s);
      p.time += (kind * 83 + 1) / static_cast<double>(kMsPerDay);
      p.fix = static_cast<Fix>(kind);
      p.satellites = (s * kFixCount + kind) * 4;
      const float dops[] = {0.01f, 1.0f, 2.5f, 50.0f, 99.0f};
      p.hdop = dops[s];
      p.vdop = dops[4 - s];
      p.pdop = dops[(s + 2) % 5];
      p.geoidHeight = -30.25f * static_cast<float>(s - 2);
      p.fields = {defTime, defXY, defFix, defSatellites, defHDOP, defVDOP, defPDOP, defGeoidHeight};
      logger.addPosition(p);
    }
  });

  const QStringList files = QDir(dir.path()).entryList({"*.gpx"}, QDir::Files, QDir::Name);
  ASSERT_EQ(files, QStringList({"20240309000001.gpx", "20240309000002.gpx", "20240309000003.gpx",
                                "20240309000004.gpx", "20240309000005.gpx"}));
  for (const QString& name : files) EXPECT_EQ(validate(dir.filePath(name)), "") << name.toStdString();
}

TEST_F(GpxSchema, AFileCutOffAfterItsLastPointHoldsEveryPoint) {
  clock.setUtc(*makeDateTime({.year = 2024, .month = 3, .day = 9}));
  logger.start();
  for (int s = 0; s < 3; ++s) logger.addPosition(position(8.0f, 47.0f, s));
  const QString path = QString::fromStdString(logger.openFilename());
  // What a crash leaves behind: read it as it is now and add only the closing elements.
  QFile partial(path);
  ASSERT_TRUE(partial.open(QIODevice::ReadOnly));
  QByteArray text = partial.readAll() + "    </trkseg>\r\n  </trk>\r\n</gpx>\r\n";
  partial.close();
  EXPECT_EQ(text.count("</trkpt>"), 3);
  const QString copy = dir.filePath("recovered.xml");
  QFile out(copy);
  ASSERT_TRUE(out.open(QIODevice::WriteOnly));
  out.write(text);
  out.close();
  EXPECT_EQ(validate(copy), "");
  logger.stop();
}

}  // namespace
}  // namespace geomuxer
