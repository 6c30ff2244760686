// The headless program fed by a receiver that writes its sentences one line at a time, as most do
// over TCP and at high baud rates: every epoch must reach the GPX and NMEA logs exactly once.

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app_test_support.h"
#include "core/nmea.h"
#include "support/pty_pair.h"
#include "support/qt_process.h"

namespace geomuxer {
namespace {

using namespace std::chrono_literals;

const QString kProgram = QStringLiteral(GEOMUXER_BINARY_DIR "/src/app/geomuxer");
constexpr int kEpochs = 15;

// One second of a receiver: RMC, GGA, GSA and two GSV, each line framed and checksummed.
std::vector<std::string> epochLines(int second) {
  char time[32];
  std::snprintf(time, sizeof time, "1205%02d", second);
  char lat[32];
  std::snprintf(lat, sizeof lat, "4807.%03d", 38 + second * 10);  // about 18 m north a second
  const std::string t = time;
  const std::string y = lat;
  return {
      nmeaFrame("GPRMC," + t + ",A," + y + ",N,01131.000,E,035.0,000.0,090324,,,A") + "\r\n",
      nmeaFrame("GPGGA," + t + "," + y + ",N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") + "\r\n",
      nmeaFrame("GPGSA,A,3,04,05,09,12,17,24,25,29,,,,,1.6,0.9,1.3") + "\r\n",
      nmeaFrame("GPGSV,2,1,08,04,44,262,45,05,13,189,39,09,30,131,43,12,55,062,46") + "\r\n",
      nmeaFrame("GPGSV,2,2,08,17,22,311,41,24,71,221,48,25,15,047,38,29,10,098,35") + "\r\n",
  };
}

// The times of the track points (not the document's own time in its metadata).
std::vector<std::string> trackPointTimes(const std::string& gpx) {
  std::vector<std::string> times;
  for (std::size_t at = gpx.find("<trkpt"); at != std::string::npos; at = gpx.find("<trkpt", at + 1)) {
    const std::size_t end = gpx.find("</trkpt>", at);
    const std::size_t open = gpx.find("<time>", at);
    if (open == std::string::npos || open > end) {
      times.emplace_back();
      continue;
    }
    const std::size_t close = gpx.find("</time>", open);
    times.push_back(gpx.substr(open + 6, close - open - 6));
  }
  return times;
}

// The lines of the NMEA log that start with `address` ("$GPRMC").
std::vector<std::string> logLines(const std::string& log, std::string_view address) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from < log.size()) {
    std::size_t end = log.find('\n', from);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(from, end - from);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with(address)) lines.push_back(line);
    from = end + 1;
  }
  return lines;
}

std::string field(const std::string& sentence, int index) {
  const NmeaFields fields(std::string_view(sentence).substr(1, sentence.find('*') - 1));
  return std::string(fields[static_cast<std::size_t>(index)]);
}

