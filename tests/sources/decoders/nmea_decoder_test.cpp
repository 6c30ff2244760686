#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/date_time.h"
#include "core/nmea.h"
#include "core/number_text.h"
#include "sources/decoders/gps_protocol_nmea.h"

namespace geomuxer {
namespace {

// A sentence body framed with its correct checksum and a line end.
std::string s(std::string_view body) { return nmeaFrame(body) + "\r\n"; }

constexpr const char* kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
constexpr const char* kGga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";

struct Recorder : ProtocolHost {
  std::vector<PositionInfo> positions;
  void deliverPosition(const PositionInfo& p) override { positions.push_back(p); }
};

auto membersOf(const PositionInfo& p) {
  return std::make_tuple(p.fields.bits(), p.time, p.x, p.y, p.xyPrec, p.altitude, p.altitudePrec, p.geoidHeight,
                         p.depth, p.heading, p.magVar, p.speed, p.vertSpeed, p.satellites, p.pdop, p.hdop, p.vdop,
                         p.fix, p.satellitesInView);
}

class NmeaDecoder : public ::testing::Test {
 protected:
  void feed(std::string_view text) { decoder.processData(host, text); }
  // One chunk per line, the way most receivers write.
  void feedLines(std::string_view text) {
    while (!text.empty()) {
      const auto nl = text.find('\n');
      const std::size_t n = nl == std::string_view::npos ? text.size() : nl + 1;
      feed(text.substr(0, n));
      text.remove_prefix(n);
    }
  }
  void flush() { decoder.flush(host); }
  [[nodiscard]] std::size_t count() const { return host.positions.size(); }
  const PositionInfo& last() const { return host.positions.back(); }

