// The Garmin packet codec, the PVT conversion and the serial protocol's states, without transport.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "core/date_time.h"
#include "sources/decoders/garmin_packet.h"
#include "sources/decoders/gps_protocol_garmin.h"
#include "support/manual_clock.h"

namespace geomuxer {
namespace {

using namespace garmin;
using namespace std::chrono_literals;

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

// A record with a 3D fix somewhere in the Alps, moving north-east.
PvtRecord alpineRecord() {
  PvtRecord r;
  r.alt = 1200.5f;
  r.eph = 6.0f;
  r.epv = 9.0f;
  r.fix = 3;
  r.tow = 86400.0 + 43200.0;
  r.lat = 46.5 * std::numbers::pi / 180.0;
  r.lon = 8.25 * std::numbers::pi / 180.0;
  r.east = 10.0f;
  r.north = 10.0f;
  r.mslHeight = -48.0f;
  r.leapSeconds = 14;
  r.weekNumberDays = 0;
  return r;
}

TEST(GarminCodec, FixedPacketsAreWhatTheEncoderBuilds) {
  EXPECT_EQ(encodeSerialPacket(kIdCommand, bytes({49, 0})), kStartPvtPacket);
  EXPECT_EQ(encodeSerialPacket(kIdCommand, bytes({50, 0})), kStopPvtPacket);
  EXPECT_EQ(encodeSerialPacket(kIdAck, bytes({51, 0})), kAckPvtPacket);
  EXPECT_EQ(encodeSerialPacket(kIdNak, bytes({51, 0})), kNakPvtPacket);
}

TEST(GarminCodec, DleIsDoubledInSizeDataAndChecksum) {
  // size 16 = 0x10, a 0x10 data byte, and a checksum that comes out as 0x10 as well.
  std::string data(16, '\0');
  data[3] = kDle;
  data[0] = static_cast<char>(0x100 - 0x10 - 0x10 - 0x10 - 0x20);  // makes the sum 0xF0
  const std::string wire = encodeSerialPacket(0x20, data);
  const std::string body = bytes({0x20, 0x10}) + data;
  ASSERT_EQ(checksum(body), 0x10);
  EXPECT_EQ(wire, bytes({0x10, 0x20, 0x10, 0x10}) + data.substr(0, 3) + bytes({0x10, 0x10}) + data.substr(4) +
                      bytes({0x10, 0x10, 0x10, 0x03}));
  const auto parsed = parseSerialBody(body + static_cast<char>(checksum(body)));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->id, 0x20);
  EXPECT_EQ(parsed->data, data);
}

TEST(GarminCodec, BadBodiesAreRejected) {
  const std::string good = bytes({6, 2, 10, 0, static_cast<int>(checksum(bytes({6, 2, 10, 0})))});
  ASSERT_TRUE(parseSerialBody(good));
  struct Case {
    const char* legend;
    std::string body;
  } cases[] = {
      {"too short", bytes({6, 0})},
      {"wrong checksum", good.substr(0, 4) + static_cast<char>(good[4] + 1)},
      {"size says more", bytes({6, 3, 10, 0, static_cast<int>(checksum(bytes({6, 3, 10, 0})))})},
      {"size says less", bytes({6, 1, 10, 0, static_cast<int>(checksum(bytes({6, 1, 10, 0})))})},
  };
  for (const Case& c : cases) EXPECT_FALSE(parseSerialBody(c.body)) << c.legend;
}

TEST(GarminCodec, UsbPacketHeader) {
  EXPECT_EQ(encodeUsbPacket(usbCommand(kCommandStartPvt)),
            bytes({20, 0, 0, 0, 10, 0, 0, 0, 2, 0, 0, 0, 49, 0}));
  const auto product = parseUsbPacket(bytes({20, 0, 0, 0, 0xFF, 0, 0, 0, 3, 1, 0, 0}) + "abc");
  ASSERT_TRUE(product);
  EXPECT_TRUE(product->is(kUsbApplicationLayer, kUsbProductData));
  EXPECT_EQ(product->data, "abc") << "a size beyond what arrived keeps what arrived";
  const auto trimmed = parseUsbPacket(bytes({0, 0, 0, 0, 6, 0, 0, 0, 2, 0, 0, 0}) + "wxyz");
  ASSERT_TRUE(trimmed);
  EXPECT_EQ(trimmed->data, "wx");
  EXPECT_FALSE(parseUsbPacket(bytes({0, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0})));
}

TEST(GarminCodec, PvtFieldsSitAtTheirPackedOffsets) {
  // Built by hand, field by field, so the offsets are checked independently of the encoder.
  std::string raw(70, '\0');
  auto put = [&](std::size_t offset, const auto& value) { std::memcpy(raw.data() + offset, &value, sizeof value); };
  put(0, 1.5f);
  put(8, 3.0f);
  put(12, 4.0f);
  put(16, std::int16_t{5});
  put(18, 123456.25);
  put(26, 0.5);
  put(34, -1.25);
  put(42, 7.0f);
  put(46, -8.0f);
  put(50, 0.5f);
  put(54, 47.0f);
  put(58, std::uint16_t{18});
  put(60, std::uint32_t{12345});
  const auto r = parsePvt(raw);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->alt, 1.5f);
  EXPECT_EQ(r->eph, 3.0f);
  EXPECT_EQ(r->epv, 4.0f);
  EXPECT_EQ(r->fix, 5);
  EXPECT_EQ(r->tow, 123456.25);
  EXPECT_EQ(r->lat, 0.5);
  EXPECT_EQ(r->lon, -1.25);
  EXPECT_EQ(r->east, 7.0f);
  EXPECT_EQ(r->north, -8.0f);
  EXPECT_EQ(r->up, 0.5f);
  EXPECT_EQ(r->mslHeight, 47.0f);
  EXPECT_EQ(r->leapSeconds, 18);
  EXPECT_EQ(r->weekNumberDays, 12345u);
  EXPECT_EQ(encodePvt(*r), raw.substr(0, 64));
  EXPECT_FALSE(parsePvt(raw.substr(0, 63)));
}