class HeadlessEpochs : public ::testing::Test {
 protected:
  void SetUp() override {
    test::qtApp();
    if (!QFile::exists(kProgram)) GTEST_SKIP() << "the program is not built: " << kProgram.toStdString();
    std::filesystem::create_directories(m_dir / "Geomuxer");
    std::filesystem::create_directories(m_dir / "gpx");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(m_dir.path().string()));
    m_process.setProcessEnvironment(env);
  }

  // Starts the program on `source` with both file loggers on and the record filter at "time,
  // every 2 s"; returns once the source says it started.
  void startProgram(const std::string& source, const std::string& sourceSettings) {
    test::writeFile(m_dir / "Geomuxer" / "geomuxer.sml",
                    test::settingsText("<general><recordmode>1</recordmode><recordinterval>0</recordinterval></general>"
                                       "<tcpiplog><active>false</active><port>0</port></tcpiplog>"
                                       "<filelog><active>true</active><file>" +
                                       nmeaLog().string() + "</file></filelog><gpxlog><active>true</active><filedir>" +
                                       (m_dir / "gpx").string() + "</filedir></gpxlog>" + sourceSettings));
    m_process.start(kProgram, {"--headless", "-t", QString::fromStdString(source), "-a", "yes"});
    ASSERT_TRUE(m_process.waitForStarted(10000));
    const QByteArray started = QByteArray::fromStdString("TRACKER: " + source + " started");
    ASSERT_TRUE(test::waitUntil([&] {
      m_out += m_process.readAllStandardOutput();
      return m_out.contains(started);
    }, 30s)) << m_out.toStdString() << m_process.readAllStandardError().toStdString();
  }

  // Sends every epoch one line at a time, with the pause of a receiver between epochs, then waits
  // for the last one to be logged and stops the program the way a service manager does.
  void feedAndStop(const std::function<bool(const std::string&)>& sendLine) {
    for (int s = 0; s < kEpochs; ++s) {
      for (const std::string& line : epochLines(s)) {
        ASSERT_TRUE(sendLine(line));
        test::spin(5ms);
      }
      test::spin(150ms);
    }
    (void)test::waitUntil([&] { return trackPointTimes(gpxText()).size() >= kEpochs; }, 3s);
    m_process.terminate();
    ASSERT_TRUE(m_process.waitForFinished(20000));
    EXPECT_EQ(m_process.exitCode(), 0) << m_process.readAllStandardError().toStdString();
  }

  void expectOneRecordPerEpoch() {
    const std::vector<std::string> times = trackPointTimes(gpxText());
    EXPECT_EQ(times.size(), static_cast<std::size_t>(kEpochs)) << gpxText();
    EXPECT_EQ(std::set<std::string>(times.begin(), times.end()).size(), times.size()) << "two points with one time";
    if (!times.empty()) {
      EXPECT_EQ(times.front(), "2024-03-09T12:05:00Z");
      EXPECT_EQ(times.back(), "2024-03-09T12:05:14Z");
    }
    EXPECT_EQ(gpxText().find("<sat>0</sat>"), std::string::npos);

    // "Time, every 2 s" passes the epochs at 0, 2, ..., 14 s: eight blocks, each of its own time.
    const std::string log = test::readFile(nmeaLog());
    const std::vector<std::string> rmc = logLines(log, "$GPRMC");
    const std::vector<std::string> gga = logLines(log, "$GPGGA");
    ASSERT_EQ(rmc.size(), 8u) << log;
    EXPECT_EQ(gga.size(), rmc.size());
    EXPECT_EQ(logLines(log, "$GPGLL").size(), rmc.size());
    for (std::size_t i = 0; i < rmc.size(); ++i) {
      char expected[32];
      std::snprintf(expected, sizeof expected, "1205%02zu", 2 * i);
      EXPECT_EQ(field(rmc[i], 1), expected);
    }
    // The position's fix and satellites, not those of an empty record.
    for (const std::string& sentence : gga) {
      EXPECT_EQ(field(sentence, 6), "1") << sentence;
      EXPECT_EQ(field(sentence, 7), "08") << sentence;
    }
  }

  [[nodiscard]] std::filesystem::path nmeaLog() const { return m_dir / "track.nmea"; }
  [[nodiscard]] std::string gpxText() const {
    for (const auto& entry : std::filesystem::directory_iterator(m_dir / "gpx")) return test::readFile(entry.path());
    return {};
  }

  test::TempDir m_dir;
  QProcess m_process;
  test::ProcessGuard m_guard{m_process};
  QByteArray m_out;
};

TEST_F(HeadlessEpochs, NmeaTcpSourceFedOneLineAtATime) {
  QTcpServer receiver;
  ASSERT_TRUE(receiver.listen(QHostAddress::LocalHost, 0));
  startProgram("NMEA via TCP/IP", "<nmeatcpip><host>127.0.0.1</host><port>" + std::to_string(receiver.serverPort()) +
                                      "</port><checksum>true</checksum></nmeatcpip>");
  ASSERT_TRUE(test::waitUntil([&] { return receiver.hasPendingConnections(); }, 10s));
  std::unique_ptr<QTcpSocket> peer(receiver.nextPendingConnection());
  feedAndStop([&](const std::string& line) {
    peer->write(line.data(), static_cast<qint64>(line.size()));
    return peer->waitForBytesWritten(2000);
  });
  expectOneRecordPerEpoch();
}

TEST_F(HeadlessEpochs, SerialSourceOnAPseudoTerminalFedOneLineAtATime) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  startProgram("NMEA via COM", "<nmeacom><port>" + pty.slaveName() + "</port><checksum>true</checksum></nmeacom>");
  feedAndStop([&](const std::string& line) { return pty.write(line); });
  expectOneRecordPerEpoch();
}

}  // namespace
}  // namespace geomuxer
