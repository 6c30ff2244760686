#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/date_time.h"
#include "core/number_text.h"
#include "sources/decoders/gps_protocol_nmea.h"

namespace geomuxer {
namespace {

constexpr const char* kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
constexpr const char* kGga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";

struct Recorder : ProtocolHost {
  std::vector<PositionInfo> positions;
  void deliverPosition(const PositionInfo& p) override { positions.push_back(p); }
};

class NmeaDecoder : public ::testing::Test {
 protected:
  void feed(std::string_view text) { decoder.processData(host, text); }
  // Feeds `text` in pieces of `size` bytes (0: one piece per line, terminator included).
  void feedSplit(std::string_view text, std::size_t size) {
    while (!text.empty()) {
      std::size_t n = size;
      if (size == 0) {
        const auto nl = text.find('\n');
        n = nl == std::string_view::npos ? text.size() : nl + 1;
      }
      n = std::min(n, text.size());
      feed(text.substr(0, n));
      text.remove_prefix(n);
    }
  }
  const PositionInfo& last() const { return host.positions.back(); }

  GpsProtocolNmea decoder;
  Recorder host;
};

DateTimeParts partsOf(DateTime t) { return splitDateTime(t); }

TEST_F(NmeaDecoder, RmcExampleGivesTheSpecifiedValues) {
  feed(kRmc);
  ASSERT_EQ(host.positions.size(), 1u);
  const PositionInfo& p = last();
  EXPECT_EQ(partsOf(p.time), (DateTimeParts{2094, 3, 23, 12, 35, 19, 0}));
  EXPECT_NEAR(p.y, 48.1173, 1e-4);
  EXPECT_NEAR(p.x, 11.516667, 1e-5);
  EXPECT_NEAR(p.speed, 41.4848, 1e-4);
  EXPECT_FLOAT_EQ(p.heading, 84.4f);
  EXPECT_FLOAT_EQ(p.magVar, -3.1f);
  EXPECT_EQ(p.fields, (DefFields{defTime, defXY, defSpeed, defHeading, defMagVar}));
}

TEST_F(NmeaDecoder, GgaExampleGivesTheSpecifiedValues) {
  feed(kGga);
  ASSERT_EQ(host.positions.size(), 1u);
  const PositionInfo& p = last();
  EXPECT_EQ(p.fix, fix3D);
  EXPECT_EQ(p.satellites, 8);
  EXPECT_FLOAT_EQ(p.hdop, 0.9f);
  EXPECT_FLOAT_EQ(p.altitude, 545.4f);
  EXPECT_FLOAT_EQ(p.geoidHeight, 46.9f);
  EXPECT_NEAR(p.y, 48.1173, 1e-4);
  EXPECT_EQ(p.fields, (DefFields{defXY, defFix, defSatellites, defHDOP, defAltitude, defGeoidHeight}));
}

TEST_F(NmeaDecoder, InvalidRmcStillHandsOnAnEmptyRecord) {
  feed("$GPRMC,123519,V,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*7D\r\n");
  ASSERT_EQ(host.positions.size(), 1u);
  EXPECT_TRUE(last().fields.empty());
  EXPECT_EQ(last().x, 0.0f);
}

TEST_F(NmeaDecoder, OneHandOffPerChunkWithMergedFlags) {
  feed(std::string(kRmc) + kGga);
  ASSERT_EQ(host.positions.size(), 1u);
  EXPECT_TRUE(last().has(defTime));
  EXPECT_TRUE(last().has(defAltitude));

  feed(kRmc);
  feed(kGga);
  ASSERT_EQ(host.positions.size(), 3u);
  EXPECT_TRUE(host.positions[1].has(defSpeed));
  EXPECT_FALSE(host.positions[1].has(defAltitude));
  EXPECT_FALSE(host.positions[2].has(defSpeed));
  EXPECT_FALSE(host.positions[2].has(defTime));
  EXPECT_TRUE(host.positions[2].has(defAltitude));
}

TEST_F(NmeaDecoder, IdleCallHandsNothingOn) {
  feed(kRmc);
  decoder.processData(host, {});
  EXPECT_EQ(host.positions.size(), 1u);
}

TEST_F(NmeaDecoder, SentenceSplitOverTwoChunksIsDecodedOnceWhole) {
  std::vector<std::string> lines;
  decoder.setSentenceHandler([&](std::string_view s) { lines.emplace_back(s); });
  const std::string rmc = kRmc;
  feed(rmc.substr(0, 30));
  EXPECT_TRUE(host.positions.empty());
  feed(rmc.substr(30));
  ASSERT_EQ(host.positions.size(), 1u);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0] + "\r\n", rmc);
  EXPECT_TRUE(last().has(defMagVar));
}

