#include <gtest/gtest.h>

#include "core/nmea.h"

namespace geomuxer {
namespace {

PositionInfo examplePosition() {
  PositionInfo p;
  p.time = *makeDateTime({.year = 2008, .month = 5, .day = 17, .hour = 9, .minute = 5, .second = 3});
  p.y = 47.5f;
  p.x = 8.25f;
  p.speed = 18.52f;
  p.heading = 90.0f;
  p.hdop = 1.2f;
  p.altitude = 512.6f;
  p.fix = fix3D;
  return p;
}

TEST(NmeaWriter, ExampleBlockIsByteExact) {
  EXPECT_EQ(nmeaBlock(examplePosition()),
            "$GPRMC,090503,A,4730.0000,N,00815.0000,E,10.00,90.00,170508,,*1D\r\n"
            "$GPGGA,090503,4730.0000,N,00815.0000,E,1,0,1.2,513,M,,,,0000*38\r\n"
            "$GPGLL,4730.0000,N,00815.0000,E,090503,A*29\r\n");
  EXPECT_EQ(nmeaRmc(examplePosition()), "$GPRMC,090503,A,4730.0000,N,00815.0000,E,10.00,90.00,170508,,*1D");
  std::string buffer = "kept";
  appendNmeaBlock(buffer, examplePosition());
  EXPECT_EQ(buffer, "kept" + nmeaBlock(examplePosition()));
}

TEST(NmeaWriter, BroadcastBlockAddsVtgGsaZdaWithItsTalker) {
  PositionInfo p = examplePosition();
  p.fields = {defTime, defXY, defSpeed, defHeading, defHDOP, defFix};
  std::string block;
  appendNmeaBroadcastBlock(block, p, "GN");
  EXPECT_EQ(block,
            "$GNRMC,090503,A,4730.0000,N,00815.0000,E,10.00,90.00,170508,,*03\r\n"
            "$GNGGA,090503,4730.0000,N,00815.0000,E,1,0,1.2,513,M,,,,0000*26\r\n"
            "$GNGLL,4730.0000,N,00815.0000,E,090503,A*37\r\n"
            "$GNVTG,90.00,T,,M,10.00,N,18.52,K,A*" + nmeaChecksum("GNVTG,90.00,T,,M,10.00,N,18.52,K,A") + "\r\n"
            "$GNGSA,A,3,,,,,,,,,,,,,,1.2,*" + nmeaChecksum("GNGSA,A,3,,,,,,,,,,,,,,1.2,") + "\r\n"
            "$GNZDA,090503,17,05,2008,00,00*" + nmeaChecksum("GNZDA,090503,17,05,2008,00,00") + "\r\n");
  // Without dilutions no GSA, without a time no ZDA; a 2D fix says so in GSA; a bad talker is GP.
  p.fields = {defXY};
  block.clear();
  appendNmeaBroadcastBlock(block, p, "gn");
  EXPECT_EQ(block.find("GSA"), std::string::npos);
  EXPECT_EQ(block.find("ZDA"), std::string::npos);
  EXPECT_EQ(block.substr(0, 6), "$GPRMC");
  p.fields = {defXY, defFix, defPDOP, defVDOP};
  p.fix = fix2D_diff;
  p.pdop = 2.5f;
  p.vdop = 2.0f;
  block.clear();
  appendNmeaBroadcastBlock(block, p, "GP");
  EXPECT_NE(block.find("$GPGSA,A,2,,,,,,,,,,,,,2.5,,2.0*"), std::string::npos) << block;
  EXPECT_NE(block.find(",K,D*"), std::string::npos) << "a differential fix is mode D in VTG";
  EXPECT_TRUE(validTalker("GN"));
  EXPECT_FALSE(validTalker("G"));
  EXPECT_FALSE(validTalker("GPS"));
}

TEST(NmeaWriter, HemispheresAndPadding) {
  PositionInfo p = examplePosition();
  p.y = -33.5f;
  p.x = -0.5f;
  EXPECT_EQ(nmeaGll(p).substr(0, 34), "$GPGLL,3330.0000,S,00030.0000,W,09");
  p.y = 0.0f;
  p.x = 0.0f;
  EXPECT_EQ(nmeaGll(p).substr(0, 34), "$GPGLL,0000.0000,N,00000.0000,E,09") << "zero counts as north and east";
  p.y = 47.1;
  p.x = 0.9999999;  // minutes that round to 60 are carried into the degrees
  EXPECT_EQ(nmeaGll(p).substr(0, 34), "$GPGLL,4706.0000,N,00100.0000,E,09");
  p.y = 5.0 / 60.0;
  EXPECT_EQ(nmeaGll(p).substr(7, 9), "0005.0000");
}

TEST(NmeaWriter, FieldsWrittenWhateverTheFlags) {
  PositionInfo p = examplePosition();
  p.speed = 0.0f;
  p.altitude = -0.4f;
  p.time = *makeDateTime({.year = 1999, .month = 12, .day = 31, .hour = 23, .minute = 59, .second = 59});
  const std::string rmc = nmeaRmc(p);
  EXPECT_EQ(rmc.substr(0, rmc.find('*')), "$GPRMC,235959,A,4730.0000,N,00815.0000,E,0.00,90.00,311299,,");
  EXPECT_NE(nmeaGga(p).find(",E,1,0,1.2,-0,M,,,,0000*"), std::string::npos) << nmeaGga(p);
}

// GGA's count of satellites in use comes from the record when it has one.
TEST(NmeaWriter, SatelliteCount) {
  PositionInfo p = examplePosition();
  p.satellites = 12;
  EXPECT_NE(nmeaGga(p).find(",E,1,0,1.2,"), std::string::npos) << "no count without its flag: " << nmeaGga(p);
  p.fields.include(defSatellites);
  EXPECT_NE(nmeaGga(p).find(",E,1,12,1.2,"), std::string::npos) << nmeaGga(p);
  p.satellites = 7;
  EXPECT_NE(nmeaGga(p).find(",E,1,07,1.2,"), std::string::npos) << nmeaGga(p);
  p.satellites = 0;
  EXPECT_NE(nmeaGga(p).find(",E,1,00,1.2,"), std::string::npos) << nmeaGga(p);
}

// A fraction of a second shows as hundredths in all three sentences; whole seconds keep hhmmss.
TEST(NmeaWriter, SubSecondTimes) {
  struct Row {
    const char* name;
    int millisecond;
    const char* text;
  };
  const Row rows[] = {{"whole second", 0, "090503,"},  {"tenth", 100, "090503.10,"},
                      {"half", 500, "090503.50,"}, {"8 Hz step", 125, "090503.12,"},
                      {"cut, not rounded", 999, "090503.99,"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PositionInfo p = examplePosition();
    p.time = *makeDateTime(
        {.year = 2008, .month = 5, .day = 17, .hour = 9, .minute = 5, .second = 3, .millisecond = row.millisecond});
    EXPECT_EQ(nmeaRmc(p).substr(7, std::string_view(row.text).size()), row.text);
    EXPECT_EQ(nmeaGga(p).substr(7, std::string_view(row.text).size()), row.text);
    const std::string gll = nmeaGll(p);
    EXPECT_NE(gll.find(std::string(",E,") + row.text + "A*"), std::string::npos) << gll;
    EXPECT_EQ(nmeaChecksum(gll.substr(1, gll.find('*') - 1)), gll.substr(gll.find('*') + 1));
  }
  // The last hundredth of a day stays on its day.
  PositionInfo p = examplePosition();
  p.time = *makeDateTime({.year = 1999, .month = 12, .day = 31, .hour = 23, .minute = 59, .second = 59, .millisecond = 995});
  EXPECT_EQ(nmeaRmc(p).substr(0, 17), "$GPRMC,235959.99,");
  EXPECT_NE(nmeaRmc(p).find(",311299,"), std::string::npos);
}

// The fix kind goes into GGA's quality (the decoder's reading of it, inverted) and the RMC and GLL
// status. A record that does not say which fix it has holds a position all the same.
TEST(NmeaWriter, FixKind) {
  const std::pair<Fix, char> table[] = {
      {fixInvalid, '0'}, {fixUnknown, '1'}, {fix2D, '1'},    {fix3D, '1'},        {fix2D_diff, '2'},
      {fix3D_diff, '2'}, {fixPrec, '3'},    {fixRTK, '4'},   {fixFRTK, '5'},      {fixEstimated, '6'},
      {fixManual, '7'},  {fixSimulation, '8'}};
  for (const auto& [fix, quality] : table) {
    PositionInfo p = examplePosition();
    p.fix = fix;
    p.fields.include(defFix);
    EXPECT_EQ(nmeaGga(p)[39], quality) << fixText(fix);
    const char status = fix == fixInvalid ? 'V' : 'A';
    EXPECT_EQ(nmeaRmc(p)[14], status) << fixText(fix);
    EXPECT_EQ(nmeaGll(p)[39], status) << fixText(fix) << " " << nmeaGll(p);
  }
  PositionInfo p = examplePosition();
  p.fix = fixInvalid;  // a default member, not a statement
  EXPECT_EQ(nmeaGga(p)[39], '1');
  EXPECT_EQ(nmeaRmc(p)[14], 'A');
}

TEST(NmeaCodec, ChecksumFrameAndFields) {
  EXPECT_EQ(nmeaChecksum(""), "00");
  EXPECT_EQ(nmeaChecksum("GPGGA,1"), "4B");
  EXPECT_EQ(nmeaFrame("GPGGA,1"), "$GPGGA,1*4B");

  const NmeaFields f("GPGSA,A,,3");
  EXPECT_EQ(f.size(), 4u);
  EXPECT_EQ(f[0], "GPGSA");
  EXPECT_EQ(f[2], "");
  EXPECT_EQ(f[3], "3");
  EXPECT_EQ(f[9], "") << "missing fields read as empty";
  EXPECT_EQ(NmeaFields("").size(), 1u);
  EXPECT_EQ(NmeaFields("a,").size(), 2u);
}

}  // namespace
}  // namespace geomuxer
