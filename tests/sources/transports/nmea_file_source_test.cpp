// The file follower with files appended, rotated, replaced and removed while it runs.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/nmea.h"
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

// An RMC of an epoch of its own: 12:35:<second>.
QByteArray rmcAt(int second) {
  char body[96];
  std::snprintf(body, sizeof body, "GPRMC,1235%02d,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W", second);
  return QByteArray::fromStdString(nmeaFrame(body) + "\r\n");
}

int secondOf(const PositionInfo& p) { return splitDateTime(p.time).second; }

// The lines of the "geomuxer.file" log category while it lives; other messages pass on.
class FileLog {
 public:
  FileLog() {
    s_lines = &m_lines;
    s_previous = qInstallMessageHandler(&FileLog::handle);
  }
  ~FileLog() {
    qInstallMessageHandler(s_previous);
    s_lines = nullptr;
  }
  [[nodiscard]] const std::vector<std::string>& lines() const { return m_lines; }

 private:
  static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (s_lines != nullptr && context.category != nullptr && std::string_view(context.category) == "geomuxer.file") {
      s_lines->push_back(message.toStdString());
      return;
    }
    if (s_previous != nullptr) s_previous(type, context, message);
  }
  static inline std::vector<std::string>* s_lines = nullptr;
  static inline QtMessageHandler s_previous = nullptr;
  std::vector<std::string> m_lines;
};

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

  QTemporaryDir dir;
  QString path;
  GpsTrackerNmeaFile tracker;
  std::vector<PositionInfo> positions;
};

TEST_F(NmeaFileSourceTest, MissingFileIsWaitedFor) {
  QSignalSpy faults(&tracker, &GpsTracker::faulted);
  tracker.start();
  EXPECT_TRUE(tracker.isActive());
  ASSERT_EQ(faults.count(), 1);
  EXPECT_EQ(test::faultAt(faults, 0).message, "File \"" + path.toStdString() + "\" does not exist");
  write(kRmc);
  ASSERT_TRUE(waitUntil([&] { return !positions.empty(); }, 5s)) << "read once it is there";
  tracker.stop();
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

// A rotated or rewritten file is read again from its first byte, whatever its size, and one log
// line says so; every sentence the decoder sees afterwards is a whole line of the new content.
TEST_F(NmeaFileSourceTest, RotationRestartsAtTheBeginning) {
  struct Way {
    const char* name;
    const char* logged;
    std::function<void(const QByteArray&)> rotate;
  };
  const Way ways[] = {
      {"rewritten shorter in place", "got shorter",
       [this](const QByteArray& next) { write(next, QIODevice::Truncate); }},
      {"replaced through a rename", "was replaced",
       [this](const QByteArray& next) {
         const QString temp = dir.filePath("track.tmp");
         QFile file(temp);
         ASSERT_TRUE(file.open(QIODevice::WriteOnly));
         file.write(next);
         file.close();
         ASSERT_EQ(::rename(temp.toLocal8Bit().constData(), path.toLocal8Bit().constData()), 0);
       }},
      {"moved away, then created anew", "was replaced",
       [this](const QByteArray& next) {
         ASSERT_TRUE(QFile::rename(path, path + ".1"));
         write(next, QIODevice::Truncate);
       }},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    positions.clear();
    QFile::remove(path);
    QFile::remove(path + ".1");
    write(rmcAt(1) + rmcAt(2));
    tracker.start();
    write(rmcAt(3));
    ASSERT_TRUE(waitUntil([&] { return !positions.empty() && secondOf(positions.back()) == 3; }));

    // The shortened file is shorter than the read position, the replacement longer: with the
    // old offset the first would yield nothing and the second only its last line.
    const bool shorter = std::string_view(way.logged) == "got shorter";
    const QByteArray next = shorter ? rmcAt(20) : rmcAt(20) + rmcAt(21) + rmcAt(22) + rmcAt(23);
    const int last = shorter ? 20 : 23;
    QSignalSpy sentences(&tracker, &GpsTrackerNmea::sentenceReceived);
    FileLog log;
    way.rotate(next);
    ASSERT_TRUE(waitUntil([&] { return !positions.empty() && secondOf(positions.back()) == last; }));
    write(rmcAt(40));
    ASSERT_TRUE(waitUntil([&] { return secondOf(positions.back()) == 40; }));

    QStringList seen;
    for (const QList<QVariant>& args : sentences) seen << args.at(0).toString();
    QStringList expected = QString::fromLatin1(next + rmcAt(40)).split("\r\n", Qt::SkipEmptyParts);
    EXPECT_EQ(seen, expected);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find(way.logged), std::string::npos) << log.lines()[0];
    EXPECT_TRUE(tracker.isActive());
    tracker.stop();
  }
}

// "Start at the end" skips what the file holds and follows what is appended; a line the writer
// is still in the middle of is read whole.
TEST_F(NmeaFileSourceTest, StartAtTheEndSkipsTheExistingContent) {
  EXPECT_FALSE(tracker.startAtEnd()) << "off by default";
  const QByteArray half = rmcAt(5).left(30);
  write(rmcAt(1) + rmcAt(2) + half);
  tracker.setStartAtEnd(true);
  QSignalSpy sentences(&tracker, &GpsTrackerNmea::sentenceReceived);
  tracker.start();
  write(rmcAt(5).mid(30));
  ASSERT_TRUE(waitUntil([&] { return !positions.empty() && secondOf(positions.back()) == 5; }));
  write(rmcAt(6));
  ASSERT_TRUE(waitUntil([&] { return secondOf(positions.back()) == 6; }));
  ASSERT_EQ(sentences.count(), 2);
  EXPECT_EQ(sentences.at(0).at(0).toString().toLatin1() + "\r\n", rmcAt(5));
  for (const PositionInfo& p : positions) EXPECT_GE(secondOf(p), 5);
  tracker.stop();

  // Off again: the next start reads the whole file once it changes.
  positions.clear();
  tracker.setStartAtEnd(false);
  QSignalSpy again(&tracker, &GpsTrackerNmea::sentenceReceived);
  tracker.start();
  write(rmcAt(7));
  ASSERT_TRUE(waitUntil([&] { return !positions.empty() && secondOf(positions.back()) == 7; }));
  EXPECT_EQ(again.count(), 5);
}

// A log that is rotated (moved away or deleted, then written anew) is followed into its new file.
TEST_F(NmeaFileSourceTest, DeletedOrMovedFileIsFollowedIntoItsNewFile) {
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
    ASSERT_TRUE(waitUntil([&] { return faults.count() == 1; }));
    EXPECT_EQ(test::faultAt(faults, 0).kind, FaultKind::deviceGone);
    EXPECT_TRUE(tracker.isActive());
    EXPECT_EQ(tracker.status().state, SourceState::Reconnecting);
    positions.clear();
    write(rmcAt(9));
    ASSERT_TRUE(waitUntil([&] { return !positions.empty(); }, 5s));
    EXPECT_EQ(secondOf(positions.back()), 9) << "the new file is read from its start";
    EXPECT_EQ(stopped.count(), 0);
    tracker.stop();
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