  GpsProtocolNmea decoder;
  Recorder host;
};

DateTimeParts partsOf(DateTime t) { return splitDateTime(t); }

// The sentences of one epoch of a GPS+GLONASS receiver at 12:35:<second>.250.
std::string epoch(int second) {
  const std::string t = "1235" + std::string(second < 10 ? "0" : "") + std::to_string(second) + ".250";
  return s("GNRMC," + t + ",A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,D") +
         s("GNGGA," + t + ",4807.038,N,01131.000,E,2,08,1.1,545.4,M,46.9,M,,") +
         s("GNGSA,A,3,02,05,11,12,18,,,,,,,,1.4,1.1,0.9") + s("GNGSA,A,3,67,84,83,,,,,,,,,,1.4,1.1,0.9") +
         s("GPGSV,2,1,11,02,60,319,36,05,77,132,38,11,29,052,29,12,46,186,46") +
         s("GPGSV,2,2,11,18,19,264,16,20,48,049,35,25,58,245,39") + s("GLGSV,1,1,06,67,72,050,32,75,16,358,39") +
         s("PGRME,7.6,M,41.7,M,42.4,M");
}

TEST_F(NmeaDecoder, OneEpochOfManySentencesGivesOnePositionWithAllOfThem) {
  feedLines(epoch(1));
  EXPECT_EQ(count(), 0u) << "the epoch may still grow";
  EXPECT_TRUE(decoder.holdsPosition());
  feedLines(epoch(2));
  ASSERT_EQ(count(), 1u) << "a new fix time closes the epoch";
  const PositionInfo& p = last();
  EXPECT_EQ(partsOf(p.time), (DateTimeParts{1994, 3, 23, 12, 35, 1, 250}));
  EXPECT_NEAR(p.y, 48.1173, 1e-9);
  EXPECT_NEAR(p.x, 11.0 + 31.0 / 60.0, 1e-9);
  EXPECT_NEAR(p.speed, 22.4 * 1.852, 1e-4);
  EXPECT_FLOAT_EQ(p.altitude, 545.4f);
  EXPECT_EQ(p.fix, fix3D_diff);
  EXPECT_EQ(p.satellites, 8) << "GGA's count; the two GSA list 8 as well";
  EXPECT_EQ(p.satellitesInView, 17) << "GPS and GLONASS series add up";
  EXPECT_FLOAT_EQ(p.pdop, 1.4f);
  EXPECT_FLOAT_EQ(p.hdop, 1.1f);
  EXPECT_FLOAT_EQ(p.vdop, 0.9f);
  EXPECT_FLOAT_EQ(p.xyPrec, 7.6f);
  EXPECT_EQ(p.fields, (DefFields{defTime, defXY, defXYPrec, defAltitude, defAltitudePrec, defGeoidHeight, defHeading,
                                 defMagVar, defSpeed, defSatellites, defFix, defPDOP, defHDOP, defVDOP,
                                 defSatellitesInView}));

  flush();
  ASSERT_EQ(count(), 2u) << "a quiet line closes the last epoch";
  EXPECT_EQ(partsOf(last().time).second, 2);
  EXPECT_TRUE(last().has(defVertSpeed));
  EXPECT_FALSE(decoder.holdsPosition());
  flush();
  EXPECT_EQ(count(), 2u);
  EXPECT_EQ(decoder.stats().positions, 2u);
  EXPECT_EQ(decoder.stats().dropped(), 0u);
}

TEST_F(NmeaDecoder, SatelliteSentencesAloneNeverHandOnARecord) {
  feedLines(s("GPGSA,A,3,02,05,11,,,,,,,,,,1.4,1.1,0.9") + s("GPGSV,1,1,03,02,60,319,36,05,77,132,38,11,29,052,29") +
            s("GPVTG,054.7,T,034.4,M,005.5,N,010.2,K"));
  flush();
  EXPECT_EQ(count(), 0u);
  // Between epochs they join the open one and do not close it.
  feedLines(kRmc);
  feedLines(s("GPGSA,A,3,02,05,11,,,,,,,,,,1.4,1.1,0.9"));
  EXPECT_EQ(count(), 0u);
  flush();
  ASSERT_EQ(count(), 1u);
  EXPECT_EQ(last().satellites, 3);
  EXPECT_FLOAT_EQ(last().speed, 41.4848f) << "RMC's speed stays; VTG before the epoch was dropped with it";
}

TEST_F(NmeaDecoder, SatelliteSentencesDescribeTheSky) {
  feedLines(epoch(1));
  flush();
  const auto& sky = decoder.satellites();
  ASSERT_EQ(sky.size(), 9u) << "seven GPS and two GLONASS satellites";
  EXPECT_EQ(sky[0], (SatelliteInView{('G' << 8) | 'P', 2, 60, 319, 36, true}));
  EXPECT_EQ(sky[7], (SatelliteInView{('G' << 8) | 'L', 67, 72, 50, 32, true}));
  int used = 0;
  for (const SatelliteInView& sat : sky) used += sat.used ? 1 : 0;
  EXPECT_EQ(used, 6) << "02 05 11 12 18 and 67 are in the GSA lists; 20, 25 and 75 are not";

  // A new GPS series replaces GPS's satellites only. NMEA 4.1 adds a signal id after the last
  // satellite; an empty SNR means not tracked. The next epoch's GSA (no fix) uses none.
  feedLines(s("GPRMC,123503.250,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,D") +
            s("GPGSA,A,1,,,,,,,,,,,,,,,") + s("GPGSV,1,1,02,02,61,318,30,31,05,010,,1"));
  flush();
  ASSERT_EQ(sky.size(), 4u);
  EXPECT_EQ(sky[2], (SatelliteInView{('G' << 8) | 'P', 2, 61, 318, 30, false}));
  EXPECT_EQ(sky[3], (SatelliteInView{('G' << 8) | 'P', 31, 5, 10, -1, false}));
  EXPECT_EQ(sky[0].talker, ('G' << 8) | 'L');
  // A value out of range is counted and left unknown.
  const auto bad = decoder.stats().outOfRange;
  feedLines(s("GPGSV,1,1,01,07,95,400,120"));
  EXPECT_EQ(decoder.stats().outOfRange, bad + 1);
  EXPECT_EQ(decoder.satellites().back(), (SatelliteInView{('G' << 8) | 'P', 7, -1, -1, -1, false}));
}

TEST_F(NmeaDecoder, SkyOfManyTalkersUpToItsLimit) {
  // Nine talkers, more than the decoder tracks at once (an epoch counts eight); a new GPS series
  // replaces GPS's satellite only (a value in another form than plain digits is read all the same).
  const char* const talkers[] = {"GP", "GL", "GA", "GB", "BD", "GQ", "GI", "QZ", "GN"};
  for (int i = 0; i < 9; ++i) {
    feedLines(s(std::string(talkers[i]) + "GSV,1,1,01," + std::to_string(10 + i) + ",10,20,30"));
    flush();
  }
  feedLines(s("GPGSV,1,1,01,40,11,0045,31"));
  const auto& sky = decoder.satellites();
  ASSERT_EQ(sky.size(), 9u);
  EXPECT_EQ(sky.front().talker, ('G' << 8) | 'L');
  EXPECT_EQ(sky.back(), (SatelliteInView{('G' << 8) | 'P', 40, 11, 45, 31, false}));
  // Sentences past a series' first update the satellites they repeat, in their place.
  feedLines(s("GLGSV,2,2,01,11,50,60,40") + s("GAGSV,2,2,02,12,50,60,40,12,51,61,41"));
  ASSERT_EQ(sky.size(), 9u);
  EXPECT_EQ(sky[0], (SatelliteInView{('G' << 8) | 'L', 11, 50, 60, 40, false}));
  EXPECT_EQ(sky[1], (SatelliteInView{('G' << 8) | 'A', 12, 51, 61, 41, false}));
  // The sky stops at its limit; a bad value of a satellite left out still counts.
  for (int prn = 100; prn < 240; prn += 4)
    feedLines(s("GPGSV,9,2,40," + std::to_string(prn) + ",1,2,3," + std::to_string(prn + 1) + ",1,2,3," +
                std::to_string(prn + 2) + ",1,2,3," + std::to_string(prn + 3) + ",1,2,3"));
  EXPECT_EQ(sky.size(), GpsProtocolNmea::kMaxSatellites);
  const auto bad = decoder.stats().outOfRange;
  feedLines(s("GPGSV,9,3,40,500,95,2,3"));
  EXPECT_EQ(decoder.stats().outOfRange, bad + 1);
  EXPECT_EQ(sky.size(), GpsProtocolNmea::kMaxSatellites);
  EXPECT_EQ(sky.back().prn, 100 + 127 - 9);
}

TEST_F(NmeaDecoder, RmcExampleGivesTheExpectedValues) {
  feed(kRmc);
  flush();
  ASSERT_EQ(count(), 1u);
  const PositionInfo& p = last();
  EXPECT_EQ(partsOf(p.time), (DateTimeParts{1994, 3, 23, 12, 35, 19, 0}));
  EXPECT_NEAR(p.y, 48.1173, 1e-9);
  EXPECT_NEAR(p.x, 11.516666667, 1e-8);
  EXPECT_NEAR(p.speed, 41.4848, 1e-4);
  EXPECT_FLOAT_EQ(p.heading, 84.4f);
  EXPECT_FLOAT_EQ(p.magVar, -3.1f);
  EXPECT_EQ(p.fields, (DefFields{defTime, defXY, defSpeed, defHeading, defMagVar}));
}

TEST_F(NmeaDecoder, TimeOnlySentencesTakeTheDateReadEarlier) {
  // No date known yet: a position, but without a time.
  feedLines(kGga);
  flush();
  ASSERT_EQ(count(), 1u);
  EXPECT_FALSE(last().has(defTime));

  feedLines(s("GPZDA,235959.00,31,12,2019,00,00") + s("GPGGA,235959.50,4807.038,N,01131.000,E,1,08,0.9,545.4,M,,M,,"));
  flush();
  EXPECT_EQ(partsOf(last().time), (DateTimeParts{2019, 12, 31, 23, 59, 59, 500}));
  feedLines(s("GPGGA,000000.50,4807.038,N,01131.000,E,1,08,0.9,545.4,M,,M,,"));
  flush();
  EXPECT_EQ(partsOf(last().time), (DateTimeParts{2020, 1, 1, 0, 0, 0, 500})) << "across midnight";
  feedLines(s("GPRMC,120000,A,4807.038,N,01131.000,E,,,150380,,"));
  flush();
  EXPECT_EQ(partsOf(last().time).year, 1980) << "two-digit years from 80 are 19xx";
}

TEST_F(NmeaDecoder, InvalidDateOrTimeClearsTheTime) {
  feedLines(s("GPRMC,123519,A,4807.038,N,01131.000,E,,,310294,,"));  // 31 February
  flush();
  ASSERT_EQ(count(), 1u);
  EXPECT_FALSE(last().has(defTime));
  EXPECT_TRUE(last().has(defXY));
  feedLines(s("GPRMC,250000,A,4807.038,N,01131.000,E,,,230394,,"));  // hour 25
  flush();
  ASSERT_EQ(count(), 2u);
  EXPECT_FALSE(last().has(defTime));
  EXPECT_EQ(decoder.stats().outOfRange, 2u);
}

TEST_F(NmeaDecoder, NoFixMakesNoPosition) {
  const char* const cases[] = {
      "GPGGA,123519,4807.038,N,01131.000,E,0,08,0.9,545.4,M,46.9,M,,",
      "GPRMC,123519,V,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W",
      "GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,N",
      "GNGNS,123519,4807.038,N,01131.000,E,NN,08,0.9,545.4,46.9,,",
      "GPGLL,4807.038,N,01131.000,E,123519,V,N",
  };
  for (const char* body : cases) {
    SCOPED_TRACE(body);
    GpsProtocolNmea d;
    Recorder h;
    d.processData(h, s(body));
    d.flush(h);
    EXPECT_TRUE(h.positions.empty());
    // A warning wins over another sentence of the same epoch that claims a fix.
    d.processData(h, s(body) + kGga);
    d.flush(h);
    EXPECT_TRUE(h.positions.empty());
    EXPECT_EQ(d.stats().epochsWithoutFix, 2u);
  }
}

TEST_F(NmeaDecoder, FixKindFromQualityModeAndDimension) {
  struct Case {
    const char* sentences;
    Fix fix;
  };
  const std::string gga = "GPGGA,123519,4807.038,N,01131.000,E,";
  const std::string rmc = "GPRMC,123519,A,4807.038,N,01131.000,E,,,230394,,,";
  const Case cases[] = {
      {"GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,,,,,,", fix3D},
      {"GPGGA,123519,4807.038,N,01131.000,E,2,08,0.9,,,,,,|GPGSA,A,2,,,,,,,,,,,,,,,", fix2D_diff},
      {"GPGGA,123519,4807.038,N,01131.000,E,4,08,0.9,,,,,,", fixRTK},
      {"GPGGA,123519,4807.038,N,01131.000,E,8,08,0.9,,,,,,", fixSimulation},
      {"GPRMC,123519,A,4807.038,N,01131.000,E,,,230394,,,D", fix3D_diff},
      {"GPRMC,123519,A,4807.038,N,01131.000,E,,,230394,,,A|GPGSA,A,2,,,,,,,,,,,,,,,", fix2D},
      {"GPRMC,123519,A,4807.038,N,01131.000,E,,,230394,,|GPGSA,A,3,,,,,,,,,,,,,,,", fix3D},
      {"GNGNS,123519,4807.038,N,01131.000,E,NR,08,0.9,545.4,46.9,,", fixRTK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sentences);
    GpsProtocolNmea d;
    Recorder h;
    std::string text;
    std::stringstream parts(c.sentences);
    for (std::string body; std::getline(parts, body, '|');) text += s(body);
    d.processData(h, text);
    d.flush(h);
    ASSERT_EQ(h.positions.size(), 1u);
    ASSERT_TRUE(h.positions[0].has(defFix));
    EXPECT_EQ(h.positions[0].fix, c.fix);
  }
  feedLines(s("GPGLL,4807.038,N,01131.000,E,123519,A"));
  flush();
  EXPECT_FALSE(last().has(defFix)) << "nothing says what kind of fix";
}

// Every bad line joins a good RMC epoch: it must leave the RMC's position alone, add nothing of
// its own that is wrong, and be counted under its reason.
TEST_F(NmeaDecoder, BadInputNeverReachesTheRecordAndIsCounted) {
  using Counter = std::uint64_t GpsProtocolNmea::Stats::*;
  struct Case {
    const char* name;
    std::string line;
    Counter reason;
    DefField absent;
  };
  const std::string gga = "GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,";
  const Case cases[] = {
      {"wrong checksum", "$" + gga + "545.4,M,46.9,M,,*00\r\n", &GpsProtocolNmea::Stats::checksum, defAltitude},
      {"no checksum", "$" + gga + "545.4,M,46.9,M,,\r\n", &GpsProtocolNmea::Stats::checksum, defAltitude},
      {"lower-case checksum", "$GPGGA,123519,,,,,1,08,0.9,545.4,M,46.9,M,,*" + [] {
         std::string c = nmeaChecksum("GPGGA,123519,,,,,1,08,0.9,545.4,M,46.9,M,,");
         for (char& ch : c) ch = static_cast<char>(std::tolower(ch));
         return c;
       }() + "\r\n", &GpsProtocolNmea::Stats::checksum, defAltitude},
      {"altitude 1e39", s(gga + "1e39,M,46.9,M,,"), &GpsProtocolNmea::Stats::outOfRange, defAltitude},
      {"altitude nan", s(gga + "nan,M,46.9,M,,"), &GpsProtocolNmea::Stats::outOfRange, defAltitude},
      {"altitude below -1000 m", s(gga + "-1000.5,M,46.9,M,,"), &GpsProtocolNmea::Stats::outOfRange, defAltitude},
      {"altitude in feet above 100 km", s(gga + "330000,f,,,,"), &GpsProtocolNmea::Stats::outOfRange, defAltitude},
      {"latitude 91", s("GPGGA,123519,9100.000,N,01131.000,E,1,08,0.9,545.4,M,,,,"),
       &GpsProtocolNmea::Stats::outOfRange, defVertSpeed},
      {"longitude 181", s("GPGLL,4807.038,N,18100.000,E,123519,A,A"), &GpsProtocolNmea::Stats::outOfRange,
       defVertSpeed},
      {"minutes 60", s("GPGLL,4860.000,N,01131.000,E,123519,A,A"), &GpsProtocolNmea::Stats::outOfRange,
       defVertSpeed},
      {"hemisphere missing", s("GPGLL,4807.038,,01131.000,E,123519,A,A"), &GpsProtocolNmea::Stats::outOfRange,
       defVertSpeed},
      {"speed 2100 km/h", s("GPVTG,,T,,M,,N,2100,K"), &GpsProtocolNmea::Stats::outOfRange, defVertSpeed},
      {"speed inf", s("GPVTG,,T,,M,,N,inf,K"), &GpsProtocolNmea::Stats::outOfRange, defVertSpeed},
      {"course 361", s("GPHDT,361,T"), &GpsProtocolNmea::Stats::outOfRange, defVertSpeed},
      {"PDOP 0", s("GPGSA,A,3,01,,,,,,,,,,,,0,1.0,1.0"), &GpsProtocolNmea::Stats::outOfRange, defPDOP},
      {"VDOP 1e39", s("GPGSA,A,3,01,,,,,,,,,,,,1.0,1.0,1e39"), &GpsProtocolNmea::Stats::outOfRange, defVDOP},
      {"satellites in view -3", s("GPGSV,1,1,-3"), &GpsProtocolNmea::Stats::outOfRange, defSatellitesInView},
      {"ZDA on 30 February", s("GPZDA,123519,30,02,2020,,"), &GpsProtocolNmea::Stats::outOfRange, defVertSpeed},
      {"unknown sentence", s("GPXYZ,123519,4807.038,N"), &GpsProtocolNmea::Stats::unknownSentence, defAltitude},
      {"text that is no sentence", "+ 6: 28 (.....)\r\n", &GpsProtocolNmea::Stats::unknownSentence, defAltitude},
      {"too long", s(gga + std::string(200, '5') + ",M,,,,"), &GpsProtocolNmea::Stats::tooLong, defAltitude},
  };
  constexpr Counter kCounters[] = {&GpsProtocolNmea::Stats::checksum, &GpsProtocolNmea::Stats::tooLong,
                                   &GpsProtocolNmea::Stats::unknownSentence, &GpsProtocolNmea::Stats::outOfRange};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GpsProtocolNmea d;
    Recorder h;
    d.processData(h, kRmc);
    d.processData(h, c.line);
    d.flush(h);
    ASSERT_EQ(h.positions.size(), 1u);
    const PositionInfo& p = h.positions[0];
    EXPECT_FALSE(p.has(c.absent));
    EXPECT_NEAR(p.y, 48.1173, 1e-9);
    EXPECT_NEAR(p.x, 11.516666667, 1e-8);
    EXPECT_NEAR(p.speed, 41.4848, 1e-4);
    EXPECT_FLOAT_EQ(p.heading, 84.4f);
    EXPECT_TRUE(p.has(defTime));
    for (Counter counter : kCounters) EXPECT_EQ(d.stats().*counter, counter == c.reason ? 1u : 0u);
  }
}

TEST_F(NmeaDecoder, EmptyFieldsAreAbsentNotZero) {
  feedLines(s("GPGGA,123519,4807.038,N,01131.000,E,1,,,,,,,,") + s("GPGSA,A,3,,,,,,,,,,,,,,,") +
            s("GPGSV,1,1,,") + s("GPVTG,,T,,M,,N,,K"));
  flush();
  ASSERT_EQ(count(), 1u);
  EXPECT_EQ(last().fields, (DefFields{defXY, defFix}));
  EXPECT_EQ(decoder.stats().dropped(), 0u);
}

TEST_F(NmeaDecoder, WithChecksumOffABadLineIsRead) {
  decoder.setCheckChecksum(false);
  feed("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*00\r\n$GPGGA,123520,4807.038,N,01131.000,E,1\r\n");
  flush();
  ASSERT_EQ(count(), 2u);
  EXPECT_TRUE(host.positions[0].has(defAltitude));
  EXPECT_EQ(decoder.stats().checksum, 0u);
}

TEST_F(NmeaDecoder, ChecksumRule) {
  EXPECT_TRUE(GpsProtocolNmea::checksumValid("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A"));
  EXPECT_FALSE(GpsProtocolNmea::checksumValid("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6B"));
  EXPECT_FALSE(GpsProtocolNmea::checksumValid("$GPGGA,1*4b")) << "lower-case hex fails";
  EXPECT_TRUE(GpsProtocolNmea::checksumValid("$GPGGA,1*4B"));
  EXPECT_FALSE(GpsProtocolNmea::checksumValid("$GPGGA,1")) << "no checksum at all";
  EXPECT_TRUE(GpsProtocolNmea::checksumValid("!AIVDM*57")) << "'!' starts the payload too";
}

TEST_F(NmeaDecoder, LateSentencesOfAFlushedEpochMakeNoSecondPosition) {
  feed(kRmc);
  flush();  // the line was quiet
  feed(kGga);  // ... and then the rest of the epoch came after all
  flush();
  ASSERT_EQ(count(), 1u);
  EXPECT_FALSE(last().has(defAltitude));
  feed(s("GPRMC,123520,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W"));
  flush();
  EXPECT_EQ(count(), 2u);
}

TEST_F(NmeaDecoder, VerticalSpeedFromConsecutivePositions) {
  auto at = [&](const char* time, const char* alt) {
    feedLines(s(std::string("GPRMC,") + time + ",A,4807.038,N,01131.000,E,0,0,230394,,") +
              s(std::string("GPGGA,") + time + ",4807.038,N,01131.000,E,1,08,0.9," + alt + ",M,,M,,"));
    flush();
  };
  at("120000", "100.0");
  EXPECT_FALSE(last().has(defVertSpeed)) << "nothing to compare the first one with";
  at("120004", "110.0");
  EXPECT_FLOAT_EQ(last().vertSpeed, 2.5f);
  feedLines(s("GPRMC,120006,A,4807.038,N,01131.000,E,0,0,230394,,"));
  flush();
  EXPECT_FALSE(last().has(defVertSpeed)) << "no altitude";
  at("120010", "120.0");
  EXPECT_FALSE(last().has(defVertSpeed)) << "chain broken by the position without altitude";
}

TEST_F(NmeaDecoder, AnyTalkerButOnlyExactAddresses) {
  feedLines(s("GNRMC,081411.000,A,5541.1955,N,03737.2872,E,0.60,301.29,260514,,,A") +
            s("GLGGA,081411.000,5541.1956,N,03737.2877,E,1,5,4.87,66.2,M,14.5,M,,") + s("IIHDG,98.3,,,,"));
  flush();
  ASSERT_EQ(count(), 1u);
  EXPECT_TRUE(last().has(defAltitude));
  EXPECT_FLOAT_EQ(last().heading, 301.29f) << "course over ground wins over a compass heading";

  for (const std::string body : {"gprmc,123519,A,4807.038,N,01131.000,E,,,230394,,", "PGRMC,123519,A,4807.038,N,01131.000,E,,,230394,,",
                                 "G1RMC,123519,A,4807.038,N,01131.000,E,,,230394,,", "GPRMCX,123519,A,4807.038,N,01131.000,E,,,230394,,"}) {
    SCOPED_TRACE(body);
    GpsProtocolNmea d;
    Recorder h;
    d.processData(h, s(body));
    d.flush(h);
    EXPECT_TRUE(h.positions.empty());
    EXPECT_EQ(d.stats().unknownSentence, 1u);
  }
  feedLines(s("HEHDT,4.0,T") + s("GPGLL,4807.038,N,01131.000,E,123600,A,A"));
  flush();
  EXPECT_FLOAT_EQ(last().heading, 4.0f) << "a true heading when there is no course";
}

TEST_F(NmeaDecoder, CoordinatesInDoublePrecision) {
  const std::pair<const char*, double> cases[] = {
      {"3842.86006889,N", 38.0 + 42.86006889 / 60.0},
      {"3330.000,S", -33.5},
      {"4807,N", 48.0 + 7.0 / 60.0},
      {"0000.0001,S", -0.0001 / 60.0},
  };
  double previousY = 0;
  for (const auto& [lat, expected] : cases) {
    SCOPED_TRACE(lat);
    feedLines(s(std::string("GPGLL,") + lat + ",11705.43645510,W,1200" + std::to_string(10 + count()) + ",A,A"));
    flush();
    ASSERT_FALSE(host.positions.empty());
    EXPECT_NEAR(last().y, expected, 1e-12);
    EXPECT_NEAR(last().x, -(117.0 + 5.43645510 / 60.0), 1e-12);
    EXPECT_NE(last().y, previousY);
    previousY = last().y;
  }
}

TEST_F(NmeaDecoder, SentenceWrittenIntoAnotherIsReadOnItsOwn) {
  // A receiver that starts a sentence before ending the one before it.
  feed("$GPGSV,4,1,15,02,11,115,36,0" + std::string(kRmc));
  feed("$GPGSA,A,1,,,,,,,,,,,,,,,*1E" + std::string(kGga));
  flush();
  ASSERT_EQ(count(), 1u);
  EXPECT_TRUE(last().has(defTime));
  EXPECT_TRUE(last().has(defAltitude));
  EXPECT_EQ(decoder.stats().checksum, 1u) << "only the cut one is lost";
  EXPECT_EQ(decoder.stats().lines, 4u);
}

TEST_F(NmeaDecoder, SentencesSplitAnywhereAreReadWhole) {
  std::vector<std::string> lines;
  decoder.setSentenceHandler([&](std::string_view line) { lines.emplace_back(line); });
  const std::string rmc = kRmc;
  feed(rmc.substr(0, 30));
  EXPECT_EQ(decoder.fragment(), rmc.substr(0, 30));
  feed(rmc.substr(30, rmc.size() - 32));
  feed("\r");
  feed("\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0] + "\r\n", rmc);
  EXPECT_TRUE(decoder.fragment().empty());
}

TEST_F(NmeaDecoder, SentencesOfNothingAreCountedNotRead) {
  feed(std::string("$\0\0\0\0\r\n$\r\n$G\r\n$GPGSV\r\n", 22));
  flush();
  EXPECT_EQ(count(), 0u);
  EXPECT_EQ(decoder.stats().lines, 4u);
  EXPECT_EQ(decoder.stats().checksum, 4u);
  decoder.setCheckChecksum(false);
  feed(std::string("$\0\0\0\0\r\n$\r\n$G\r\n$GPGSV\r\n", 22));
  EXPECT_EQ(decoder.stats().unknownSentence, 3u) << "a GSV without fields is known but empty";
}

TEST_F(NmeaDecoder, EndlessLineIsBounded) {
  feed("$GPGSV");
  for (int i = 0; i < 5000; ++i) feed("0123456789");
  EXPECT_LE(decoder.fragment().size(), GpsProtocolNmea::kMaxFragment);
  feed(std::string("\r\n") + kRmc);
  flush();
  EXPECT_EQ(decoder.stats().tooLong, 1u);
  ASSERT_EQ(count(), 1u) << "decoding goes on afterwards";
}

TEST_F(NmeaDecoder, StartForgetsTheOpenEpochAndThePartLine) {
  feed(kRmc);
  feed(std::string(kGga).substr(0, 20));
  decoder.start(host);
  EXPECT_FALSE(decoder.holdsPosition());
  EXPECT_TRUE(decoder.fragment().empty());
  flush();
  EXPECT_EQ(count(), 0u);
}

// --- the end of the receiver's cycle --------------------------------------------------------

std::string at(int second) { return "1235" + std::string(second < 10 ? "0" : "") + std::to_string(second) + ".250"; }

// One cycle of a GPS receiver at 12:35:<second>.250, ending with a series of two satellite sentences.
std::vector<std::string> cycle(int second) {
  const std::string t = at(second);
  return {s("GPRMC," + t + ",A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,D"),
          s("GPGGA," + t + ",4807.038,N,01131.000,E,2,07,1.1,545.4,M,46.9,M,,"),
          s("GPGSA,A,3,02,05,11,12,18,20,25,,,,,,1.4,1.1,0.9"),
          s("GPGSV,2,1,07,02,60,319,36,05,77,132,38,11,29,052,29,12,46,186,46"),
          s("GPGSV,2,2,07,18,19,264,16,20,48,049,35,25,58,245,39")};
}

TEST_F(NmeaDecoder, SteadyReceiverHandsOnEachEpochAtItsLastSentence) {
  for (int second = 1; second <= 4; ++second) {
    const auto lines = cycle(second);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      feed(lines[i]);
      // Epochs 1 and 2 ended alike; from epoch 3 on an epoch goes with its last sentence (the
      // series' last, not its first), before the next fix time.
      const auto expected = static_cast<std::size_t>(second >= 3 && i + 1 == lines.size() ? second : second - 1);
      ASSERT_EQ(count(), expected) << "epoch " << second << ", sentence " << i;
    }
  }
  EXPECT_FALSE(decoder.holdsPosition()) << "nothing left for a quiet line to hand on";
  flush();
  ASSERT_EQ(count(), 4u);
  EXPECT_EQ(partsOf(last().time).second, 4);
  EXPECT_EQ(last().satellitesInView, 7);
  EXPECT_EQ(last().fields, host.positions[1].fields) << "the record an epoch closed by the next fix time has";
}

TEST_F(NmeaDecoder, ReceiverThatLengthensItsCycleStillGivesOnePositionPerEpoch) {
  // From epoch 4 on the cycle goes on with a GLL of the same time and an error estimate.
  auto feedCycle = [&](int second) {
    for (const auto& line : cycle(second)) feed(line);
    if (second >= 4) feed(s("GPGLL,4807.038,N,01131.000,E," + at(second) + ",A,D") + s("PGRME,7.6,M,41.7,M,42.4,M"));
  };
  for (int second = 1; second <= 5; ++second) feedCycle(second);
  EXPECT_EQ(count(), 4u) << "epoch 5 waits for the next fix time while the new end is learnt";
  feedCycle(6);
  EXPECT_EQ(count(), 6u) << "learnt again: epoch 6 goes with its error estimate";
  flush();
  ASSERT_EQ(count(), 6u);
  for (std::size_t i = 0; i < count(); ++i) {
    const PositionInfo& p = host.positions[i];
    EXPECT_EQ(partsOf(p.time).second, static_cast<int>(i) + 1);
    EXPECT_EQ(p.satellitesInView, 7);
    EXPECT_EQ(p.has(defXYPrec), i >= 4) << "epoch 4 was handed on before its new sentences came";
  }
  EXPECT_EQ(decoder.stats().epochsWithoutFix, 0u);
}

TEST_F(NmeaDecoder, ReceiverWithoutASteadyLastSentenceHandsOnAtTheNextFixTime) {
  for (int second = 1; second <= 6; ++second) {
    for (const auto& line : cycle(second)) feed(line);
    if (second % 2 == 0) feed(s("PGRME,7.6,M,41.7,M,42.4,M"));
    EXPECT_EQ(count(), static_cast<std::size_t>(second - 1));
    EXPECT_TRUE(decoder.holdsPosition());
  }
  flush();
  EXPECT_EQ(count(), 6u);
}

// --- recordings -------------------------------------------------------------------------------

// gpsd's reading of a recording: one fix per distinct time, the last report of that time (its
// reports grow sentence by sentence within an epoch).
struct GpsdFix {
  std::string time;
  double lat;
  double lon;
};

std::vector<GpsdFix> readGpsdFixes(const std::filesystem::path& chk) {
  std::vector<GpsdFix> fixes;
  std::ifstream in(chk);
  auto field = [](const std::string& line, const char* key) -> std::optional<std::string> {
    const auto at = line.find(key);
    if (at == std::string::npos) return std::nullopt;
    const auto start = at + std::strlen(key);
    return line.substr(start, line.find_first_of(",}\"", start) - start);
  };
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("{\"class\":\"TPV\"", 0) != 0) continue;
    const auto mode = field(line, "\"mode\":");
    const auto time = field(line, "\"time\":\"");
    const auto lat = field(line, "\"lat\":");
    const auto lon = field(line, "\"lon\":");
    if (!mode || parseInt(*mode).value_or(0) < 2 || !time || !lat || !lon) continue;
    const GpsdFix fix{*time, parseDouble(*lat).value_or(NAN), parseDouble(*lon).value_or(NAN)};
    if (!fixes.empty() && fixes.back().time == fix.time)
      fixes.back() = fix;
    else
      fixes.push_back(fix);
  }
  return fixes;
}