TEST_F(NmeaDecoder, ReadsSplitRightBeforeTheLineEndLoseNothing) {
  const std::string rmc = kRmc;
  feed(rmc.substr(0, rmc.size() - 2));  // everything but CR LF
  feed("\r");
  feed("\n");
  ASSERT_EQ(host.positions.size(), 1u);
  EXPECT_TRUE(last().has(defTime));
  EXPECT_TRUE(decoder.fragment().empty());
}

// The same stream read in pieces of any size must yield the same lines and the same final record.
TEST_F(NmeaDecoder, EveryReadSizeYieldsTheSameLines) {
  const std::string stream = std::string("garbage before\r\n") + kRmc + "  " + kGga +
                             "$GPGLL,4916.45,N,12311.12,W,225444,A*31\n" +  // LF only
                             "\r\n\r\n$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*48\r\n" + kRmc;
  auto run = [&](std::size_t size) {
    GpsProtocolNmea d;
    Recorder h;
    std::vector<std::string> lines;
    d.setSentenceHandler([&](std::string_view s) { lines.emplace_back(s); });
    std::string_view rest = stream;
    while (!rest.empty()) {
      const std::size_t n = size == 0 ? rest.size() : std::min(size, rest.size());
      d.processData(h, rest.substr(0, n));
      rest.remove_prefix(n);
    }
    return std::make_pair(lines, d.current());
  };
  const auto [wholeLines, whole] = run(0);
  ASSERT_EQ(wholeLines.size(), 6u);
  for (std::size_t size : {1u, 2u, 7u, 64u}) {
    SCOPED_TRACE(size);
    const auto [lines, record] = run(size);
    EXPECT_EQ(lines, wholeLines);
    EXPECT_EQ(record.x, whole.x);
    EXPECT_EQ(record.time, whole.time);
  }
}

TEST_F(NmeaDecoder, ChecksumRule) {
  EXPECT_TRUE(GpsProtocolNmea::checksumValid("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A"));
  EXPECT_FALSE(GpsProtocolNmea::checksumValid("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6B"));
  EXPECT_FALSE(GpsProtocolNmea::checksumValid("$GPGGA,1*4b")) << "lower-case hex fails";
  EXPECT_TRUE(GpsProtocolNmea::checksumValid("$GPGGA,1*4B"));
  EXPECT_FALSE(GpsProtocolNmea::checksumValid("$GPGGA,1")) << "no checksum at all";
  EXPECT_TRUE(GpsProtocolNmea::checksumValid("!AIVDM*57")) << "'!' starts the payload too";
  EXPECT_TRUE(GpsProtocolNmea::checksumValid("noise $GPGGA,1*4B"));
}

TEST_F(NmeaDecoder, WithChecksumOffABadLineStillHandsOn) {
  feed("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*00\r\n");
  ASSERT_EQ(host.positions.size(), 1u);
  EXPECT_TRUE(last().has(defAltitude));
}

TEST_F(NmeaDecoder, WithChecksumOnABadLastLineDefersItsValues) {
  decoder.setCheckChecksum(true);
  feed("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*00\r\n");
  EXPECT_TRUE(host.positions.empty());
  EXPECT_TRUE(decoder.current().has(defAltitude)) << "a bad line is still decoded";
  EXPECT_EQ(decoder.stats().checksumFailures, 1u);

  feed(kRmc);
  ASSERT_EQ(host.positions.size(), 1u);
  EXPECT_TRUE(last().has(defAltitude)) << "values of the bad line travel with the next hand-off";
  EXPECT_TRUE(last().has(defTime));

  // A good line followed by a bad one in the same chunk: the later line decides.
  feed(std::string(kRmc) + "$GPGGA,1*4b\r\n");
  EXPECT_EQ(host.positions.size(), 1u);
}

TEST_F(NmeaDecoder, VerticalSpeedFromConsecutiveHandOffs) {
  auto epoch = [&](const char* time, const char* alt) {
    const std::string rmc = std::string("GPRMC,") + time + ",A,4807.038,N,01131.000,E,0,0,230394,,";
    std::string gga = std::string("GPGGA,") + time + ",4807.038,N,01131.000,E,1,08,0.9," + alt + ",M,,M,,";
    feed("$" + rmc + "*00\r\n$" + gga + "*00\r\n");
  };
  epoch("120000", "100.0");
  EXPECT_FALSE(last().has(defVertSpeed)) << "nothing to compare the first one with";
  epoch("120004", "110.0");
  EXPECT_TRUE(last().has(defVertSpeed));
  EXPECT_FLOAT_EQ(last().vertSpeed, 2.5f);
  epoch("120004", "120.0");
  EXPECT_FLOAT_EQ(last().vertSpeed, 0.0f) << "no time between the two";

  feed(kRmc);  // a hand-off without altitude
  EXPECT_FALSE(last().has(defVertSpeed));
  feed("$GPRMC,120010,A,4807.038,N,01131.000,E,0,0,230394,,*00\r\n");
  EXPECT_FALSE(last().has(defVertSpeed)) << "chain broken by the hand-off without altitude";
}