TEST(GarminConversion, AnglesSpeedAndTime) {
  PvtRecord r = alpineRecord();
  r.lat = std::numbers::pi / 4;
  r.lon = -std::numbers::pi / 2;
  const auto p = pvtToPosition(r);
  ASSERT_TRUE(p);
  EXPECT_FLOAT_EQ(p->y, 45.0f);
  EXPECT_FLOAT_EQ(p->x, -90.0f);
  EXPECT_NEAR(p->heading, 45.0f, 1e-4);
  EXPECT_NEAR(p->speed, 50.91f, 0.005);
  EXPECT_EQ(splitDateTime(p->time), (DateTimeParts{1990, 1, 1, 11, 59, 46, 0}));
  EXPECT_EQ(p->fields, kPvtFields);
  EXPECT_EQ(p->fields.bits(), 0x16BF);
  EXPECT_FLOAT_EQ(p->altitude, 1152.5f);
  EXPECT_FLOAT_EQ(p->geoidHeight, 48.0f);
  EXPECT_FLOAT_EQ(p->xyPrec, 3.0f);
  EXPECT_FLOAT_EQ(p->altitudePrec, 4.5f);
  EXPECT_EQ(p->fix, fix3D);

  r.east = -5.0f;
  r.north = 0.0f;
  r.up = 2.0f;
  const auto west = pvtToPosition(r);
  ASSERT_TRUE(west);
  EXPECT_FLOAT_EQ(west->heading, 270.0f);
  EXPECT_NEAR(west->speed, std::sqrt(29.0) * 3.6, 1e-4) << "the climb counts towards the speed";
  EXPECT_FLOAT_EQ(west->vertSpeed, 2.0f);
}

TEST(GarminConversion, FixKindsAndUnusableRecords) {
  PvtRecord r = alpineRecord();
  const std::pair<int, Fix> kinds[] = {{2, fix2D}, {3, fix3D}, {4, fix2D_diff}, {5, fix3D_diff}, {6, fixUnknown}, {-1, fixUnknown}};
  for (const auto& [garminFix, expected] : kinds) {
    r.fix = static_cast<std::int16_t>(garminFix);
    const auto p = pvtToPosition(r);
    ASSERT_TRUE(p) << garminFix;
    EXPECT_EQ(p->fix, expected) << garminFix;
  }
  for (int none : {0, 1}) {
    r.fix = static_cast<std::int16_t>(none);
    EXPECT_FALSE(pvtToPosition(r)) << "fix " << none;
  }

  r = alpineRecord();
  r.lat = std::nan("");
  EXPECT_FALSE(pvtToPosition(r)) << "NaN latitude";
  r = alpineRecord();
  r.lon = 4.0;
  EXPECT_FALSE(pvtToPosition(r)) << "longitude beyond 180 degrees";
  r = alpineRecord();
  r.tow = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(pvtToPosition(r)) << "infinite time";

  r = alpineRecord();
  r.east = std::numeric_limits<float>::quiet_NaN();
  r.mslHeight = std::numeric_limits<float>::infinity();
  const auto p = pvtToPosition(r);
  ASSERT_TRUE(p) << "a garbled velocity or height does not cost the position";
  EXPECT_FALSE(p->has(defHeading));
  EXPECT_FALSE(p->has(defSpeed));
  EXPECT_FALSE(p->has(defAltitude));
  EXPECT_FALSE(p->has(defGeoidHeight));
  EXPECT_TRUE(p->has(defXY));
  EXPECT_TRUE(p->has(defVertSpeed));
}

