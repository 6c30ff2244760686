// The NMEA TCP source against a loopback NMEA server.

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "core/track_logger.h"
#include "support/qt_event_loop.h"
#include "sources/fault_spy.h"
#include "sources/transports/gps_interface_tcpip.h"
#include "sources/trackers/gps_tracker_nmea_tcpip.h"

namespace geomuxer {
namespace {

using test::faultAt;
using test::qtApp;
using test::spin;
using test::waitUntil;
using namespace std::chrono_literals;

constexpr const char* kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
constexpr const char* kGga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
const QHostAddress kLoopback(QHostAddress::LocalHost);

class CountingLogger : public TrackLogger {
 public:
  CountingLogger() { setActive(true); }
  void addPosition(const PositionInfo&) override { ++positions; }
  void start() override { ++starts; }
  void stop() override { ++stops; }
  int positions = 0;
  int starts = 0;
  int stops = 0;
};

class NmeaTcpSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qtApp();
    ASSERT_TRUE(server.listen(kLoopback, 0));
    tracker.setPort(server.serverPort());
    tracker.setLogger(&logger);
    QObject::connect(&tracker, &GpsTracker::positionReceived,
                     [this](const PositionInfo& p) { positions.push_back(p); });
  }

  // Starts the source and returns the server's end of the connection.
  std::unique_ptr<QTcpSocket> startAndAccept() {
    tracker.start();
    EXPECT_TRUE(waitUntil([&] { return server.hasPendingConnections(); }));
    return std::unique_ptr<QTcpSocket>(server.nextPendingConnection());
  }

  QTcpServer server;
  CountingLogger logger;
  GpsTrackerNmeaTcpip tracker;
  std::vector<PositionInfo> positions;
};

TEST_F(NmeaTcpSourceTest, EveryChunkGoesToTheDecoder) {
  EXPECT_EQ(tracker.host(), "127.0.0.1");
  auto peer = startAndAccept();
  ASSERT_TRUE(peer);
  EXPECT_TRUE(tracker.isActive());

  // Two sentences of one epoch: one position with the flags of both.
  peer->write(QByteArray(kRmc) + kGga);
  ASSERT_TRUE(waitUntil([&] { return !positions.empty(); }));
  EXPECT_TRUE(positions.back().has(defTime));
  EXPECT_TRUE(positions.back().has(defAltitude));
  EXPECT_NEAR(positions.back().x, 11.516667, 1e-4);

  // A sentence split over two writes is decoded once, whole.
  const std::size_t before = positions.size();
  const QByteArray rmc("$GPRMC,123520,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*60\r\n");
  peer->write(rmc.left(20));
  peer->flush();
  spin(30ms);
  peer->write(rmc.mid(20));
  ASSERT_TRUE(waitUntil([&] { return positions.size() > before; }));
  EXPECT_TRUE(positions.back().has(defTime));
  EXPECT_EQ(logger.positions, static_cast<int>(positions.size()));
}

// A receiver that writes its sentences one by one: one position per epoch, each with what all
// the epoch's sentences hold, the last one handed on once the line is quiet.
TEST_F(NmeaTcpSourceTest, OnePositionPerEpochWhenSentencesArriveOneByOne) {
  auto peer = startAndAccept();
  ASSERT_TRUE(peer);
  auto frame = [](const std::string& body) {
    const QByteArray b = QByteArray::fromStdString(body);
    char sum = 0;
    for (char c : b) sum = static_cast<char>(sum ^ c);
    return "$" + b + "*" + QByteArray::number(static_cast<unsigned char>(sum), 16).rightJustified(2, '0').toUpper() +
           "\r\n";
  };
  for (int second = 10; second < 13; ++second) {
    const std::string t = "1235" + std::to_string(second);
    for (const std::string& body : {"GPRMC," + t + ",A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W",
                                    "GPGGA," + t + ",4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,",
                                    std::string("GPGSA,A,3,02,05,11,12,18,20,25,29,,,,,1.4,0.9,0.9"),
                                    std::string("GPGSV,1,1,04,02,60,319,36,05,77,132,38,11,29,052,29,12,46,186,46")}) {
      peer->write(frame(body));
      peer->flush();
      spin(5ms);
    }
  }
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 3; }));
  spin(300ms);
  ASSERT_EQ(positions.size(), 3u);
  for (std::size_t i = 0; i < positions.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(positions[i].has(defAltitude));
    EXPECT_TRUE(positions[i].has(defVDOP));
    EXPECT_EQ(positions[i].satellitesInView, 4);
    if (i > 0) {
      EXPECT_GT(positions[i].time, positions[i - 1].time);
    }
  }
  EXPECT_EQ(logger.positions, 3);
}

