// The Garmin serial source talking to a simulated receiver over a pseudo-terminal.

#include <gtest/gtest.h>

#include <QSignalSpy>

#include <bit>
#include <cstdint>
#include <numbers>
#include <vector>

#include "sources/fault_spy.h"
#include "support/qt_event_loop.h"
#include "sources/trackers/gps_tracker_garmin_com.h"
#include "support/manual_clock.h"
#include "support/pty_pair.h"
#include "sources/transports/simulated_garmin_receiver.h"

namespace geomuxer {
namespace {

using test::PtyPair;
using test::qtApp;
using test::SimulatedGarminReceiver;
using test::spin;
using test::waitUntil;
using namespace std::chrono_literals;

garmin::PvtRecord record(double latDegrees) {
  garmin::PvtRecord r;
  r.alt = std::bit_cast<float>(0x44961010u);  // about 1200.5 m, and two DLE bytes on the wire
  r.eph = 16.0f;
  r.epv = 8.0f;
  r.fix = 3;
  r.tow = 86400.0 + 43200.0;
  r.lat = latDegrees * std::numbers::pi / 180.0;
  r.lon = 8.25 * std::numbers::pi / 180.0;
  r.east = 10.0f;
  r.north = 10.0f;
  r.leapSeconds = 14;
  r.weekNumberDays = 16;
  return r;
}

class GarminComSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal available";
    tracker.setPort(pty.slaveName());
    tracker.setClock(clock);
    QObject::connect(&tracker, &GpsTracker::positionReceived,
                     [this](const PositionInfo& p) { positions.push_back(p); });
  }

  QCoreApplication& app = qtApp();  // before the receiver's timer
  test::ManualClock clock;
  PtyPair pty;
  SimulatedGarminReceiver receiver{pty.master()};
  GpsTrackerGarminCom tracker;
  std::vector<PositionInfo> positions;
};

TEST_F(GarminComSourceTest, HandshakeStreamAndStop) {
  EXPECT_EQ(tracker.displayName(), "Garmin via COM");
  tracker.start();
  ASSERT_TRUE(tracker.isActive());
  const termios t = pty.settings();
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);

  ASSERT_TRUE(waitUntil([&] { return tracker.decoder()->acknowledged(); }));
  EXPECT_EQ(receiver.startCommands, 1);

  receiver.sendPvt(record(46.5));
  receiver.sendPvt(record(46.6));
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 2 && receiver.pvtAcks == 2; }));
  EXPECT_FLOAT_EQ(positions[0].y, 46.5f);
  EXPECT_FLOAT_EQ(positions[1].y, 46.6f);
  EXPECT_FLOAT_EQ(positions[0].x, 8.25f);
  EXPECT_FLOAT_EQ(positions[0].xyPrec, 8.0f);
  EXPECT_EQ(positions[0].fix, fix3D);
  EXPECT_EQ(splitDateTime(positions[0].time), (DateTimeParts{1990, 1, 17, 11, 59, 46, 0}));
  EXPECT_EQ(tracker.lastPosition().y, positions[1].y);

  QSignalSpy stopped(&tracker, &GpsTracker::stopped);
  tracker.stop();
  EXPECT_EQ(stopped.count(), 1);
  ASSERT_TRUE(waitUntil([&] { return receiver.stopCommands == 1; })) << "the stop command reaches the line";
}

TEST_F(GarminComSourceTest, EchoedCommandShortPvtAndQuietStream) {
  receiver.setEcho(true);
  tracker.start();
  ASSERT_TRUE(waitUntil([&] { return tracker.decoder()->acknowledged(); }));
  EXPECT_GE(tracker.decoder()->stats().echoes, 1u);

  // Fewer than 64 bytes of PVT data: refused, nothing delivered.
  receiver.send(garmin::encodeSerialPacket(garmin::kIdPvt, garmin::encodePvt(record(46.5)).substr(0, 40)));
  ASSERT_TRUE(waitUntil([&] { return receiver.pvtNaks == 1; }));
  EXPECT_TRUE(positions.empty());

  // The receiver goes quiet: 700 ms later the next idle poll asks again.
  spin(300ms);
  EXPECT_EQ(receiver.startCommands, 1);
  clock.advance(700ms);
  ASSERT_TRUE(waitUntil([&] { return receiver.startCommands == 2; }, 3s));
  ASSERT_TRUE(waitUntil([&] { return tracker.decoder()->acknowledged(); }));
  receiver.sendPvt(record(46.5));
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 1; }));
  tracker.stop();
}