std::vector<PositionInfo> decodeInChunks(std::string_view log, std::size_t size) {
  GpsProtocolNmea d;
  Recorder h;
  while (!log.empty()) {
    std::size_t n = size;
    if (size == 0) {  // one line per chunk
      const auto nl = log.find('\n');
      n = nl == std::string_view::npos ? log.size() : nl + 1;
    }
    n = std::min(n, log.size());
    d.processData(h, log.substr(0, n));
    log.remove_prefix(n);
  }
  d.flush(h);
  return std::move(h.positions);
}

std::string isoMs(DateTime t) {
  const std::string text = formatIsoTimeMs(t);
  return text.size() == 20 ? text.substr(0, 19) + ".000Z" : text;
}

// Every recording at four chunkings gives the same positions, and those agree with gpsd: the same
// epochs with a fix, the same coordinates to 1e-6 degrees, the same times to the millisecond.
// gpsd reports an epoch only when the next one begins, so the last epoch of a recording, which we
// hand on at the end of the input, is compared only where gpsd reported it.
TEST(NmeaRecordings, SamePositionsAtEveryChunkingAndOnePerEpochLikeGpsd) {
  const std::filesystem::path dir = std::filesystem::path(GEOMUXER_SHARED_DIR) / "testdata" / "nmea";
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no recordings in " << dir;
  int files = 0;
  std::size_t compared = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".log") continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++files;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string log = buffer.str();

    const std::vector<PositionInfo> whole = decodeInChunks(log, log.size());
    for (std::size_t size : {std::size_t{1}, std::size_t{0}, std::size_t{4096}}) {
      SCOPED_TRACE(size);
      const std::vector<PositionInfo> cut = decodeInChunks(log, size);
      ASSERT_EQ(cut.size(), whole.size());
      for (std::size_t i = 0; i < cut.size(); ++i) EXPECT_EQ(membersOf(cut[i]), membersOf(whole[i])) << i;
    }

    std::vector<const PositionInfo*> timed;
    for (const PositionInfo& p : whole) {
      EXPECT_TRUE(p.has(defXY));
      if (p.has(defTime)) timed.push_back(&p);
    }
    const auto gpsd = readGpsdFixes(entry.path().string() + ".chk");
    std::size_t n = timed.size();
    if (n == gpsd.size() + 1) --n;  // the last epoch, not reported by gpsd
    ASSERT_EQ(n, gpsd.size());
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ(isoMs(timed[i]->time), gpsd[i].time);
      EXPECT_NEAR(timed[i]->y, gpsd[i].lat, 1e-6) << gpsd[i].time;
      EXPECT_NEAR(timed[i]->x, gpsd[i].lon, 1e-6) << gpsd[i].time;
    }
    compared += n;
  }
  EXPECT_GE(files, 12);
  EXPECT_GE(compared, 170u);
}

}  // namespace
}  // namespace geomuxer
