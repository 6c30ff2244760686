#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/nmea.h"
#include "loggers/nmea_file_logger.h"

namespace geomuxer {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

PositionInfo at(int second) {
  PositionInfo p;
  p.time = *makeDateTime({.year = 2008, .month = 5, .day = 17, .hour = 9, .minute = 5, .second = second});
  p.x = 8.25f;
  p.y = 47.5f;
  p.fields = {defTime, defXY};
  return p;
}

class NmeaFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    path = dir.filePath("track.nmea").toStdString();
    logger.setFilename(path);
    logger.setActive(true);
  }
  QTemporaryDir dir;
  std::string path;
  NmeaFileLogger logger;
};

TEST_F(NmeaFile, WritesOneBlockPerPositionAndClosesOnStop) {
  logger.start();
  ASSERT_TRUE(logger.isOpen());
  logger.addPosition(at(3));
  EXPECT_EQ(readFile(path), nmeaBlock(at(3))) << "written through at once, not buffered";
  logger.addPosition(at(4));
  logger.stop();
  EXPECT_FALSE(logger.isOpen());
  EXPECT_EQ(readFile(path), nmeaBlock(at(3)) + nmeaBlock(at(4)));
  logger.addPosition(at(5));
  EXPECT_EQ(readFile(path), nmeaBlock(at(3)) + nmeaBlock(at(4))) << "nothing after stop";
}

TEST_F(NmeaFile, AppendKeepsOrCreatesTruncateEmpties) {
  writeFile(path, "old\r\n");
  logger.setAppend(true);
  logger.start();
  logger.addPosition(at(3));
  logger.stop();
  EXPECT_EQ(readFile(path), "old\r\n" + nmeaBlock(at(3)));

  std::filesystem::remove(path);
  logger.start();
  logger.addPosition(at(4));
  logger.stop();
  EXPECT_EQ(readFile(path), nmeaBlock(at(4))) << "append with a missing file creates it";

  logger.setAppend(false);
  logger.start();
  logger.stop();
  EXPECT_EQ(readFile(path), "");
}

TEST_F(NmeaFile, FilenameHandlerSeesAndMayChangeTheName) {
  std::string seen;
  const std::string other = dir.filePath("other.nmea").toStdString();
  logger.setFilenameHandler([&](TrackLogger& sender, std::string& name) {
    EXPECT_EQ(&sender, &logger);
    seen = name;
    name = other;
  });
  logger.start();
  EXPECT_EQ(seen, path);
  EXPECT_EQ(logger.openFilename(), other);
  logger.setFilenameHandler([](TrackLogger&, std::string& name) { name.clear(); });
  logger.start();
  EXPECT_FALSE(logger.isOpen()) << "an emptied name means no file for this run";
  logger.addPosition(at(3));
}

TEST_F(NmeaFile, InactiveOrFilteredWritesNothing) {
  logger.setActive(false);
  logger.start();
  EXPECT_FALSE(logger.isOpen());

  TracklogFilter filter;
  filter.setRecordMode(rmTime);
  logger.setFilter(&filter);
  logger.setActive(true);
  logger.start();
  logger.addPosition(at(3));
  logger.addPosition(at(4));  // within the filter's interval
  logger.setActive(false);
  logger.addPosition(at(30));  // switched off: still open, but silent
  EXPECT_TRUE(logger.isOpen());
  logger.stop();
  EXPECT_EQ(readFile(path), nmeaBlock(at(3)));
}

TEST_F(NmeaFile, UncreatableFileThrowsNamingIt) {
  logger.setFilename(dir.filePath("missing/folder/track.nmea").toStdString());
  try {
    logger.start();
    FAIL() << "expected FileError";
  } catch (const FileError& e) {
    EXPECT_NE(std::string(e.what()).find("missing/folder/track.nmea"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(logger.isOpen());
}

}  // namespace
}  // namespace geomuxer
