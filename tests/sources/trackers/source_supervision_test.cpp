// A source's state as the user sees it, on the manual clock over scripted transports: what each
// byte, position, quiet spell and fault does to it.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>

#include <string>
#include <vector>

#include "core/date_time.h"
#include "sources/supervision.h"
#include "support/manual_clock.h"
#include "support/qt_event_loop.h"
#include "support/scripted_transport.h"

namespace geomuxer {
namespace {

using namespace std::chrono_literals;
using test::ManualClock;
using test::ScriptedNmeaSource;
namespace script = test::script;

const std::string kEpoch =
    "$GPGGA,113938.50,3842.86006889,N,11705.43645510,W,2,09,1.5,1864.182,M,-44.296,M,1.4,0000*45\r\n"
    "$GPRMC,113938.50,A,3842.86006889,N,11705.43645510,W,0.011,46.405,231122,999.9000,E,D*2E\r\n";
// A sentence the decoder takes but that holds no position.
const std::string kNoFix = "$GPGSA,A,1,,,,,,,,,,,,,,,,*1E\r\n";

// Every state the source announced, in order.
std::vector<SourceState> statesOf(const QSignalSpy& spy) {
  std::vector<SourceState> states;
  for (const QList<QVariant>& args : spy) states.push_back(args.at(0).value<SourceStatus>().state);
  return states;
}

TEST(SourceStatus, TextsNameEveryState) {
  SourceStatus status;
  EXPECT_EQ(sourceStateText(status), "stopped");
  status.state = SourceState::Reconnecting;
  status.reconnectInSeconds = 4;
  EXPECT_EQ(sourceStateText(status), "reconnecting in 4 s");
  status.state = SourceState::ReceivingNoFix;
  EXPECT_EQ(sourceStateText(status), "receiving, no fix");
  status.state = SourceState::WaitingForData;
  EXPECT_EQ(sourceStateText(status), "waiting for data");
}

TEST(SourceStatus, BytesThenPositionsThenStop) {
  test::qtApp();
  ManualClock clock;
  ScriptedNmeaSource source(clock);
  source.addScript({{script::silence(1s), script::bytes(kNoFix), script::silence(1s), script::bytes(kEpoch)}, {}, {}});
  QSignalSpy changes(&source, &GpsTracker::statusChanged);

  source.start();
  EXPECT_EQ(source.status().state, SourceState::WaitingForData);
  EXPECT_EQ(source.status().source, "Scripted NMEA");
  clock.advance(1s);
  EXPECT_EQ(source.status().state, SourceState::ReceivingNoFix);
  EXPECT_EQ(source.status().lastByteMs, clock.now().time_since_epoch().count());
  clock.advance(1s + 200ms);  // the epoch is handed on once the line has been quiet
  const SourceStatus receiving = source.status();
  EXPECT_EQ(receiving.state, SourceState::ReceivingFix);
  EXPECT_EQ(receiving.epochs, 1U);
  EXPECT_EQ(receiving.lastPositionMs, toUnixMillis(*makeDateTime({2022, 11, 23, 11, 39, 38, 500})));
  source.stop();
  EXPECT_EQ(source.status().state, SourceState::Stopped);
  EXPECT_EQ(statesOf(changes), (std::vector{SourceState::WaitingForData, SourceState::ReceivingNoFix,
                                            SourceState::ReceivingFix, SourceState::Stopped}));
}

TEST(RetryBackoff, DoublesToThirtySecondsWithJitterAndStartsOverAfterSuccess) {
  RetryBackoff backoff(7);
  const std::vector<int> bases{500, 1000, 2000, 4000, 8000, 16000, 30000, 30000};
  for (const int base : bases) {
    const auto wait = backoff.next().count();
    EXPECT_GE(wait, base * 0.8);
    EXPECT_LE(wait, base * 1.2);
  }
  backoff.reset();
  EXPECT_EQ(backoff.base(), 500ms);
  // Two sources that fail together do not retry in step.
  RetryBackoff other(8);
  backoff.reset();
  EXPECT_NE(backoff.next(), other.next());
}

TEST(SourceSupervision, AFlappingSourceReconnectsEveryTimeButWritesAFewLinesAMinute) {
  test::qtApp();
  std::vector<std::string> lines;  // outlives the source, whose last lines it takes
  ManualClock clock;
  ScriptedNmeaSource source(clock);
  // Each connection delivers one epoch and is closed by the peer half a second later.
  for (int i = 0; i < 200; ++i)
    source.addScript({{script::bytes(kEpoch), script::silence(500ms), script::fault(FaultKind::endOfStream, "closed")}, {}, {}});
  QObject::connect(&source, &GpsTracker::faulted, [&](const TransportFault& f) { lines.push_back(f.message); });
  QObject::connect(&source, &GpsTracker::noticed, [&](const std::string& text) { lines.push_back(text); });
  int positions = 0;
  QObject::connect(&source, &GpsTracker::positionReceived, [&] { ++positions; });
  QSignalSpy stopped(&source, &GpsTracker::stopped);

  source.start();
  clock.advance(61s);  // a minute after the first fault, its summary
  EXPECT_TRUE(source.isActive());
  EXPECT_EQ(stopped.count(), 0) << "the loggers stay started";
  EXPECT_GE(positions, 50) << "every connection's epoch is handed on";
  EXPECT_GE(source.status().reconnects, 50u);
  EXPECT_LT(lines.size(), 10u);
  ASSERT_GE(lines.size(), 4u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[0], "closed");
  EXPECT_EQ(lines[1], "reconnecting in 1 s");
  EXPECT_EQ(lines[2], "reconnected");
  EXPECT_EQ(lines.back().find(" more faults in the last minute, the last: closed"), lines.back().find(' '))
      << lines.back();
  source.stop();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The log of a receiver that is plugged in late, works for a while and is unplugged: each run of
// faults gets its first fault and its recovery, whatever the throttle held back in between.
TEST(SourceSupervision, EachRunOfFaultsIsReportedWithItsRecovery) {
  test::qtApp();
  std::vector<std::string> lines;
  ManualClock clock;
  ScriptedNmeaSource source(clock);
  source.setWatchdog(100s);
  const TransportFault gone{FaultKind::deviceGone, "No such device", false};
  source.addScript({{}, gone, {}});
  source.addScript({{}, gone, {}});
  source.addScript({{script::bytes(kEpoch), script::silence(70s), script::fault(FaultKind::deviceGone, "unplugged")}, {}, {}});
  source.addScript({{script::bytes(kEpoch)}, {}, {}});
  QObject::connect(&source, &GpsTracker::faulted, [&](const TransportFault& f) { lines.push_back(f.message); });
  QObject::connect(&source, &GpsTracker::noticed, [&](const std::string& text) { lines.push_back(text); });

  source.start();
  clock.advance(80s);
  const std::vector<std::string> expected{"No such device", "reconnecting in 1 s", "reconnected",
                                          "1 more fault in the last minute, the last: No such device",
                                          "unplugged", "reconnecting in 1 s", "reconnected"};
  EXPECT_EQ(lines, expected);
  source.stop();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(SourceSupervision, WaitsLongerAfterEachRefusalAndAtOnceWhenTold) {
  test::qtApp();
  ManualClock clock;
  ScriptedNmeaSource source(clock);
  const TransportFault gone{FaultKind::deviceGone, "No such device", false};
  for (int i = 0; i < 4; ++i) source.addScript({{}, gone, {}});
  source.addScript({{script::bytes(kEpoch)}, {}, {}});
  QSignalSpy started(&source, &GpsTracker::started);

  source.start();  // the device is not there yet: the source runs and waits for it
  EXPECT_TRUE(source.isActive());
  EXPECT_EQ(started.count(), 1);
  EXPECT_EQ(source.status().state, SourceState::Reconnecting);
  EXPECT_EQ(source.status().reconnectInSeconds, 1);
  clock.advance(600ms);  // the first wait: 0.5 s ± 20 %
  EXPECT_EQ(source.transportsBuilt(), 2);
  EXPECT_EQ(source.status().reconnectInSeconds, 1);
  source.retryNow();  // the device watch saw something come: no need to wait
  EXPECT_EQ(source.transportsBuilt(), 3);
  EXPECT_EQ(source.status().reconnectInSeconds, 2) << "the third wait: 2 s ± 20 %";
  clock.advance(1500ms);
  EXPECT_EQ(source.transportsBuilt(), 3) << "still waiting";
  source.retryNow();
  EXPECT_GE(source.status().reconnectInSeconds, 3);
  EXPECT_LE(source.status().reconnectInSeconds, 5);
  source.retryNow();
  EXPECT_EQ(source.transportsBuilt(), 5);
  EXPECT_EQ(source.status().state, SourceState::WaitingForData);
  clock.advance(1s);
  EXPECT_EQ(source.status().state, SourceState::ReceivingFix);
  EXPECT_EQ(source.status().reconnects, 1u);
  EXPECT_EQ(source.status().lastError, gone.message);
  source.stop();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(SourceSupervision, SilenceAndItsEndEachWriteOneLine) {
  test::qtApp();
  std::vector<std::string> lines;  // outlives the source, whose last lines it takes
  ManualClock clock;
  ScriptedNmeaSource source(clock);
  source.setWatchdog(10s);
  source.addScript({{script::bytes(kEpoch), script::silence(25s), script::bytes(kNoFix)}, {}, {}});
  QObject::connect(&source, &GpsTracker::noticed, [&](const std::string& text) { lines.push_back(text); });

  source.start();
  clock.advance(9s);
  EXPECT_EQ(source.status().state, SourceState::ReceivingFix);
  clock.advance(2s);  // ten seconds after the last byte
  EXPECT_EQ(source.status().state, SourceState::WaitingForData);
  EXPECT_EQ(lines, std::vector<std::string>{"no data for 10 s"});
  clock.advance(20s);
  EXPECT_EQ(lines, (std::vector<std::string>{"no data for 10 s", "data again"}));
  EXPECT_EQ(source.status().state, SourceState::ReceivingNoFix);
  source.stop();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(SourceSupervision, AFaultThatRetryingCannotMendStopsTheSource) {
  test::qtApp();
  ManualClock clock;
  ScriptedNmeaSource source(clock);
  source.addScript({{script::bytes(kEpoch), script::fault(FaultKind::refused, "library gone", true)}, {}, {}});
  QSignalSpy stopped(&source, &GpsTracker::stopped);
  QSignalSpy faults(&source, &GpsTracker::faulted);

  source.start();
  clock.advance(1s);
  EXPECT_FALSE(source.isActive());
  EXPECT_EQ(stopped.count(), 1);
  EXPECT_EQ(faults.count(), 1);
  EXPECT_EQ(source.status().state, SourceState::Stopped);
  EXPECT_EQ(source.status().lastError, "library gone");
  clock.advance(60s);
  EXPECT_EQ(source.transportsBuilt(), 1) << "no retry";
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace
}  // namespace geomuxer
