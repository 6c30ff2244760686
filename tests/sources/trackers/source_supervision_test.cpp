// A source's state as the user sees it, on the manual clock over scripted transports: what each
// byte, position, quiet spell and fault does to it.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>

#include <string>
#include <vector>

#include "core/date_time.h"
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

}  // namespace
}  // namespace geomuxer