// The receiver's side as the decoder sees it: everything it writes and delivers.
struct RecordingHost : ProtocolHost {
  void deliverPosition(const PositionInfo& p) override { positions.push_back(p); }
  void writeBytes(std::string_view b) override { writes.emplace_back(b); }
  void notice(std::string_view text) override { notices.emplace_back(text); }
  std::vector<PositionInfo> positions;
  std::vector<std::string> writes;
  std::vector<std::string> notices;
};

class GarminProtocolTest : public ::testing::Test {
 protected:
  GarminProtocolTest() : decoder(clock) {}

  ProcessStatus feed(std::string_view data) { return decoder.processData(host, data); }
  ProcessStatus poll() { return decoder.processData(host, {}); }
  std::string ack() { return encodeSerialPacket(kIdAck, bytes({kIdCommand, 0})); }
  std::string pvtPacket(const PvtRecord& r = alpineRecord()) { return encodeSerialPacket(kIdPvt, encodePvt(r)); }

  test::ManualClock clock;
  RecordingHost host;
  GpsProtocolGarmin decoder;
};

TEST_F(GarminProtocolTest, PvtStreamInAnyReadSize) {
  decoder.start(host);
  ASSERT_EQ(host.writes, std::vector<std::string>{std::string(kStartPvtPacket)});
  EXPECT_TRUE(decoder.waiting());
  EXPECT_EQ(feed(ack()), ProcessStatus::consumed);
  EXPECT_TRUE(decoder.acknowledged());
  EXPECT_FALSE(decoder.waiting());

  // Leading noise, a satellite packet we do not use, then two PVT packets whose bytes hold DLEs.
  PvtRecord r = alpineRecord();
  r.alt = std::bit_cast<float>(0x44961010u);
  const std::string stream = "\x42\x17noise" + encodeSerialPacket(114, std::string(20, 'x')) + pvtPacket(r) + pvtPacket(r);
  ASSERT_NE(stream.find("\x10\x10"), std::string::npos);
  for (std::size_t step : {std::size_t{1}, std::size_t{7}, stream.size()}) {
    host.positions.clear();
    host.writes.clear();
    for (std::size_t at = 0; at < stream.size(); at += step)
      EXPECT_NE(feed(std::string_view(stream).substr(at, step)), ProcessStatus::error) << "step " << step;
    ASSERT_EQ(host.positions.size(), 2u) << "step " << step;
    EXPECT_FLOAT_EQ(host.positions[0].altitude, r.alt + r.mslHeight);
    EXPECT_FLOAT_EQ(host.positions[1].y, 46.5f);
    EXPECT_EQ(host.writes, std::vector<std::string>(2, std::string(kAckPvtPacket)));
  }
}

TEST_F(GarminProtocolTest, RefusedAndBrokenPackets) {
  decoder.start(host);
  feed(ack());
  host.writes.clear();

  // A PVT packet with fewer than 64 bytes is refused with a NAK and delivers nothing.
  EXPECT_EQ(feed(encodeSerialPacket(kIdPvt, encodePvt(alpineRecord()).substr(0, 40))), ProcessStatus::consumed);
  EXPECT_EQ(host.writes, std::vector<std::string>{std::string(kNakPvtPacket)});
  EXPECT_TRUE(host.positions.empty());

  // A PVT record without a fix is answered but not delivered.
  PvtRecord noFix = alpineRecord();
  noFix.fix = 1;
  host.writes.clear();
  feed(pvtPacket(noFix));
  EXPECT_EQ(host.writes, std::vector<std::string>{std::string(kAckPvtPacket)});
  EXPECT_TRUE(host.positions.empty());

  // A bad checksum ends the chunk at once: the good packet behind it in the same read is lost.
  std::string broken = pvtPacket();
  broken[broken.size() - 3] = static_cast<char>(broken[broken.size() - 3] ^ 0x01);
  EXPECT_EQ(feed(broken + pvtPacket()), ProcessStatus::error);
  EXPECT_TRUE(host.positions.empty());
  EXPECT_EQ(decoder.stats().badPackets, 1u);
  EXPECT_EQ(feed(pvtPacket()), ProcessStatus::consumed) << "the next read starts clean";
  EXPECT_EQ(host.positions.size(), 1u);
}

TEST_F(GarminProtocolTest, RunawayInputStaysBounded) {
  decoder.start(host);
  EXPECT_EQ(feed(std::string(5000, 'A')), ProcessStatus::idle);
  // The overlong body fails its size check when a DLE ETX finally comes.
  EXPECT_EQ(feed(std::string("\x10\x03", 2)), ProcessStatus::error);
  EXPECT_EQ(feed(pvtPacket()), ProcessStatus::consumed);
  EXPECT_EQ(host.positions.size(), 1u);
}

