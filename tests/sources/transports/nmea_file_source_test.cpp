// The file follower with files appended, shortened, replaced and removed while it runs.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <unistd.h>

#include <string>
#include <vector>

#include "support/qt_event_loop.h"
#include "sources/fault_spy.h"
#include "sources/transports/gps_interface_file.h"
#include "sources/trackers/gps_tracker_nmea_file.h"

namespace geomuxer {
namespace {

using test::qtApp;
using test::spin;
using test::waitUntil;
using namespace std::chrono_literals;

constexpr const char* kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
constexpr const char* kGga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
constexpr const char* kGll = "$GPGLL,4916.45,N,12311.12,W,225444,A*31\r\n";

class NmeaFileSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qtApp();
    ASSERT_TRUE(dir.isValid());
    path = dir.filePath("track.nmea");
    tracker.setFilename(path.toStdString());
    QObject::connect(&tracker, &GpsTracker::positionReceived,
                     [this](const PositionInfo& p) { positions.push_back(p); });
  }

  void write(const QByteArray& bytes, QIODevice::OpenMode mode = QIODevice::Append) const {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | mode));
    ASSERT_EQ(file.write(bytes), bytes.size());
  }

  // Gives a rewritten file a new modification time even on coarse-grained clocks.
  void touchLater() const {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTime().addSecs(5), QFileDevice::FileModificationTime));
  }

  QTemporaryDir dir;
  QString path;
  GpsTrackerNmeaFile tracker;
  std::vector<PositionInfo> positions;
};

TEST_F(NmeaFileSourceTest, MissingFileFailsTheStart) {
  try {
    tracker.start();
    FAIL() << "start did not throw";
  } catch (const InterfaceError& e) {
    EXPECT_EQ(std::string(e.what()), "File \"" + path.toStdString() + "\" does not exist");
  }
  EXPECT_FALSE(tracker.isActive());
}

TEST_F(NmeaFileSourceTest, UnreadableFileFailsTheStart) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads any file";
  write(kRmc);
  ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::WriteOwner));
  try {
    tracker.start();
    FAIL() << "start did not throw";
  } catch (const InterfaceError& e) {
    EXPECT_EQ(std::string(e.what()), "Error opening file");
  }
}

TEST_F(NmeaFileSourceTest, FirstChangeFeedsTheWholeFileThenOnlyWhatWasAppended) {
  write(QByteArray(kGga) + kGga + kGga);
  tracker.start();
  spin(300ms);
  EXPECT_TRUE(positions.empty()) << "an unchanged file yields nothing";

  write(kRmc);
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 1; }));
  // One chunk from the start of the file: the flags of the old GGA lines and the new RMC.
  EXPECT_TRUE(positions[0].has(defAltitude));
  EXPECT_TRUE(positions[0].has(defTime));

  write(kGll);
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 2; }));
  EXPECT_TRUE(positions[1].has(defXY));
  EXPECT_FALSE(positions[1].has(defAltitude));
  EXPECT_TRUE(positions[1].has(defTime)) << "GLL's time on the date of the RMC before it";
  EXPECT_NEAR(positions[1].y, 49.274167, 1e-4);
}

TEST_F(NmeaFileSourceTest, ShorterFileFeedsNothingUntilItGrowsPastTheOldPosition) {
  write(QByteArray(kRmc) + kRmc);
  tracker.start();
  write(kGga);
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 1; }));
  const qint64 readUpTo = QFileInfo(path).size();

  write(kGll, QIODevice::Truncate);  // rewritten in place, shorter
  touchLater();
  spin(300ms);
  EXPECT_EQ(positions.size(), 1u);

  // Grow to just before the old end: still nothing; past it: only the bytes beyond.
  QByteArray filler(readUpTo - QFileInfo(path).size() - 2, ' ');
  write(filler + "\r\n");
  spin(300ms);
  EXPECT_EQ(positions.size(), 1u);
  write(kGll);
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 2; }));
  EXPECT_NEAR(positions[1].y, 49.274167, 1e-4);
  EXPECT_TRUE(positions[1].has(defTime)) << "GLL's time on the date of the RMC before it";
}

TEST_F(NmeaFileSourceTest, FileReplacedUnderTheSameNameIsFollowedOn) {
  write(kRmc);
  tracker.start();
  write(kGga);
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 1; }));
  const qint64 readUpTo = QFileInfo(path).size();

  // A writer that saves through a temporary file and a rename.
  const QString temp = dir.filePath("track.tmp");
  {
    QFile file(temp);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(readUpTo, ' '));
  }
  ASSERT_EQ(::rename(temp.toLocal8Bit().constData(), path.toLocal8Bit().constData()), 0);
  spin(200ms);
  write(kGll);
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 2; }));
  EXPECT_NEAR(positions[1].y, 49.274167, 1e-4);
  EXPECT_TRUE(tracker.isActive());
}

TEST_F(NmeaFileSourceTest, DeletedOrMovedFileStopsTheSource) {
  for (const bool move : {false, true}) {
    SCOPED_TRACE(move ? "moved" : "deleted");
    write(kRmc, QIODevice::Truncate);
    QSignalSpy stopped(&tracker, &GpsTracker::stopped);
    QSignalSpy faults(&tracker, &GpsTracker::faulted);
    tracker.start();
    if (move) {
      ASSERT_TRUE(QFile::rename(path, dir.filePath("elsewhere.nmea")));
    } else {
      ASSERT_TRUE(QFile::remove(path));
    }
    ASSERT_TRUE(waitUntil([&] { return stopped.count() == 1; }));
    spin(100ms);
    EXPECT_EQ(stopped.count(), 1);
    EXPECT_FALSE(tracker.isActive());
    EXPECT_EQ(tracker.gpsInterface(), nullptr);
    ASSERT_EQ(faults.count(), 1);
    EXPECT_EQ(test::faultAt(faults, 0).kind, FaultKind::deviceGone);
  }
}

TEST_F(NmeaFileSourceTest, NoiseAndEndlessLinesNeitherCrashNorGrow) {
  write("");
  tracker.start();
  auto* iface = qobject_cast<GpsInterfaceFile*>(tracker.gpsInterface());
  ASSERT_NE(iface, nullptr);
  QByteArray noise;
  for (int i = 0; i < 256 * 1024; ++i) noise.append(static_cast<char>((i * 7919 + 13) & 0xFF));
  write(noise);
  write(QByteArray(3 * GpsInterfaceFile::kMaxChunk, 'A'));
  write(QByteArray("\r\n") + kRmc);
  ASSERT_TRUE(waitUntil([&] { return !positions.empty() && positions.back().has(defTime); }));
  const auto* decoder = static_cast<const GpsProtocolNmea*>(iface->protocol());
  EXPECT_LE(decoder->fragment().size(), GpsProtocolNmea::kMaxFragment);
  EXPECT_EQ(iface->bytesRead(), QFileInfo(path).size());
}

}  // namespace
}  // namespace geomuxer
