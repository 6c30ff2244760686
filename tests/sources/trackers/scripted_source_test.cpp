// The scripted transport under the real decoders and the real NMEA source: a receiver log replayed
// on the manual clock at three read sizes, and a script's faults, quiet spells and refused opens as
// the source sees them.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/number_text.h"
#include "sources/decoders/garmin_packet.h"
#include "sources/decoders/gps_protocol_garmin.h"
#include "sources/decoders/gps_protocol_nmea.h"
#include "sources/fault_spy.h"
#include "support/manual_clock.h"
#include "support/qt_event_loop.h"
#include "support/scripted_transport.h"

namespace geomuxer {
namespace {

using namespace std::chrono_literals;
using test::ManualClock;
using test::Script;
using test::ScriptedNmeaSource;
using test::ScriptedTransport;
namespace script = test::script;

// What a consumer sees of a position, as one comparable text.
std::string describe(const PositionInfo& p) {
  char text[192];
  std::snprintf(text, sizeof text, "%s %.9f %.9f alt %.3f speed %.3f heading %.3f fix %d sats %d fields %x",
                formatIsoTimeMs(p.time).c_str(), p.y, p.x, static_cast<double>(p.altitude),
                static_cast<double>(p.speed), static_cast<double>(p.heading), static_cast<int>(p.fix), p.satellites,
                p.fields.bits());
  return text;
}

struct Recorder : ProtocolHost {
  void deliverPosition(const PositionInfo& p) override { positions.push_back(p); }
  std::vector<PositionInfo> positions;
};

// gpsd's latitude and longitude by time ("2022-11-23T11:39:39.000Z") from a .chk file.
std::map<std::string, std::pair<double, double>> gpsdFixes(const std::filesystem::path& chk) {
  std::map<std::string, std::pair<double, double>> fixes;
  std::ifstream in(chk);
  std::string line;
  const auto numberAfter = [&line](const char* key) -> std::optional<double> {
    const auto at = line.find(key);
    if (at == std::string::npos) return std::nullopt;
    const auto start = at + std::strlen(key);
    return parseDouble(std::string_view(line).substr(start, line.find_first_of(",}", start) - start));
  };
  while (std::getline(in, line)) {
    const auto t = line.find("\"time\":\"");
    const auto lat = numberAfter("\"lat\":");
    const auto lon = numberAfter("\"lon\":");
    if (line.rfind("{\"class\":\"TPV\"", 0) != 0 || t == std::string::npos || !lat || !lon) continue;
    fixes[line.substr(t + 8, 24)] = {*lat, *lon};
  }
  return fixes;
}

TEST(ScriptedSource, AReceiverLogReplaysAlikeAtThreeReadSizes) {
  const std::filesystem::path log = std::filesystem::path(GEOMUXER_SHARED_DIR) / "testdata/nmea/cat-ms352.log";
  if (!std::filesystem::exists(log)) GTEST_SKIP() << "no recorded log at " << log;
  std::ifstream in(log, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string recording = buffer.str();

  const auto gpsd = gpsdFixes(log.string() + ".chk");
  std::vector<std::vector<std::string>> runs;
  for (const std::size_t size : {std::size_t{1}, std::size_t{7}, std::size_t{64}}) {
    SCOPED_TRACE("reads of " + std::to_string(size) + " bytes");
    // The reference: the same reads straight into a decoder of its own.
    GpsProtocolNmea direct;
    Recorder reference;
    direct.start(reference);
    for (std::size_t at = 0; at < recording.size(); at += size)
      (void)direct.processData(reference, std::string_view(recording).substr(at, size));
    direct.flush(reference);  // the end of the log
    std::vector<std::string> expected;
    for (const PositionInfo& p : reference.positions) expected.push_back(describe(p));

    ManualClock clock;
    ScriptedNmeaSource source(clock);
    source.addScript({script::fragments(recording, size, 1ms), {}, {}});
    std::vector<std::string> seen;
    int compared = 0;
    QObject::connect(&source, &GpsTracker::positionReceived, [&](const PositionInfo& p) {
      seen.push_back(describe(p));
      if (!p.has(defXY) || !p.has(defTime)) return;
      std::string time = formatIsoTimeMs(p.time);
      if (time.size() == 20) time.insert(19, ".000");
      const auto match = gpsd.find(time);
      if (match == gpsd.end()) return;
      ++compared;
      EXPECT_NEAR(p.y, match->second.first, 2e-5) << time;
      EXPECT_NEAR(p.x, match->second.second, 2e-5) << time;
    });

    source.start();
    const Clock::TimePoint begin = clock.now();
    const auto reads = static_cast<long>((recording.size() + size - 1) / size);
    clock.advance(Clock::Duration(reads - 1));
    ASSERT_NE(source.transport(), nullptr);
    EXPECT_TRUE(source.transport()->finished()) << "the replay runs on the manual clock alone";
    EXPECT_EQ(clock.now() - begin, Clock::Duration(reads - 1));
    EXPECT_EQ(source.transport()->bytesPlayed(), recording.size());
    clock.advance(Clock::Duration(GpsInterface::kQuietMs));  // the last epoch, after the quiet time
    EXPECT_EQ(seen, expected) << "the source hands on exactly what the decoder makes of these reads";
    EXPECT_GE(compared, 30) << "too few fixes in common with gpsd";
    runs.push_back(seen);
    source.stop();
  }
  EXPECT_EQ(runs[0], runs[1]);
  EXPECT_EQ(runs[0], runs[2]) << "one position per epoch, whatever the read size";
}

TEST(ScriptedSource, FaultsQuietSpellsAndRefusedOpensReachTheSourceOnTime) {
  test::qtApp();  // the source deletes a dropped transport from the event loop
  const std::string epochs =
      "$GPGGA,113938.50,3842.86006889,N,11705.43645510,W,2,09,1.5,1864.182,M,-44.296,M,1.4,0000*45\r\n"
      "$GPRMC,113938.50,A,3842.86006889,N,11705.43645510,W,0.011,46.405,231122,999.9000,E,D*2E\r\n"
      "$GPGGA,113939.00,3842.86006288,N,11705.43645704,W,2,09,1.5,1864.172,M,-44.296,M,1.0,0000*46\r\n"
      "$GPRMC,113939.00,A,3842.86006288,N,11705.43645704,W,0.045,235.920,231122,999.9000,E,D*1B\r\n";
  const TransportFault reset{FaultKind::reset, "The remote host closed the connection", false};
  const TransportFault refused{FaultKind::refused, "Connection refused", false};

  ManualClock clock;
  ScriptedNmeaSource source(clock);
  source.addScript({{script::bytes(epochs), script::silence(5s), script::fault(reset)}, {}, {}});
  source.addScript({{}, refused, {}});
  QSignalSpy faults(&source, &GpsTracker::faulted);
  int positions = 0;
  QObject::connect(&source, &GpsTracker::positionReceived, [&] { ++positions; });

  source.start();
  EXPECT_EQ(positions, 0) << "nothing is played from inside open";
  clock.advance(4999ms);
  EXPECT_GE(positions, 1);
  EXPECT_EQ(faults.count(), 0);
  EXPECT_TRUE(source.isActive());
  clock.advance(1ms);
  ASSERT_EQ(faults.count(), 1);
  EXPECT_EQ(test::faultAt(faults, 0), reset);
  EXPECT_TRUE(source.isActive()) << "the source runs on";
  EXPECT_EQ(source.transport(), nullptr) << "a broken connection is dropped";
  EXPECT_EQ(source.status().state, SourceState::Reconnecting);

  // The next open, after the first wait (0.5 s give or take its jitter), takes the next script,
  // which refuses; with none left, opens are refused too, each after a longer wait.
  clock.advance(600ms);
  EXPECT_EQ(source.transportsBuilt(), 2);
  EXPECT_EQ(source.status().lastError, refused.message);
  EXPECT_EQ(source.status().state, SourceState::Reconnecting);
  clock.advance(1200ms);
  EXPECT_EQ(source.transportsBuilt(), 3);
  EXPECT_EQ(source.status().lastError, "No script left");
  EXPECT_EQ(faults.count(), 1) << "faults within a minute of the first are held back";
  source.stop();
  EXPECT_FALSE(source.isActive());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

const char* const kGga1 =
    "$GPGGA,113938.50,3842.86006889,N,11705.43645510,W,2,09,1.5,1864.182,M,-44.296,M,1.4,0000*45\r\n";
const char* const kRmc1 =
    "$GPRMC,113938.50,A,3842.86006889,N,11705.43645510,W,0.011,46.405,231122,999.9000,E,D*2E\r\n";
const char* const kGga2 =
    "$GPGGA,113939.00,3842.86006288,N,11705.43645704,W,2,09,1.5,1864.172,M,-44.296,M,1.0,0000*46\r\n";

TEST(ScriptedSource, AQuietLineHandsOnTheOpenEpochTheQuietTimeAfterItsLastBytes) {
  test::qtApp();  // the source deletes a dropped transport from the event loop
  const TransportFault reset{FaultKind::reset, "The remote host closed the connection", false};
  ManualClock clock;
  ScriptedNmeaSource source(clock);
  source.addScript({{script::bytes(kGga1), script::silence(100ms), script::bytes(kRmc1), script::silence(1s),
                     script::bytes(kGga2), script::silence(50ms), script::fault(reset)},
                    {},
                    {}});
  std::vector<PositionInfo> positions;
  QObject::connect(&source, &GpsTracker::positionReceived, [&](const PositionInfo& p) { positions.push_back(p); });
  const Clock::Duration quiet(GpsInterface::kQuietMs);

  source.start();
  clock.advance(100ms);  // the epoch's second sentence restarts the quiet time
  clock.advance(quiet - 1ms);
  EXPECT_TRUE(positions.empty());
  clock.advance(1ms);
  ASSERT_EQ(positions.size(), 1u);
  EXPECT_TRUE(positions[0].has(defAltitude) && positions[0].has(defSpeed)) << "both sentences in one position";
  clock.advance(850ms + 50ms);  // the next epoch begins, then the connection breaks
  EXPECT_EQ(source.transport(), nullptr);
  clock.advance(1s);
  EXPECT_EQ(positions.size(), 1u) << "a closed transport hands on nothing after its close";
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(ScriptedSource, DroppedLinesAreReportedOnceAMinuteAndOnlyWhenThereWereSome) {
  test::qtApp();
  std::string badChecksum = kGga1;
  badChecksum.replace(badChecksum.find("*45"), 3, "*46");
  const std::string unknown = "$GPXYZ,1,2*4F\r\n";
  ManualClock clock;
  ScriptedNmeaSource source(clock);
  source.addScript({{script::bytes(std::string(kRmc1) + badChecksum + unknown), script::silence(30s),
                     script::bytes(badChecksum), script::silence(120s), script::bytes(badChecksum),
                     script::silence(1h)},
                    {},
                    {}});
  QSignalSpy reports(&source, &GpsTrackerNmea::inputDropped);

  source.start();
  clock.advance(60s - 1ms);
  EXPECT_EQ(reports.count(), 0);
  clock.advance(1ms);
  ASSERT_EQ(reports.count(), 1);
  EXPECT_EQ(reports.at(0).at(0).toString().toStdString(),
            "NMEA: 4 lines dropped in the last minute (2 checksum, 0 too long, 1 unknown sentence, 1 out of range)")
      << "the RMC's magnetic variation 999.9 is out of range";
  clock.advance(60s);
  EXPECT_EQ(reports.count(), 1) << "a minute without drops says nothing";
  clock.advance(60s);
  ASSERT_EQ(reports.count(), 2);
  EXPECT_EQ(reports.at(1).at(0).toString().toStdString(),
            "NMEA: 1 line dropped in the last minute (1 checksum, 0 too long, 0 unknown sentence, 0 out of range)");
  source.stop();
  EXPECT_EQ(clock.pendingTimers(), 0u) << "the report ends with the source";
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(ScriptedTransport, IdlePollsDriveADecoderOnTheSameClock) {
  ManualClock clock;
  using namespace garmin;
  const std::string ack = encodeSerialPacket(kIdAck, std::string{static_cast<char>(kIdCommand), '\0'});
  Script run{{script::bytes(ack), script::silence(10s)}, {}, 200ms};
  ScriptedTransport transport(std::make_unique<GpsProtocolGarmin>(clock), clock, std::move(run));
  transport.open();
  clock.advance(0ms);
  ASSERT_EQ(transport.written, std::vector<std::string>{std::string(kStartPvtPacket)});
  // Polls come every 200 ms of quiet; the one at 800 ms finds the stream quiet for 700 ms and asks again.
  clock.advance(799ms);
  EXPECT_EQ(transport.written.size(), 1u);
  clock.advance(1ms);
  EXPECT_EQ(transport.written, std::vector<std::string>(2, std::string(kStartPvtPacket)));
  transport.close();
  EXPECT_EQ(transport.written.back(), kStopPvtPacket);
  EXPECT_EQ(clock.pendingTimers(), 0u);
}

}  // namespace
}  // namespace geomuxer