TEST_F(GarminComSourceTest, RefusedStartAndCorruptPackets) {
  receiver.setAnswer(SimulatedGarminReceiver::Answer::nak);
  tracker.start();
  ASSERT_TRUE(waitUntil([&] { return receiver.startCommands == 1; }));
  ASSERT_TRUE(waitUntil([&] { return tracker.decoder()->stats().packets == 1; }));
  EXPECT_FALSE(tracker.decoder()->waiting());
  EXPECT_FALSE(tracker.decoder()->acknowledged());

  // Refused: asked again after 3 s.
  spin(500ms);
  EXPECT_EQ(receiver.startCommands, 1);
  clock.advance(3s);
  ASSERT_TRUE(waitUntil([&] { return receiver.startCommands == 2; }, 3s));
  EXPECT_TRUE(tracker.isActive());

  // A corrupt packet makes the port drop its input; the next good packet still decodes.
  std::string corrupt = garmin::encodeSerialPacket(garmin::kIdPvt, garmin::encodePvt(record(46.5)));
  corrupt[20] = static_cast<char>(corrupt[20] ^ 0x40);
  receiver.send(corrupt);
  ASSERT_TRUE(waitUntil([&] { return tracker.decoder()->stats().badPackets == 1; }));
  receiver.sendPvt(record(47.0));
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 1; }));
  EXPECT_FLOAT_EQ(positions[0].y, 47.0f);
  tracker.stop();
}

TEST_F(GarminComSourceTest, ReceiverSwitchedOnLateAndPowerCycledIsHeardAgain) {
  receiver.answerFrom = 3;
  std::vector<std::string> notices;
  QObject::connect(&tracker, &GpsTracker::noticed, [&](const std::string& text) { notices.push_back(text); });
  const auto askedAgainAfter = [&](std::chrono::milliseconds quiet) {
    const int before = receiver.startCommands;
    clock.advance(quiet);
    return waitUntil([&] { return receiver.startCommands == before + 1; }, 3s);
  };
  tracker.start();
  ASSERT_TRUE(waitUntil([&] { return receiver.startCommands == 1; }));
  ASSERT_TRUE(askedAgainAfter(3s));
  ASSERT_TRUE(askedAgainAfter(3s));
  ASSERT_TRUE(waitUntil([&] { return tracker.decoder()->acknowledged(); })) << "the third command is answered";
  receiver.sendPvt(record(46.5));
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 1; }));

  // Switched off while streaming: asked again after 700 ms quiet, then every 3 s.
  receiver.setAnswer(SimulatedGarminReceiver::Answer::silent);
  ASSERT_TRUE(askedAgainAfter(700ms));
  ASSERT_TRUE(askedAgainAfter(3s));
  receiver.setAnswer(SimulatedGarminReceiver::Answer::ack);
  ASSERT_TRUE(askedAgainAfter(3s));
  ASSERT_TRUE(waitUntil([&] { return tracker.decoder()->acknowledged(); }));
  receiver.sendPvt(record(46.6));
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 2; }));
  EXPECT_FLOAT_EQ(positions[1].y, 46.6f);
  const std::vector<std::string> expected{"no answer from the receiver", "the receiver answers again",
                                          "no answer from the receiver", "the receiver answers again"};
  EXPECT_EQ(notices, expected);
  tracker.stop();
}

TEST_F(GarminComSourceTest, MissingPortIsReportedAndWaitedFor) {
  tracker.setPort("/dev/geomuxer-no-such-port");
  QSignalSpy faults(&tracker, &GpsTracker::faulted);
  tracker.start();
  EXPECT_TRUE(tracker.isActive());
  ASSERT_EQ(faults.count(), 1);
  const std::string message = test::faultAt(faults, 0).message;
  EXPECT_NE(message.find("\"/dev/geomuxer-no-such-port\"\r\n"), std::string::npos) << message;
  EXPECT_EQ(tracker.status().state, SourceState::Reconnecting);
  tracker.stop();
}

}  // namespace
}  // namespace geomuxer
