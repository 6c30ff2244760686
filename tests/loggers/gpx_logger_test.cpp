#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "loggers/gpx_logger.h"
#include "support/manual_clock.h"

namespace geomuxer {
namespace {

using namespace std::chrono_literals;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

DateTime runStart() {
  return *makeDateTime({.year = 2008, .month = 5, .day = 17, .hour = 9, .minute = 5, .second = 3});
}

PositionInfo at(int second) {
  PositionInfo p;
  p.time = *makeDateTime({.year = 2008, .month = 5, .day = 17, .hour = 9, .minute = 6, .second = second});
  p.x = 8.25f;
  p.y = 47.5f;
  p.fields = {defTime, defXY};
  return p;
}

const std::string kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n"
    "<gpx xmlns=\"http://www.topografix.com/GPX/1/1\" creator=\"Geomuxer\" version=\"1.1\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/1/1/gpx.xsd\">\r\n"
    "  <metadata>\r\n"
    "    <time>2008-05-17T09:05:03Z</time>\r\n"
    "  </metadata>\r\n"
    "  <trk>\r\n"
    "    <name>Log20080517</name>\r\n"
    "    <trkseg>\r\n";
const std::string kFooter = "    </trkseg>\r\n  </trk>\r\n</gpx>\r\n";

class GpxFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    logger.setFileDir(dir.path().toStdString());
    logger.setClock(clock);
    logger.setActive(true);
  }
  [[nodiscard]] std::string path() const { return dir.filePath("20080517090503.gpx").toStdString(); }

  test::ManualClock clock{runStart()};
  QTemporaryDir dir;
  GpxLogger logger;
};

TEST_F(GpxFile, OneDocumentPerRunNamedAfterItsStart) {
  logger.start();
  ASSERT_EQ(logger.openFilename(), path());
  EXPECT_EQ(readFile(path()), kHeader) << "the header is on disk as soon as the run starts";
  logger.addPosition(at(1));
  const std::string point =
      "      <trkpt lat=\"47.5000000\" lon=\"8.2500000\">\r\n"
      "        <time>2008-05-17T09:06:01Z</time>\r\n"
      "      </trkpt>\r\n";
  EXPECT_EQ(readFile(path()), kHeader + point) << "each point is on disk before the next arrives";
  logger.stop();
  EXPECT_FALSE(logger.isOpen());
  EXPECT_EQ(readFile(path()), kHeader + point + kFooter);
  logger.addPosition(at(2));
  EXPECT_EQ(readFile(path()), kHeader + point + kFooter) << "nothing after stop";
}

TEST_F(GpxFile, ElevationComesBeforeTimeAndAntimeridianIsWrittenWest) {
  logger.start();
  PositionInfo p = at(5);
  p.altitude = 431.25f;
  p.x = 180.0f;
  p.y = -33.8688f;
  p.fields.include(defAltitude);
  logger.addPosition(p);
  PositionInfo noTime = at(0);
  noTime.fields = {defXY};  // the record's time is written anyway
  noTime.x = -179.5f;
  logger.addPosition(noTime);
  logger.stop();
  EXPECT_EQ(readFile(path()), kHeader +
                                  "      <trkpt lat=\"-33.8688011\" lon=\"-180.0000000\">\r\n"
                                  "        <ele>431.2500000</ele>\r\n"
                                  "        <time>2008-05-17T09:06:05Z</time>\r\n"
                                  "      </trkpt>\r\n"
                                  "      <trkpt lat=\"47.5000000\" lon=\"-179.5000000\">\r\n"
                                  "        <time>2008-05-17T09:06:00Z</time>\r\n"
                                  "      </trkpt>\r\n" +
                                  kFooter);
}

// Milliseconds, the fix kind, satellites and dilutions go where the schema has a place for them,
// in its order; members without their flag, or out of range, are left out.
TEST_F(GpxFile, QualityMembersAndMilliseconds) {
  logger.start();
  PositionInfo p = at(7);
  p.time += 250.0 / kMsPerDay;
  p.altitude = 431.25f;
  p.geoidHeight = 47.5f;
  p.fix = fix3D_diff;
  p.satellites = 9;
  p.hdop = 0.9f;
  p.vdop = 1.3f;
  p.pdop = 1.6f;
  p.fields = {defTime, defXY, defAltitude, defGeoidHeight, defFix, defSatellites, defHDOP, defVDOP, defPDOP};
  logger.addPosition(p);
  PositionInfo unknown = at(8);
  unknown.fix = fixSimulation;  // no word for it in the schema
  unknown.hdop = 0.0f;          // out of range: dilutions are above 0
  unknown.satellites = 3;       // no flag
  unknown.fields = {defTime, defXY, defFix, defHDOP};
  logger.addPosition(unknown);
  PositionInfo none = at(9);
  none.fix = fixInvalid;
  none.fields = {defTime, defXY, defFix};
  logger.addPosition(none);
  logger.stop();
  EXPECT_EQ(readFile(path()), kHeader +
                                  "      <trkpt lat=\"47.5000000\" lon=\"8.2500000\">\r\n"
                                  "        <ele>431.2500000</ele>\r\n"
                                  "        <time>2008-05-17T09:06:07.250Z</time>\r\n"
                                  "        <geoidheight>47.5</geoidheight>\r\n"
                                  "        <fix>dgps</fix>\r\n"
                                  "        <sat>9</sat>\r\n"
                                  "        <hdop>0.9</hdop>\r\n"
                                  "        <vdop>1.3</vdop>\r\n"
                                  "        <pdop>1.6</pdop>\r\n"
                                  "      </trkpt>\r\n"
                                  "      <trkpt lat=\"47.5000000\" lon=\"8.2500000\">\r\n"
                                  "        <time>2008-05-17T09:06:08Z</time>\r\n"
                                  "      </trkpt>\r\n"
                                  "      <trkpt lat=\"47.5000000\" lon=\"8.2500000\">\r\n"
                                  "        <time>2008-05-17T09:06:09Z</time>\r\n"
                                  "        <fix>none</fix>\r\n"
                                  "      </trkpt>\r\n" +
                                  kFooter);
}