TEST_F(GarminProtocolTest, QuietStreamIsRestartedAfter700ms) {
  decoder.start(host);
  feed(ack());
  feed(pvtPacket());
  host.writes.clear();

  clock.advance(699ms);
  EXPECT_EQ(poll(), ProcessStatus::idle);
  EXPECT_TRUE(host.writes.empty());
  // The line echoing our own command is not data from the receiver.
  EXPECT_EQ(feed(kStartPvtPacket), ProcessStatus::idle);
  EXPECT_EQ(decoder.stats().echoes, 1u);
  clock.advance(1ms);
  EXPECT_EQ(poll(), ProcessStatus::idle);
  EXPECT_EQ(host.writes, std::vector<std::string>{std::string(kStartPvtPacket)});
  EXPECT_TRUE(decoder.waiting());
  EXPECT_FALSE(decoder.acknowledged());

  // Waiting again: the re-sent command is answered and the stream goes on.
  clock.advance(100ms);
  EXPECT_EQ(poll(), ProcessStatus::idle);
  feed(ack());
  EXPECT_TRUE(decoder.acknowledged());
  EXPECT_EQ(decoder.stats().resends, 1u);
}

TEST_F(GarminProtocolTest, UnansweredStartIsRepeatedUntilAPowerCycledReceiverAnswers) {
  const std::vector<std::string> noAnswer{"no answer from the receiver"};
  decoder.start(host);
  EXPECT_EQ(decoder.idlePollMs(), GpsProtocolGarmin::kIdlePollMs);
  clock.advance(2999ms);
  poll();
  EXPECT_EQ(host.writes.size(), 1u);
  clock.advance(1ms);
  EXPECT_EQ(poll(), ProcessStatus::idle);
  EXPECT_EQ(host.writes.size(), 2u) << "asked again after 3 s";
  EXPECT_EQ(host.notices, noAnswer);
  for (int i = 0; i < 3; ++i) {
    clock.advance(3000ms);
    poll();
  }
  EXPECT_EQ(host.writes, std::vector<std::string>(5, std::string(kStartPvtPacket)));
  EXPECT_EQ(host.notices, noAnswer) << "said once, however long it lasts";
  EXPECT_TRUE(decoder.unanswered());

  // Switched on at last: the ACK ends the retries and is noticed once.
  feed(ack());
  EXPECT_TRUE(decoder.acknowledged());
  EXPECT_FALSE(decoder.unanswered());
  EXPECT_EQ(host.notices.back(), "the receiver answers again");
  feed(pvtPacket());
  ASSERT_EQ(host.positions.size(), 1u);

  // Power cycle while streaming: quiet for 700 ms (asked again), then 3 s more without an answer
  // (asked again, noticed), then a PVT record without an ACK in front of it.
  host.writes.clear();
  host.notices.clear();
  clock.advance(700ms);
  poll();
  clock.advance(3000ms);
  poll();
  EXPECT_EQ(host.writes, std::vector<std::string>(2, std::string(kStartPvtPacket)));
  EXPECT_EQ(host.notices, noAnswer);
  feed(pvtPacket());
  EXPECT_EQ(host.positions.size(), 2u);
  EXPECT_TRUE(decoder.acknowledged()) << "a streaming receiver has taken the request";
  EXPECT_EQ(host.notices.size(), 2u);
  EXPECT_EQ(decoder.stats().resends, 1u);
  EXPECT_EQ(decoder.stats().retries, 5u);
}

TEST_F(GarminProtocolTest, RefusedStartIsRepeatedAndOtherAcksDoNotCount) {
  decoder.start(host);
  EXPECT_EQ(feed(encodeSerialPacket(kIdNak, bytes({kIdCommand, 0}))), ProcessStatus::consumed);
  EXPECT_FALSE(decoder.waiting());
  EXPECT_FALSE(decoder.acknowledged());
  clock.advance(3000ms);
  poll();
  EXPECT_EQ(host.writes.size(), 2u);
  EXPECT_EQ(host.notices, std::vector<std::string>{"the receiver refuses to send positions"});
  EXPECT_TRUE(decoder.waiting());

  // An ACK of something else does not count as the answer to our command.
  feed(encodeSerialPacket(kIdAck, bytes({kIdPvt, 0})));
  EXPECT_TRUE(decoder.waiting());
  EXPECT_FALSE(decoder.acknowledged());
  // A new start forgets the old trouble.
  decoder.start(host);
  EXPECT_FALSE(decoder.unanswered());
  feed(ack());
  EXPECT_EQ(host.notices.size(), 1u);
}

TEST_F(GarminProtocolTest, StopSendsTheStopCommand) {
  decoder.start(host);
  decoder.stop(host);
  EXPECT_EQ(host.writes.back(), kStopPvtPacket);
  EXPECT_EQ(decoder.name(), "Garmin");
}

}  // namespace
}  // namespace geomuxer
