// The serial NMEA source reading the slave end of a pseudo-terminal.

#include <gtest/gtest.h>

#include <QSignalSpy>

#include <string>

#include "support/qt_event_loop.h"
#include "sources/transports/gps_interface_com.h"
#include "sources/trackers/gps_tracker_nmea_com.h"
#include "sources/fault_spy.h"
#include "support/pty_pair.h"

namespace geomuxer {
namespace {

using test::PtyPair;
using test::qtApp;
using test::spin;
using test::waitUntil;
using namespace std::chrono_literals;

constexpr const char* kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
constexpr const char* kGga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";

class NmeaComSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qtApp();
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal available";
    tracker.setPort(pty.slaveName());
  }

  PtyPair pty;
  GpsTrackerNmeaCom tracker;
};

TEST_F(NmeaComSourceTest, LineSettingsDefaultTo4800Baud8N1AndFollowTheTracker) {
  EXPECT_EQ(tracker.baudRate(), 4800u);
  tracker.start();
  termios t = pty.settings();
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B4800));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & PARENB, 0u);
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
  tracker.stop();

  tracker.setBaudRate(9600);
  tracker.setByteSize(7);
  tracker.setParity(true);
  tracker.setStopBits(2);
  tracker.start();
  t = pty.settings();
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  // A pty refuses anything but 8 bits without parity; the refusal is not an error, the source
  // runs on with what the driver kept. Check that the tracker's request reached the port.
  auto* iface = qobject_cast<GpsInterfaceCom*>(tracker.gpsInterface());
  ASSERT_NE(iface, nullptr);
  EXPECT_EQ(iface->byteSize(), 7);
  EXPECT_TRUE(iface->parity());
  EXPECT_TRUE(tracker.isActive());
  tracker.stop();

  // A transport on its own keeps the serial default of 9600 baud.
  GpsInterfaceCom bare(nullptr, QString::fromStdString(pty.slaveName()));
  EXPECT_EQ(bare.baudRate(), 9600u);
}

TEST_F(NmeaComSourceTest, DeliversWhatTheReceiverSends) {
  QSignalSpy started(&tracker, &GpsTracker::started);
  QSignalSpy sentences(&tracker, &GpsTrackerNmea::sentenceReceived);
  std::vector<PositionInfo> positions;
  QObject::connect(&tracker, &GpsTracker::positionReceived,
                   [&](const PositionInfo& p) { positions.push_back(p); });
  tracker.start();
  EXPECT_TRUE(tracker.isActive());
  EXPECT_EQ(started.count(), 1);

  ASSERT_TRUE(pty.write(std::string(kRmc) + kGga));
  ASSERT_TRUE(waitUntil([&] { return sentences.count() == 2; }));
  ASSERT_TRUE(waitUntil([&] { return !positions.empty(); })) << "handed on once the line is quiet";
  const PositionInfo& last = positions.back();
  EXPECT_NEAR(last.y, 48.1173, 1e-4);
  EXPECT_NEAR(last.x, 11.516667, 1e-4);
  EXPECT_TRUE(last.has(defXY));
  EXPECT_EQ(sentences.at(0).at(0).toString(), QString::fromLatin1(kRmc).trimmed());
  EXPECT_EQ(tracker.lastPosition().y, last.y);

  // A sentence cut in two by the line arrives whole.
  positions.clear();
  const std::string rmc = "$GPRMC,123520,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*60\r\n";
  ASSERT_TRUE(pty.write(rmc.substr(0, 30)));
  spin(30ms);
  ASSERT_TRUE(pty.write(rmc.substr(30)));
  ASSERT_TRUE(waitUntil([&] { return sentences.count() == 3; }));
  EXPECT_EQ(sentences.at(2).at(0).toString(), QString::fromStdString(rmc).trimmed());
  ASSERT_TRUE(waitUntil([&] { return !positions.empty(); }));
  ASSERT_EQ(positions.size(), 1u);
  EXPECT_TRUE(positions[0].has(defTime));
}

TEST_F(NmeaComSourceTest, PortThatCannotBeOpenedIsReportedAndTriedAgain) {
  tracker.setPort("/dev/no-such-serial-port");
  QSignalSpy started(&tracker, &GpsTracker::started);
  QSignalSpy faults(&tracker, &GpsTracker::faulted);
  tracker.start();  // the receiver may be plugged in later
  EXPECT_TRUE(tracker.isActive());
  EXPECT_EQ(started.count(), 1);
  ASSERT_EQ(faults.count(), 1);
  const std::string message = test::faultAt(faults, 0).message;
  EXPECT_EQ(message.rfind("Error opening COM port \"/dev/no-such-serial-port\"\r\n", 0), 0u) << message;
  EXPECT_GT(message.size(), std::string("Error opening COM port \"/dev/no-such-serial-port\"\r\n").size());
  EXPECT_EQ(tracker.status().state, SourceState::Reconnecting);
  EXPECT_EQ(tracker.status().lastError, message);
  tracker.stop();
  EXPECT_FALSE(tracker.isActive());
}

TEST_F(NmeaComSourceTest, UnpluggedDeviceLeavesTheSourceWaitingForIt) {
  QSignalSpy stopped(&tracker, &GpsTracker::stopped);
  QSignalSpy faults(&tracker, &GpsTracker::faulted);
  tracker.start();
  ASSERT_TRUE(pty.write(kRmc));
  ASSERT_TRUE(waitUntil([&] { return tracker.lastPosition().has(defXY); }));

  pty.closeMaster();
  ASSERT_TRUE(waitUntil([&] { return faults.count() == 1; }));
  EXPECT_EQ(test::faultAt(faults, 0).kind, FaultKind::deviceGone);
  EXPECT_EQ(stopped.count(), 0) << "the loggers stay started";
  EXPECT_TRUE(tracker.isActive());
  EXPECT_EQ(tracker.gpsInterface(), nullptr);
  EXPECT_EQ(tracker.status().state, SourceState::Reconnecting);
}

TEST_F(NmeaComSourceTest, NoiseAndEndlessLinesNeitherCrashNorGrow) {
  tracker.start();
  auto* iface = qobject_cast<GpsInterfaceCom*>(tracker.gpsInterface());
  ASSERT_NE(iface, nullptr);
  std::string noise;
  for (int i = 0; i < 64 * 1024; ++i) noise.push_back(static_cast<char>((i * 7919 + 13) & 0xFF));
  const std::string endless(256 * 1024, 'A');
  ASSERT_TRUE(pty.write(noise));
  ASSERT_TRUE(pty.write(endless));
  ASSERT_TRUE(pty.write(std::string("\r\n") + kRmc));
  ASSERT_TRUE(waitUntil([&] { return iface->bytesRead() >= qint64(noise.size() + endless.size() + 2); }));
  ASSERT_TRUE(waitUntil([&] { return tracker.lastPosition().has(defTime); }));
  const auto* decoder = static_cast<const GpsProtocolNmea*>(iface->protocol());
  EXPECT_LE(decoder->fragment().size(), GpsProtocolNmea::kMaxFragment);
  EXPECT_TRUE(tracker.isActive());
}

TEST(SerialPortList, ListsPortNamesWithoutFailing) {
  qtApp();
  for (const std::string& name : GpsInterfaceCom::availablePorts()) EXPECT_FALSE(name.empty());
}

}  // namespace
}  // namespace geomuxer