// The feeding server goes away (first closing the connection, then refusing new ones) and comes
// back on the same port: positions resume by themselves, and the loggers never stop.
TEST_F(NmeaTcpSourceTest, ServerStoppedAndStartedAgainOnTheSamePort) {
  QSignalSpy stopped(&tracker, &GpsTracker::stopped);
  QSignalSpy faults(&tracker, &GpsTracker::faulted);
  auto peer = startAndAccept();
  ASSERT_TRUE(peer);
  peer->write(kRmc);
  ASSERT_TRUE(waitUntil([&] { return !positions.empty(); }));

  const quint16 port = server.serverPort();
  server.close();
  peer->disconnectFromHost();
  ASSERT_TRUE(waitUntil([&] { return faults.count() == 1; }));
  EXPECT_EQ(faultAt(faults, 0).kind, FaultKind::endOfStream);
  spin(1500ms);  // the first attempts are refused
  EXPECT_EQ(tracker.status().state, SourceState::Reconnecting);
  EXPECT_EQ(tracker.status().lastError, "Connection refused");
  EXPECT_EQ(faults.count(), 1) << "the refusals after the first fault are held back";

  ASSERT_TRUE(server.listen(kLoopback, port));
  ASSERT_TRUE(waitUntil([&] { return server.hasPendingConnections(); }));
  peer.reset(server.nextPendingConnection());
  const std::size_t before = positions.size();
  peer->write(kRmc);
  ASSERT_TRUE(waitUntil([&] { return positions.size() > before; }));
  EXPECT_EQ(tracker.status().reconnects, 1u);
  EXPECT_EQ(stopped.count(), 0);
  EXPECT_EQ(logger.stops, 0);
  EXPECT_EQ(logger.starts, 1);
  EXPECT_TRUE(tracker.isActive());
}

TEST_F(NmeaTcpSourceTest, AServerThatNeverSendsIsNoticedWithinTheWatchdogTime) {
  std::vector<std::string> notices;
  QObject::connect(&tracker, &GpsTracker::noticed, [&](const std::string& text) { notices.push_back(text); });
  tracker.setWatchdog(1s);
  auto peer = startAndAccept();
  ASSERT_TRUE(waitUntil([&] { return tracker.status().state == SourceState::WaitingForData; }));
  ASSERT_TRUE(waitUntil([&] { return !notices.empty(); }, 3s));
  EXPECT_EQ(notices, std::vector<std::string>{"no data for 1 s"});
  peer->write(kRmc);
  ASSERT_TRUE(waitUntil([&] { return notices.size() == 2; }));
  EXPECT_EQ(notices.back(), "data again");
  tracker.stop();
}

// A host that drops the connection request (here: a listener whose queue is full and that never
// accepts) would keep a connect waiting for minutes.
TEST_F(NmeaTcpSourceTest, AConnectThatHangsTimesOut) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    (void)::connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  spin(100ms);

  QSignalSpy faults(&tracker, &GpsTracker::faulted);
  tracker.setPort(ntohs(address.sin_port));
  tracker.setConnectTimeout(1s);
  tracker.start();
  EXPECT_EQ(tracker.status().state, SourceState::Connecting);
  ASSERT_TRUE(waitUntil([&] { return faults.count() == 1; }, 5s));
  EXPECT_EQ(faultAt(faults, 0).kind, FaultKind::timeout);
  EXPECT_EQ(faultAt(faults, 0).message, "No connection to 127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + " within 1 s");
  EXPECT_EQ(tracker.status().state, SourceState::Reconnecting);
  tracker.stop();
  for (const int fd : fillers) ::close(fd);
  ::close(listener);
}

TEST_F(NmeaTcpSourceTest, HostAndPortChangesReachTheNextConnect) {
  QTcpServer other;
  ASSERT_TRUE(other.listen(kLoopback, 0));
  auto peer = startAndAccept();
  tracker.setPort(other.serverPort());
  spin(50ms);
  EXPECT_FALSE(other.hasPendingConnections());
  EXPECT_EQ(peer->state(), QAbstractSocket::ConnectedState);
  EXPECT_TRUE(tracker.isActive());

  tracker.stop();
  tracker.start();
  ASSERT_TRUE(waitUntil([&] { return other.hasPendingConnections(); }));

  tracker.stop();
  tracker.setHost("no-such-host.invalid");
  QSignalSpy faults(&tracker, &GpsTracker::faulted);
  tracker.start();
  ASSERT_TRUE(waitUntil([&] { return faults.count() == 1; }, 20s));
  EXPECT_EQ(faultAt(faults, 0).message, "Bad address");
}

TEST_F(NmeaTcpSourceTest, NoiseAndEndlessLinesNeitherCrashNorGrow) {
  auto peer = startAndAccept();
  auto* iface = qobject_cast<GpsInterfaceTcpip*>(tracker.gpsInterface());
  ASSERT_NE(iface, nullptr);
  QByteArray noise;
  for (int i = 0; i < 256 * 1024; ++i) noise.append(static_cast<char>((i * 7919 + 13) & 0xFF));
  peer->write(noise);
  peer->write(QByteArray(1024 * 1024, 'A'));
  peer->write(QByteArray("\r\n") + kRmc);
  ASSERT_TRUE(waitUntil([&] { return !positions.empty() && positions.back().has(defTime); }));
  const auto* decoder = static_cast<const GpsProtocolNmea*>(iface->protocol());
  EXPECT_LE(decoder->fragment().size(), GpsProtocolNmea::kMaxFragment);
  EXPECT_TRUE(tracker.isActive());
}

}  // namespace
}  // namespace geomuxer