TEST_F(NmeaDecoder, AnyTalkerButOnlyExactAddresses) {
  feed("$GNRMC,081411.000,A,5541.1955,N,03737.2872,E,0.60,301.29,260514,,,A*74\r\n");
  EXPECT_TRUE(last().has(defXY));
  feed("$GLGGA,081412.000,5541.1956,N,03737.2877,E,1,5,4.87,66.2,M,14.5,M,,*6A\r\n");
  EXPECT_TRUE(last().has(defAltitude));
  feed("$IIHDG,98.3,,,,*00\r\n");
  EXPECT_FLOAT_EQ(last().heading, 98.3f);

  for (const char* line : {"$gprmc,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n",
                           "$PGRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*00\r\n",
                           "$GPZDA,081411.000,26,05,2014,,*5D\r\n", "$G1RMC,123519,A,4807.038,N,01131.000,E*00\r\n"}) {
    SCOPED_TRACE(line);
    feed(line);
    EXPECT_TRUE(last().fields.empty()) << "reported but not decoded";
  }
}

struct CoordinateCase {
  const char* name;
  const char* lat;
  const char* hemisphere;
  double expected;
};

TEST_F(NmeaDecoder, CoordinateRules) {
  const CoordinateCase cases[] = {
      {"north", "4807.038", "N", 48.1173},
      {"south", "3330.000", "S", -33.5},
      {"lower-case hemisphere stays positive", "3330.000", "s", 33.5},
      {"empty hemisphere stays positive", "3330.000", "", 33.5},
      {"eight decimals", "4807.03800000", "N", 48.1173},
      {"no dot: all minutes", "4807", "N", 4807.0 / 60.0},
      {"malformed minutes read as 0", "48xx.5", "N", 48.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    feed(std::string("$GPGLL,") + c.lat + "," + c.hemisphere + ",01131.000,W*00\r\n");
    ASSERT_TRUE(last().has(defXY));
    EXPECT_NEAR(last().y, c.expected, 1e-4);
    EXPECT_NEAR(last().x, -11.516667, 1e-5);
  }
  feed("$GPGLL,,N,01131.000,W*00\r\n");
  EXPECT_FALSE(last().has(defXY)) << "a missing latitude is not read as 0";
}

TEST_F(NmeaDecoder, NumberAndDateRules) {
  feed("$GPRMC,250000,A,4807.038,N,01131.000,E,x,,230394,,*00\r\n");
  EXPECT_TRUE(last().has(defTime));
  EXPECT_EQ(last().time, -1.0) << "hour 25 names no moment";
  EXPECT_TRUE(last().has(defSpeed));
  EXPECT_EQ(last().speed, 0.0f) << "text that is not a number reads as 0";
  EXPECT_FALSE(last().has(defHeading));

  feed("$GPRMC,123519.75,A,4807.038,N,01131.000,E,1e1,,310394,,*00\r\n");
  EXPECT_EQ(partsOf(last().time), (DateTimeParts{2094, 3, 31, 12, 35, 19, 0})) << "fraction dropped";
  EXPECT_NEAR(last().speed, 18.52, 1e-4);
  feed("$GPRMC,123519,A,4807.038,N,01131.000,E,,,310294,,*00\r\n");
  EXPECT_EQ(last().time, -1.0) << "31 February";
  feed("$GPRMC,123519,A,4807.038,N,01131.000,E,,,310394,3.1,E*00\r\n");
  EXPECT_FLOAT_EQ(last().magVar, 3.1f);
}

TEST_F(NmeaDecoder, GgaQualityUnitsAndGarminSentences) {
  const std::pair<const char*, Fix> qualities[] = {{"0", fixInvalid}, {"2", fix3D_diff}, {"4", fixRTK},
                                                   {"8", fixSimulation}, {"9", fixUnknown}, {"x", fixUnknown}};
  for (const auto& [quality, fix] : qualities) {
    feed(std::string("$GPGGA,,,,,,") + quality + ",x,,1000,f,10,f,,*00\r\n");
    EXPECT_EQ(last().fix, fix) << quality;
    EXPECT_EQ(last().satellites, 0);
    EXPECT_FLOAT_EQ(last().altitude, 304.8f);
    EXPECT_FLOAT_EQ(last().geoidHeight, 3.048f);
    EXPECT_FALSE(last().has(defXY));
  }
  feed("$PGRMZ,1000,f,3*00\r\n$PGRME,15.0,M,45.0,f,25.0,M*00\r\n");
  EXPECT_FLOAT_EQ(last().altitude, 304.8f);
  EXPECT_FLOAT_EQ(last().xyPrec, 15.0f);
  EXPECT_FLOAT_EQ(last().altitudePrec, 45.0f * 0.3048f);
  EXPECT_EQ(last().fields, (DefFields{defAltitude, defXYPrec, defAltitudePrec}));
}

TEST_F(NmeaDecoder, StartClearsPendingAndFlagsButKeepsValues) {
  feed(std::string(kRmc).substr(0, 20));
  decoder.start(host);
  EXPECT_FALSE(decoder.pending());
  feed(kGga);
  decoder.start(host);
  EXPECT_TRUE(decoder.current().fields.empty());
  EXPECT_FLOAT_EQ(decoder.current().altitude, 545.4f);
}

TEST_F(NmeaDecoder, EndlessLineIsBounded) {
  feed("$GPGSV");
  for (int i = 0; i < 5000; ++i) feed("0123456789");
  EXPECT_LE(decoder.fragment().size(), GpsProtocolNmea::kMaxFragment);
  EXPECT_GE(decoder.stats().droppedFragments, 1u);
  feed(std::string("\r\n") + kRmc);
  EXPECT_TRUE(last().has(defTime)) << "decoding goes on afterwards";
}

// Recorded receiver logs: every log decodes without trouble, positions are plausible, and where
// gpsd's reading of the same log has a fix for the same second, the two agree.
struct GpsdFix {
  double lat;
  double lon;
};

std::map<std::string, GpsdFix> readGpsdFixes(const std::filesystem::path& chk) {
  std::map<std::string, GpsdFix> fixes;
  std::ifstream in(chk);
  std::string line;
  auto numberAfter = [](const std::string& s, const char* key) -> std::optional<double> {
    const auto at = s.find(key);
    if (at == std::string::npos) return std::nullopt;
    const auto start = at + std::strlen(key);
    const auto end = s.find_first_of(",}", start);
    return parseDouble(std::string_view(s).substr(start, end - start));
  };
  while (std::getline(in, line)) {
    if (line.rfind("{\"class\":\"TPV\"", 0) != 0) continue;
    const auto t = line.find("\"time\":\"");
    const auto lat = numberAfter(line, "\"lat\":");
    const auto lon = numberAfter(line, "\"lon\":");
    if (t == std::string::npos || !lat || !lon) continue;
    const std::string time = line.substr(t + 8, 24);  // 2014-05-26T08:14:11.000Z
    if (time.substr(19, 4) != ".000") continue;       // we drop fractions of seconds
    fixes[time.substr(0, 19) + "Z"] = {*lat, *lon};
  }
  return fixes;
}

TEST(NmeaRecordedLogs, DecodePlausiblyAndAgreeWithGpsd) {
  const std::filesystem::path dir = std::filesystem::path(GEOMUXER_SHARED_DIR) / "testdata" / "nmea";
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no recorded logs in " << dir;
  int files = 0;
  int compared = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".log") continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++files;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string log = buffer.str();

    // Odd read sizes exercise the framing; line-sized reads give one sentence per hand-off.
    for (std::size_t size : {1u, 13u, 4096u}) {
      GpsProtocolNmea d;
      Recorder h;
      for (std::size_t at = 0; at < log.size(); at += size)
        d.processData(h, std::string_view(log).substr(at, size));
      EXPECT_FALSE(h.positions.empty());
    }

    GpsProtocolNmea d;
    d.setCheckChecksum(true);
    Recorder h;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
      line += '\n';
      d.processData(h, line);
    }
    const auto gpsd = readGpsdFixes(entry.path().string() + ".chk");
    for (const PositionInfo& p : h.positions) {
      if (!p.has(defXY)) continue;
      EXPECT_LE(std::fabs(p.y), 90.0f);
      EXPECT_LE(std::fabs(p.x), 180.0f);
      if (!p.has(defTime) || p.time < 0) continue;
      const auto it = gpsd.find(formatIsoTime(p.time));
      if (it == gpsd.end()) continue;
      ++compared;
      EXPECT_NEAR(p.y, it->second.lat, 2e-5) << formatIsoTime(p.time);
      EXPECT_NEAR(p.x, it->second.lon, 2e-5) << formatIsoTime(p.time);
    }
  }
  EXPECT_GE(files, 10);
  EXPECT_GE(compared, 100) << "too few fixes in common with gpsd";
}

}  // namespace
}  // namespace geomuxer