TEST_F(GpxFile, RecordsEveryPositionAndOnlyResetsTheFilter) {
  TracklogFilter filter;
  ASSERT_TRUE(filter.accept(at(0)));
  logger.setFilter(&filter);
  logger.start();
  EXPECT_TRUE(filter.lastPosition().fields.empty());
  ASSERT_TRUE(filter.accept(at(0)));
  logger.addPosition(at(0));  // the filter would reject these as copies
  logger.addPosition(at(0));
  logger.stop();
  const std::string text = readFile(path());
  std::size_t points = 0;
  for (std::size_t at = text.find("<trkpt"); at != std::string::npos; at = text.find("<trkpt", at + 1)) ++points;
  EXPECT_EQ(points, 2u);
}

TEST_F(GpxFile, InactiveOrSwitchedOffWritesNoPoints) {
  logger.setActive(false);
  logger.start();
  EXPECT_FALSE(logger.isOpen());

  logger.setActive(true);
  logger.start();
  logger.setActive(false);  // stops recording, but the document is still closed at stop
  logger.addPosition(at(1));
  logger.stop();
  EXPECT_EQ(readFile(path()), kHeader + kFooter);
}

TEST_F(GpxFile, ANewStartClosesTheOpenDocument) {
  logger.start();
  logger.addPosition(at(1));
  clock.advance(1s);
  logger.start();
  const std::string second = dir.filePath("20080517090504.gpx").toStdString();
  EXPECT_EQ(logger.openFilename(), second);
  logger.stop();
  const std::string first = readFile(path());
  EXPECT_EQ(first.substr(first.size() - kFooter.size()), kFooter);
  EXPECT_EQ(readFile(second).find("<trkpt"), std::string::npos);
}

// Runs within one second (the name's resolution), or a file the handler names that exists: the
// earlier file stays whole and the new one gets the next free suffix.
TEST_F(GpxFile, AnExistingFileIsNeverOverwritten) {
  for (int run = 0; run < 3; ++run) {
    logger.start();
    logger.addPosition(at(run));
    logger.stop();
  }
  const std::string first = readFile(path());
  EXPECT_NE(first.find("<time>2008-05-17T09:06:00Z</time>"), std::string::npos);
  EXPECT_EQ(first.substr(first.size() - kFooter.size()), kFooter);
  EXPECT_NE(readFile(dir.filePath("20080517090503-1.gpx").toStdString()).find("09:06:01Z"), std::string::npos);
  EXPECT_NE(readFile(dir.filePath("20080517090503-2.gpx").toStdString()).find("09:06:02Z"), std::string::npos);

  std::string seen;
  logger.setFilenameHandler([&](TrackLogger&, std::string& name) {
    seen = name;
    name = path();
  });
  logger.start();
  EXPECT_EQ(seen, dir.filePath("20080517090503-3.gpx").toStdString()) << "the handler sees the free name";
  EXPECT_EQ(logger.openFilename(), dir.filePath("20080517090503-3.gpx").toStdString());
  logger.stop();
  EXPECT_EQ(readFile(path()), first);
}

TEST_F(GpxFile, TheFilenameHandlerSeesAndMayReplaceTheName) {
  std::string seen;
  const std::string replacement = dir.filePath("mine.gpx").toStdString();
  logger.setFilenameHandler([&](TrackLogger& sender, std::string& name) {
    EXPECT_EQ(&sender, &logger);
    seen = name;
    name = replacement;
  });
  logger.start();
  EXPECT_EQ(seen, path());
  EXPECT_EQ(logger.openFilename(), replacement);
  logger.stop();

  // Without a folder the name is empty: no file unless the handler supplies one.
  logger.setFileDir("");
  logger.setFilenameHandler([&](TrackLogger&, std::string& name) { seen = name; });
  logger.start();
  EXPECT_EQ(seen, "");
  EXPECT_FALSE(logger.isOpen());
  EXPECT_FALSE(QFile::exists(QString::fromStdString(path())));
}

TEST_F(GpxFile, AFolderThatCannotBeWrittenThrowsFromStart) {
  logger.setFileDir(dir.filePath("missing/folder").toStdString());
  try {
    logger.start();
    FAIL() << "no error";
  } catch (const FileError& e) {
    EXPECT_NE(std::string(e.what()).find("20080517090503.gpx"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(logger.isOpen());
}

}  // namespace
}  // namespace geomuxer
